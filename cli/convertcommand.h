#pragma once

#include "cli/commandline.h"

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
    SomeNotConverted = 1, // protected, failed, a folder not searched, or nothing to convert
    CannotRun = 2,        // usage error, or companions / application folder unusable
};

// Converts the documents named by the request's paths (files as given,
// folders searched like "Add All PDF File(s) In Folder") with the program's
// conversion run and the request's settings, printing its messages; returns
// the exit status.
int convert(const CommandLine::Request &request, const QString &appFolder);

// The documents `paths` stand for, in order: a file as given, a folder
// searched for "*.pdf" files; every folder a search could not enter is added
// to `unentered` ("<folder>: <reason>"). Nothing (after a message on the
// error stream) when a path does not exist.
std::optional<QStringList> collectDocuments(const QStringList &paths, Platform::EventPump &pump,
                                            QStringList *unentered = nullptr);

} // namespace Cli
