// The confinement of the processes that read documents: what a confined
// process may not do (rw_sandbox_acts applies the renderer's confinement and
// tries one act), and that the renderer, stand-alone and as a render
// service worker, is confined while it renders.

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
    if (!waitForImages(stage.path(), 1, p))
        QSKIP("the conversion ended before the renderer could be seen");

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

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
