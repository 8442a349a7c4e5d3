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

TerminalView::TerminalView(const FixedDocuments &documents, std::FILE *stream, bool liveBar,
                           Progress progress, int columns)
    : documents_(documents), stream_(stream), liveBar_(liveBar && progress != Progress::Quiet),
      progress_(progress), columns_(std::max(20, columns))
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
    // Lines come from the run's observer calls; a new document only redraws
    // the bar.
    Q_UNUSED(percent);
}

QString TerminalView::lineStart(int position) const
{
    return QStringLiteral("[%1/%2] %3").arg(position).arg(documents_.count())
        .arg(documents_.textAt(position).value_or(QString()));
}

void TerminalView::hold(int position, const QString &line)
{
    if (progress_ == Progress::Quiet)
        return;
    held_[position] << line;
}

void TerminalView::flush()
{
    bool wrote = false;
    while (ready_.count(nextLine_)) {
        ready_.erase(nextLine_);
        const auto it = held_.find(nextLine_);
        if (it != held_.end()) {
            if (!wrote)
                clearBar();
            wrote = true;
            // Paths go out with their exact bytes, as the file system has them.
            for (const QString &line : it->second)
                std::fprintf(stream_, "%s\n", Platform::encodePath(line).constData());
            held_.erase(it);
        }
        ++nextLine_;
    }
    drawBar();
}

void TerminalView::documentStarted(int position, const QString &, int pageCount)
{
    current_[position] = Current{pageCount, 0};
    hold(position, lineStart(position));
    ready_.insert(position);
    flush();
}

void TerminalView::pagesArrived(int position, const QList<int> &pages, int arrived)
{
    const auto it = current_.find(position);
    if (it == current_.end())
        return;
    it->second.arrived = arrived;
    if (progress_ == Progress::Verbose) {
        QStringList lines;
        for (const int page : pages)
            lines << lineStart(position)
                         + (it->second.pageCount > 0
                                ? QStringLiteral(": page %1 of %2").arg(page).arg(it->second.pageCount)
                                : QStringLiteral(": page %1").arg(page));
        if (position < nextLine_) {
            // Its first line is out: the page lines follow at once.
            clearBar();
            for (const QString &line : lines)
                std::fprintf(stream_, "%s\n", Platform::encodePath(line).constData());
        } else {
            held_[position] << lines;
        }
    }
    flush();
}

void TerminalView::documentEnded(const DocumentEnd &end)
{
    if (!current_.erase(end.position)) {
        // It never reached the converter: its one line says how it ended
        // when it was skipped, the messages say the rest.
        hold(end.position, end.outcome == DocumentEnd::Outcome::UpToDate
                               ? lineStart(end.position) + QStringLiteral(": up to date")
                               : lineStart(end.position));
        ready_.insert(end.position);
    }
    flush();
}

void TerminalView::drawBar()
{
    if (!liveBar_)
        return;
    QString line;
    for (const auto &[position, doc] : current_) {
        if (!line.isEmpty())
            line += QStringLiteral("  ");
        const QString name = Platform::displayPath(documents_.textAt(position).value_or(QString()).section(QLatin1Char('/'), -1));
        line += QStringLiteral("[%1/%2] %3  %4/%5").arg(position).arg(documents_.count()).arg(name)
                    .arg(doc.arrived).arg(doc.pageCount > 0 ? QString::number(doc.pageCount) : QStringLiteral("?"));
    }
    // One line only, so that it can be redrawn in place.
    if (line.size() >= columns_)
        line = line.left(columns_ - 2) + QChar(0x2026);
    if (line.isEmpty() && !barShown_)
        return;
    std::fprintf(stream_, "\r\033[K%s", line.toUtf8().constData());
    std::fflush(stream_);
    barShown_ = !line.isEmpty();
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
