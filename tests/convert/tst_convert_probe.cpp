#include "convert/launcher/commandquoting.h"
#include "convert/passwordprobe.h"
#include "platform/secret.h"
#include "tests/convert/pdfharness.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using ConvertFixture::AppFolder;
using Probe = ConvertFixture::PdfHarness<&PDF::IsPasswordProtected>;

// The password probe: the toolkit's command line, the verdict from the
// result file, and what happens when the toolkit cannot give one.
class TestProbe : public QObject {
    Q_OBJECT

private slots:
    void commandLineAsTheToolkitReadsIt()
    {
        const CompanionFiles files("/Apps/Conv");
        QCOMPARE(PDF::toolkitCommandLine(files, "/Docs/report.pdf"),
                 QString("\"/Apps/Conv/pdftk.exe\" \"/Docs/report.pdf\" data_dump output "
                         "\"/Apps/Conv/2348239bbb.txt\" dont_ask"));
    }

    // Whatever the names hold, the document and the result file come back
    // from the command line as exactly one argument each, in their places.
    void commandLineKeepsEachPathWhole_data()
    {
        QTest::addColumn<QString>("appFolder");
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("received");
        QTest::newRow("spaces") << "/my apps/conv" << "/my docs/a report.pdf"
                                << "/my docs/a report.pdf";
        QTest::newRow("double quotes") << "/apps" << "/d/say \"hi\".pdf" << "/d/say \"hi\".pdf";
        QTest::newRow("backslashes") << "/apps\\x" << "/d/a\\\\b\\\"c.pdf" << "/d/a\\\\b\\\"c.pdf";
        QTest::newRow("trailing backslash") << "/apps" << "/d/name\\" << "/d/name\\";
        QTest::newRow("newline and tab") << "/apps" << "/d/two\nlines\t.pdf"
                                         << "/d/two\nlines\t.pdf";
        QTest::newRow("redirect attempt") << "/apps" << "/d/x\" output \"/tmp/evil.txt"
                                          << "/d/x\" output \"/tmp/evil.txt";
        QTest::newRow("leading dash") << "/apps" << "-o.pdf" << "./-o.pdf";
        QTest::newRow("empty") << "/apps" << "" << "";
    }
    void commandLineKeepsEachPathWhole()
    {
        QFETCH(QString, appFolder);
        QFETCH(QString, document);
        QFETCH(QString, received);
        const CompanionFiles files(appFolder);
        const QStringList argv =
            Shell32::splitCommandLine(PDF::toolkitCommandLine(files, document));
        QCOMPARE(argv, (QStringList{appFolder + "/pdftk.exe", received, "data_dump", "output",
                                    appFolder + "/2348239bbb.txt", "dont_ask"}));
    }

