#include "cli/options.h"

#include "convert/pageselection.h"

#include <cmath>
#include <optional>
#include <tuple>
#include <utility>

namespace CommandLine {

namespace {

// The ranges the renderer accepts; a number outside them is a usage error
// here, before anything is converted.
constexpr double MaxResolution = 2400;
constexpr int MaxQuality = 100;
constexpr int MaxJobs = 64;
constexpr int MaxScaleTo = 65000; // JPEG's limit for a side

std::optional<double> number(const QString &text, double low, double high, bool whole)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high
        || (whole && value != std::floor(value)))
        return std::nullopt;
    return value;
}

constexpr int MaxShards = 100000;

// "K/N" with 1 <= K <= N.
std::optional<std::pair<int, int>> shardOf(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 2)
        return std::nullopt;
    const std::optional<double> k = number(parts[0], 1, MaxShards, true);
    const std::optional<double> n = number(parts[1], 1, MaxShards, true);
    if (!k || !n || *k > *n)
        return std::nullopt;
    return std::pair{int(*k), int(*n)};
}

} // namespace

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
        if (optionsEnded) {
            r.paths << a;
            continue;
        }
        if (a == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (a == QLatin1String("--update") || a == QLatin1String("--watch")) {
            (a == QLatin1String("--update") ? r.update : r.watch) = true;
            continue;
        }
        if (a == QLatin1String("--quiet") || a == QLatin1String("--verbose")) {
            const auto wanted = a == QLatin1String("--quiet") ? Request::Progress::Quiet
                                                              : Request::Progress::Verbose;
            if (r.progress != Request::Progress::Normal && r.progress != wanted)
                return fail(QStringLiteral("--quiet and --verbose cannot be given together"));
            r.progress = wanted;
            continue;
        }
        // -0: the --files-from list is NUL-separated.
        if (a == QLatin1String("-0") || a == QLatin1String("--null")) {
            r.nulSeparated = true;
            continue;
        }
        if (a == QLatin1String("--gray")) {
            r.gray = true;
            continue;
        }
        // -r N, -rN, --resolution N, --resolution=N (and the same for -q,
        // -j; --report FILE, --report=FILE; -o DIR, --output=DIR; the image,
        // list, shard and password options).
        QString name = a;
        std::optional<QString> value;
        if (a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('='))) {
            name = a.section(QLatin1Char('='), 0, 0);
            value = a.section(QLatin1Char('='), 1);
        } else if (a.size() > 2 && (a[2].isDigit() || a[2] == QLatin1Char('.') || a[2] == QLatin1Char('-'))
                   && (a.startsWith(QLatin1String("-r")) || a.startsWith(QLatin1String("-q"))
                       || a.startsWith(QLatin1String("-j")))) {
            // A number attached ("-r150"); "-quiet" is a mistyped option.
            name = a.left(2);
            value = a.mid(2);
        }
        const bool resolution = name == QLatin1String("-r") || name == QLatin1String("--resolution");
        const bool quality = name == QLatin1String("-q") || name == QLatin1String("--quality");
        const bool jobs = name == QLatin1String("-j") || name == QLatin1String("--jobs");
        if (a == QLatin1String("--recover")) {
            r.recover = true;
            continue;
        }
        const bool report = name == QLatin1String("--report");
        const bool output = name == QLatin1String("-o") || name == QLatin1String("--output");
        const bool pages = name == QLatin1String("--pages");
        const bool scaleTo = name == QLatin1String("--scale-to");
        const bool format = name == QLatin1String("--format");
        const bool imageOption = output || pages || scaleTo || format;
        const bool shard = name == QLatin1String("--shard");
        const bool listOrPasswords = name == QLatin1String("--files-from") || name == QLatin1String("--password-file");
        if (!resolution && !quality && !jobs && !report && !imageOption && !shard && !listOrPasswords) {
            // A mistyped option is never taken for a file name.
            if (a.startsWith(QLatin1Char('-')))
                return fail(QStringLiteral("unknown option %1 (paths that start with a dash go after --)").arg(a));
            r.paths << a;
            continue;
        }
        if (!value) {
            if (i + 1 >= arguments.size())
                return fail(QStringLiteral("%1 needs a value").arg(name));
            value = arguments[++i];
        }
        if (shard) {
            const std::optional<std::pair<int, int>> k = shardOf(*value);
            if (!k)
                return fail(QStringLiteral("--shard must be K/N, whole numbers with 1 <= K <= N <= %1, not %2")
                                .arg(MaxShards).arg(*value));
            std::tie(r.shardIndex, r.shardCount) = *k;
        } else if (listOrPasswords) {
            if (value->isEmpty())
                return fail(QStringLiteral("%1 needs a file name, or - for standard input").arg(name));
            (name == QLatin1String("--files-from") ? r.filesFrom : r.passwordFile) = *value;
        } else if (imageOption) {
            // Where the images go and what they are like.
            if (output) {
                if (value->isEmpty())
                    return fail(QStringLiteral("%1 needs a folder name").arg(name));
                r.output = *value;
            } else if (pages) {
                const std::optional<PageSelection> selection = PageSelection::parse(*value);
                if (!selection)
                    return fail(QStringLiteral("--pages must be page numbers and ranges from 1, such as "
                                               "1,3,5-7,10- (an open end: to the last page), not %1")
                                    .arg(*value));
                r.pages = selection->text();
            } else if (scaleTo) {
                const std::optional<double> n = number(*value, 1, MaxScaleTo, true);
                if (!n)
                    return fail(QStringLiteral("--scale-to must be a whole number of pixels from 1 to %1, not %2")
                                    .arg(MaxScaleTo).arg(*value));
                r.scaleTo = int(*n);
            } else {
                if (*value != QLatin1String("jpg") && *value != QLatin1String("png"))
                    return fail(QStringLiteral("--format must be jpg or png, not %1").arg(*value));
                r.png = *value == QLatin1String("png");
            }
        } else if (report) {
            if (value->isEmpty())
                return fail(QStringLiteral("--report needs a file name, or - for standard output"));
            r.report = *value;
        } else if (resolution) {
            if (!number(*value, 1, MaxResolution, false))
                return fail(QStringLiteral("%1 must be a number of dots per inch from 1 to %2, not %3")
                                .arg(name).arg(MaxResolution).arg(*value));
            r.resolution = value->trimmed();
        } else if (quality) {
            if (!number(*value, 1, MaxQuality, true))
                return fail(QStringLiteral("%1 must be a whole number from 1 to %2, not %3")
                                .arg(name).arg(MaxQuality).arg(*value));
            r.quality = QString::number(int(*number(*value, 1, MaxQuality, true)));
        } else {
            const std::optional<double> n = number(*value, 1, MaxJobs, true);
            if (!n)
                return fail(QStringLiteral("%1 must be a whole number from 1 to %2, not %3")
                                .arg(name).arg(MaxJobs).arg(*value));
            r.jobs = int(*n);
        }
    }
    if (r.nulSeparated && r.filesFrom.isEmpty())
        return fail(QStringLiteral("-0 applies to --files-from only"));
    if (r.filesFrom == QLatin1String("-") && r.passwordFile == QLatin1String("-"))
        return fail(QStringLiteral("--files-from and --password-file cannot both read standard input"));
    if (r.watch && !r.filesFrom.isEmpty())
        return fail(QStringLiteral("--watch watches folders; --files-from cannot be given with it"));
    if (r.paths.isEmpty() && r.filesFrom.isEmpty())
        return fail(QStringLiteral("--convert needs at least one file or folder"));
    return r;
}

