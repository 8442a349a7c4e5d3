#pragma once

#include "platform/clock.h"
#include "platform/eventpump.h"
#include "platform/gui/dialogs.h"
#include "platform/homepage.h"
#include "platform/messages.h"
#include "platform/pointer.h"
#include "platform/process.h"

#include <QCoreApplication>
#include <QThread>
#include <map>

#include <QStringList>
#include <functional>
#include <vector>

// Stand-ins for the outside effects, for tests.
namespace Fakes {

struct Message {
    QString text;
    QString title;
    Platform::MessageIcon icon;
    bool operator==(const Message &) const = default;
};

// Records every box. Opened boxes are answered at once, or, with
// `leaveOpen`, kept open until the test answers them.
class MessageRecorder final : public Platform::MessageSink {
public:
    void showMessage(const QString &text, const QString &title, Platform::MessageIcon icon) override
    {
        record({text, title, icon}, {});
    }
    void showDetails(const QStringList &lines) override { details += lines; }
    void openMessage(const QString &text, const QString &title, Platform::MessageIcon icon,
                     const QString &boxDetails, std::function<void()> answered) override
    {
        if (leaveOpen)
            unanswered.push_back(std::move(answered));
        record({text, title, icon}, boxDetails);
        if (!leaveOpen && answered)
            answered();
    }
    // Answers the box opened first of those still open; false when none is.
    bool answer()
    {
        if (unanswered.empty())
            return false;
        const std::function<void()> answered = std::move(unanswered.front());
        unanswered.erase(unanswered.begin());
        if (answered)
            answered();
        return true;
    }

    std::vector<Message> messages;
    QStringList detailsOf;   // each box's detailed text, by the index of its message
    QStringList details;     // lines given to showDetails
    std::function<void(const Message &)> onMessage;
    bool leaveOpen = false;
    std::vector<std::function<void()>> unanswered; // boxes still open, oldest first

private:
    void record(const Message &message, const QString &boxDetails)
    {
        messages.push_back(message);
        detailsOf << boxDetails;
        if (onMessage)
            onMessage(messages.back());
    }
};

class FixedClock final : public Platform::Clock {
public:
    double secondsSinceMidnight() const override { return seconds; }
    double steadySeconds() const override { return steady; }
    double seconds = 43200.5;
    double steady = 1000;
};

class FixedRandom final : public Platform::RandomSource {
public:
    void seed(double value) override { seeds.push_back(value); }
    double next() override { return value; }
    double value = 0.5;
    std::vector<double> seeds;
};

class RecordingOpener final : public Platform::HomePageOpener {
public:
    bool open(const QString &url) override
    {
        opened << url;
        return succeed;
    }
    QStringList opened;
    bool succeed = true;
};

class ScriptedDialogs final : public Platform::Dialogs {
public:
    QString openFiles(QWidget *, const QString &title, const QString &filter) override
    {
        fileTitles << title;
        fileFilters << filter;
        return fileResult;
    }
    QString chooseFolder(QWidget *, const QString &prompt) override
    {
        folderPrompts << prompt;
        return folderResult;
    }
    QString fileResult;
    QString folderResult;
    QStringList fileTitles, fileFilters, folderPrompts;
};

// An event pump that counts what the code under test asks for. Events are
// still processed; a pause lasts only `realPauseMs` so that real child
// processes can progress without slowing the test. `onPause` runs during
// each pause, like an event handled while the program waits.
class CountingPump final : public Platform::EventPump {
public:
    void processEvents() override
    {
        ++processed;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
    }
    void pause(int ms) override
    {
        pauses.push_back(ms);
        if (onPause)
            onPause();
        if (realPauseMs > 0)
            QThread::msleep(realPauseMs);
    }
    int processed = 0;
    std::vector<int> pauses;
    int realPauseMs = 2;
    std::function<void()> onPause;
};

// A window's pointer setting that remembers every code it was given.
class PointerRecorder final : public Platform::PointerSetting {
public:
    int pointer() const override { return codes.empty() ? 0 : codes.back(); }
    void setPointer(int code) override { codes.push_back(code); }
    std::vector<int> codes;
};

// A process layer that starts nothing: each call is recorded and answered
// from the scripted values.
class ScriptedProcesses final : public Platform::ProcessApi {
public:
    struct Call {
        QStringList argv;       // start: the split command line; shellOpen: target, then its arguments
        QString workingFolder;
        bool hidden = false;
        Platform::StartOptions options = {};
    };

    using Platform::ProcessApi::start;
    Platform::StartResult start(const QStringList &argv,
                                const Platform::StartOptions &options) override
    {
        starts.push_back({argv, options.workingFolder, options.hidden, options});
        Platform::StartResult r;
        r.error = startError;
        if (r.started())
            r.pid = 4242;
        return r;
    }
    Platform::ShellOpenResult shellOpen(const QString &target, const QStringList &arguments,
                                        const Platform::StartOptions &options) override
    {
        opens.push_back({QStringList{target} + arguments, options.workingFolder, options.hidden, options});
        return {shellCode, shellCode > 32 ? qint64(4242) : qint64(-1)};
    }
    // Answers StillActive `runningPolls` times, then `exitStatus`.
    std::optional<int> exitCode(qint64 pid) override
    {
        ++exitQueries;
        if (pid != 4242)
            return std::nullopt;
        if (runningPolls > 0) {
            --runningPolls;
            return Platform::StillActive;
        }
        return exitStatus;
    }
    void terminate(qint64 pid) override { terminated.push_back(pid); }
    void terminateAll() override { ++terminations; }

    Platform::StartError startError = Platform::StartError::None;
    int shellCode = 42;
    int runningPolls = 0;
    int exitStatus = 0;
    std::vector<Call> starts, opens;
    int exitQueries = 0;
    int terminations = 0;
    std::vector<qint64> terminated;
};

} // namespace Fakes
