#include "cli/commandline.h"

namespace CommandLine {

Request parse(const QStringList &arguments)
{
    Request r;
    if (arguments.isEmpty())
        return r;

    const QString &first = arguments.first();
    auto fail = [&](const QString &error) {
        r.mode = Mode::UsageError;
        r.error = error;
        r.paths.clear();
        return r;
    };
    if (first == QLatin1String("--version") || first == QLatin1String("--help")
        || first == QLatin1String("-h")) {
        if (arguments.size() > 1)
            return fail(QStringLiteral("%1 takes no arguments").arg(first));
        r.mode = first == QLatin1String("--version") ? Mode::Version : Mode::Help;
        return r;
    }
    if (first != QLatin1String("--convert")) {
        // The window, with paths for its list; options end at "--".
        bool optionsEnded = false;
        for (const QString &a : arguments) {
            if (!optionsEnded && a == QLatin1String("--"))
                optionsEnded = true;
            else if (!optionsEnded && a.startsWith(QLatin1Char('-')) && a.size() > 1)
                return fail(QStringLiteral("unknown option %1").arg(a));
            else
                r.paths << a;
        }
        return r;
    }

    r.mode = Mode::Convert;
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (!optionsEnded && a == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && a.startsWith(QLatin1String("--"))) {
            return fail(QStringLiteral("unknown option %1").arg(a));
        } else {
            r.paths << a;
        }
    }
    if (r.paths.isEmpty())
        return fail(QStringLiteral("--convert needs at least one file or folder"));
    return r;
}

QString usage()
{
    return QStringLiteral(
        "usage: rasterwell [PATH...]             open the window, PATHs in its list\n"
        "       rasterwell --convert PATH...     convert without a window\n"
        "       rasterwell --help | --version\n");
}

QString help()
{
    return QStringLiteral(
        "Rasterwell turns PDF documents into JPG images, one image per page.\n"
        "\n"
        "rasterwell [PATH...]\n"
        "    Opens the window. Build a list of documents with \"Add PDF File(s)\",\n"
        "    \"Add All PDF File(s) In Folder\" or by dropping files or folders on\n"
        "    the list; drag an item to move it, double-click it to remove it; then\n"
        "    press \"Convert!\". Each PATH goes into the list: a file as given, a\n"
        "    folder searched like \"Add All PDF File(s) In Folder\"; a PATH that\n"
        "    does not exist is left out and named in a message. When a Rasterwell\n"
        "    window of yours is open already, the PATHs are added to its list, it\n"
        "    comes to the front and no second window opens. Use -- before paths\n"
        "    that start with a dash.\n"
        "\n"
        "rasterwell --convert PATH...\n"
        "    Converts without a window and without a display. A PATH that is a file\n"
        "    is converted as given; a PATH that is a folder is searched with all its\n"
        "    sub-folders for *.pdf files (any case; names starting with \"~\", hidden\n"
        "    folders and links to folders are skipped). Use -- before paths that\n"
        "    start with a dash. Messages go to standard output, progress to\n"
        "    standard error. Exit status: 0 when every document produced its\n"
        "    images, 1 when any document was password protected or failed or\n"
        "    nothing was found, 2 for a usage error or when the companion programs\n"
        "    or the application folder cannot be used.\n"
        "\n"
        "Output\n"
        "    One JPG per page beside each document, named after the document less\n"
        "    its extension, a minus sign and the page number in at least three\n"
        "    digits: /docs/report.pdf gives /docs/report-001.jpg, report-002.jpg, ...\n"
        "    Existing images of the same names are replaced.\n"
        "\n"
        "Companion programs (in the program's folder, which must be writable)\n"
        "    pdftk.exe          tells whether a document needs a password\n"
        "    ps/pdf2tiff.bat    the converter script; it renders through ps/rwrender\n"
        "    Resolution (RESOLUTION, default 150 dpi), JPEG quality (QUALITY,\n"
        "    default 90) and the time limit per page are variables at the top of\n"
        "    ps/pdf2tiff.bat.\n"
        "\n"
        "rasterwell --help       this text\n"
        "rasterwell --version    the version\n");
}

} // namespace CommandLine
