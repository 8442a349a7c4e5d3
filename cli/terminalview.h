#pragma once

#include "convert/runview.h"
#include "platform/messages.h"
#include "platform/pointer.h"

#include <QStringList>
#include <cstdio>

namespace Cli {

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

// Progress on the error stream: one line per document ("[3/10] <path>") and,
// on a terminal, a live bar below the lines.
class TerminalView final : public RunView, public Platform::PointerSetting {
public:
    TerminalView(const FixedDocuments &documents, std::FILE *stream, bool liveBar);
    void setProgress(double percent) override;
    void setApplicationPointer(int) override {}
    int pointer() const override { return pointer_; }
    void setPointer(int code) override { pointer_ = code; }

    // Removes the live bar before other output goes to the terminal.
    void clearBar();

private:
    const FixedDocuments &documents_;
    std::FILE *stream_;
    bool liveBar_;
    bool barShown_ = false;
    int pointer_ = Platform::PointerDefault;
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
