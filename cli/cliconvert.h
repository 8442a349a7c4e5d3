#pragma once

#include "cli/options.h"
#include "cli/documentlist.h"
#include "cli/jsonreport.h"
#include "convert/pdfcontext.h"

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
// With a shard, only the documents of that part are kept (a file by the
// path as given, a folder's by their path below it).
std::optional<QStringList> collectDocuments(const QStringList &paths, Platform::EventPump &pump,
                                            QStringList *unentered = nullptr, const Shard &shard = {});

// "rasterwell: <line>" on the error stream.
void complain(const QString &line);

// What every command-line run needs before it starts: a working folder whose
// companions can be used, and the report file when one is asked for (never
// one of `documents` or their images; with --watch, no such name in the
// watched folders). False (after a message on the error stream) when the
// run cannot start.
bool prepareRun(const CommandLine::Request &request, const QString &appFolder,
                QString &workFolder, std::optional<JsonReport> &report,
                const QStringList &documents = {});

// The request's settings for the converter script ("NAME=value").
QStringList scriptSettings(const CommandLine::Request &request);

// Where the request's images go: beside the documents, or beneath its
// --output folder, mirroring the folders among its paths.
PDF::OutputPlace outputPlace(const CommandLine::Request &request);
// The folder IsUpToDate looks in for `document`'s images (empty: beside it).
QString imageFolderFor(const PDF::OutputPlace &place, const QString &document);

} // namespace Cli
