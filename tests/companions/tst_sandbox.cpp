// The confinement of the processes that read documents: what a confined
// process may not do (rw_sandbox_acts applies the renderer's confinement and
// tries one act), that the renderer, stand-alone and as a render service
// worker, is confined while it renders, and that a worker reads nothing
// outside the service's folder but the probe's document its client hands
// it.

#include "tests/companions/servicetest.h"
#include "tests/support/pdffixtures.h"

#include <QTest>

using namespace CompanionTest;

namespace {

QString actsProgram()
{
    return qEnvironmentVariable("RW_SANDBOX_ACTS");
}

// Pages that take a while each: time to look at the renderer.
QByteArray slowDocument(int pages)
{
    PdfBuilder pdf;
    for (int i = 0; i < pages; ++i)
        pdf.addPage("[0 0 1500 1500]", "0 0 1 rg 10 10 1400 1400 re f");
    return pdf.build();
}

// The "Name:\tvalue" lines of /proc/PID/status.
QMap<QString, QString> statusOf(qint64 pid)
{
    QMap<QString, QString> fields;
    QFile f(QString("/proc/%1/status").arg(pid));
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                fields[QString::fromLatin1(line.left(colon))] =
                    QString::fromLatin1(line.mid(colon + 1).trimmed());
        }
    return fields;
}

} // namespace

class TestSandbox : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void confinedProcessCannot_data();
    void confinedProcessCannot();
    void rendererIsConfinedWhileRendering_data();
    void rendererIsConfinedWhileRendering();
    void workerProbesADocumentOutsideItsFolder_data();
    void workerProbesADocumentOutsideItsFolder();
    void workerReadsNothingElseOutsideItsFolder();

private:
    ServiceProcess service_;
};

void TestSandbox::initTestCase()
{
    QVERIFY2(QFileInfo(actsProgram()).isExecutable(), qPrintable(actsProgram()));
    QVERIFY(service_.start());
}

void TestSandbox::confinedProcessCannot_data()
{
    QTest::addColumn<QString>("act");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("byLandlock"); // only Landlock refuses it

    // What the renderer needs still works...
    QTest::newRow("read its document") << "read-document" << true << false;
    QTest::newRow("write in its staging folder") << "write-staging" << true << false;
    QTest::newRow("run a helper program") << "run-helper" << true << false;
    // ... and nothing else.
    QTest::newRow("read a file outside") << "read-outside" << false << true;
    QTest::newRow("write outside the staging folder") << "write-outside" << false << true;
    QTest::newRow("create a socket") << "socket" << false << false;
    QTest::newRow("connect to the render service") << "connect-service" << false << false;
    QTest::newRow("start a program") << "exec" << false << false;
    QTest::newRow("trace its parent") << "ptrace-parent" << false << false;
}

void TestSandbox::confinedProcessCannot()
{
    QFETCH(QString, act);
    QFETCH(bool, allowed);
    QFETCH(bool, byLandlock);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("staging") && QDir(dir.path()).mkpath("outside"));
    QVERIFY(PdfFixtures::writePdf(dir.filePath("document.pdf"), 1));
    QVERIFY(PdfFixtures::writeBytes(dir.filePath("outside/secret.txt"), "secret\n"));

    const Result r = run(actsProgram(),
                         {act, dir.filePath("document.pdf"), dir.filePath("staging"),
                          dir.filePath("outside"), service_.socket()},
                         dir.path(), 30000);
    QVERIFY(r.finished);
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const QString protections = QString::fromLatin1(lines[0]);
    QVERIFY2(protections.contains("no new privileges, seccomp filter"), qPrintable(protections));
    if (byLandlock && !protections.contains("Landlock ABI"))
        QSKIP("the kernel has no Landlock");
    QVERIFY2(r.exitCode == (allowed ? 0 : 1), r.out.constData());
    if (!allowed)
        QVERIFY2(lines[1] == "refused: Operation not permitted"
                     || lines[1] == "refused: Permission denied",
                 lines[1].constData());
    QVERIFY(!QFile::exists(dir.filePath("outside/planted.txt")));
    if (act == "run-helper") {
        // The same image as pdftoppm makes unconfined.
        QProcess reference;
        reference.start("pdftoppm", {"-jpeg", "-r", "72", "-singlefile", dir.filePath("document.pdf"),
                                     dir.filePath("reference")});
        QVERIFY(reference.waitForFinished(60000) && reference.exitCode() == 0);
        QFile a(dir.filePath("staging/helper.jpg"));
        QFile b(dir.filePath("reference.jpg"));
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.size() > 0);
        QVERIFY(a.readAll() == b.readAll());
    }
}

