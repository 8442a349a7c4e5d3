#pragma once

#include "cli/options.h"
#include "convert/runobserver.h"
#include "convert/runview.h"
#include "platform/messages.h"
#include "platform/pointer.h"

#include <QStringList>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace Cli {

// The columns a terminal takes for the text: East Asian wide and fullwidth
// characters count 2, combining marks 0.
int displayColumns(const QString &text);

// One document on the live bar: "[2/10] ", its name, "  45/117".
struct BarEntry {
    QString before, name, after;
};
// The live bar in at most `columns` columns: names are shortened (in the
// middle), never the counts.
QString barLine(const std::vector<BarEntry> &entries, int columns);

// The documents named on the command line; the list never changes.
class FixedDocuments final : public DocumentSource {
public:
    explicit FixedDocuments(QStringList paths) : paths_(std::move(paths)) {}
    int count() const override { return int(paths_.size()); }
    std::optional<QString> textAt(int position) const override;
    const QStringList &paths() const { return paths_; }

private:
    QStringList paths_;
};

// Progress on the error stream: one line per document ("[3/10] <path>", or
// "[3/10] <path>: up to date" for one skipped), in list order, each as soon
// as its document is under way or has ended; with --verbose also a line per
// page. On a terminal a live line below them counts the pages of the
// documents being converted ("[2/10] report.pdf  45/117"). --quiet prints
// no progress at all.
class TerminalView final : public RunView, public Platform::PointerSetting, public RunObserver {
public:
    using Progress = CommandLine::Request::Progress;
    TerminalView(const FixedDocuments &documents, std::FILE *stream, bool liveBar,
                 Progress progress = Progress::Normal, int columns = 80);
    void setProgress(double percent) override;
    void setApplicationPointer(int) override {}
    int pointer() const override { return pointer_; }
    void setPointer(int code) override { pointer_ = code; }

    void documentStarted(int position, const QString &document, int pageCount) override;
    void pagesArrived(int position, const QList<int> &pages, int arrived) override;
    void documentEnded(const DocumentEnd &end) override;

    // Removes the live bar before other output goes to the terminal.
    void clearBar();

private:
    struct Current {
        int pageCount = 0;
        int arrived = 0;
    };
    QString lineStart(int position) const;
    void hold(int position, const QString &line);
    void flush();
    void drawBar();

    const FixedDocuments &documents_;
    std::FILE *stream_;
    bool liveBar_;
    Progress progress_;
    int columns_;
    bool barShown_ = false;
    int pointer_ = Platform::PointerDefault;
    std::map<int, QStringList> held_; // lines waiting for an earlier document's
    std::set<int> ready_;             // positions whose first line is known
    int nextLine_ = 1;                // the next position whose lines may go out
    std::map<int, Current> current_;  // documents being converted
};

// The run's messages, one per line on the output stream.
class TerminalMessages final : public Platform::MessageSink {
public:
    TerminalMessages(std::FILE *out, TerminalView &view) : out_(out), view_(view) {}
    void showMessage(const QString &text, const QString &title, Platform::MessageIcon icon) override;
    // Problems that stop the run, and why a document was not converted, go
    // to the error stream.
    void showProblem(const QString &text, const QString &title) override;
    void showDetails(const QStringList &lines) override;

private:
    std::FILE *out_;
    TerminalView &view_;
};

} // namespace Cli
