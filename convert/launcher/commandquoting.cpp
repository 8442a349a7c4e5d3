#include "convert/launcher/commandquoting.h"

namespace Shell32 {

QString quoteArgument(const QString &argument)
{
    QString quoted(QLatin1Char('"'));
    qsizetype backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"')) {
            // Backslashes before a quote are doubled, and the quote escaped.
            quoted += QString(backslashes * 2 + 1, QLatin1Char('\\'));
            quoted += c;
        } else {
            quoted += QString(backslashes, QLatin1Char('\\'));
            quoted += c;
        }
        backslashes = 0;
    }
    // Backslashes before the closing quote are doubled too.
    quoted += QString(backslashes * 2, QLatin1Char('\\'));
    quoted += QLatin1Char('"');
    return quoted;
}

} // namespace Shell32
