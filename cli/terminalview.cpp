#include "cli/terminalview.h"

#include "platform/pathcodec.h"

#include <cmath>

namespace Cli {

std::optional<QString> FixedDocuments::textAt(int position) const
{
    if (position < 1 || position > count())
        return std::nullopt;
    return paths_[position - 1];
}

TerminalView::TerminalView(const FixedDocuments &documents, std::FILE *stream, bool liveBar)
    : documents_(documents), stream_(stream), liveBar_(liveBar)
{
}

void TerminalView::clearBar()
{
    if (barShown_) {
        std::fputs("\r\033[K", stream_);
        std::fflush(stream_);
        barShown_ = false;
    }
}

void TerminalView::setProgress(double percent)
{
    clearBar();
    const int count = documents_.count();
    if (percent <= 0 || count == 0)
        return;
    // The run sets the bar to position / count x 100 before each document.
    const int position = int(std::lround(percent * count / 100.0));
    if (const std::optional<QString> path = documents_.textAt(position))
        std::fprintf(stream_, "[%d/%d] %s\n", position, count, Platform::encodePath(*path).constData());
    if (liveBar_) {
        constexpr int Width = 40;
        const int filled = int(std::lround(percent * Width / 100.0));
        std::fprintf(stream_, "[%s%s] %3d%%", QByteArray(filled, '#').constData(),
                     QByteArray(Width - filled, ' ').constData(), int(std::lround(percent)));
        barShown_ = true;
    }
    std::fflush(stream_);
}

void TerminalMessages::showMessage(const QString &text, const QString &, Platform::MessageIcon)
{
    view_.clearBar();
    // Paths go out with their exact bytes, as the file system has them.
    std::fprintf(out_, "%s\n", Platform::encodePath(text).constData());
    std::fflush(out_);
}

void TerminalMessages::showDetails(const QStringList &lines)
{
    view_.clearBar();
    // The first line names the document; the rest explain it, indented.
    for (const QString &line : lines)
        std::fprintf(stderr, "%s%s\n", line.startsWith(QLatin1Char(' ')) ? "" : "rasterwell: ",
                     Platform::encodePath(line).constData());
    std::fflush(stderr);
}

void TerminalMessages::showProblem(const QString &text, const QString &)
{
    view_.clearBar();
    std::fprintf(stderr, "rasterwell: %s\n", Platform::encodePath(text).constData());
    std::fflush(stderr);
}

} // namespace Cli
