// The render service: the converter script and the probe give the same
// results through it as stand-alone, a killed worker fails its document
// alone, a stopped script or client leaves no image and no worker behind,
// and a service that cannot be reached changes nothing.

#include "tests/companions/companiontest.h"
#include "tests/companions/servicetest.h"
#include "tests/support/pdffixtures.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>

using namespace CompanionTest;

namespace {

QString corpusDir()
{
    return qEnvironmentVariable("RW_SOURCE_DIR") + "/../shared/corpus";
}

// Documents as they come: fixtures written here, and a subset of the
// shared corpus when it is checked out.
struct Document {
    QString name;
    QByteArray bytes;
};

QList<Document> documents()
{
    QList<Document> docs{{"three text pages", PdfFixtures::makePdf(3)},
                         {"landscape page", PdfFixtures::makePdf(1, {842, 595})}};
    PdfBuilder rotated;
    rotated.addPage("[0 0 300 500]", "1 0 0 rg 20 20 100 300 re f", "<< >>", "/Rotate 90");
    docs << Document{"rotated page", rotated.build()};
    docs << Document{"not a PDF", QByteArray("this is no PDF\n")};
    for (const char *path :
         {"py-pdf-sample-files/003-pdflatex-image/pdflatex-image.pdf",
          "py-pdf-sample-files/007-imagemagick-images/imagemagick-images.pdf",
          "py-pdf-sample-files/011-google-doc-document/google-doc-document.pdf",
          "pdfjs-test/rotation.pdf", "pdfjs-test/scan-bad.pdf", "pdfjs-test/empty_protected.pdf",
          "pdfjs-test/issue3371.pdf",
          // The benchmark's document.
          "py-pdf-sample-files/009-pdflatex-geotopo/GeoTopo-komprimiert.pdf"}) {
        QFile f(corpusDir() + "/" + path);
        if (f.open(QIODevice::ReadOnly))
            docs << Document{QString::fromLatin1(path), f.readAll()};
    }
    return docs;
}

// Every file of `dir` with its content's digest.
QMap<QString, QByteArray> digests(const QString &dir)
{
    QMap<QString, QByteArray> out;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden)) {
        QFile f(dir + "/" + name);
        if (f.open(QIODevice::ReadOnly))
            out[name] = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
    }
    return out;
}

QByteArray slowDocument(int pages)
{
    PdfBuilder pdf;
    for (int i = 0; i < pages; ++i)
        pdf.addPage("[0 0 1500 1500]", "0 0 1 rg 10 10 1400 1400 re f");
    return pdf.build();
}

// The worker whose current folder is `dir`.
qint64 workerIn(const ServiceProcess &service, const QString &dir)
{
    for (qint64 pid : service.workers())
        if (QFileInfo(QString("/proc/%1/cwd").arg(pid)).canonicalFilePath()
            == QFileInfo(dir).canonicalFilePath())
            return pid;
    return -1;
}

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameImagesAsStandAlone_data();
    void sameImagesAsStandAlone();
    void sameProbeResultAsStandAlone_data();
    void sameProbeResultAsStandAlone();
    void workerServesJobAfterJob();
    void damagedDocumentAfterOthers_data();
    void damagedDocumentAfterOthers();
    void killedWorkerFailsItsDocumentAlone();
    void stoppedConversionLeavesNothing_data();
    void stoppedConversionLeavesNothing();
    void unreachableServiceRendersStandAlone_data();
    void unreachableServiceRendersStandAlone();
    void documentOfAnEndedServiceIsRenderedStandAlone();
    void otherUsersAreNotServed();

private:
    ServiceProcess service_;
};

void TestService::initTestCase()
{
    QVERIFY2(service_.start(), "the render service did not start");
}

void TestService::cleanupTestCase()
{
    QVERIFY(service_.running());
    const qint64 pid = service_.pid();
    service_.stop();
    QVERIFY(!service_.running());
    QVERIFY(!QFile::exists(service_.socket()));
    QCOMPARE(ServiceProcess::childrenOf(pid), QList<qint64>{});
}

