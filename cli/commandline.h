#pragma once

#include <QString>
#include <QStringList>

// What the program was asked to do on its command line.
namespace CommandLine {

enum class Mode { Window, Version, Help, Convert, UsageError };

struct Request {
    Mode mode = Mode::Window;
    QStringList paths;  // for Convert and Window, in the order given
    QString error;      // for UsageError, one line
};

// Parses the arguments after the program name.
Request parse(const QStringList &arguments);

// The short usage text printed with a usage error.
QString usage();

// The full --help text.
QString help();

} // namespace CommandLine
