#include "cli/terminalview.h"

#include "platform/pathcodec.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace Cli {

namespace {

// A line as it goes to a terminal: undecodable bytes and control characters
// escaped (platform/pathcodec.h), so that no name can steer the terminal.
QByteArray forTerminal(const QString &line)
{
    return Platform::displayPath(line).toUtf8();
}

// The columns a terminal gives a character: 2 for East Asian wide and
// fullwidth ones, 0 for combining marks and other zero-width characters, 1
// for the rest.
int columnsOf(char32_t c)
{
    if (c == 0x200B || (c >= 0x1160 && c <= 0x11FF))
        return 0;
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_Enclosing:
    case QChar::Other_Format:
        return 0;
    default:
        break;
    }
    static constexpr std::pair<char32_t, char32_t> Wide[] = {
        {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
        {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
        {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
        {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
        {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
        {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
        {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
        {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
        {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
        {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
        {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
        {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
        {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
        {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F2FF}, {0x1F300, 0x1F64F},
        {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF},
        {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    };
    const auto *it = std::upper_bound(std::begin(Wide), std::end(Wide), c,
                                      [](char32_t value, const auto &range) { return value < range.first; });
    return it != std::begin(Wide) && c <= std::prev(it)->second ? 2 : 1;
}

int columnsOf(const QList<uint> &text)
{
    int columns = 0;
    for (const uint c : text)
        columns += columnsOf(char32_t(c));
    return columns;
}

// The text in at most `columns` columns: cut in the middle, where "…"
// stands for what is left out, so that its start and its end stay.
QString shortened(const QString &text, int columns)
{
    const QList<uint> all = text.toUcs4();
    auto columnsAt = [&all](qsizetype i) { return columnsOf(char32_t(all[i])); };
    if (columnsOf(all) <= columns)
        return text;
    if (columns < 1)
        return {};
    const int headColumns = columns / 2, tailColumns = columns - 1 - headColumns;
    qsizetype head = 0;
    for (int used = 0; head < all.size() && used + columnsAt(head) <= headColumns; ++head)
        used += columnsAt(head);
    qsizetype tail = all.size();
    for (int used = 0; tail > head && used + columnsAt(tail - 1) <= tailColumns; --tail)
        used += columnsAt(tail - 1);
    // A mark belongs to the character before it, which is left out.
    while (tail < all.size() && columnsAt(tail) == 0)
        ++tail;
    const auto *ucs4 = reinterpret_cast<const char32_t *>(all.constData());
    return QString::fromUcs4(ucs4, head) + QChar(0x2026) + QString::fromUcs4(ucs4 + tail, all.size() - tail);
}

} // namespace

int displayColumns(const QString &text)
{
    return columnsOf(text.toUcs4());
}

QString barLine(const std::vector<BarEntry> &entries, int columns)
{
    // The counts are never cut: the names give way, down to "…" each, and
    // documents that still do not fit are summed up as "+N".
    const int separator = 2;
    auto fixedColumns = [&](std::size_t shown) {
        int used = 0;
        for (std::size_t i = 0; i < shown; ++i)
            used += displayColumns(entries[i].before) + displayColumns(entries[i].after) + (i > 0 ? separator : 0);
        if (shown < entries.size())
            used += displayColumns(QStringLiteral("  +%1").arg(entries.size() - shown));
        return used;
    };
    std::size_t shown = entries.size();
    while (shown > 1 && fixedColumns(shown) + int(shown) > columns)
        --shown;
    // What the names may use, shared out: a short name keeps all of its
    // width, the others get equal parts of the rest.
    int left = columns - fixedColumns(shown);
    std::vector<int> widths(shown), allowed(shown);
    std::vector<std::size_t> order(shown);
    for (std::size_t i = 0; i < shown; ++i) {
        widths[i] = displayColumns(entries[i].name);
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return widths[a] < widths[b]; });
    for (std::size_t k = 0; k < shown; ++k) {
        const std::size_t i = order[k];
        allowed[i] = std::max(0, std::min(widths[i], left / int(shown - k)));
        left -= allowed[i];
    }
    QString line;
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0)
            line += QString(separator, QLatin1Char(' '));
        line += entries[i].before + shortened(entries[i].name, allowed[i]) + entries[i].after;
    }
    if (shown < entries.size())
        line += QStringLiteral("  +%1").arg(entries.size() - shown);
    return line;
}

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
            for (const QString &line : it->second)
                std::fprintf(stream_, "%s\n", forTerminal(line).constData());
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
                std::fprintf(stream_, "%s\n", forTerminal(line).constData());
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
    std::vector<BarEntry> entries;
    for (const auto &[position, doc] : current_)
        entries.push_back({QStringLiteral("[%1/%2] ").arg(position).arg(documents_.count()),
                           Platform::displayPath(documents_.textAt(position).value_or(QString())
                                                     .section(QLatin1Char('/'), -1)),
                           QStringLiteral("  %1/%2").arg(doc.arrived).arg(
                               doc.pageCount > 0 ? QString::number(doc.pageCount) : QStringLiteral("?"))});
    // One line only, so that it can be redrawn in place: narrower than the
    // terminal, so that it never wraps.
    const QString line = barLine(entries, columns_ - 1);
    if (line.isEmpty() && !barShown_)
        return;
    std::fprintf(stream_, "\r\033[K%s", line.toUtf8().constData());
    std::fflush(stream_);
    barShown_ = !line.isEmpty();
}

void TerminalMessages::showMessage(const QString &text, const QString &, Platform::MessageIcon)
{
    view_.clearBar();
    std::fprintf(out_, "%s\n", forTerminal(text).constData());
    std::fflush(out_);
}

void TerminalMessages::showDetails(const QStringList &lines)
{
    view_.clearBar();
    // The first line names the document; the rest explain it, indented.
    for (const QString &line : lines)
        std::fprintf(stderr, "%s%s\n", line.startsWith(QLatin1Char(' ')) ? "" : "rasterwell: ",
                     forTerminal(line).constData());
    std::fflush(stderr);
}

void TerminalMessages::showProblem(const QString &text, const QString &)
{
    view_.clearBar();
    std::fprintf(stderr, "rasterwell: %s\n", forTerminal(text).constData());
    std::fflush(stderr);
}

} // namespace Cli