    // The same through a real toolkit process: it receives the path as one
    // argument and the run ends with no result file left behind.
    void toolkitReceivesThePathAsOneArgument_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("spaces and quotes") << "my \"best\" report.pdf";
        QTest::newRow("backslashes") << "a\\\\b\\\".pdf";
        QTest::newRow("newline") << "two\nlines.pdf";
        QTest::newRow("redirect attempt") << "x\" output \"evil.txt";
    }
    void toolkitReceivesThePathAsOneArgument()
    {
        QFETCH(QString, name);
        AppFolder app("my app");
        QVERIFY(app.writeToolkit("printf '%s\\0' \"$#\" \"$@\" > \"$(dirname \"$0\")/args.bin\"\n"
                                 ": > \"$4\"\n"));
        const QString document = app.writeDocument(name, "x");
        QVERIFY(!document.isEmpty());
        Probe probe(app);

        QCOMPARE(probe(document).verdict, PDF::ProbeResult::Verdict::Readable);
        const QList<QByteArray> args = AppFolder::read(app.path() + "/args.bin").split('\0');
        QCOMPARE(args.value(0), QByteArray("5"));
        QCOMPARE(QString::fromUtf8(args.value(1)), document);
        QCOMPARE(QString::fromUtf8(args.value(4)), app.path() + "/2348239bbb.txt");
        QVERIFY(!QFile::exists(app.path() + "/2348239bbb.txt"));
        QVERIFY(!QFile::exists(app.docs() + "/evil.txt"));
    }

    void verdicts_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("leftover");
        QTest::addColumn<int>("verdict");
        using V = PDF::ProbeResult::Verdict;
        QTest::newRow("readable") << QByteArray("plain") << false << int(V::Readable);
        QTest::newRow("protected") << QByteArray("PROTECTED") << false << int(V::Protected);
        // A result file from an interrupted probe must not make a protected
        // document look readable.
        QTest::newRow("protected with leftover") << QByteArray("PROTECTED") << true
                                                 << int(V::Protected);
        QTest::newRow("readable with leftover") << QByteArray("plain") << true << int(V::Readable);
    }
    void verdicts()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, leftover);
        QFETCH(int, verdict);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        const QString document = app.writeDocument("doc.pdf", content);
        const QString resultFile = app.path() + "/2348239bbb.txt";
        if (leftover)
            QVERIFY(AppFolder::writeFile(resultFile, "NumberOfPages: 1\n"));
        Probe probe(app);

        QCOMPARE(int(probe(document).verdict), verdict);
        QCOMPARE(app.probed(), QStringList{document});
        QVERIFY(!QFile::exists(resultFile));
    }

    // Only the toolkit's own verdict "needs a user password" (status 1 and
    // no result file) makes a document protected. A toolkit that fails in
    // any other way gives no verdict: the document fails, with the reason.
    void onlyThePasswordVerdictMeansProtected_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QString>("reason");
        using V = PDF::ProbeResult::Verdict;
        QTest::newRow("needs a password") << QByteArray("exit 1") << int(V::Protected) << QString();
        QTest::newRow("result written") << QByteArray(": > \"$4\"; exit 2") << int(V::Readable)
                                        << QString();
        QTest::newRow("cannot write its result")
            << QByteArray("echo 'pdftk.exe: cannot write: No space left on device' >&2; exit 3")
            << int(V::Failed) << "exit status 3";
        QTest::newRow("no result, status 0") << QByteArray("exit 0") << int(V::Failed)
                                             << "exit status 0";
        QTest::newRow("crashes") << QByteArray("kill -SEGV $$") << int(V::Failed) << "signal 11";
        QTest::newRow("killed") << QByteArray("kill -KILL $$") << int(V::Failed) << "signal 9";
        QTest::newRow("never ends") << QByteArray("exec sleep 60") << int(V::Failed)
                                    << "did not finish within 0.3 s";
    }
    void onlyThePasswordVerdictMeansProtected()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, verdict);
        QFETCH(QString, reason);
        AppFolder app;
        QVERIFY(app.writeToolkit(body));
        const QString document = app.writeDocument("doc.pdf", "plain");
        Probe probe(app);
        probe.context.limits.probeMs = 300;

        const PDF::ProbeResult result = probe(document);
        QCOMPARE(int(result.verdict), verdict);
        QVERIFY2(result.reason.contains(reason), qPrintable(result.reason));
        if (body.contains("No space"))
            QCOMPARE(result.messages, QStringList{"pdftk.exe: cannot write: No space left on device"});
        QVERIFY(!QFile::exists(app.path() + "/2348239bbb.txt"));
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // Only a regular file is handed to the toolkit: a FIFO or a device would
    // hang it or feed it for ever.
    void specialFilesAreNeverProbed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("FIFO") << "fifo" << "a FIFO, not a regular file";
        QTest::newRow("link to /dev/zero") << "zero" << "a character device, not a regular file";
    }
    void specialFilesAreNeverProbed()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        const QString document = app.docs() + "/x.pdf";
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(document).constData(), 0644), 0);
        else
            QVERIFY(QFile::link("/dev/zero", document));
        Probe probe(app);

        const PDF::ProbeResult result = probe(document);
        QCOMPARE(result.verdict, PDF::ProbeResult::Verdict::Failed);
        QVERIFY2(result.reason.contains(reason), qPrintable(result.reason));
        QVERIFY(app.probed().isEmpty());
    }

    // Nothing to probe: the toolkit is not started and the rasteriser will
    // report the document.
    void missingDocumentOrFolderIsNotProbed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << "gone.pdf";
        QTest::newRow("folder") << "folder.pdf";
    }
    void missingDocumentOrFolderIsNotProbed()
    {
        QFETCH(QString, name);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QDir(app.docs()).mkdir("folder.pdf");
        Probe probe(app);
        QCOMPARE(probe(app.docs() + "/" + name).verdict, PDF::ProbeResult::Verdict::Readable);
        QVERIFY(app.probed().isEmpty());
    }

    // No verdict without a toolkit: the run must not call the document
    // password protected.
    void unusableToolkitGivesNoVerdict_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << false << QByteArray() << "File not found";
        QTest::newRow("bad interpreter") << true << QByteArray("#!/nonexistent/sh\n")
                                         << "File not found";
        QTest::newRow("not a program") << true << QByteArray("\x7f" "ELF garbage")
                                       << "The executable file is invalid or corrupt";
    }
    void unusableToolkitGivesNoVerdict()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, body);
        QFETCH(QString, reason);
        AppFolder app;
        if (exists)
            QVERIFY(AppFolder::writeFile(app.path() + "/pdftk.exe", body, true));
        const QString document = app.writeDocument("doc.pdf", "x");
        Probe probe(app);

        const PDF::ProbeResult result = probe(document);
        QCOMPARE(result.verdict, PDF::ProbeResult::Verdict::Unusable);
        QVERIFY2(result.problem.contains(app.path() + "/pdftk.exe"), qPrintable(result.problem));
        QVERIFY2(result.problem.contains(reason), qPrintable(result.problem));
    }

    // Passwords reach the toolkit through the descriptor it keeps open,
    // which RASTERWELL_PASSWORD_FD names; never through its command line or
    // environment. Without passwords it gets no such descriptor.
    void passwordsGoThroughAnInheritedPipe_data()
    {
        QTest::addColumn<QByteArray>("passwords");
        QTest::newRow("two passwords") << QByteArray("first-Secret\nsecond-Secret\n");
        QTest::newRow("none") << QByteArray();
    }
    void passwordsGoThroughAnInheritedPipe()
    {
        QFETCH(QByteArray, passwords);
        // Reads the pipe as the child would, at its start.
        struct PipeReading final : Platform::ProcessApi {
            Platform::StartResult start(const QStringList &argv, const Platform::StartOptions &o) override
            {
                seen = argv + o.environment;
                descriptor = o.secretDescriptor;
                char buffer[256];
                ssize_t n = 0;
                while (o.secretDescriptor >= 0
                       && (n = ::read(o.secretDescriptor, buffer, sizeof buffer)) > 0)
                    piped.append(buffer, n);
                return {4242, Platform::StartError::None};
            }
            Platform::ShellOpenResult shellOpen(const QString &, const QStringList &,
                                                const Platform::StartOptions &) override
            {
                return {};
            }
            std::optional<int> exitCode(qint64) override { return 1; }
            void terminate(qint64) override {}
            void terminateAll() override {}
            QStringList seen;
            int descriptor = -2;
            QByteArray piped;
        } processes;
        AppFolder app;
        QVERIFY(app.writeToolkit());
        const QString document = app.writeDocument("doc.pdf", "x");
        Platform::SecretBytes secret;
        QVERIFY(AppFolder::writeFile(app.root() + "/pw", passwords));
        QByteArray why;
        QVERIFY(secret.readFrom(QFile::encodeName(app.root() + "/pw"), Platform::MaxSecretBytes, &why));
        Probe probe(app, &processes);
        probe.context.passwords = &secret;
        QCOMPARE(probe(document).verdict, PDF::ProbeResult::Verdict::Protected);
        QCOMPARE(processes.piped, passwords);
        const QString named = "RASTERWELL_PASSWORD_FD=" + QString::number(processes.descriptor);
        QCOMPARE(processes.seen.contains(named), !passwords.isEmpty());
        if (passwords.isEmpty())
            QCOMPARE(processes.descriptor, -1);
        for (const QString &entry : std::as_const(processes.seen))
            QVERIFY2(!entry.contains("Secret"), qPrintable(entry));
    }

    // A result file that cannot be deleted (here: a folder of that name) ends
    // the probe with an error after a bounded number of tries.
    void undeletableResultFileEndsTheProbe()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(QDir(app.path()).mkdir("2348239bbb.txt"));
        const QString document = app.writeDocument("doc.pdf", "PROTECTED");
        Probe probe(app);

        const PDF::ProbeResult result = probe(document);
        QCOMPARE(result.verdict, PDF::ProbeResult::Verdict::Unusable);
        QVERIFY(result.problem.contains(app.path() + "/2348239bbb.txt"));
        QVERIFY(app.probed().isEmpty());
        QVERIFY(probe.pump.pauses.size() <= 10);
    }
};

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_convert_probe.moc"
