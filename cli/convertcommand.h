#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace Platform {
class EventPump;
}

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

// The documents `paths` stand for, in order: a file as given, a folder
// searched for "*.pdf" files. Nothing (after a message on the error stream)
// when a path does not exist.
std::optional<QStringList> collectDocuments(const QStringList &paths, Platform::EventPump &pump);

} // namespace Cli