QString usage()
{
    return QStringLiteral(
        "usage: rasterwell [PATH...]             open the window, PATHs in its list\n"
        "       rasterwell --convert [-r DPI] [-q QUALITY] [-j JOBS] [--recover] [--update]\n"
        "                  [-o DIR] [--pages RANGE] [--scale-to PX] [--gray] [--format jpg|png]\n"
        "                  [--quiet | --verbose] [--report FILE] [--password-file FILE]\n"
        "                  [--shard K/N] [--files-from FILE [-0]] PATH...\n"
        "                                        convert without a window\n"
        "       rasterwell --convert --watch [OPTIONS] FOLDER...\n"
        "                                        convert, then keep converting new PDFs\n"
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
        "rasterwell --convert [-r DPI] [-q QUALITY] [-j JOBS] [--recover] [--update]\n"
        "                     [-o DIR] [--pages RANGE] [--scale-to PX] [--gray]\n"
        "                     [--format jpg|png] [--quiet | --verbose] [--report FILE]\n"
        "                     [--password-file FILE] [--shard K/N]\n"
        "                     [--files-from FILE [-0]] PATH...\n"
        "    Converts without a window and without a display. A PATH that is a file\n"
        "    is converted as given; a PATH that is a folder is searched with all its\n"
        "    sub-folders for *.pdf files (any case; names starting with \"~\", hidden\n"
        "    folders and links to folders are skipped). Use -- before paths that\n"
        "    start with a dash. Messages go to standard output; progress, why a\n"
        "    document was not converted (which pages are missing, what the\n"
        "    converter said) and folders that could not be searched go to standard\n"
        "    error.\n"
        "    -r, --resolution DPI  dots per inch, 1 to 2400 (default: the converter\n"
        "                          script's RESOLUTION, 150)\n"
        "    -q, --quality QUALITY JPEG quality, 1 to 100 (default: the script's\n"
        "                          QUALITY, 90)\n"
        "    -j, --jobs JOBS       documents converted side by side, 1 to 64\n"
        "                          (default: $RASTERWELL_JOBS, else one per core)\n"
        "    --recover             when a document's page tree is lost, keep the\n"
        "                          pages found in file order as DOC-recovered-001.jpg,\n"
        "                          ... (never under a page number); the document\n"
        "                          still counts as failed\n"
        "    --update              skip a document whose images, one for each of\n"
        "                          its pages, all stand beside it, each recording\n"
        "                          its page, this run's resolution and quality and\n"
        "                          the document as it is now (size, times, inode,\n"
        "                          else content); it counts as converted. With the\n"
        "                          options below, the images must record the same\n"
        "                          (and stand beneath DIR with -o)\n"
        "    -o, --output DIR      the images go beneath DIR, mirroring the folders\n"
        "                          searched: -o /out /share gives /out/sub/x-001.jpg\n"
        "                          for /share/sub/x.pdf; a file PATH gives\n"
        "                          /out/x-001.jpg. Two documents that would write\n"
        "                          the same image names: the later one is refused\n"
        "    --pages RANGE         only these pages, under their own numbers:\n"
        "                          --pages 1,3,5-7,10- (10- is 10 to the last);\n"
        "                          pages past a document's end are named once and\n"
        "                          do not fail it\n"
        "    --scale-to PX         the long side of every image is PX pixels, 1 to\n"
        "                          65000 (-r does not count): --pages 1 --scale-to 256\n"
        "                          for thumbnails\n"
        "    --gray                grey-scale images, one channel\n"
        "    --format jpg|png      JPEG (default) or lossless PNG (-q does not\n"
        "                          apply), named DOC-001.png\n"
        "    --quiet               no progress, only the messages\n"
        "    --verbose             also a progress line for each page (and first the\n"
        "                          protections the companions run under)\n"
        "    --report FILE         one JSON object per line for each document as it\n"
        "                          ends: path, outcome (converted, up-to-date,\n"
        "                          protected, partial, failed, refused,\n"
        "                          interrupted), pages, images, missing, reason,\n"
        "                          seconds, and the options given that shape the\n"
        "                          images. FILE - is standard output; the messages\n"
        "                          then go to standard error. Only an earlier\n"
        "                          report or an empty file is replaced: a document\n"
        "                          of the run, an image name it may write, a link\n"
        "                          or any other file is a usage error.\n"
        "    --password-file FILE  passwords to try, one a line, on each document\n"
        "                          that needs one (user or owner password); FILE -\n"
        "                          is standard input. They reach the companions\n"
        "                          through a pipe only, never a command line, the\n"
        "                          environment or a file. A document none opens\n"
        "                          is reported protected.\n"
        "                          e.g. --password-file ~/.pdf-passwords\n"
        "    --files-from FILE     also the documents FILE lists, one a line (FILE -:\n"
        "                          standard input); PATHs may then be left out\n"
        "    -0, --null            that list is NUL-separated, as find -print0 writes:\n"
        "                          find /archive -name '*.pdf' -print0 |\n"
        "                            rasterwell --convert -0 --files-from -\n"
        "    --shard K/N           only the K-th of N parts of the documents found,\n"
        "                          chosen by a fixed hash of each one's path below\n"
        "                          the PATH it was found under, so that machines\n"
        "                          that mount the archive anywhere share it out:\n"
        "                          parallel rasterwell --convert --update --shard {}/4\n"
        "                            --report r-{}.json /archive ::: 1 2 3 4\n"
        "    Values may be attached: -r150, -q80, -j1, --resolution=150. Any other\n"
        "    word that starts with a dash is a usage error, never a path.\n"
        "    A value out of range is a usage error and nothing is converted; so is\n"
        "    one of RASTERWELL_JOBS, RASTERWELL_RESOLUTION or RASTERWELL_QUALITY\n"
        "    (the variable is named) when its option is not given.\n"
        "    A converter that writes nothing for three of the script's page time\n"
        "    limits and ten seconds is ended, and its document fails.\n"
        "    Ctrl-C, TERM and HUP stop the run cleanly (a report line says\n"
        "    interrupted for each document under way), then end the program.\n"
        "    Exit status: 0 when every document produced all its pages; 1 when any\n"
        "    document was password protected or failed, or is only partly\n"
        "    converted (the pages written stay under their page numbers), when a\n"
        "    folder could not be searched, or nothing was found; 2 for a usage\n"
        "    error, a path that does not exist, or when the companion programs or\n"
        "    the working folder cannot be used.\n"
        "\n"
        "rasterwell --convert --watch [OPTIONS] FOLDER...\n"
        "    Converts the folders as --update would, then keeps watching them and\n"
        "    their sub-folders (new ones too) and converts each PDF that is written\n"
        "    and closed, or moved in, once it has stayed unchanged for a moment.\n"
        "    The images it writes trigger nothing. A watched folder that goes away\n"
        "    is named once; the others are still watched. Ctrl-C, TERM and HUP end\n"
        "    it cleanly: status 0 when every document was converted.\n"
        "\n"
        "Output\n"
        "    One JPG per page beside each document, named after the document less\n"
        "    its extension, a minus sign and the page number in at least three\n"
        "    digits: /docs/report.pdf gives /docs/report-001.jpg, report-002.jpg, ...\n"
        "    Existing images of the same names are replaced. With -o DIR they go\n"
        "    beneath DIR instead; with --format png they are report-001.png, ...\n"
        "\n"
        "Companion programs (in the program's folder)\n"
        "    pdftk.exe          tells whether a document needs a password\n"
        "    ps/pdf2tiff.bat    the converter script; it renders through ps/rwrender\n"
        "    Resolution (RESOLUTION, default 150 dpi), JPEG quality (QUALITY,\n"
        "    default 90) and the time limit per page are variables at the top of\n"
        "    ps/pdf2tiff.bat.\n"
        "\n"
        "Working folder\n"
        "    The probe's result, the locks and the staging folders live in the\n"
        "    program's folder when it is writable, otherwise in\n"
        "    $XDG_STATE_HOME/rasterwell (~/.local/state/rasterwell). A copy of\n"
        "    pdf2tiff.bat in its ps/ folder is used instead of the installed one.\n"
        "\n"
        "rasterwell --help       this text\n"
        "rasterwell --version    the version and the companions' protections\n");
}

} // namespace CommandLine
