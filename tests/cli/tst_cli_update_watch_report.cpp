#include "cli/options.h"
#include "tests/cli/clitest.h"
#include "tests/convert/convertfixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using ConvertFixture::AppFolder;

// --update, --report and --watch, with the program run as it is used:
// a separate process without a display, fake companions beside it.
class TestCliUpdateWatchReport : public QObject {
    Q_OBJECT

    // The toolkit tells the page count ("PAGE" lines) as the real one does.
    static inline const QByteArray CountingToolkit =
        "grep -q PROTECTED -- \"$1\" && exit 1\n"
        "printf 'NumberOfPages: %s\\n' \"$(grep -c '^PAGE' -- \"$1\")\" > \"$4\"\n";
    // One image per "PAGE" line, as the renderer starts one (with the record
    // of its making), then naming its page and the document; "LOSE n"
    // leaves page n out and fails; "NOIMAGE" writes none; "SLOW" takes long;
    // "WAIT" waits until the application folder holds "release". Each
    // document's first line goes to script.log.
    static inline const QByteArray Script =
        ConvertFixture::RecordImageFunction +
        "head -n 1 current.pdf >> ../script.log\n"
        "grep -q SLOW current.pdf && sleep 30\n"
        "if grep -q WAIT current.pdf; then\n"
        "  while [ ! -e ../release ]; do sleep 0.05; done\n"
        "fi\n"
        "if ! grep -q NOIMAGE current.pdf; then\n"
        "  name=$(head -n 1 current.pdf)\n"
        "  n=$(grep -c '^PAGE' current.pdf)\n"
        "  i=1\n"
        "  while [ $i -le $n ]; do\n"
        "    image=$(printf 'current-%03d.jpg' $i)\n"
        "    grep -q \"^LOSE $i\\$\" current.pdf ||\n"
        "      { record_image $i $n $image; printf 'page %d of %s\\n' $i \"$name\" >> $image; }\n"
        "    i=$((i + 1))\n"
        "  done\n"
        "fi\n"
        "if grep -q '^LOSE' current.pdf; then rm -f current.pdf; exit 1; fi\n"
        "rm -f current.pdf\n";

    struct Setup {
        AppFolder app;
        QString program;
        bool ok = false;
        Setup()
        {
            program = app.path() + "/rasterwell";
            ok = app.writeToolkit(CountingToolkit) && app.writeScript(Script)
                 && QFile::copy(qEnvironmentVariable("RW_APP_DIR") + "/rasterwell", program);
        }
        QString doc(const QString &name) const { return app.docs() + "/" + name; }
        QStringList converted() const { return app.scriptRuns(); }
    };

    struct Outcome {
        int status = -1;
        QByteArray out;
        QString err;
    };

    static QProcessEnvironment environment(int jobs = 1)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        env.insert("RASTERWELL_JOBS", QString::number(jobs));
        return env;
    }

    static Outcome run(const Setup &s, const QStringList &args, const QProcessEnvironment &env = environment())
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(s.program, args);
        Outcome o;
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
            return o;
        o.status = p.exitCode();
        o.out = p.readAllStandardOutput();
        o.err = QString::fromUtf8(p.readAllStandardError());
        return o;
    }

    // Every line must be a whole JSON object; keyed by file name.
    static std::optional<QMap<QString, QJsonObject>> reportLines(const QByteArray &text)
    {
        QMap<QString, QJsonObject> byName;
        if (!text.isEmpty() && !text.endsWith('\n'))
            return std::nullopt;
        for (const QByteArray &line : text.split('\n')) {
            if (line.isEmpty())
                continue;
            QJsonParseError error;
            const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
            if (error.error != QJsonParseError::NoError || !doc.isObject())
                return std::nullopt;
            byName.insert(doc.object().value("path").toString().section('/', -1), doc.object());
        }
        return byName;
    }

    static bool setTime(const QString &path, qint64 seconds)
    {
        const timespec times[2] = {{seconds, 0}, {seconds, 0}};
        return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
    }