void TestService::sameImagesAsStandAlone_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const Document &d : documents())
        QTest::newRow(qPrintable(d.name)) << d.bytes;
}

// Two copies of a document stand for one document, as a run's staged copy
// does: the images record its identity, not the copy's.
static void standForOneDocument(QProcessEnvironment &env, qsizetype size)
{
    env.insert("RASTERWELL_SOURCE",
               QString("size=%1 mtime=1700000000000000001 ctime=1700000000000000002 dev=3 ino=4")
                   .arg(size));
}

void TestService::sameImagesAsStandAlone()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir alone;
    QTemporaryDir served;
    QVERIFY(PdfFixtures::writeBytes(alone.filePath("current.pdf"), bytes));
    QVERIFY(PdfFixtures::writeBytes(served.filePath("current.pdf"), bytes));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("RASTERWELL_RENDER_SERVICE");
    standForOneDocument(env, bytes.size());
    QProcessEnvironment servedEnv = service_.environment();
    standForOneDocument(servedEnv, bytes.size());

    const Result a = run(script(), {}, alone.path(), 120000, env);
    const qint64 activityBefore = service_.workerActivity();
    const Result s = run(script(), {}, served.path(), 120000, servedEnv);
    QVERIFY(a.finished && s.finished);
    QTRY_VERIFY2_WITH_TIMEOUT(service_.workerActivity() > activityBefore, "the service ran no worker", 30000);
    QCOMPARE(s.exitCode, a.exitCode);
    QCOMPARE(s.err, a.err);
    QCOMPARE(digests(served.path()), digests(alone.path()));
}

void TestService::sameProbeResultAsStandAlone_data()
{
    QTest::addColumn<QByteArray>("bytes");
    for (const Document &d : documents())
        QTest::newRow(qPrintable(d.name)) << d.bytes;
}

void TestService::sameProbeResultAsStandAlone()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString document = dir.filePath("in.pdf");
    QVERIFY(PdfFixtures::writeBytes(document, bytes));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("RASTERWELL_RENDER_SERVICE");
    auto probeOnce = [&](const QString &result, const QProcessEnvironment &e) {
        return run(probe(), {document, "data_dump", "output", result, "dont_ask"}, dir.path(),
                   60000, e);
    };
    const Result a = probeOnce(dir.filePath("alone.txt"), env);
    const qint64 activityBefore = service_.workerActivity();
    const Result s = probeOnce(dir.filePath("served.txt"), service_.environment());
    QVERIFY(a.finished && s.finished);
    QTRY_VERIFY2_WITH_TIMEOUT(service_.workerActivity() > activityBefore, "the service ran no worker", 30000);
    QCOMPARE(s.exitCode, a.exitCode);
    QCOMPARE(s.err, a.err);
    const QMap<QString, QByteArray> files = digests(dir.path());
    QCOMPARE(files.value("served.txt"), files.value("alone.txt"));
}