void TestSandbox::rendererIsConfinedWhileRendering_data()
{
    QTest::addColumn<bool>("throughService");
    QTest::newRow("stand-alone") << false;
    QTest::newRow("render service worker") << true;
}

void TestSandbox::rendererIsConfinedWhileRendering()
{
    QFETCH(bool, throughService);
    QTemporaryDir stage;
    QVERIFY(PdfFixtures::writeBytes(stage.filePath("current.pdf"), slowDocument(60)));
    QProcessEnvironment env = service_.environment();
    if (!throughService)
        env.insert("RASTERWELL_RENDER_SERVICE", "off");
    QProcess p;
    p.setWorkingDirectory(stage.path());
    p.setProcessEnvironment(env);
    p.start(script(), {});
    QVERIFY(p.waitForStarted());
    WAIT_FOR_IMAGES_OR_SKIP(stage.path(), 1, p, "the conversion ended before the renderer could be seen");

    qint64 renderer = -1;
    if (throughService) {
        for (qint64 pid : service_.workers())
            if (QFileInfo(QString("/proc/%1/cwd").arg(pid)).canonicalFilePath()
                == QFileInfo(stage.path()).canonicalFilePath())
                renderer = pid;
    } else {
        // The launcher became the engine.
        for (qint64 pid : ServiceProcess::childrenOf(p.processId()))
            if (QFileInfo(QFileInfo(QString("/proc/%1/exe").arg(pid)).symLinkTarget()).fileName()
                == "rwengine")
                renderer = pid;
    }
    const QMap<QString, QString> status = statusOf(renderer);
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(30000));
    QVERIFY(renderer > 0);
    QCOMPARE(status.value("NoNewPrivs"), "1");
    QCOMPARE(status.value("Seccomp"), "2");
}

// A service working in `root`/work, and documents in `root`/outside.
struct ServiceInAFolder {
    QTemporaryDir root;
    ServiceProcess service;
    QString work() const { return root.filePath("work"); }
    QString outside() const { return root.filePath("outside"); }
    bool start()
    {
        return QDir(root.path()).mkpath("work") && QDir(root.path()).mkpath("outside")
               && service.start(work());
    }
};

void TestSandbox::workerProbesADocumentOutsideItsFolder_data()
{
    QTest::addColumn<QByteArray>("bytes"); // empty: take `corpusFile`
    QTest::addColumn<QString>("corpusFile");
    QTest::addColumn<QString>("name");     // the probe's argument, in outside/
    QTest::addColumn<int>("status");
    QTest::newRow("a document") << PdfFixtures::makePdf(3) << QString() << "in.pdf" << 0;
    // qpdf reads it by name: a private copy beneath the worker's folder.
    QTest::newRow("damaged encryption dictionary (qpdf decides)")
        << QByteArray() << "qpdf-qtest/bad-encryption-length.pdf" << "in.pdf" << 0;
    QTest::newRow("through a link") << PdfFixtures::makePdf(2) << QString() << "link.pdf" << 0;
    QTest::newRow("missing") << QByteArray() << QString() << "none.pdf" << 4;
    QTest::newRow("a folder") << QByteArray() << QString() << "folder" << 4;
}