private slots:
    void options_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<QString>("report");
        QTest::newRow("all of them") << QStringList{"--convert", "--update", "--watch", "--verbose", "--report", "r.jsonl", "d"}
                                     << "" << "r.jsonl";
        QTest::newRow("report with =") << QStringList{"--convert", "--report=-", "d"} << "" << "-";
        QTest::newRow("report without a file") << QStringList{"--convert", "d", "--report"} << "--report needs a value" << "";
        QTest::newRow("report with an empty name") << QStringList{"--convert", "--report=", "d"} << "--report needs a file name" << "";
        QTest::newRow("quiet and verbose") << QStringList{"--convert", "--quiet", "--verbose", "d"}
                                           << "cannot be given together" << "";
        QTest::newRow("watch is for --convert") << QStringList{"--watch", "d"} << "unknown option --watch" << "";
    }
    void options()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QFETCH(QString, report);
        const CommandLine::Request r = CommandLine::parse(args);
        QVERIFY2(error.isEmpty() ? r.error.isEmpty() : r.error.contains(error), qPrintable(r.error));
        QCOMPARE(r.mode == CommandLine::Mode::UsageError, !error.isEmpty());
        QCOMPARE(r.report, report);
    }

    // Progress lines on the error stream (off a terminal): one per
    // document, none with --quiet, one more per page with --verbose. The
    // messages stay as they are.
    void progressLines_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QStringList>("lines"); // %D: the documents folder
        QTest::newRow("normal") << "" << QStringList{"[1/2] %D/a.pdf", "[2/2] %D/b.pdf"};
        QTest::newRow("quiet") << "--quiet" << QStringList{};
        QTest::newRow("verbose") << "--verbose"
                                 << QStringList{"[1/2] %D/a.pdf", "[1/2] %D/a.pdf: page 1 of 2",
                                                "[1/2] %D/a.pdf: page 2 of 2", "[2/2] %D/b.pdf"};
    }
    void progressLines()
    {
        QFETCH(QString, option);
        QFETCH(QStringList, lines);
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 2));
        s.app.writeDocument("b.pdf", ConvertFixture::document("b", 1, "PROTECTED"));
        QStringList args{"--convert"};
        if (!option.isEmpty())
            args << option;
        const Outcome o = run(s, args << s.app.docs());
        QCOMPARE(o.status, 1);
        QCOMPARE(o.out, "" + s.doc("b.pdf").toUtf8() + " is password protected.\nDone.\n");
        QStringList progress;
        for (const QString &line : o.err.split('\n'))
            if (line.startsWith('['))
                progress << line;
        for (QString &line : lines)
            line.replace("%D", s.app.docs());
        QCOMPARE(progress, lines);
    }

    // --watch takes folders only: anything else is a usage error before
    // anything is converted.
    void watchNeedsFolders()
    {
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        const Outcome o = run(s, {"--convert", "--watch", s.app.docs(), s.doc("a.pdf")});
        QCOMPARE(o.status, 2);
        QVERIFY2(o.err.contains("--watch needs folders"), qPrintable(o.err));
        QCOMPARE(s.converted(), QStringList{});
    }

    // A second run with --update converts only what changed since; without
    // --update everything is converted again.
    void updateSkipsWhatIsDone()
    {
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 2));
        s.app.writeDocument("b.pdf", ConvertFixture::document("b", 1));
        QCOMPARE(run(s, {"--convert", s.app.docs()}).status, 0);
        QCOMPARE(s.converted(), (QStringList{"a", "b"}));

        // b changes after its images were made.
        s.app.writeDocument("b.pdf", ConvertFixture::document("b2", 2));
        QVERIFY(setTime(s.doc("b.pdf"), QDateTime::currentSecsSinceEpoch() + 100));
        const Outcome o = run(s, {"--convert", "--update", s.app.docs()});
        QCOMPARE(o.status, 0);
        QCOMPARE(o.out, QByteArray("Done.\n"));
        QVERIFY2(o.err.contains("[1/2] " + s.doc("a.pdf") + ": up to date\n"), qPrintable(o.err));
        QVERIFY2(o.err.contains("[2/2] " + s.doc("b.pdf") + "\n"), qPrintable(o.err));
        QCOMPARE(s.converted(), (QStringList{"a", "b", "b2"}));
        QVERIFY(AppFolder::read(s.doc("b-002.jpg")).endsWith("page 2 of b2\n"));

        QCOMPARE(run(s, {"--convert", s.app.docs()}).status, 0);
        QCOMPARE(s.converted(), (QStringList{"a", "b", "b2", "a", "b2"}));
    }

    // --update converts again whatever its images do not show as it is now
    // at this run's settings; the program hands the converter the
    // document's identity, and reads the resolution and quality the
    // converter will use as the script would.
    void updateRedoesWhatIsNotUpToDate_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("options"); // of the second run, besides --update
        QTest::addColumn<bool>("convertedAgain");
        QTest::newRow("nothing changed") << "" << QStringList{} << false;
        QTest::newRow("the same -r and -q as the script's") << "" << QStringList{"-r", "150", "-q", "90"} << false;
        QTest::newRow("another -r") << "" << QStringList{"-r", "100"} << true;
        QTest::newRow("another -q") << "" << QStringList{"-q", "50"} << true;
        QTest::newRow("another RASTERWELL_QUALITY") << "quality variable" << QStringList{} << true;
        QTest::newRow("the script's QUALITY edited") << "script quality" << QStringList{} << true;
        QTest::newRow("images of a converter of one's own") << "no record" << QStringList{} << true;
        QTest::newRow("an older version copied over it with its times") << "cp -p older" << QStringList{} << true;
    }
    void updateRedoesWhatIsNotUpToDate()
    {
        QFETCH(QString, change);
        QFETCH(QStringList, options);
        QFETCH(bool, convertedAgain);
        Setup s;
        QVERIFY(s.ok);
        QByteArray script = Script;
        if (change == "script quality")
            script = "QUALITY=90\n" + script;
        if (change == "no record")
            QVERIFY(s.app.writeScript(QByteArray(Script).replace("record_image $i $n $image;", "")));
        else
            QVERIFY(s.app.writeScript(script));
        const QString older = s.app.root() + "/older.pdf";
        QVERIFY(AppFolder::writeFile(older, ConvertFixture::document("A", 1)));
        QVERIFY(setTime(older, QDateTime::currentSecsSinceEpoch() - 86400));
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        QCOMPARE(run(s, {"--convert", s.app.docs()}).status, 0);
        QCOMPARE(s.converted(), QStringList{"a"});

        QProcessEnvironment env = environment();
        if (change == "quality variable")
            env.insert("RASTERWELL_QUALITY", "40");
        if (change == "script quality")
            QVERIFY(s.app.writeScript("QUALITY=70\n" + Script));
        if (change == "no record")
            QVERIFY(s.app.writeScript(Script));
        if (change == "cp -p older")
            QCOMPARE(QProcess::execute("cp", {"-p", older, s.doc("a.pdf")}), 0);
        const Outcome o = run(s, QStringList{"--convert", "--update"} + options + QStringList{s.app.docs()}, env);
        QCOMPARE(o.status, 0);
        QCOMPARE(o.err.contains(": up to date\n"), !convertedAgain);
        QCOMPARE(s.converted().size(), convertedAgain ? 2 : 1);
    }

    // Each outcome appears with its fields, on standard output as JSON
    // Lines; the people's messages then go to the error stream.
    void reportNamesEveryOutcome()
    {
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("done.pdf", ConvertFixture::document("done", 2));
        s.app.writeDocument("conv.pdf", ConvertFixture::document("conv", 2));
        s.app.writeDocument("prot.pdf", ConvertFixture::document("prot", 1, "PROTECTED"));
        s.app.writeDocument("part.pdf", ConvertFixture::document("part", 4, "LOSE 2\nLOSE 4"));
        s.app.writeDocument("fail.pdf", ConvertFixture::document("fail", 1, "NOIMAGE"));
        QCOMPARE(::mkfifo(QFile::encodeName(s.doc("fifo.pdf")).constData(), 0644), 0);
        QCOMPARE(run(s, {"--convert", s.doc("done.pdf")}).status, 0);

        const Outcome o = run(s, {"--convert", "--update", "--report", "-", s.app.docs()});
        QCOMPARE(o.status, 1);
        QVERIFY2(o.err.contains("Could not create JPG on " + s.doc("part.pdf") + "\n"), qPrintable(o.err));
        QVERIFY(o.err.endsWith("Done.\n"));
        const auto lines = reportLines(o.out);
        QVERIFY2(lines, o.out.constData());
        QCOMPARE(lines->keys(), (QStringList{"conv.pdf", "done.pdf", "fail.pdf", "fifo.pdf", "part.pdf", "prot.pdf"}));

        struct Expected {
            const char *outcome;
            int pages, images;
            QList<int> missing;
            const char *reason; // a part of it
        };
        const QMap<QString, Expected> expected = {
            {"done.pdf", {"up-to-date", 2, 0, {}, ""}},
            {"conv.pdf", {"converted", 2, 2, {}, ""}},
            {"prot.pdf", {"protected", 0, 0, {}, ""}},
            {"part.pdf", {"partial", 4, 2, {2, 4}, "the converter reported a failure"}},
            {"fail.pdf", {"failed", 1, 0, {1}, "the converter left no page image"}},
            {"fifo.pdf", {"refused", 0, 0, {}, "a FIFO, not a regular file"}},
        };
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            const QJsonObject line = lines->value(it.key());
            const QString name = it.key();
            QCOMPARE(line.value("path").toString(), s.doc(name));
            QCOMPARE(line.value("outcome").toString(), QString(it->outcome));
            QCOMPARE(line.value("pages").toInt(-1), it->pages);
            QCOMPARE(line.value("images").toInt(-1), it->images);
            QList<int> missing;
            for (const QJsonValue &v : line.value("missing").toArray())
                missing << v.toInt();
            QCOMPARE(missing, it->missing);
            const QString reason = line.value("reason").toString();
            QVERIFY2(QByteArray(it->reason).isEmpty() ? (reason.isEmpty() || it->outcome == QByteArray("protected"))
                                                      : reason.contains(it->reason),
                     qPrintable(name + ": " + reason));
            QVERIFY(line.value("seconds").isDouble() && line.value("seconds").toDouble() >= 0);
        }
    }

    // A name that is not UTF-8: shown with \xNN like the other outputs, and
    // its exact bytes kept beside it.
    void reportKeepsExactBytes()
    {
        Setup s;
        QVERIFY(s.ok);
        const QByteArray name = QFile::encodeName(s.app.docs()) + "/b\xff\xfe.pdf";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray body = ConvertFixture::document("odd", 1);
        QCOMPARE(::write(fd, body.constData(), size_t(body.size())), ssize_t(body.size()));
        ::close(fd);
        const Outcome o = run(s, {"--convert", "--report", "-", s.app.docs()});
        QCOMPARE(o.status, 0);
        const QJsonObject line = QJsonDocument::fromJson(o.out.trimmed()).object();
        QCOMPARE(line.value("path").toString(), s.doc("b\\xff\\xfe.pdf"));
        QCOMPARE(QByteArray::fromBase64(line.value("path_bytes").toString().toLatin1()), name);
        QCOMPARE(line.value("outcome").toString(), QString("converted"));
    }

    // Killed outright in the middle of a document, the run leaves a report
    // of whole lines: one for each document that had ended.
    void reportStaysWholeWhenKilled()
    {
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        s.app.writeDocument("b.pdf", ConvertFixture::document("b", 1, "SLOW"));
        const QString report = s.app.root() + "/report.jsonl";
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(s.program, {"--convert", "--report", report, s.doc("a.pdf"), s.doc("b.pdf")});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("b"), 30000);
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(10000));
        const auto lines = reportLines(AppFolder::read(report));
        QVERIFY(lines);
        QCOMPARE(lines->keys(), QStringList{"a.pdf"});
        QCOMPARE(lines->value("a.pdf").value("outcome").toString(), QString("converted"));
    }

    // The watch converts what is there as --update would, then each
    // document once it is complete: written in two halves with a pause,
    // closed and opened again, moved in, in a new sub-folder. Its own images trigger nothing; a
    // watched folder that disappears is named once and the others are still
    // watched; TERM ends it with status 0 and nothing left behind.
    void watchConvertsEachCompleteDocumentOnce()
    {
        Setup s;
        QVERIFY(s.ok);
        const QString one = s.doc("one"), two = s.doc("two");
        QVERIFY(QDir().mkpath(one) && QDir().mkpath(two));
        s.app.writeDocument("one/old.pdf", ConvertFixture::document("old", 1));
        QCOMPARE(run(s, {"--convert", one}).status, 0);
        s.app.writeDocument("one/new.pdf", ConvertFixture::document("new", 1));

        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(s.program, {"--convert", "--watch", one, two});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(one + "/new-001.jpg"), 30000);
        QCOMPARE(s.converted(), (QStringList{"old", "new"}));

        // Two halves on one open file, with a pause longer than any settle time.
        {
            QFile halves(one + "/halves.pdf");
            QVERIFY(halves.open(QIODevice::WriteOnly));
            halves.write("halves\nPAGE\n");
            QVERIFY(halves.flush());
            QTest::qWait(1500);
            QVERIFY(!QFile::exists(one + "/halves-001.jpg"));
            halves.write("PAGE\nPAGE\n\n");
        }
        // Two halves, closed in between and opened again at once: the first
        // close does not make it complete.
        {
            QFile reopened(one + "/reopened.pdf");
            QVERIFY(reopened.open(QIODevice::WriteOnly));
            reopened.write("reopened\nPAGE\n");
            reopened.close();
            QTest::qWait(50);
            QVERIFY(reopened.open(QIODevice::WriteOnly | QIODevice::Append));
            reopened.write("PAGE\n\n");
        }
        // Written under another name, then moved in, as a file manager does.
        QVERIFY(AppFolder::writeFile(s.app.root() + "/.partial", ConvertFixture::document("moved", 1)));
        QVERIFY(QFile::rename(s.app.root() + "/.partial", two + "/moved.pdf"));
        // A new sub-folder, and one inside it.
        QVERIFY(QDir().mkpath(one + "/sub/deeper"));
        QTest::qWait(200);
        QVERIFY(AppFolder::writeFile(one + "/sub/deeper/inner.pdf", ConvertFixture::document("inner", 1)));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(one + "/halves-003.jpg") && QFile::exists(one + "/reopened-002.jpg")
                                     && QFile::exists(two + "/moved-001.jpg")
                                     && QFile::exists(one + "/sub/deeper/inner-001.jpg"),
                                 30000);
        // A folder that goes away; the other is still watched.
        QVERIFY(QDir(two).removeRecursively());
        QVERIFY(AppFolder::writeFile(one + "/last.pdf", ConvertFixture::document("last", 1)));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(one + "/last-001.jpg"), 30000);
        // Long enough for a second conversion to have begun, had anything
        // triggered one.
        QTest::qWait(1500);
        QStringList runs = s.converted();
        std::sort(runs.begin() + 2, runs.end());
        QCOMPARE(runs, (QStringList{"old", "new", "halves", "inner", "last", "moved", "reopened"}));
        QVERIFY(AppFolder::read(one + "/halves-003.jpg").endsWith("page 3 of halves\n"));

        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(err.count("is gone"), 1);
        QCOMPARE(p.exitCode(), 1); // a watched folder went away
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).endsWith("Done.\n"));
        QCOMPARE(s.app.stagingLeftovers(), QStringList{});
    }

    // A document saved again while its first version converts is converted
    // again once that ends: the images of the first version are not taken
    // for the second's.
    void watchConvertsAgainWhatChangedDuringItsConversion()
    {
        Setup s;
        QVERIFY(s.ok);
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(s.program, {"--convert", "--watch", s.app.docs()});
        QVERIFY(p.waitForStarted());
        QVERIFY(AppFolder::writeFile(s.doc("a.pdf"), ConvertFixture::document("first", 2, "WAIT")));
        QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("first"), 30000);
        QVERIFY(AppFolder::writeFile(s.doc("a.pdf"), ConvertFixture::document("second", 2)));
        QVERIFY(AppFolder::writeFile(s.app.path() + "/release", ""));
        QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("second"), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(AppFolder::read(s.doc("a-002.jpg")).endsWith("page 2 of second\n"), 30000);
        QTest::qWait(1500); // time for a further conversion, had anything triggered one
        QCOMPARE(s.converted(), (QStringList{"first", "second"}));
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }

    // The exit status follows each document's last conversion: a full
    // conversion replaces an earlier failure, and a conversion cut short by
    // TERM leaves the document converted only when its images still show
    // it as it is.
    void watchStatusFollowsLastConversion_data()
    {
        QTest::addColumn<QString>("course");
        QTest::addColumn<int>("status");
        QTest::newRow("a failure, then converted; TERM while idle") << "fails first" << 0;
        QTest::newRow("TERM while a change that was undone converts") << "undone" << 0;
        QTest::newRow("TERM while a change converts") << "changed" << 1;
    }
    void watchStatusFollowsLastConversion()
    {
        QFETCH(QString, course);
        QFETCH(int, status);
        Setup s;
        QVERIFY(s.ok);
        const QByteArray first = ConvertFixture::document("a", 1, course == "fails first" ? "NOIMAGE" : "");
        s.app.writeDocument("a.pdf", first);
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(s.program, {"--convert", "--watch", s.app.docs()});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("a"), 30000);
        if (course == "fails first") {
            QVERIFY(AppFolder::writeFile(s.doc("a.pdf"), ConvertFixture::document("a2", 1)));
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.doc("a-001.jpg")), 30000);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.doc("a-001.jpg")), 30000);
            QVERIFY(AppFolder::writeFile(s.doc("a.pdf"), ConvertFixture::document("a2", 1, "WAIT")));
            QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("a2"), 30000);
            // Put back as it was (other times, the same content).
            if (course == "undone")
                QVERIFY(AppFolder::writeFile(s.doc("a.pdf"), first));
        }
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), status);
        QCOMPARE(s.app.stagingLeftovers(), QStringList{});
        QVERIFY(AppFolder::read(s.doc("a-001.jpg")).endsWith(course == "fails first" ? "page 1 of a2\n" : "page 1 of a\n"));
    }

    // INT, TERM and HUP end the watch cleanly, idle or in the middle of a
    // document: companions ended, staging folder clear, status 0 when
    // every document was converted.
    void watchEndsCleanly_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("busy");
        QTest::newRow("TERM while idle") << int(SIGTERM) << false;
        QTest::newRow("INT while idle") << int(SIGINT) << false;
        QTest::newRow("HUP while converting") << int(SIGHUP) << true;
        QTest::newRow("TERM while converting") << int(SIGTERM) << true;
    }
    void watchEndsCleanly()
    {
        QFETCH(int, signal);
        QFETCH(bool, busy);
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(s.program, {"--convert", "--watch", s.app.docs()});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.doc("a-001.jpg")), 30000);
        if (busy) {
            QVERIFY(AppFolder::writeFile(s.doc("slow.pdf"), ConvertFixture::document("slow", 1, "SLOW")));
            QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("slow"), 30000);
        }
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), busy ? 1 : 0);
        QCOMPARE(s.app.stagingLeftovers(), QStringList{});
        QTRY_VERIFY_WITH_TIMEOUT(CliTest::processesUnder(s.app.path()).isEmpty(), 10000);
        QVERIFY(!QFile::exists(s.doc("slow-001.jpg")));
    }

    // --report never destroys a file: a document of the run (also through a
    // hard link, "dir/.." or a linked folder), an image name the run may
    // write, a link, a file that is neither empty nor JSON Lines, and under
    // --watch a document's or image's name in a watched folder are usage
    // errors before anything is converted. An earlier report or an empty
    // file is replaced as before.
    void reportNeverDestroysAFile_data()
    {
        QTest::addColumn<QString>("report");     // %D the documents, %R the temporary folder
        QTest::addColumn<QString>("made");       // "", "file", "hard link", "symlink", "dangling symlink"
        QTest::addColumn<QByteArray>("content"); // of the file, or of the symlink's target
        QTest::addColumn<bool>("watch");
        QTest::addColumn<QString>("refusal");    // part of the message; empty: accepted
        const QByteArray report = "{\"outcome\":\"converted\",\"path\":\"/x/a.pdf\"}\n{\"outcome\":\"failed\"}\n";
        const QByteArray none;
        QTest::newRow("the document") << "%D/doc.pdf" << "" << none << false << "a document of this run";
        QTest::newRow("the document through dir/..") << "%D/sub/../doc.pdf" << "" << none << false
                                                     << "a document of this run";
        QTest::newRow("the document through a linked folder") << "%R/linked/doc.pdf" << "" << none << false
                                                              << "a document of this run";
        QTest::newRow("the document through a hard link") << "%R/hard.jsonl" << "hard link" << none << false
                                                          << "a document of this run";
        QTest::newRow("an image name") << "%D/doc-001.jpg" << "" << none << false << "an image name of";
        QTest::newRow("an image name past 999") << "%D/doc-1000.jpg" << "" << none << false << "an image name of";
        QTest::newRow("an image name through dir/..") << "%D/sub/../doc-002.jpg" << "" << none << false
                                                      << "an image name of";
        QTest::newRow("an image name through a linked folder") << "%R/linked/doc-003.jpg" << "" << none << false
                                                               << "an image name of";
        QTest::newRow("a recovered page's name") << "%D/doc-recovered-001.jpg" << "" << none << false
                                                 << "an image name of";
        QTest::newRow("a link to an earlier report") << "%R/link.jsonl" << "symlink" << report << false << "a link";
        QTest::newRow("a link to nowhere") << "%R/link.jsonl" << "dangling symlink" << none << false << "a link";
        QTest::newRow("a PDF") << "%R/invoice.pdf" << "file" << QByteArray("%PDF-1.4\n%\xe2\xe3\n1 0 obj\n")
                               << false << "not JSON Lines";
        QTest::newRow("a text") << "%R/notes.txt" << "file" << QByteArray("call Ann\n") << false << "not JSON Lines";
        QTest::newRow("a report, then text") << "%R/r.jsonl" << "file" << report + "and then\n" << false
                                             << "not JSON Lines";
        QTest::newRow("a document's name in a watched folder") << "%D/sub/new.pdf" << "" << none << true
                                                               << "watched folder";
        QTest::newRow("an image name in a watched folder, through a link") << "%R/linked/any-001.jpg" << "" << none
                                                                           << true << "watched folder";
        QTest::newRow("an earlier report") << "%R/r.jsonl" << "file" << report << false << "";
        QTest::newRow("an empty file") << "%R/r.jsonl" << "file" << QByteArray("") << false << "";
        QTest::newRow("a new file") << "%R/r.jsonl" << "" << none << false << "";
        QTest::newRow("a name the run never writes") << "%D/doc-01.jpg" << "" << none << false << "";
        QTest::newRow("another document's image name") << "%D/other-001.jpg" << "" << none << false << "";
    }
    void reportNeverDestroysAFile()
    {
        QFETCH(QString, report);
        QFETCH(QString, made);
        QFETCH(QByteArray, content);
        QFETCH(bool, watch);
        QFETCH(QString, refusal);
        Setup s;
        QVERIFY(s.ok);
        const QString document = s.app.writeDocument("doc.pdf", ConvertFixture::document("doc", 2));
        const QByteArray documentBytes = AppFolder::read(document);
        QVERIFY(QDir().mkpath(s.doc("sub")));
        QVERIFY(QFile::link(s.app.docs(), s.app.root() + "/linked"));
        report.replace("%D", s.app.docs()).replace("%R", s.app.root());
        const QString target = s.app.root() + "/target.jsonl";
        if (made == "file")
            QVERIFY(AppFolder::writeFile(report, content));
        else if (made == "hard link")
            QCOMPARE(::link(QFile::encodeName(document).constData(), QFile::encodeName(report).constData()), 0);
        else if (made == "symlink")
            QVERIFY(AppFolder::writeFile(target, content) && QFile::link(target, report));
        else if (made == "dangling symlink")
            QVERIFY(QFile::link(target, report));
        const bool existed = QFileInfo(report).exists();
        const QByteArray before = AppFolder::read(report);

        QStringList args{"--convert", "--report", report};
        if (watch)
            args << "--watch" << s.app.docs();
        else
            args << document;
        const Outcome o = run(s, args);
        if (refusal.isEmpty()) {
            QCOMPARE(o.status, 0);
            const auto lines = reportLines(AppFolder::read(report));
            QVERIFY(lines);
            QCOMPARE(lines->keys(), QStringList{"doc.pdf"}); // replaced, as before
            QVERIFY(AppFolder::read(s.doc("doc-002.jpg")).endsWith("page 2 of doc\n"));
            return;
        }
        QCOMPARE(o.status, 2);
        QVERIFY2(o.err.contains("--report " + report + ": ") && o.err.contains(refusal), qPrintable(o.err));
        QCOMPARE(o.out, QByteArray());
        // Nothing written: the file as it was, no image, no conversion.
        QCOMPARE(QFileInfo(report).exists(), existed);
        QCOMPARE(AppFolder::read(report), before);
        QCOMPARE(AppFolder::read(document), documentBytes);
        if (made.endsWith("symlink")) {
            QVERIFY(QFileInfo(report).isSymLink());
            QCOMPARE(QFile::exists(target), made == "symlink");
            QCOMPARE(AppFolder::read(target), content);
        }
        QCOMPARE(QDir(s.app.docs()).entryList({"*.jpg"}, QDir::Files), QStringList{});
        QCOMPARE(s.converted(), QStringList{});
    }

    // The outcomes the report gives besides the usual ones: a link that
    // leads nowhere is refused (never handed to a companion), a protected
    // document says why, and a document under way when TERM or INT stops
    // the run ends as interrupted, before the run ends by that signal.
    void reportOutcomesOfRefusalProtectionAndInterruption()
    {
        Setup s;
        QVERIFY(s.ok);
        QVERIFY(QFile::link(s.doc("gone.pdf"), s.doc("dangling.pdf")));
        s.app.writeDocument("prot.pdf", ConvertFixture::document("prot", 1, "PROTECTED"));
        // Named on the command line, a link to nowhere is a path that does not exist; found in a folder it is refused.
        const Outcome o = run(s, {"--convert", "--report", "-", s.app.docs()});
        QCOMPARE(o.status, 1);
        const auto lines = reportLines(o.out);
        QVERIFY2(lines, o.out.constData());
        QCOMPARE(lines->value("dangling.pdf").value("outcome").toString(), QString("refused"));
        QVERIFY2(lines->value("dangling.pdf").value("reason").toString().contains("a link to a file that does not exist"),
                 qPrintable(lines->value("dangling.pdf").value("reason").toString()));
        QCOMPARE(lines->value("prot.pdf").value("outcome").toString(), QString("protected"));
        QVERIFY(lines->value("prot.pdf").value("reason").toString().contains("needs a password"));
    }
    void reportSaysInterrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("TERM") << int(SIGTERM);
        QTest::newRow("INT") << int(SIGINT);
    }
    void reportSaysInterrupted()
    {
        QFETCH(int, signal);
        Setup s;
        QVERIFY(s.ok);
        s.app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        s.app.writeDocument("slow.pdf", ConvertFixture::document("slow", 3, "SLOW"));
        s.app.writeDocument("never.pdf", ConvertFixture::document("never", 1));
        const QString report = s.app.root() + "/report.jsonl";
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(s.program, {"--convert", "--report", report, s.doc("a.pdf"), s.doc("slow.pdf"), s.doc("never.pdf")});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(s.converted().contains("slow"), 30000);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(10000));
        // It ends as an interrupted program does, after a clean stop.
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QCOMPARE(s.app.stagingLeftovers(), QStringList{});
        QTRY_VERIFY_WITH_TIMEOUT(CliTest::processesUnder(s.app.path()).isEmpty(), 10000);
        const auto lines = reportLines(AppFolder::read(report));
        QVERIFY(lines);
        QCOMPARE(lines->keys(), (QStringList{"a.pdf", "slow.pdf"}));
        const QJsonObject slow = lines->value("slow.pdf");
        QCOMPARE(slow.value("outcome").toString(), QString("interrupted"));
        QCOMPARE(slow.value("pages").toInt(), 3);
        QCOMPARE(slow.value("images").toInt(-1), 0);
        QVERIFY(slow.value("reason").toString().contains("interrupted"));
        QVERIFY(!QFile::exists(s.doc("slow-001.jpg")));
    }
};

QTEST_GUILESS_MAIN(TestCliUpdateWatchReport)
#include "tst_cli_update_watch_report.moc"
