#pragma once

#include <QString>
#include <QStringList>

namespace Shell32 {

// Splits a command line by the Windows rules: the program name up to its
// closing quote or first blank, then arguments separated by blanks, where
// double quotes group and backslashes escape a quote only before one.
QStringList splitCommandLine(const QString &commandLine);

// The arguments of a parameter string (a command line without its
// program), split by the same rules.
QStringList splitArguments(const QString &parameters);

// One argument of a command line, quoted so that splitting the line by the
// Windows rules (splitCommandLine) gives back exactly `argument`,
// whatever it holds: blanks, double quotes, backslashes, newlines. A plain
// argument simply gains a double quote at each end.
QString quoteArgument(const QString &argument);

} // namespace Shell32
