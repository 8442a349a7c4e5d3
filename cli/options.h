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
    // For Convert: settings that override the converter script's for this
    // run (as given, checked for range), and the documents side by side.
    QString resolution; // -r, --resolution: 1 to 2400 dots per inch
    QString quality;    // -q, --quality: 1 to 100
    int jobs = 0;       // -j, --jobs: 1 or more; 0: the default
    bool recover = false; // --recover: keep the pages of a lost page tree, in file order
    bool update = false; // --update: skip documents whose images are up to date
    bool watch = false;  // --watch: then keep converting what appears in the folders
    enum class Progress { Normal, Quiet, Verbose };
    Progress progress = Progress::Normal; // --quiet, --verbose
    QString report;      // --report FILE: JSON Lines, one per document; "-": standard output
    // Many machines: the documents from a list, and one share of them.
    QString filesFrom;   // --files-from FILE: documents one a line; "-": standard input
    bool nulSeparated = false; // -0, --null: that list is NUL-separated
    int shardIndex = 0;  // --shard K/N: K, from 1 to N; 0: every document
    int shardCount = 0;  // N
    QString passwordFile; // --password-file FILE: passwords one a line; "-": standard input
    // Where the images go and what they are like.
    QString output;      // -o, --output DIR: beneath DIR, mirroring the tree; empty: beside
    QString pages;       // --pages RANGE: "1,3,5-7,10-" as given (checked); empty: every page
    int scaleTo = 0;     // --scale-to PX: the long side in pixels; 0: by resolution
    bool gray = false;   // --gray: grey-scale images
    bool png = false;    // --format png (or jpg, the default)
};

// Parses the arguments after the program name.
Request parse(const QStringList &arguments);

// The short usage text printed with a usage error.
QString usage();

// The full --help text.
QString help();

} // namespace CommandLine
