#include "cli/commandline.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/pdffixtures.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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

    // Runs `program` with no display and no Qt platform chosen.
    static Outcome runProgram(const QString &program, const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        p.setProcessEnvironment(env);
        p.start(program, args);
        Outcome o;
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
            return o;
        o.status = p.exitCode();
        o.out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        o.err = QString::fromUtf8(p.readAllStandardError());
        return o;
    }

    static QString builtProgram() { return qEnvironmentVariable("RW_APP_DIR") + "/rasterwell"; }

    // A copy of the program in a fake application folder, so it finds the
    // fake companions beside itself.
    static QString installProgram(const AppFolder &app)
    {
        const QString copy = app.path() + "/rasterwell";
        return QFile::copy(builtProgram(), copy) ? copy : QString();
    }

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
        QTest::newRow("single dash name is a path") << QStringList{"--convert", "-x.pdf"}
                                                    << int(M::Convert) << QStringList{"-x.pdf"};
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

    // The real companions on generated documents: a plain one, a protected
    // one, a damaged one.
    void realCompanions()
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        if (!QFile::exists(built + "/pdftk.exe") || !QFile::exists(built + "/ps/rwrender"))
            QSKIP("the companion programs are not built");
        if (QStandardPaths::findExecutable("qpdf").isEmpty())
            QSKIP("qpdf is needed to make a protected document");

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
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