void TestService::workerServesJobAfterJob()
{
    // Each job runs with its own folder, environment and file creation
    // mask, however many jobs its worker served before; one that fails
    // ends its worker.
    struct Job {
        mode_t umask;
        QByteArray resolution; // RASTERWELL_RESOLUTION, or none
        QByteArray document;
        int status;
        mode_t imageMode;
        int width; // of the first image
    };
    const QList<Job> jobs{
        {022, "", PdfFixtures::makePdf(2), 0, 0644, 1275},
        {077, "72", PdfFixtures::makePdf(1), 0, 0600, 612},
        {022, "", PdfFixtures::makePdf(3), 0, 0644, 1275},
        {022, "", QByteArray("no PDF\n"), 1, 0, 0},
    };
    const mode_t oldMask = ::umask(022);
    auto restoreMask = qScopeGuard([oldMask] { ::umask(oldMask); });
    QList<qint64> before = service_.workers();
    for (const Job &job : jobs) {
        QTemporaryDir stage;
        QVERIFY(PdfFixtures::writeBytes(stage.filePath("current.pdf"), job.document));
        QVERIFY(::chmod(QFile::encodeName(stage.filePath("current.pdf")).constData(), 0644) == 0);
        QProcessEnvironment env = service_.environment();
        if (!job.resolution.isEmpty())
            env.insert("RASTERWELL_RESOLUTION", job.resolution);
        ::umask(job.umask);
        const Result result = run(script(), {}, stage.path(), 60000, env);
        ::umask(022);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, job.status);
        QVERIFY(service_.waitUntilIdle());
        const QStringList images = entries(stage.path());
        if (job.status == 0) {
            QVERIFY(!images.isEmpty());
            for (const QString &name : images) {
                struct stat st {};
                QCOMPARE(::stat(QFile::encodeName(stage.filePath(name)).constData(), &st), 0);
                QCOMPARE(st.st_mode & 0777, job.imageMode);
            }
            QCOMPARE(inspectJpegFile(stage.filePath(images.first())).width, job.width);
        }
        QList<qint64> after = service_.workers();
        if (&job == &jobs.first()) {
            before = after;
            continue;
        }
        // No worker was started for it; the one that failed it is gone.
        QElapsedTimer timer;
        timer.start();
        while (job.status != 0 && after.size() >= before.size() && timer.elapsed() < 10000) {
            QThread::msleep(5);
            after = service_.workers();
        }
        for (qint64 pid : after)
            QVERIFY2(before.contains(pid), "a worker was started for a job an idle one could take");
        QCOMPARE(after.size(), before.size() - (job.status != 0));
        before = after;
    }
}

void TestService::damagedDocumentAfterOthers_data()
{
    QTest::addColumn<int>("shape");
    QTest::newRow("/Count too high") << int(PdfFixtures::PageTreeShape::CountTooHigh);
    QTest::newRow("/Count too low") << int(PdfFixtures::PageTreeShape::CountTooLow);
    QTest::newRow("/Kids lists itself") << int(PdfFixtures::PageTreeShape::ListsItself);
    QTest::newRow("/Kids lists an ancestor") << int(PdfFixtures::PageTreeShape::ListsAncestor);
}

void TestService::damagedDocumentAfterOthers()
{
    // A damaged page tree probed and rendered by a worker that served
    // other documents first (a twelve-page one: what its page map left in
    // the heap must not show) gives what a fresh process gives.
    QFETCH(int, shape);
    const QByteArray damaged =
        PdfFixtures::makePageTreePdf(static_cast<PdfFixtures::PageTreeShape>(shape));
    QProcessEnvironment alone = QProcessEnvironment::systemEnvironment();
    alone.remove("RASTERWELL_RENDER_SERVICE");

    for (const QByteArray &bytes : {PdfFixtures::makePdf(12), PdfFixtures::makePdf(3)}) {
        QTemporaryDir before;
        QVERIFY(PdfFixtures::writeBytes(before.filePath("current.pdf"), bytes));
        const Result r = run(script(), {}, before.path(), 60000, service_.environment());
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
    }
    QVERIFY(service_.waitUntilIdle());
    const QList<qint64> idle = service_.workers();
    QVERIFY(!idle.isEmpty());

    // The probe, as a conversion run asks it first.
    QTemporaryDir probeDir;
    const QString document = probeDir.filePath("in.pdf");
    QVERIFY(PdfFixtures::writeBytes(document, damaged));
    auto probeOnce = [&](const QString &result, const QProcessEnvironment &env) {
        return run(probe(), {document, "data_dump", "output", result, "dont_ask"},
                   probeDir.path(), 60000, env);
    };
    const Result probeAlone = probeOnce(probeDir.filePath("alone.txt"), alone);
    const qint64 beforeProbe = service_.workerActivity();
    const Result probeServed = probeOnce(probeDir.filePath("served.txt"), service_.environment());
    QTRY_VERIFY2_WITH_TIMEOUT(service_.workerActivity() > beforeProbe, "the service ran no worker for the probe", 30000);
    QCOMPARE(probeServed.exitCode, probeAlone.exitCode);
    QCOMPARE(probeServed.err, probeAlone.err);
    const QMap<QString, QByteArray> results = digests(probeDir.path());
    QCOMPARE(results.value("served.txt"), results.value("alone.txt"));

    QTemporaryDir a;
    QTemporaryDir s;
    QVERIFY(PdfFixtures::writeBytes(a.filePath("current.pdf"), damaged));
    QVERIFY(PdfFixtures::writeBytes(s.filePath("current.pdf"), damaged));
    QProcessEnvironment served = service_.environment();
    standForOneDocument(alone, damaged.size());
    standForOneDocument(served, damaged.size());
    const Result renderedAlone = run(script(), {}, a.path(), 60000, alone);
    const qint64 beforeRender = service_.workerActivity();
    const Result renderedServed = run(script(), {}, s.path(), 60000, served);
    QTRY_VERIFY2_WITH_TIMEOUT(service_.workerActivity() > beforeRender, "the service ran no worker for the render", 30000);
    QVERIFY(renderedAlone.finished && renderedServed.finished);
    QCOMPARE(renderedServed.exitCode, renderedAlone.exitCode);
    QCOMPARE(renderedServed.err, renderedAlone.err);
    QCOMPARE(digests(s.path()), digests(a.path()));
    QCOMPARE(digests(s.path()).size(), 4);

    // Both jobs went to a worker that had served the documents before.
    QVERIFY(service_.waitUntilIdle());
    for (qint64 pid : service_.workers())
        QVERIFY2(idle.contains(pid), "a new worker took the damaged document");
}

