#pragma once

#include "platform/clock.h"
#include "platform/gui/dialogs.h"
#include "platform/homepage.h"
#include "platform/messages.h"

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

class MessageRecorder final : public Platform::MessageSink {
public:
    void showMessage(const QString &text, const QString &title, Platform::MessageIcon icon) override
    {
        messages.push_back({text, title, icon});
        if (onMessage)
            onMessage(messages.back());
    }
    std::vector<Message> messages;
    std::function<void(const Message &)> onMessage;
};

class FixedClock final : public Platform::Clock {
public:
    double secondsSinceMidnight() const override { return seconds; }
    double seconds = 43200.5;
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

} // namespace Fakes
