#include "convert/launcher/commandquoting.h"

namespace Shell32 {

QStringList splitCommandLine(const QString &commandLine)
{
    QStringList args;
    const qsizetype n = commandLine.size();
    qsizetype i = 0;
    auto isBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };

    // The program name: up to the closing quote, or up to the first blank.
    while (i < n && isBlank(commandLine[i]))
        ++i;
    if (i >= n)
        return args;
    QString program;
    if (commandLine[i] == QLatin1Char('"')) {
        ++i;
        while (i < n && commandLine[i] != QLatin1Char('"'))
            program += commandLine[i++];
        if (i < n)
            ++i;
    } else {
        while (i < n && !isBlank(commandLine[i]))
            program += commandLine[i++];
    }
    args << program;

    // The arguments, with the backslash-and-quote rules.
    for (;;) {
        while (i < n && isBlank(commandLine[i]))
            ++i;
        if (i >= n)
            break;
        QString arg;
        bool quoted = false;
        while (i < n && (quoted || !isBlank(commandLine[i]))) {
            if (commandLine[i] == QLatin1Char('\\')) {
                qsizetype count = 0;
                while (i < n && commandLine[i] == QLatin1Char('\\')) {
                    ++count;
                    ++i;
                }
                if (i < n && commandLine[i] == QLatin1Char('"')) {
                    arg += QString(count / 2, QLatin1Char('\\'));
                    if (count % 2) {
                        arg += QLatin1Char('"');
                        ++i;
                    }
                } else {
                    arg += QString(count, QLatin1Char('\\'));
                }
            } else if (commandLine[i] == QLatin1Char('"')) {
                if (quoted && i + 1 < n && commandLine[i + 1] == QLatin1Char('"')) {
                    arg += QLatin1Char('"'); // "" inside quotes is one quote
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += commandLine[i++];
            }
        }
        args << arg;
    }
    return args;
}

QStringList splitArguments(const QString &parameters)
{
    return splitCommandLine(QStringLiteral("x ") + parameters).mid(1);
}

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