void TestSandbox::workerProbesADocumentOutsideItsFolder()
{
    // The launcher opens the document and hands it to the worker: result,
    // status and messages are the stand-alone probe's, byte for byte.
    QFETCH(QByteArray, bytes);
    QFETCH(QString, corpusFile);
    QFETCH(QString, name);
    QFETCH(int, status);
    if (!corpusFile.isEmpty()) {
        QFile f(qEnvironmentVariable("RW_SOURCE_DIR") + "/../shared/corpus/" + corpusFile);
        if (!f.open(QIODevice::ReadOnly))
            QSKIP("the corpus is not checked out");
        bytes = f.readAll();
    }
    ServiceInAFolder at;
    QVERIFY(at.start());
    if (!bytes.isEmpty())
        QVERIFY(PdfFixtures::writeBytes(at.outside() + "/in.pdf", bytes));
    QVERIFY(QFile::link(at.outside() + "/in.pdf", at.outside() + "/link.pdf"));
    QVERIFY(QDir(at.outside()).mkpath("folder"));
    const QString document = at.outside() + "/" + name;

    QProcessEnvironment alone = QProcessEnvironment::systemEnvironment();
    alone.insert("RASTERWELL_RENDER_SERVICE", "off");
    auto probeOnce = [&](const QString &result, const QProcessEnvironment &env) {
        return run(probe(), {document, "data_dump", "output", at.work() + "/" + result, "dont_ask"},
                   at.work(), 60000, env);
    };
    const Result a = probeOnce("alone.txt", alone);
    const qint64 activityBefore = at.service.workerActivity();
    const Result s = probeOnce("served.txt", at.service.environment());
    QVERIFY(a.finished && s.finished);
    QVERIFY2(at.service.workerActivity() > activityBefore, "the service ran no worker");
    QCOMPARE(a.exitCode, status);
    QCOMPARE(s.exitCode, a.exitCode);
    QCOMPARE(s.err, a.err);
    QFile fa(at.work() + "/alone.txt");
    QFile fs(at.work() + "/served.txt");
    QCOMPARE(fs.exists(), status == 0);
    QCOMPARE(fa.exists(), status == 0);
    if (status == 0) {
        QVERIFY(fa.open(QIODevice::ReadOnly) && fs.open(QIODevice::ReadOnly));
        QCOMPARE(fs.readAll(), fa.readAll());
    }
    // Nothing is left beside the results (qpdf's copy is gone).
    QStringList expected{"alone.txt", "served.txt"};
    if (status != 0)
        expected.clear();
    QCOMPARE(QDir(at.work()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             expected);
}

void TestSandbox::workerReadsNothingElseOutsideItsFolder()
{
    // A job whose document the worker would have to open by name outside
    // the service's folder (a render job is handed no document) fails with
    // the reason, and writes nothing; stand-alone, the renderer reads it.
    ServiceInAFolder at;
    QVERIFY(at.start());
    QVERIFY(PdfFixtures::writePdf(at.outside() + "/in.pdf", 2));
    QVERIFY(QDir(at.work()).mkpath("alone") && QDir(at.work()).mkpath("served"));
    QProcessEnvironment alone = QProcessEnvironment::systemEnvironment();
    alone.insert("RASTERWELL_RENDER_SERVICE", "off");
    auto renderOnce = [&](const QString &folder, const QProcessEnvironment &env) {
        return run(renderer(), {"-r", "36", at.outside() + "/in.pdf", at.work() + "/" + folder + "/page"},
                   at.work(), 60000, env);
    };
    const Result a = renderOnce("alone", alone);
    QVERIFY(a.finished);
    QCOMPARE(a.exitCode, 0);
    QCOMPARE(QDir(at.work() + "/alone").entryList(QDir::Files).size(), 2);

    const qint64 activityBefore = at.service.workerActivity();
    const Result s = renderOnce("served", at.service.environment());
    QVERIFY(s.finished);
    QVERIFY2(at.service.workerActivity() > activityBefore, "the service ran no worker");
    const QString protections = run(appDir() + "/ps/rwengine", {"--sandbox-status"}).out;
    if (!protections.contains("Landlock ABI"))
        QSKIP("the kernel has no Landlock");
    QCOMPARE(s.exitCode, 1);
    QCOMPARE(s.err, "rwrender: " + QFile::encodeName(at.outside()) + "/in.pdf: cannot read: "
                        "Permission denied\n");
    QCOMPARE(QDir(at.work() + "/served").entryList(QDir::Files), QStringList{});
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
