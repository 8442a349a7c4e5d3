#include "cli/options.h"
#include "cli/documentlist.h"
#include "tests/cli/clitest.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/pdffixtures.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <unistd.h>

using ConvertFixture::AppFolder;

// Documents from a list, one shard of them, and passwords: parsing, and
// `--convert` run as a separate program.
class TestCliListsPasswords : public QObject {
    Q_OBJECT

    struct Outcome {
        int status = -1;
        QByteArray out;
        QByteArray err;
    };

    static Outcome runProgram(const QString &program, const QStringList &args,
                              const QByteArray &input = {})
    {
        const CliTest::Finished f = CliTest::run(program, args, CliTest::runEnvironment(), false, input);
        return {f.status, f.out, f.err};
    }

    static QString installProgram(const AppFolder &app) { return CliTest::installProgram(app.path()); }

    // The "path" of each line of a JSON Lines report, sorted (documents
    // converted side by side end in any order).
    static QStringList reportedPaths(const QByteArray &report)
    {
        QStringList paths;
        for (const QByteArray &line : report.split('\n'))
            if (!line.trimmed().isEmpty())
                paths << QJsonDocument::fromJson(line).object().value("path").toString();
        paths.sort();
        return paths;
    }

    // Every file under `folder` (links not followed) whose name or bytes hold `secret`.
    static QStringList filesHolding(const QString &folder, const QByteArray &secret)
    {
        QStringList found;
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.contains(QString::fromUtf8(secret)))
                found << path;
            else if (!QFileInfo(path).isSymLink() && AppFolder::read(path).contains(secret))
                found << path;
        }
        return found;
    }

    // A converter whose images record their making, so that --update can
    // tell them current; each run's folder goes to script.log.
    static inline const QByteArray RecordingScript =
        ConvertFixture::RecordImageFunction +
        "pwd >> ../script.log\n"
        "n=$(grep -c '^PAGE' current.pdf)\n"
        "i=1\n"
        "while [ $i -le $n ]; do\n"
        "  image=$(printf 'current-%03d.jpg' $i)\n"
        "  record_image $i $n $image; printf 'page %d\\n' $i >> $image\n"
        "  i=$((i + 1))\n"
        "done\n"
        "rm -f current.pdf\n";

