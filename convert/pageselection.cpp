#include "convert/pageselection.h"

#include <QStringList>

#include <algorithm>
#include <vector>

std::optional<PageSelection> PageSelection::parse(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    const auto number = [](const QString &digits) -> std::optional<int> {
        if (digits.isEmpty() || digits.size() > 9
            || !std::all_of(digits.begin(), digits.end(),
                            [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            return std::nullopt;
        const int n = digits.toInt();
        return n >= 1 ? std::optional<int>(n) : std::nullopt;
    };
    PageSelection selection;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const qsizetype dash = part.indexOf(QLatin1Char('-'));
        const std::optional<int> first = number(dash < 0 ? part : part.left(dash));
        if (!first)
            return std::nullopt;
        int last = *first;
        if (dash >= 0) {
            const QString end = part.mid(dash + 1);
            last = 0;
            if (!end.isEmpty()) {
                const std::optional<int> n = number(end);
                if (!n || *n < *first)
                    return std::nullopt;
                last = *n;
            }
        }
        selection.ranges_.append({*first, last});
    }
    return selection;
}

QList<int> PageSelection::within(int pageCount) const
{
    std::vector<bool> wanted(std::size_t(std::max(pageCount, 0)) + 1, isAll());
    for (const auto &[first, last] : ranges_)
        for (int page = first; page <= (last == 0 ? pageCount : std::min(last, pageCount)); ++page)
            wanted[std::size_t(page)] = true;
    QList<int> pages;
    for (int page = 1; page <= pageCount; ++page)
        if (wanted[std::size_t(page)])
            pages << page;
    return pages;
}

QString PageSelection::pastEnd(int pageCount) const
{
    QStringList parts;
    for (const auto &[first, last] : ranges_) {
        if (last == 0 ? first <= pageCount : last <= pageCount)
            continue;
        const int from = std::max(first, pageCount + 1);
        parts << (last == 0 ? QStringLiteral("%1-").arg(from)
                  : last > from ? QStringLiteral("%1-%2").arg(from).arg(last)
                                : QString::number(from));
    }
    return parts.join(QStringLiteral(", "));
}

QString PageSelection::text() const
{
    QStringList parts;
    for (const auto &[first, last] : ranges_)
        parts << (last == first ? QString::number(first)
                  : last == 0   ? QStringLiteral("%1-").arg(first)
                                : QStringLiteral("%1-%2").arg(first).arg(last));
    return parts.join(QLatin1Char(','));
}