void TestService::killedWorkerFailsItsDocumentAlone()
{
    QTemporaryDir doomed;
    QTemporaryDir other;
    QVERIFY(PdfFixtures::writeBytes(doomed.filePath("current.pdf"), slowDocument(150)));
    QVERIFY(PdfFixtures::writeBytes(other.filePath("current.pdf"), slowDocument(12)));
    QProcess a;
    QProcess b;
    a.setWorkingDirectory(doomed.path());
    b.setWorkingDirectory(other.path());
    a.setProcessEnvironment(service_.environment());
    b.setProcessEnvironment(service_.environment());
    a.start(script(), {});
    b.start(script(), {});
    QVERIFY(a.waitForStarted() && b.waitForStarted());
    WAIT_FOR_IMAGES_OR_SKIP(doomed.path(), 1, a, "the conversion ended before its worker could be killed");
    const qint64 worker = workerIn(service_, doomed.path());
    QVERIFY(worker > 0);
    QCOMPARE(::kill(pid_t(worker), SIGKILL), 0);

    QVERIFY(a.waitForFinished(30000) && b.waitForFinished(60000));
    QCOMPARE(a.exitCode(), 128 + SIGKILL);
    QVERIFY2(a.readAllStandardError().contains("killed by signal 9"), "no reason given");
    QCOMPARE(b.exitCode(), 0);
    QCOMPARE(QDir(other.path()).entryList({"current-*.jpg"}, QDir::Files).size(), 12);
    // What the killed worker left is whole pages only, and the staged copy
    // is gone as always.
    for (const QString &name : entries(doomed.path())) {
        QVERIFY2(name.startsWith("current-") && name.endsWith(".jpg"), qPrintable(name));
        QVERIFY(inspectJpegFile(doomed.filePath(name)).valid);
    }
    QVERIFY(service_.running());
    QVERIFY(service_.waitUntilIdle());
}

void TestService::stoppedConversionLeavesNothing_data()
{
    QTest::addColumn<bool>("stopScript"); // else the client, the script's renderer
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("scriptStatus");
    QTest::newRow("script TERM") << true << int(SIGTERM) << 143;
    QTest::newRow("script INT") << true << int(SIGINT) << 130;
    QTest::newRow("script HUP") << true << int(SIGHUP) << 129;
    QTest::newRow("client TERM") << false << int(SIGTERM) << 143;
    QTest::newRow("client KILL") << false << int(SIGKILL) << 137;
}

