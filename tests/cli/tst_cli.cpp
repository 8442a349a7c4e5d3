#include "cli/options.h"
#include "cli/terminalview.h"
#include "tests/cli/clitest.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/pdffixtures.h"

#include "platform/direnum.h"
#include "platform/pathcodec.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using ConvertFixture::AppFolder;

// The command line: option parsing, and `--convert` run as a separate
// program without a display.
class TestCli : public QObject {
    Q_OBJECT

    struct Outcome {
        int status = -1;
        QStringList out; // standard output, line by line
        QString err;
    };

    // Runs `program` with no display and no Qt platform chosen; as `nobody`
    // when asked and this test runs as root (where file modes do not bite).
    static Outcome runProgram(const QString &program, const QStringList &args,
                              const QStringList &environment = {}, bool asNobody = false)
    {
        const CliTest::Finished f = CliTest::run(program, args, CliTest::runEnvironment(environment), asNobody);
        Outcome o;
        o.status = f.status;
        if (f.status >= 0) {
            o.out = QString::fromUtf8(f.out).split('\n', Qt::SkipEmptyParts);
            o.err = QString::fromUtf8(f.err);
        }
        return o;
    }

    // The pixel size a JPEG's frame header gives.
    static QSize jpegSize(const QString &path)
    {
        const QByteArray data = AppFolder::read(path);
        for (qsizetype i = 2; i + 9 < data.size();) {
            if (uchar(data[i]) != 0xFF)
                return {};
            const uchar marker = uchar(data[i + 1]);
            const int length = (uchar(data[i + 2]) << 8) | uchar(data[i + 3]);
            if (marker >= 0xC0 && marker <= 0xC3)
                return QSize((uchar(data[i + 7]) << 8) | uchar(data[i + 8]),
                             (uchar(data[i + 5]) << 8) | uchar(data[i + 6]));
            i += 2 + length;
        }
        return {};
    }

    static QString builtProgram() { return CliTest::builtProgram(); }

