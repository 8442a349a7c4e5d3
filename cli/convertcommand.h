#pragma once

#include <QString>
#include <QStringList>

namespace Cli {

// Exit statuses of the command-line conversion.
enum ExitStatus : int {
    AllConverted = 0,
    SomeNotConverted = 1, // protected, failed, or nothing to convert
    CannotRun = 2,        // usage error, or companions / application folder unusable
};

// Converts the documents named by `paths` (files as given, folders searched
// like "Add All PDF File(s) In Folder") with the program's conversion run,
// printing its messages; returns the exit status.
int convert(const QStringList &paths, const QString &appFolder);

} // namespace Cli