void TestService::stoppedConversionLeavesNothing()
{
    QFETCH(bool, stopScript);
    QFETCH(int, signal);
    QFETCH(int, scriptStatus);
    QTemporaryDir stage;
    QVERIFY(PdfFixtures::writeBytes(stage.filePath("current.pdf"), slowDocument(150)));
    QProcess p;
    p.setWorkingDirectory(stage.path());
    p.setProcessEnvironment(service_.environment());
    p.start(script(), {});
    QVERIFY(p.waitForStarted());
    WAIT_FOR_IMAGES_OR_SKIP(stage.path(), 1, p, "the conversion ended before it could be stopped");
    QVERIFY(workerIn(service_, stage.path()) > 0);
    const QList<qint64> clients = ServiceProcess::childrenOf(p.processId());
    QCOMPARE(clients.size(), 1);
    QCOMPARE(::kill(pid_t(stopScript ? p.processId() : clients[0]), signal), 0);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), scriptStatus);

    // No worker goes on writing, and nothing but whole pages is left (none
    // when the script itself was stopped: it removes them).
    QVERIFY(service_.waitUntilIdle());
    const QStringList left = entries(stage.path());
    QThread::msleep(200);
    QCOMPARE(entries(stage.path()), left);
    if (stopScript)
        QCOMPARE(left, QStringList{});
    for (const QString &name : left)
        QVERIFY2(name.startsWith("current-") && name.endsWith(".jpg"), qPrintable(name));
    QVERIFY(service_.running());
}

void TestService::unreachableServiceRendersStandAlone_data()
{
    QTest::addColumn<QString>("service");
    QTest::newRow("no socket there") << "SOCKETDIR/none.sock";
    QTest::newRow("turned off") << "off";
    QTest::newRow("empty") << "";
    QTest::newRow("name too long") << QString(200, 'x');
}

void TestService::unreachableServiceRendersStandAlone()
{
    QFETCH(QString, service);
    QTemporaryDir stage;
    service.replace("SOCKETDIR", stage.path());
    QVERIFY(PdfFixtures::writePdf(stage.filePath("current.pdf"), 2));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RASTERWELL_RENDER_SERVICE", service);
    const Result r = run(script(), {}, stage.path(), 60000, env);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(entries(stage.path()), (QStringList{"current-001.jpg", "current-002.jpg"}));
}

void TestService::documentOfAnEndedServiceIsRenderedStandAlone()
{
    ServiceProcess doomed;
    QVERIFY(doomed.start());
    QTemporaryDir stage;
    QVERIFY(PdfFixtures::writeBytes(stage.filePath("current.pdf"), slowDocument(40)));
    QProcess p;
    p.setWorkingDirectory(stage.path());
    p.setProcessEnvironment(doomed.environment());
    p.start(script(), {});
    QVERIFY(p.waitForStarted());
    WAIT_FOR_IMAGES_OR_SKIP(stage.path(), 1, p, "the conversion ended before the service could be killed");
    QCOMPARE(::kill(pid_t(doomed.pid()), SIGKILL), 0);

    // The launcher renders the document again by itself: every page, whole.
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    const QStringList images = entries(stage.path());
    QCOMPARE(images.size(), 40);
    for (const QString &name : images)
        QVERIFY2(inspectJpegFile(stage.filePath(name)).valid, qPrintable(name));
}

void TestService::otherUsersAreNotServed()
{
    // Another user's converter renders by itself: the service takes no job
    // from it (and its files stay the other user's).
    QTemporaryDir stage;
    QFile::setPermissions(stage.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                            | QFile::ReadOther | QFile::WriteOther
                                            | QFile::ExeOther);
    QVERIFY(PdfFixtures::writePdf(stage.filePath("current.pdf"), 2));
    QFile::setPermissions(stage.filePath("current.pdf"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    const QStringList command = asUser(script(), {});
    const qint64 activityBefore = service_.workerActivity();
    const Result r = run(command.first(), command.mid(1), stage.path(), 60000,
                         service_.environment());
    QVERIFY(r.finished);
    if (::geteuid() != 0)
        QSKIP("needs root to run the converter as another user");
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(service_.workerActivity(), activityBefore);
    QCOMPARE(entries(stage.path()), (QStringList{"current-001.jpg", "current-002.jpg"}));
}

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