    // A copy of the program in a fake application folder, so it finds the
    // fake companions beside itself.
    static QString installProgram(const AppFolder &app) { return CliTest::installProgram(app.path()); }

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("paths");
        using M = CommandLine::Mode;
        QTest::newRow("no arguments opens the window") << QStringList{} << int(M::Window) << QStringList{};
        QTest::newRow("version") << QStringList{"--version"} << int(M::Version) << QStringList{};
        QTest::newRow("help") << QStringList{"--help"} << int(M::Help) << QStringList{};
        QTest::newRow("convert in order") << QStringList{"--convert", "b.pdf", "dir", "a.pdf"}
                                          << int(M::Convert) << QStringList{"b.pdf", "dir", "a.pdf"};
        QTest::newRow("dash path after --") << QStringList{"--convert", "--", "-x.pdf"}
                                            << int(M::Convert) << QStringList{"-x.pdf"};
        // Any other word that starts with a dash is a mistyped option, never a path.
        QTest::newRow("dash name is an option") << QStringList{"--convert", "-x.pdf"}
                                                << int(M::UsageError) << QStringList{};
        QTest::newRow("a lone dash") << QStringList{"--convert", "a.pdf", "-"} << int(M::UsageError)
                                     << QStringList{};
        QTest::newRow("a short option of another program") << QStringList{"--convert", "-png", "a.pdf"}
                                                           << int(M::UsageError) << QStringList{};
        QTest::newRow("an upper-case short option") << QStringList{"--convert", "-R150", "a.pdf"}
                                                    << int(M::UsageError) << QStringList{};
        QTest::newRow("a long option with one dash") << QStringList{"--convert", "-quiet", "a.pdf"}
                                                     << int(M::UsageError) << QStringList{};
        QTest::newRow("a flag with a value") << QStringList{"--convert", "--update=yes", "a.pdf"}
                                             << int(M::UsageError) << QStringList{};
        QTest::newRow("convert without paths") << QStringList{"--convert"} << int(M::UsageError) << QStringList{};
        QTest::newRow("unknown option") << QStringList{"--bogus"} << int(M::UsageError) << QStringList{};
        QTest::newRow("unknown option after convert") << QStringList{"--convert", "a.pdf", "--fast"}
                                                      << int(M::UsageError) << QStringList{};
        QTest::newRow("paths open the window with them") << QStringList{"b.pdf", "dir", "a.pdf"}
                                                         << int(M::Window) << QStringList{"b.pdf", "dir", "a.pdf"};
        QTest::newRow("window: dash path after --") << QStringList{"--", "-x.pdf"} << int(M::Window)
                                                    << QStringList{"-x.pdf"};
        QTest::newRow("window: dash name is an option") << QStringList{"a.pdf", "-x.pdf"}
                                                        << int(M::UsageError) << QStringList{};
        QTest::newRow("window: unknown option") << QStringList{"a.pdf", "--fast"} << int(M::UsageError)
                                                << QStringList{};
        QTest::newRow("version with extra") << QStringList{"--version", "x"} << int(M::UsageError) << QStringList{};
        QTest::newRow("recover") << QStringList{"--convert", "--recover", "a.pdf"} << int(M::Convert)
                                 << QStringList{"a.pdf"};
        QTest::newRow("window: recover is no option of it") << QStringList{"--recover", "a.pdf"}
                                                            << int(M::UsageError) << QStringList{};
    }
    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(int, mode);
        QFETCH(QStringList, paths);
        const CommandLine::Request r = CommandLine::parse(args);
        QCOMPARE(int(r.mode), mode);
        QCOMPARE(r.paths, paths);
        QCOMPARE(r.error.isEmpty(), mode != int(CommandLine::Mode::UsageError));
        QCOMPARE(r.recover, mode == int(CommandLine::Mode::Convert) && args.contains("--recover"));
        if (mode == int(CommandLine::Mode::UsageError) && args.value(0) == "--convert"
            && args.filter(QRegularExpression("^-[^-]|^-$")).size() > 0)
            QVERIFY2(r.error.contains("go after --"), qPrintable(r.error));
    }

    // Settings for one command-line run: the renderer's ranges, checked
    // before anything is converted.
    void settings_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("resolution"); // "!" : a usage error
        QTest::addColumn<QString>("quality");
        QTest::addColumn<int>("jobs");
        QTest::newRow("none") << QStringList{"--convert", "a.pdf"} << "" << "" << 0;
        QTest::newRow("short forms") << QStringList{"--convert", "-r", "72", "-q", "80", "-j", "3", "a.pdf"}
                                     << "72" << "80" << 3;
        QTest::newRow("long forms") << QStringList{"--convert", "--resolution", "300", "--quality=100",
                                                   "--jobs=1", "a.pdf"}
                                    << "300" << "100" << 1;
        // Values attached to the short options, as pdftoppm users type them.
        QTest::newRow("attached values") << QStringList{"--convert", "-r150", "-q80", "-j1", "a.pdf"}
                                         << "150" << "80" << 1;
        QTest::newRow("attached fractional resolution") << QStringList{"--convert", "-r72.5", "a.pdf"}
                                                        << "72.5" << "" << 0;
        QTest::newRow("attached value out of range") << QStringList{"--convert", "-q101", "a.pdf"}
                                                     << "!" << "" << 0;
        QTest::newRow("attached text") << QStringList{"--convert", "-rhigh", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("attached with =") << QStringList{"--convert", "-j=2", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("fractional resolution") << QStringList{"--convert", "-r", "72.5", "a.pdf"}
                                               << "72.5" << "" << 0;
        QTest::newRow("after --, a path") << QStringList{"--convert", "--", "-r"} << "" << "" << 0;
        QTest::newRow("resolution 0") << QStringList{"--convert", "-r", "0", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("resolution 2401") << QStringList{"--convert", "-r", "2401", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("resolution text") << QStringList{"--convert", "-r", "high", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("quality 101") << QStringList{"--convert", "-q", "101", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("quality 0") << QStringList{"--convert", "--quality=0", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("fractional quality") << QStringList{"--convert", "-q", "5.5", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("jobs 0") << QStringList{"--convert", "-j", "0", "a.pdf"} << "!" << "" << 0;
        QTest::newRow("missing value") << QStringList{"--convert", "a.pdf", "-q"} << "!" << "" << 0;
        QTest::newRow("settings without --convert") << QStringList{"-r", "72", "a.pdf"} << "!" << "" << 0;
    }
    void settings()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, resolution);
        QFETCH(QString, quality);
        QFETCH(int, jobs);
        const CommandLine::Request r = CommandLine::parse(args);
        if (resolution == "!") {
            QCOMPARE(r.mode, CommandLine::Mode::UsageError);
            QVERIFY(!r.error.isEmpty());
            return;
        }
        QCOMPARE(r.mode, CommandLine::Mode::Convert);
        QCOMPARE(r.paths, QStringList{args.last()});
        QCOMPARE(r.resolution, resolution);
        QCOMPARE(r.quality, quality);
        QCOMPARE(r.jobs, jobs);
    }

    // Where the images go and what they are like: each bad value a usage
    // error that names its option.
    void imageOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // the option a usage error names; empty: parsed
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("pages");
        QTest::addColumn<int>("scaleTo");
        QTest::addColumn<bool>("gray");
        QTest::addColumn<bool>("png");
        const QStringList c{"--convert"};
        QTest::newRow("none") << c + QStringList{"a.pdf"} << "" << "" << "" << 0 << false << false;
        QTest::newRow("-o") << c + QStringList{"-o", "out", "a.pdf"} << "" << "out" << "" << 0 << false << false;
        QTest::newRow("--output=") << c + QStringList{"--output=/x/y", "a.pdf"} << "" << "/x/y" << "" << 0 << false
                                   << false;
        QTest::newRow("pages") << c + QStringList{"--pages", "1,3,5-7,10-", "a.pdf"} << "" << "" << "1,3,5-7,10-" << 0
                               << false << false;
        QTest::newRow("pages written plainly") << c + QStringList{"--pages=05,2-2", "a.pdf"} << "" << ""
                                               << "5,2" << 0 << false << false;
        QTest::newRow("scale, gray, png") << c + QStringList{"--scale-to", "200", "--gray", "--format=png", "a.pdf"}
                                          << "" << "" << "" << 200 << true << true;
        QTest::newRow("format jpg") << c + QStringList{"--format", "jpg", "a.pdf"} << "" << "" << "" << 0 << false
                                    << false;
        QTest::newRow("-o without a value") << c + QStringList{"a.pdf", "-o"} << "-o" << "" << "" << 0 << false << false;
        QTest::newRow("--output empty") << c + QStringList{"--output=", "a.pdf"} << "--output" << "" << "" << 0
                                        << false << false;
        QTest::newRow("-o attached is no option") << c + QStringList{"-oout", "a.pdf"} << "-oout" << "" << "" << 0
                                                  << false << false;
        for (const char *bad : {"0", "3-1", "1,,2", "a", "-3", "1-2-3", "", "1 ,2", "1234567890"})
            QTest::newRow(qPrintable(QStringLiteral("pages %1").arg(bad)))
                << c + QStringList{"--pages", bad, "a.pdf"} << "--pages" << "" << "" << 0 << false << false;
        for (const char *bad : {"0", "65001", "1.5", "big"})
            QTest::newRow(qPrintable(QStringLiteral("scale-to %1").arg(bad)))
                << c + QStringList{"--scale-to", bad, "a.pdf"} << "--scale-to" << "" << "" << 0 << false << false;
        QTest::newRow("format tiff") << c + QStringList{"--format", "tiff", "a.pdf"} << "--format" << "" << "" << 0
                                     << false << false;
        QTest::newRow("format upper case") << c + QStringList{"--format=PNG", "a.pdf"} << "--format" << "" << ""
                                           << 0 << false << false;
        QTest::newRow("gray with a value") << c + QStringList{"--gray=1", "a.pdf"} << "--gray=1" << "" << "" << 0
                                           << false << false;
        QTest::newRow("window: no output option") << QStringList{"-o", "out", "a.pdf"} << "-o" << "" << "" << 0
                                                  << false << false;
    }
    void imageOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        const CommandLine::Request r = CommandLine::parse(args);
        if (!error.isEmpty()) {
            QCOMPARE(r.mode, CommandLine::Mode::UsageError);
            QVERIFY2(r.error.contains(error), qPrintable(r.error));
            return;
        }
        QCOMPARE(r.mode, CommandLine::Mode::Convert);
        QCOMPARE(r.paths, QStringList{"a.pdf"});
        QTEST(r.output, "output");
        QTEST(r.pages, "pages");
        QTEST(r.scaleTo, "scaleTo");
        QTEST(r.gray, "gray");
        QTEST(r.png, "png");
    }

    // Invocations against fake companions: "a" has two pages, "b" is
    // protected, "c" yields no image.
    void invocations_data()
    {
        QTest::addColumn<QStringList>("args"); // %D = the documents folder
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<QStringList>("progress"); // "[i/n] path" lines on stderr
        QTest::addColumn<QStringList>("images");   // in the documents folder afterwards
        QTest::newRow("one good file") << QStringList{"--convert", "%D/a.pdf"} << 0
                                       << QStringList{"Done."} << QStringList{"[1/1] %D/a.pdf"}
                                       << QStringList{"a-001.jpg", "a-002.jpg"};
        QTest::newRow("files in the given order")
            << QStringList{"--convert", "%D/c.pdf", "%D/b.pdf", "%D/a.pdf"} << 1
            << QStringList{"Could not create JPG on %D/c.pdf", "%D/b.pdf is password protected.", "Done."}
            << QStringList{"[1/3] %D/c.pdf", "[2/3] %D/b.pdf", "[3/3] %D/a.pdf"}
            << QStringList{"a-001.jpg", "a-002.jpg"};
        QTest::newRow("a folder, searched like the add-folder command")
            << QStringList{"--convert", "%D/tree/"} << 0 << QStringList{"Done."}
            << QStringList{"[1/2] %D/tree/x.PDF", "[2/2] %D/tree/sub/y.pdf"} << QStringList{};
        QTest::newRow("a mix of files and folders")
            << QStringList{"--convert", "%D/tree", "%D/a.pdf"} << 0 << QStringList{"Done."}
            << QStringList{"[1/3] %D/tree/x.PDF", "[2/3] %D/tree/sub/y.pdf", "[3/3] %D/a.pdf"}
            << QStringList{"a-001.jpg", "a-002.jpg"};
        QTest::newRow("nothing found") << QStringList{"--convert", "%D/empty"} << 1
                                       << QStringList{"No files added."} << QStringList{} << QStringList{};
        QTest::newRow("a missing path converts nothing")
            << QStringList{"--convert", "%D/a.pdf", "%D/nothing.pdf"} << 2 << QStringList{}
            << QStringList{} << QStringList{};
        QTest::newRow("unknown option") << QStringList{"--convert", "%D/a.pdf", "--quick"} << 2
                                        << QStringList{} << QStringList{} << QStringList{};
        QTest::newRow("resolution out of range converts nothing")
            << QStringList{"--convert", "-r", "5000", "%D/a.pdf"} << 2 << QStringList{} << QStringList{}
            << QStringList{};
        QTest::newRow("quality out of range converts nothing")
            << QStringList{"--convert", "%D/a.pdf", "--quality=0"} << 2 << QStringList{} << QStringList{}
            << QStringList{};
    }
    void invocations()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QStringList, out);
        QFETCH(QStringList, progress);
        QFETCH(QStringList, images);
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        QVERIFY(!program.isEmpty());
        const QString docs = app.docs();
        app.writeDocument("a.pdf", ConvertFixture::document("a", 2));
        app.writeDocument("b.pdf", ConvertFixture::document("b", 1, "PROTECTED"));
        app.writeDocument("c.pdf", ConvertFixture::document("c", 1, "NOIMAGE"));
        app.writeDocument("tree/x.PDF", ConvertFixture::document("x", 1));
        app.writeDocument("tree/~x.pdf", ConvertFixture::document("skipped", 1));
        app.writeDocument("tree/notes.txt", "text");
        app.writeDocument("tree/sub/y.pdf", ConvertFixture::document("y", 1));
        app.writeDocument("tree/.hidden/z.pdf", ConvertFixture::document("z", 1));
        QVERIFY(QDir(docs).mkpath("empty/sub"));

        auto fill = [&](QStringList list) {
            for (QString &s : list)
                s.replace("%D", docs);
            return list;
        };
        const Outcome o = runProgram(program, fill(args));
        QCOMPARE(o.status, status);
        QCOMPARE(o.out, fill(out));
        QStringList progressLines;
        for (const QString &line : o.err.split('\n'))
            if (line.startsWith('['))
                progressLines << line;
        QCOMPARE(progressLines, fill(progress));
        if (status == 2)
            QVERIFY2(o.err.startsWith("rasterwell: "), qPrintable(o.err));
        QCOMPARE(QDir(docs).entryList({"*.jpg"}, QDir::Files, QDir::Name), images);
        QCOMPARE(app.stagingLeftovers(), QStringList{});
    }

    // Documents that cannot or must not be converted: each ends at once,
    // with its reason on the error stream, and the run goes on.
    void documentKinds_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("FIFO") << "fifo" << "a FIFO, not a regular file";
        QTest::newRow("link to /dev/zero") << "zero" << "a character device, not a regular file";
        QTest::newRow("unreadable file, as nobody") << "unreadable" << "Permission denied";
        QTest::newRow("inside the staging folder") << "staging" << "inside the staging folder";
        QTest::newRow("same output names as an earlier document")
            << "clash" << "its images would replace those of %D/clash.PDF";
        QTest::newRow("dangling link in a searched folder") << "dangling" << "a link to a file that does not exist";
    }
    void documentKinds()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        const QString docs = app.docs();
        const QString good = app.writeDocument("good.pdf", ConvertFixture::document("good", 1));
        QString odd = docs + "/odd.pdf";
        QStringList args{"--convert"};
        bool asNobody = false;
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(odd).constData(), 0644), 0);
        } else if (kind == "zero") {
            QVERIFY(QFile::link("/dev/zero", odd));
        } else if (kind == "unreadable") {
            app.writeDocument("odd.pdf", ConvertFixture::document("odd", 1));
            QVERIFY(QFile::setPermissions(odd, QFile::ReadOwner | QFile::WriteOwner));
            // Everything else is open to nobody, who converts into a working
            // folder of its own: the application folder stays root's.
            QVERIFY(::chmod(QFile::encodeName(app.root()).constData(), 0755) == 0);
            QVERIFY(::chmod(QFile::encodeName(docs).constData(), 0777) == 0);
            QVERIFY(QDir(app.root()).mkdir("home"));
            QVERIFY(::chmod(QFile::encodeName(app.root() + "/home").constData(), 0777) == 0);
            QVERIFY(QFile::setPermissions(good, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
            for (const QString &companion : {app.path() + "/pdftk.exe", app.staging() + "/pdf2tiff.bat"})
                QVERIFY(::chmod(QFile::encodeName(companion).constData(), 0755) == 0);
            asNobody = true;
        } else if (kind == "staging") {
            odd = app.staging() + "/current.pdf";
            QVERIFY(AppFolder::writeFile(odd, ConvertFixture::document("mine", 1)));
        } else if (kind == "dangling") {
            QVERIFY(QFile::link(docs + "/nowhere.pdf", odd));
        } else {
            app.writeDocument("clash.PDF", ConvertFixture::document("first", 1));
            odd = app.writeDocument("clash.pdf", ConvertFixture::document("second", 1));
            args << docs + "/clash.PDF";
        }
        if (kind == "dangling")
            args << docs; // searched: good.pdf, then odd.pdf
        else
            args << odd << good;

        // Two slots, so a slot holding a listed document still leaves one.
        const Outcome o = runProgram(program, args,
                                     {"HOME=" + app.root() + "/home", "RASTERWELL_JOBS=2"}, asNobody);
        QVERIFY2(o.status == 1, qPrintable(o.err));
        QCOMPARE(o.out, (QStringList{"Could not create JPG on " + odd, "Done."}));
        const QString line = o.err.section("rasterwell: " + odd + ": ", 1).section('\n', 0, 0);
        QVERIFY2(line.contains(QString(reason).replace("%D", docs)), qPrintable(o.err));
        QVERIFY(QFile::exists(docs + "/good-001.jpg"));
        QVERIFY(!QFile::exists(docs + "/odd-001.jpg"));
        if (kind == "staging") // the next document is staged elsewhere
            QCOMPARE(AppFolder::read(odd), ConvertFixture::document("mine", 1));
        if (kind == "clash")
            QCOMPARE(AppFolder::read(docs + "/clash-001.jpg"), QByteArray("page 1 of first\n"));
    }

    // Where the working files go: the application folder when its user can
    // write it; otherwise a folder of the user's own, where a copy of the
    // converter script, if the user made one, is used instead and still
    // finds the installed renderer. Run as nobody, with a root-owned
    // application folder for the read-only rows.
    void workingFolder_data()
    {
        QTest::addColumn<bool>("appWritable");
        QTest::addColumn<bool>("homeWritable");
        QTest::addColumn<bool>("ownScript");
        QTest::addColumn<int>("status");
        QTest::newRow("writable application folder") << true << true << false << 0;
        QTest::newRow("read-only application folder") << false << true << false << 0;
        QTest::newRow("read-only, the user's own script") << false << true << true << 0;
        QTest::newRow("nothing writable") << false << false << false << 2;
        QTest::newRow("read-only, no home known") << false << true << false << 2;
    }
    void workingFolder()
    {
        QFETCH(bool, appWritable);
        QFETCH(bool, homeWritable);
        QFETCH(bool, ownScript);
        QFETCH(int, status);
        AppFolder app;
        // The fake converter notes which script ran and where it was told
        // the renderer is.
        QVERIFY(app.writeToolkit() && app.writeScript("echo \"installed $RASTERWELL_RENDERER\" >> ../script.log\n"
                                                      + ConvertFixture::PagingScript));
        const QString program = installProgram(app);
        const QString home = app.root() + "/home";
        const QString state = home + "/.local/state/rasterwell";
        QVERIFY(QDir().mkpath(home));
        if (ownScript) {
            QVERIFY(QDir().mkpath(state + "/ps"));
            QVERIFY(AppFolder::writeFile(state + "/ps/pdf2tiff.bat",
                                         "#!/bin/sh\necho \"own $RASTERWELL_RENDERER\" >> ../script.log\n"
                                             + ConvertFixture::PagingScript, true));
        }
        const QString doc = app.writeDocument("a.pdf", ConvertFixture::document("a", 2));
        // Everything readable by nobody; writable as the row says.
        QVERIFY(QProcess::execute("chmod", {"-R", "a+rX", app.root()}) == 0);
        QVERIFY(QProcess::execute("chmod", {"a+w", app.docs()}) == 0);
        if (appWritable)
            QVERIFY(QProcess::execute("chmod", {"-R", "a+w", app.path()}) == 0);
        if (homeWritable)
            QVERIFY(QProcess::execute("chmod", {"-R", "a+w", home}) == 0);
        auto listing = [&] {
            QStringList names;
            QDirIterator it(app.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                names << it.next();
            names.sort();
            return names;
        };
        const QStringList before = listing();

        const bool noHome = QString(QTest::currentDataTag()).contains("no home");
        const Outcome o = runProgram(program, {"--convert", doc}, {"HOME=" + (noHome ? QString() : home), "XDG_STATE_HOME="},
                                     true);
        QVERIFY2(o.status == status, qPrintable(o.err));
        if (noHome) {
            QVERIFY2(o.err.contains("no home folder is known"), qPrintable(o.err));
            QVERIFY(!QFile::exists("/.local/state/rasterwell"));
        }
        if (status != 0) {
            QVERIFY2(o.err.contains("is writable") || noHome, qPrintable(o.err));
            QVERIFY(!QFile::exists(app.docs() + "/a-001.jpg"));
            return;
        }
        QVERIFY(QFile::exists(app.docs() + "/a-002.jpg"));
        const QString renderer = app.path() + "/ps/rwrender";
        if (appWritable) {
            QVERIFY(QFile::exists(app.path() + "/rasterwell.lock"));
            QVERIFY(!QFile::exists(state));
            QCOMPARE(app.scriptRuns().value(0), "installed " + renderer);
        } else {
            QCOMPARE(listing(), before);
            QVERIFY(QFile::exists(state + "/rasterwell.lock"));
            QCOMPARE(AppFolder::lines(home + "/.local/state/rasterwell/script.log").value(0),
                     (ownScript ? "own " : "installed ") + renderer);
        }
    }

    // A folder the search cannot enter is named on the error stream and the
    // run ends with status 1; everything else is converted. As nobody, so
    // that the folder's mode bites.
    void unenteredFoldersAreReported()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        app.writeDocument("tree/open/a.pdf", ConvertFixture::document("a", 1));
        app.writeDocument("tree/closed/b.pdf", ConvertFixture::document("b", 1));
        QVERIFY(QProcess::execute("chmod", {"-R", "a+rwX", app.root()}) == 0);
        QVERIFY(::chmod(QFile::encodeName(app.docs() + "/tree/closed").constData(), 0700) == 0);

        const Outcome o = runProgram(program, {"--convert", app.docs() + "/tree"}, {}, true);
        QCOMPARE(o.status, 1);
        QCOMPARE(o.out, QStringList{"Done."});
        QVERIFY2(o.err.contains("rasterwell: cannot search " + app.docs() + "/tree/closed: permission denied"),
                 qPrintable(o.err));
        QVERIFY(QFile::exists(app.docs() + "/tree/open/a-001.jpg"));
    }

    // A name that is not valid UTF-8 is converted with its exact bytes.
    void namesThatAreNotUtf8()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        const QByteArray folder = QFile::encodeName(app.docs()) + "/caf\xe9";
        QVERIFY(::mkdir(folder.constData(), 0755) == 0);
        QFile document;
        const int fd = ::open((folder + "/r\xe9sum\xe9.pdf").constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0 && document.open(fd, QIODevice::WriteOnly, QFile::AutoCloseHandle));
        document.write(ConvertFixture::document("cv", 2));
        document.close();

        const Outcome o = runProgram(program, {"--convert", app.docs()});
        QCOMPARE(o.status, 0);
        QCOMPARE(o.out, QStringList{"Done."});
        QStringList names;
        for (const Platform::DirEntry &e :
             Platform::enumerateDirectory(Platform::decodePath(folder), "*"))
            names << e.name;
        QCOMPARE(names, (QStringList{Platform::decodePath("r\xe9sum\xe9-001.jpg"),
                                     Platform::decodePath("r\xe9sum\xe9-002.jpg"),
                                     Platform::decodePath("r\xe9sum\xe9.pdf")}));
    }

    // Interrupted or killed during a long document, a run leaves no
    // converter behind, and the next run converts exactly its own pages.
    void interruptedRunLeavesNothingBehind_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("jobs");
        QTest::newRow("INT") << int(SIGINT) << 1;
        QTest::newRow("TERM") << int(SIGTERM) << 1;
        QTest::newRow("KILL") << int(SIGKILL) << 1;
        QTest::newRow("TERM, two slots") << int(SIGTERM) << 2;
        QTest::newRow("KILL, two slots") << int(SIGKILL) << 2;
    }
    void interruptedRunLeavesNothingBehind()
    {
        QFETCH(int, signal);
        QFETCH(int, jobs);
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        if (!QFile::exists(built + "/pdftk.exe") || !QFile::exists(built + "/ps/rwrender"))
            QFAIL("the companion programs are not built (the build makes them)");
        AppFolder app;
        const QString program = installProgram(app);
        for (const char *name : {"pdftk.exe", "ps/rwrender"})
            QVERIFY(QFile::link(built + "/" + name, app.path() + "/" + name));
        // The real script at a high resolution, so each page takes a while.
        QByteArray script = AppFolder::read(built + "/ps/pdf2tiff.bat");
        script.replace("RESOLUTION=150", "RESOLUTION=400");
        QVERIFY(AppFolder::writeFile(app.staging() + "/pdf2tiff.bat", script, true));
        const QString docs = app.docs();
        QStringList longOnes;
        for (int i = 1; i <= jobs; ++i) {
            longOnes << docs + QStringLiteral("/long%1.pdf").arg(i);
            QVERIFY(PdfFixtures::writePdf(longOnes.last(), 300));
        }
        QVERIFY(PdfFixtures::writePdf(docs + "/one.pdf", 1));
        const QStringList slotFolders = {app.staging(), app.path() + "/ps-2"};
        auto pageImagesIn = [&](int slotCount) {
            QStringList found;
            for (int i = 0; i < slotCount; ++i)
                found += QDir(slotFolders[i]).entryList({"current*"}, QDir::Files);
            return found;
        };

        QProcess run;
        run.setProcessEnvironment(CliTest::runEnvironment({"RASTERWELL_JOBS=" + QString::number(jobs)}));
        run.start(program, QStringList{"--convert"} + longOnes);
        QVERIFY(run.waitForStarted());
        // Every slot is at work once each holds its staged document and a
        // page image has appeared (the renderers share the cores, so one may
        // still wait for its first page).
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (int i = 0; i < jobs; ++i)
                    if (!QFile::exists(slotFolders[i] + "/current.pdf"))
                        return false;
                return !pageImagesIn(jobs).filter(".jpg").isEmpty();
            }(),
            60000);
        ::kill(pid_t(run.processId()), signal);
        QVERIFY(run.waitForFinished(10000));
        QCOMPARE(run.exitStatus(), QProcess::CrashExit);

        const Outcome next = runProgram(program, {"--convert", docs + "/one.pdf"},
                                        {"RASTERWELL_JOBS=" + QString::number(jobs)});
        QCOMPARE(next.status, 0);
        QCOMPARE(QDir(docs).entryList({"*.jpg"}, QDir::Files), QStringList{"one-001.jpg"});
        // Nothing of the killed run still runs, and no slot holds its files.
        QTRY_VERIFY_WITH_TIMEOUT(CliTest::processesUnder(app.path()).isEmpty(), 10000);
        QCOMPARE(pageImagesIn(jobs), QStringList{});
    }

    void unusableCompanionsStopBeforeAnyDocument()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit()); // no converter script
        const QString program = installProgram(app);
        const QString doc = app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        const Outcome o = runProgram(program, {"--convert", doc});
        QCOMPARE(o.status, 2);
        QCOMPARE(o.out, QStringList{});
        QVERIFY2(o.err.contains("pdf2tiff.bat"), qPrintable(o.err));
        QVERIFY(app.probed().isEmpty());
    }

    void toolkitThatCannotStartIsReportedOnceOnTheErrorStream()
    {
        AppFolder app;
        // Looks runnable, but its interpreter does not exist.
        QVERIFY(AppFolder::writeFile(app.path() + "/pdftk.exe", "#!/no/such/shell\n", true));
        QVERIFY(app.writeScript());
        const QString program = installProgram(app);
        const QString doc = app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        const Outcome o = runProgram(program, {"--convert", doc});
        QCOMPARE(o.status, 2);
        QCOMPARE(o.out, QStringList{});
        QCOMPARE(o.err.count("pdftk.exe"), 1);
        QVERIFY(app.scriptRuns().isEmpty());
    }

    void windowWithoutDisplaySaysSo()
    {
        const Outcome o = runProgram(builtProgram(), {});
        QCOMPARE(o.status, 2);
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(o.err.contains("--convert"));
    }

    // RASTERWELL_* values out of range are usage errors naming the
    // variable, before anything is converted; an option given for the same
    // setting wins over its variable.
    void variablesOutOfRange_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::newRow("jobs far too many") << "RASTERWELL_JOBS=1000000000" << QStringList{} << 2;
        QTest::newRow("jobs 65") << "RASTERWELL_JOBS=65" << QStringList{} << 2;
        QTest::newRow("jobs 0") << "RASTERWELL_JOBS=0" << QStringList{} << 2;
        QTest::newRow("jobs 64") << "RASTERWELL_JOBS=64" << QStringList{} << 0;
        QTest::newRow("jobs, -j given") << "RASTERWELL_JOBS=abc" << QStringList{"-j", "1"} << 0;
        QTest::newRow("resolution text") << "RASTERWELL_RESOLUTION=abc" << QStringList{} << 2;
        QTest::newRow("resolution, -r given") << "RASTERWELL_RESOLUTION=abc" << QStringList{"-r", "72"} << 0;
        QTest::newRow("quality 101") << "RASTERWELL_QUALITY=101" << QStringList{} << 2;
    }
    void variablesOutOfRange()
    {
        QFETCH(QString, variable);
        QFETCH(QStringList, options);
        QFETCH(int, status);
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        const QString document = app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        const Outcome o = runProgram(program, QStringList{"--convert"} + options + QStringList{document}, {variable});
        QCOMPARE(o.status, status);
        QCOMPARE(QFile::exists(app.docs() + "/a-001.jpg"), status == 0);
        if (status == 2) {
            QVERIFY2(o.err.contains(variable.section('=', 0, 0) + " must be"), qPrintable(o.err));
            QVERIFY(app.probed().isEmpty());
            QCOMPARE(QDir(app.path()).entryList({"ps-*"}, QDir::Dirs), QStringList());
        }
    }

    // Another user plants a link to a file only root may read in a folder
    // that root converts: the images grant that user no reading.
    void plantedLinkGivesThePlanterNothingToRead()
    {
        if (::geteuid() != 0)
            QSKIP("planting as another user needs root");
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        QTemporaryDir base;
        QVERIFY(::chmod(QFile::encodeName(base.path()).constData(), 0755) == 0);
        const QString secret = base.filePath("root-only/secret.pdf");
        QVERIFY(QDir().mkpath(base.filePath("root-only")));
        QVERIFY(::chmod(QFile::encodeName(base.filePath("root-only")).constData(), 0700) == 0);
        QVERIFY(AppFolder::writeFile(secret, ConvertFixture::document("secret", 1)));
        QVERIFY(::chmod(QFile::encodeName(secret).constData(), 0600) == 0);
        const QString planted = base.filePath("bob");
        QVERIFY(QDir().mkpath(planted));
        QCOMPARE(QProcess::execute("chown", {"nobody:nogroup", planted}), 0);
        const QStringList asNobody{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
        QCOMPARE(QProcess::execute("setpriv", asNobody + QStringList{"ln", "-s", secret, planted + "/report.pdf"}), 0);

        const Outcome o = runProgram(program, {"--convert", planted}, {"RASTERWELL_JOBS=1"});
        QCOMPARE(o.status, 0);
        const QString image = planted + "/report-001.jpg";
        QCOMPARE(AppFolder::read(image), QByteArray("page 1 of secret\n"));
        QCOMPARE(QFileInfo(image).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
        QVERIFY(QProcess::execute("setpriv", asNobody + QStringList{"cat", image}) != 0);
    }

    // -r and -q reach the real converter: a US Letter page at 72 dpi is 612
    // x 792 pixels; a lower quality gives a smaller file.
    void settingsReachTheConverter()
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        if (!QFile::exists(built + "/pdftk.exe") || !QFile::exists(built + "/ps/rwrender"))
            QFAIL("the companion programs are not built (the build makes them)");
        AppFolder app;
        const QString program = installProgram(app);
        for (const char *name : {"pdftk.exe", "ps/pdf2tiff.bat", "ps/rwrender"})
            QVERIFY(QFile::link(built + "/" + name, app.path() + "/" + name));
        QVERIFY(PdfFixtures::writePdf(app.docs() + "/a.pdf", 1));
        QVERIFY(PdfFixtures::writePdf(app.docs() + "/b.pdf", 1));

        QCOMPARE(runProgram(program, {"--convert", "-r", "72", app.docs() + "/a.pdf"}).status, 0);
        QCOMPARE(jpegSize(app.docs() + "/a-001.jpg"), QSize(612, 792));
        QCOMPARE(runProgram(program, {"--convert", "-r", "72", "-q", "10", app.docs() + "/b.pdf"}).status, 0);
        QCOMPARE(jpegSize(app.docs() + "/b-001.jpg"), QSize(612, 792));
        QVERIFY(QFileInfo(app.docs() + "/b-001.jpg").size() < QFileInfo(app.docs() + "/a-001.jpg").size());
        // The script's own settings stay the defaults.
        QCOMPARE(runProgram(program, {"--convert", app.docs() + "/a.pdf"}).status, 0);
        QCOMPARE(jpegSize(app.docs() + "/a-001.jpg"), QSize(1275, 1650));
    }

    // The real companions on generated documents: a plain one, a protected
    // one, a damaged one.
    void realCompanions()
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        if (!QFile::exists(built + "/pdftk.exe") || !QFile::exists(built + "/ps/rwrender"))
            QFAIL("the companion programs are not built (the build makes them)");
        if (QStandardPaths::findExecutable("qpdf").isEmpty())
            QFAIL("qpdf is needed to make a protected document (scripts/setup.sh installs it)");

        AppFolder app;
        const QString program = installProgram(app);
        for (const char *name : {"pdftk.exe", "ps/pdf2tiff.bat", "ps/rwrender"})
            QVERIFY(QFile::link(built + "/" + name, app.path() + "/" + name));

        const QString docs = app.docs();
        QVERIFY(PdfFixtures::writePdf(docs + "/plain.pdf", 3));
        QVERIFY(PdfFixtures::writePdf(docs + "/open.pdf", 1));
        QCOMPARE(QProcess::execute("qpdf", {"--encrypt", "user", "owner", "256", "--",
                                            docs + "/open.pdf", docs + "/locked.pdf"}),
                 0);
        QFile::remove(docs + "/open.pdf");
        QVERIFY(PdfFixtures::writeBytes(docs + "/damaged.pdf", "%PDF-1.4\nthis is no document\n"));

        const Outcome o = runProgram(program, {"--convert", docs});
        QCOMPARE(o.status, 1);
        QCOMPARE(o.out, (QStringList{"Could not create JPG on " + docs + "/damaged.pdf",
                                     docs + "/locked.pdf is password protected.", "Done."}));
        QCOMPARE(QDir(docs).entryList({"*.jpg"}, QDir::Files, QDir::Name),
                 (QStringList{"plain-001.jpg", "plain-002.jpg", "plain-003.jpg"}));
        QCOMPARE(app.stagingLeftovers(), (QStringList{"rwrender"}));
        QVERIFY(!QFile::exists(app.path() + "/2348239bbb.txt"));
    }

    // A page tree whose /Count is too high, converted by the real
    // companions: every page it lists comes out under its own number, none
    // beyond. Every page is in place, so the document is converted; the
    // renderer's word on the miscount is passed on, not dropped.
    void miscountedPageTree()
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        QVERIFY2(QFile::exists(built + "/pdftk.exe") && QFile::exists(built + "/ps/rwrender"),
                 "the companion programs are not built");
        AppFolder app;
        const QString program = installProgram(app);
        for (const char *name : {"pdftk.exe", "ps/pdf2tiff.bat", "ps/rwrender"})
            QVERIFY(QFile::link(built + "/" + name, app.path() + "/" + name));
        const QString document = app.docs() + "/miscounted.pdf";
        QVERIFY(PdfFixtures::writeBytes(
            document, PdfFixtures::makePageTreePdf(PdfFixtures::PageTreeShape::CountTooHigh)));

        const Outcome o = runProgram(program, {"--convert", "--report", "-", document});
        QCOMPARE(o.status, 0);
        QCOMPARE(o.out.size(), 1);
        const QJsonObject report = QJsonDocument::fromJson(o.out.first().toUtf8()).object();
        QCOMPARE(report.value("outcome").toString(), QString("converted"));
        QCOMPARE(report.value("pages").toInt(), 4);
        QCOMPARE(report.value("images").toInt(), 4);
        QCOMPARE(report.value("missing").toArray().size(), 0);
        QVERIFY2(o.err.contains("page counts are wrong: it lists 4 page(s), its /Count says 12"),
                 qPrintable(o.err));
        QVERIFY2(!o.err.contains("Could not create JPG"), qPrintable(o.err));
        QCOMPARE(QDir(app.docs()).entryList({"*.jpg"}, QDir::Files, QDir::Name),
                 (QStringList{"miscounted-001.jpg", "miscounted-002.jpg", "miscounted-003.jpg",
                              "miscounted-004.jpg"}));
    }

    // The live bar in a narrow terminal: names give way (cut in the middle,
    // wide characters counted as two columns, marks as none), the counts
    // never do.
    void liveBarShortensNamesOnly_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("columns");
        QTest::addColumn<QString>("line");
        QTest::newRow("fits as it is") << QStringList{"report.pdf"} << 79 << "[1/3] report.pdf  12/40";
        QTest::newRow("a long name, cut in the middle")
            << QStringList{"a-very-long-name-of-a-report.pdf"} << 30 << "[1/3] a-very-l…port.pdf  12/40";
        QTest::newRow("wide characters take two columns")
            << QStringList{"報告書報告書報告書.pdf"} << 25 << "[1/3] 報告書….pdf  12/40";
        QTest::newRow("fullwidth letters take two columns")
            << QStringList{"ＡＢＣＤＥＦＧＨ.pdf"} << 24 << "[1/3] ＡＢ….pdf  12/40";
        QTest::newRow("combining marks take none")
            << QStringList{"re\u0301sume\u0301.pdf"} << 23 << "[1/3] re\u0301sume\u0301.pdf  12/40";
        QTest::newRow("two documents share the room")
            << QStringList{"report.pdf", "報告書報告書報告書.pdf"} << 50
            << "[1/3] report.pdf  12/40  [2/3] 報告書….pdf  12/40";
        QTest::newRow("too many documents: the rest counted")
            << QStringList{"a.pdf", "b.pdf", "c.pdf"} << 42 << "[1/3] a.pdf  12/40  [2/3] b.pdf  12/40  +1";
        QTest::newRow("no room for the name at all")
            << QStringList{"report.pdf"} << 14 << "[1/3] …  12/40";
    }
    void liveBarShortensNamesOnly()
    {
        QFETCH(QStringList, names);
        QFETCH(int, columns);
        QFETCH(QString, line);
        std::vector<Cli::BarEntry> entries;
        for (qsizetype i = 0; i < names.size(); ++i)
            entries.push_back({QStringLiteral("[%1/3] ").arg(i + 1), names[i], "  12/40"});
        const QString bar = Cli::barLine(entries, columns);
        QCOMPARE(bar, line);
        QVERIFY(Cli::displayColumns(bar) <= columns);
    }

    // Through the view: a terminal of 24 columns, a document with a wide
    // name; the bar stays on one line and keeps its counts whole.
    void liveBarOnANarrowTerminal()
    {
        char *buffer = nullptr;
        size_t size = 0;
        std::FILE *stream = ::open_memstream(&buffer, &size);
        QVERIFY(stream);
        const Cli::FixedDocuments documents({"/docs/報告書報告書報告書報告書.pdf", "/docs/b.pdf"});
        {
            Cli::TerminalView view(documents, stream, true, Cli::TerminalView::Progress::Normal, 24);
            view.documentStarted(1, documents.paths()[0], 117);
            view.pagesArrived(1, {1, 2, 3}, 45);
        }
        std::fclose(stream);
        const QByteArray written(buffer, qsizetype(size));
        std::free(buffer);
        const QString last = QString::fromUtf8(written).section("\r\033[K", -1);
        QVERIFY2(last.startsWith("[1/2] 報") && last.endsWith(".pdf  45/117"), qPrintable(last));
        QVERIFY2(Cli::displayColumns(last) <= 23, qPrintable(last));
    }

    // Control characters in a name never reach the terminal raw: the
    // message, the reason on the error stream and the progress line show
    // them as \xNN (undecodable bytes too), the report keeps the name as it
    // is (JSON escapes it itself), and a name without them is shown as it is.
    void namesWithControlCharacters_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("ESC") << QByteArray("a\x1b[31mb.pdf") << "a\\x1b[31mb.pdf";
        QTest::newRow("BEL") << QByteArray("a\x07" "b.pdf") << "a\\x07b.pdf";
        QTest::newRow("newline") << QByteArray("a\nb.pdf") << "a\\x0ab.pdf";
        QTest::newRow("tab") << QByteArray("a\tb.pdf") << "a\\x09b.pdf";
        QTest::newRow("DEL") << QByteArray("a\x7f" "b.pdf") << "a\\x7fb.pdf";
        QTest::newRow("C1 CSI") << QByteArray("a\xc2\x9b" "31mb.pdf") << "a\\xc2\\x9b31mb.pdf";
        QTest::newRow("a lone CSI byte") << QByteArray("a\x9b" "31mb.pdf") << "a\\x9b31mb.pdf";
        QTest::newRow("a name without them") << QByteArray("r\xc3\xa9sum\xc3\xa9 \xe5\xa0\xb1.pdf")
                                             << QString::fromUtf8("r\xc3\xa9sum\xc3\xa9 \xe5\xa0\xb1.pdf");
    }
    void namesWithControlCharacters()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        const QByteArray path = QFile::encodeName(app.docs()) + "/" + name;
        // Qt cannot remove a name that is not UTF-8 with its folder.
        const auto removeDocument = qScopeGuard([&] { ::unlink(path.constData()); });
        QFile document;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0 && document.open(fd, QIODevice::WriteOnly, QFile::AutoCloseHandle));
        document.write(ConvertFixture::document("odd", 1, "NOIMAGE"));
        document.close();
        const QString report = app.root() + "/report.jsonl";

        QProcess p;
        p.setProcessEnvironment(CliTest::runEnvironment());
        // The folder is named, so the name reaches the program with its exact bytes.
        p.start(program, {"--convert", "--report", report, app.docs()});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 1);
        const QByteArray out = p.readAllStandardOutput(), err = p.readAllStandardError();
        const QString escaped = app.docs() + "/" + shown;
        QCOMPARE(QString::fromUtf8(out), "Could not create JPG on " + escaped + "\nDone.\n");
        QVERIFY2(QString::fromUtf8(err).contains("[1/1] " + escaped + "\n"), err.constData());
        QVERIFY2(QString::fromUtf8(err).contains("rasterwell: " + escaped + ": "), err.constData());
        // Nothing on either stream but text and line ends.
        for (const QByteArray &stream : {out, err}) {
            QCOMPARE(QString::fromUtf8(stream).toUtf8(), stream); // valid UTF-8
            for (const QChar c : QString::fromUtf8(stream))
                QVERIFY2(c == '\n' || (c >= ' ' && c != QChar(0x7f) && (c < QChar(0x80) || c > QChar(0x9f))),
                         qPrintable(QString::number(c.unicode(), 16)));
        }
        const QJsonObject line = QJsonDocument::fromJson(AppFolder::read(report)).object();
        QCOMPARE(line.value("outcome").toString(), QString("failed"));
        if (Platform::hasUndecodableBytes(Platform::decodePath(path)))
            QCOMPARE(QByteArray::fromBase64(line.value("path_bytes").toString().toLatin1()), path);
        else
            QCOMPARE(line.value("path").toString().toUtf8(), path);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
