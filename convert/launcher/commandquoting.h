#pragma once

#include <QString>

namespace Shell32 {

// One argument of a command line, quoted so that splitting the line by the
// Windows rules (Platform::splitCommandLine) gives back exactly `argument`,
// whatever it holds: blanks, double quotes, backslashes, newlines. A plain
// argument simply gains a double quote at each end.
QString quoteArgument(const QString &argument);

} // namespace Shell32