private slots:
    // Each bad value is a usage error that names its option.
    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // a part of the usage error; empty: none
        QTest::addColumn<QString>("filesFrom");
        QTest::addColumn<bool>("nul");
        QTest::addColumn<int>("shardIndex");
        QTest::addColumn<int>("shardCount");
        QTest::addColumn<QString>("passwordFile");
        const QStringList c{"--convert"};
        QTest::newRow("list instead of paths") << c + QStringList{"--files-from", "list.txt"} << ""
                                               << "list.txt" << false << 0 << 0 << "";
        QTest::newRow("list on standard input, NUL-separated")
            << c + QStringList{"-0", "--files-from=-"} << "" << "-" << true << 0 << 0 << "";
        QTest::newRow("list and paths") << c + QStringList{"--null", "--files-from", "l", "a.pdf"} << ""
                                        << "l" << true << 0 << 0 << "";
        QTest::newRow("shard") << c + QStringList{"--shard", "2/3", "a"} << "" << "" << false << 2 << 3 << "";
        QTest::newRow("shard 1/1") << c + QStringList{"--shard=1/1", "a"} << "" << "" << false << 1 << 1 << "";
        QTest::newRow("password file") << c + QStringList{"--password-file", "pw", "a"} << "" << ""
                                       << false << 0 << 0 << "pw";
        QTest::newRow("passwords on standard input") << c + QStringList{"--password-file=-", "a"} << ""
                                                     << "" << false << 0 << 0 << "-";
        QTest::newRow("shard K above N") << c + QStringList{"--shard", "4/3", "a"} << "--shard";
        QTest::newRow("shard 0") << c + QStringList{"--shard", "0/3", "a"} << "--shard";
        QTest::newRow("shard without N") << c + QStringList{"--shard", "2", "a"} << "--shard";
        QTest::newRow("shard fraction") << c + QStringList{"--shard", "1.5/3", "a"} << "--shard";
        QTest::newRow("shard text") << c + QStringList{"--shard=a/b", "a"} << "--shard";
        QTest::newRow("shard without value") << c + QStringList{"a", "--shard"} << "--shard";
        QTest::newRow("empty list name") << c + QStringList{"--files-from=", "a"} << "--files-from";
        QTest::newRow("list without value") << c + QStringList{"--files-from"} << "--files-from";
        QTest::newRow("empty password file name") << c + QStringList{"--password-file", "", "a"}
                                                  << "--password-file";
        QTest::newRow("-0 without a list") << c + QStringList{"-0", "a"} << "-0";
        QTest::newRow("both on standard input")
            << c + QStringList{"--files-from", "-", "--password-file", "-"} << "--password-file";
        QTest::newRow("a list with --watch") << c + QStringList{"--watch", "--files-from", "l", "d"}
                                             << "--files-from";
        QTest::newRow("neither list nor paths") << c + QStringList{"--shard", "1/2"} << "--convert";
        QTest::newRow("window: no list") << QStringList{"--files-from", "l"} << "--files-from";
    }
    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        const CommandLine::Request r = CommandLine::parse(args);
        if (!error.isEmpty()) {
            QCOMPARE(r.mode, CommandLine::Mode::UsageError);
            QVERIFY2(r.error.contains(error), qPrintable(r.error));
            return;
        }
        QFETCH(QString, filesFrom);
        QFETCH(bool, nul);
        QFETCH(int, shardIndex);
        QFETCH(int, shardCount);
        QFETCH(QString, passwordFile);
        QCOMPARE(r.mode, CommandLine::Mode::Convert);
        QCOMPARE(r.filesFrom, filesFrom);
        QCOMPARE(r.nulSeparated, nul);
        QCOMPARE(r.shardIndex, shardIndex);
        QCOMPARE(r.shardCount, shardCount);
        QCOMPARE(r.passwordFile, passwordFile);
    }

    // The hash is fixed: a path gives the same shard on every machine, in
    // every release.
    void shardIsStable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("shard");
        QTest::newRow("sub/x.pdf of 3") << "sub/x.pdf" << 3 << 1;
        QTest::newRow("a.pdf of 3") << "a.pdf" << 3 << 2;
        QTest::newRow("with a blank, of 7") << "report 2024.pdf" << 7 << 7;
        QTest::newRow("one part") << "anything.pdf" << 1 << 1;
    }
    void shardIsStable()
    {
        QFETCH(QString, path);
        QFETCH(int, count);
        QFETCH(int, shard);
        QCOMPARE(Cli::fnv1a64("a"), Q_UINT64_C(0xaf63dc4c8601ec8c)); // the published FNV-1a 64 value
        QCOMPARE(Cli::shardOf(path, count), shard);
    }

    // NUL-separated names keep blanks and line breaks; a line list keeps
    // blanks; empty entries are skipped.
    void parseDocumentList()
    {
        QCOMPARE(Cli::parseDocumentList(QByteArray("a b.pdf\0two\nlines.pdf\0\0", 24), true),
                 (QStringList{"a b.pdf", "two\nlines.pdf"}));
        QCOMPARE(Cli::parseDocumentList("a b.pdf\n\nc.pdf", false), (QStringList{"a b.pdf", "c.pdf"}));
    }

    // --files-from -0 on standard input, with names that hold blanks and
    // line breaks; a folder listed is searched as on the command line.
    void filesFromNulSeparatedInput()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit() && app.writeScript());
        const QString program = installProgram(app);
        QVERIFY(!program.isEmpty());
        const QString odd = app.writeDocument("two words.pdf", ConvertFixture::document("a", 1));
        const QString broken = app.writeDocument("line\nbreak.pdf", ConvertFixture::document("b", 2));
        app.writeDocument("tree/c.pdf", ConvertFixture::document("c", 1));
        app.writeDocument("left out.pdf", ConvertFixture::document("d", 1));
        QVERIFY(!odd.isEmpty() && !broken.isEmpty());
        const QByteArray list = QFile::encodeName(odd) + '\0' + QFile::encodeName(broken) + '\0'
                                + QFile::encodeName(app.docs() + "/tree") + '\0';
        const Outcome o = runProgram(program, {"--convert", "-0", "--files-from", "-", "--report",
                                               app.root() + "/report.json"}, list);
        QCOMPARE(o.status, 0);
        QCOMPARE(reportedPaths(AppFolder::read(app.root() + "/report.json")),
                 (QStringList{broken, app.docs() + "/tree/c.pdf", odd}));
        QVERIFY(QFile::exists(app.docs() + "/two words-001.jpg"));
        QVERIFY(QFile::exists(app.docs() + "/line\nbreak-002.jpg"));
        QVERIFY(QFile::exists(app.docs() + "/tree/c-001.jpg"));
        QVERIFY(!QFile::exists(app.docs() + "/left out-001.jpg"));

        // A list that cannot be read converts nothing.
        const Outcome missing = runProgram(program, {"--convert", "--files-from", app.root() + "/none"});
        QCOMPARE(missing.status, 2);
        QVERIFY2(missing.err.contains("cannot read the list"), missing.err.constData());
    }

    // GNU parallel runs three shards over one folder: every document is
    // converted exactly once, whatever folder the tree is reached through;
    // a rerun with --update converts nothing again.
    void parallelShardsConvertEachDocumentOnce()
    {
        const QString parallel = QStandardPaths::findExecutable("parallel");
        QVERIFY2(!parallel.isEmpty(), "GNU parallel is not installed (scripts/setup.sh installs it)");
        AppFolder app;
        QVERIFY(app.writeToolkit("printf 'NumberOfPages: %d\\n' $(grep -c '^PAGE' \"$1\") > \"$4\"\n")
                && app.writeScript(RecordingScript));
        const QString program = installProgram(app);
        QVERIFY(!program.isEmpty());
        QStringList documents;
        for (int i = 0; i < 12; ++i)
            documents << QStringLiteral("%1/doc %2.pdf").arg(i % 3 ? "sub" : "top").arg(i);
        for (const QString &d : std::as_const(documents))
            app.writeDocument(d, ConvertFixture::document(d, 1));
        // The same tree through a link: a shard picks by the path below it.
        const QString mounted = app.root() + "/mounted";
        QVERIFY(QFile::link(app.docs(), mounted));

        const QString reports = app.root() + "/report-{}.json";
        auto runShards = [&](const QString &folder) {
            return runProgram(parallel, {"--halt", "never", program, "--convert", "--quiet", "--update",
                                         "--shard", "{}/3", "--report", reports, folder,
                                         ":::", "1", "2", "3"});
        };
        const Outcome first = runShards(app.docs());
        QCOMPARE(first.status, 0);
        QStringList seen;
        QList<QStringList> parts;
        for (int k = 1; k <= 3; ++k) {
            parts << reportedPaths(AppFolder::read(app.root() + QStringLiteral("/report-%1.json").arg(k)));
            seen += parts.last();
        }
        seen.sort();
        QStringList expected;
        for (const QString &d : std::as_const(documents))
            expected << app.docs() + "/" + d;
        expected.sort();
        QCOMPARE(seen, expected);
        QCOMPARE(app.scriptRuns().size(), documents.size());
        for (const QString &d : std::as_const(documents))
            QVERIFY2(QFile::exists(app.docs() + "/" + QString(d).replace(".pdf", "-001.jpg")), qPrintable(d));

        // Through the other path, each shard holds the same documents, and
        // --update finds them all done.
        QVERIFY(QFile::remove(app.path() + "/script.log"));
        const Outcome again = runShards(mounted);
        QCOMPARE(again.status, 0);
        for (int k = 1; k <= 3; ++k) {
            QStringList there = reportedPaths(AppFolder::read(app.root() + QStringLiteral("/report-%1.json").arg(k)));
            there.replaceInStrings(mounted + "/", app.docs() + "/");
            there.sort();
            QCOMPARE(there, parts[k - 1]);
        }
        QCOMPARE(app.scriptRuns(), QStringList{});
    }

    // The fake companions show what reaches them: the passwords through
    // the pipe RASTERWELL_PASSWORD_FD names, and never in their command
    // line or environment.
    void passwordsReachCompanionsThroughAPipeOnly()
    {
        AppFolder app;
        const QByteArray secret = "Opensesame-7431";
        // Each companion notes its command line, its environment and what
        // it read from the pipe, then behaves as the usual fakes.
        const QByteArray note =
            "log=\"$(dirname \"$0\")\"\n"
            "case $0 in */ps/*) log=\"$log/..\" ;; esac\n"
            "tr '\\0' '\\n' < /proc/$$/cmdline >> \"$log/seen.log\"\n"
            "tr '\\0' '\\n' < /proc/$$/environ >> \"$log/seen.log\"\n"
            "cat <&\"$RASTERWELL_PASSWORD_FD\" >> \"$log/piped.log\"\n";
        QVERIFY(app.writeToolkit(note + ConvertFixture::ReadingToolkit));
        QVERIFY(app.writeScript(note + ConvertFixture::PagingScript));
        const QString program = installProgram(app);
        QVERIFY(!program.isEmpty());
        app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        QVERIFY(AppFolder::writeFile(app.root() + "/passwords", "wrong\n" + secret + "\n"));

        const Outcome o = runProgram(program, {"--convert", "--password-file", app.root() + "/passwords",
                                               app.docs() + "/a.pdf"});
        QCOMPARE(o.status, 0);
        // Probe and converter each read both passwords from their pipe.
        QCOMPARE(AppFolder::read(app.path() + "/piped.log"), "wrong\n" + secret + "\nwrong\n" + secret + "\n");
        const QByteArray seen = AppFolder::read(app.path() + "/seen.log");
        QVERIFY(seen.contains("RASTERWELL_PASSWORD_FD="));
        QVERIFY(!seen.contains(secret));
        QVERIFY(!seen.contains(QFile::encodeName(app.root() + "/passwords"))); // not even the file's name
    }

    // The real companions: a document protected by a user password opens
    // with the second of two passwords (the owner password opens it too);
    // one that none opens is reported protected. Afterwards no file of the
    // application, staging or documents folders, no report line and no
    // message holds a password.
    void realCompanionsOpenWithAPassword()
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        QVERIFY2(QFile::exists(built + "/pdftk.exe") && QFile::exists(built + "/ps/rwrender"),
                 "the companion programs are not built");
        QVERIFY2(!QStandardPaths::findExecutable("qpdf").isEmpty(),
                 "qpdf is needed to make a protected document (scripts/setup.sh installs it)");
        AppFolder app;
        const QString program = installProgram(app);
        for (const char *name : {"pdftk.exe", "ps/pdf2tiff.bat", "ps/rwrender"})
            QVERIFY(QFile::link(built + "/" + name, app.path() + "/" + name));
        const QString docs = app.docs();
        QVERIFY(PdfFixtures::writePdf(app.root() + "/open.pdf", 2));
        const QByteArray user = "Us3r-Secret-5521";
        const QByteArray owner = "0wner-Secret-8830";
        for (const char *name : {"user", "owner", "other"})
            QCOMPARE(QProcess::execute("qpdf", {"--encrypt",
                                                QString(name) == "other" ? "Elsewhere-1" : QString(user),
                                                QString(owner), "256", "--", app.root() + "/open.pdf",
                                                docs + "/" + name + ".pdf"}),
                     0);
        // "other" has a user password of its own; "owner" is opened by its
        // owner password, given first.
        QVERIFY(AppFolder::writeFile(app.root() + "/passwords", "wrong\r\n" + user + "\n"));
        const QString report = app.root() + "/report.json";
        const Outcome o = runProgram(program, {"--convert", "--password-file", app.root() + "/passwords",
                                               "--report", report, "-j1", docs + "/user.pdf",
                                               docs + "/other.pdf"});
        QCOMPARE(o.status, 1);
        QVERIFY2(o.out.contains("other.pdf is password protected."), o.out.constData());
        QCOMPARE(QDir(docs).entryList({"*.jpg"}, QDir::Files, QDir::Name),
                 (QStringList{"user-001.jpg", "user-002.jpg"}));
        const Outcome byOwner = runProgram(program, {"--convert", "--password-file", "-", docs + "/owner.pdf"},
                                           "nothing\n" + owner + "\n");
        QCOMPARE(byOwner.status, 0);
        QVERIFY(QFile::exists(docs + "/owner-002.jpg"));

        for (const QByteArray &secret : {user, owner}) {
            QVERIFY(!o.out.contains(secret) && !o.err.contains(secret));
            QVERIFY(!byOwner.out.contains(secret) && !byOwner.err.contains(secret));
            QCOMPARE(filesHolding(app.path(), secret), QStringList{});
            QCOMPARE(filesHolding(docs, secret), QStringList{});
            QVERIFY(!AppFolder::read(report).contains(secret));
        }
        QCOMPARE(app.stagingLeftovers(), (QStringList{"rwrender"}));
    }
};

QTEST_GUILESS_MAIN(TestCliListsPasswords)
#include "tst_cli_lists_passwords.moc"
