// The direct way: with the shipped companions a run hands its probe and
// render jobs straight to the render service; with any other companion (or
// RASTERWELL_COMPANIONS=process) they run as processes. Both ways leave the
// same images, outcomes and messages; a program killed or interrupted in
// the direct way leaves no worker and no image beside the document.

#include "convert/conversionrun.h"
#include "convert/directcompanions.h"
#include "convert/runobserver.h"
#include "platform/eventpump.h"
#include "platform/process.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/fakes.h"
#include "tests/support/pdffixtures.h"

#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using ConvertFixture::AppFolder;

namespace {

// The real processes, noting the name of every program started.
class RecordingProcesses final : public Platform::ProcessApi {
public:
    Platform::StartResult start(const QStringList &argv, const Platform::StartOptions &options) override
    {
        started << argv.value(0).section('/', -1) + (argv.contains("--serve") ? " --serve" : "");
        return real.start(argv, options);
    }
    Platform::ShellOpenResult shellOpen(const QString &target, const QStringList &arguments,
                                        const Platform::StartOptions &options) override
    {
        started << QString(target).remove('"').section('/', -1);
        return real.shellOpen(target, arguments, options);
    }
    std::optional<int> exitCode(qint64 pid) override { return real.exitCode(pid); }
    void terminate(qint64 pid) override { real.terminate(pid); }
    void terminateAll() override { real.terminateAll(); }

    Platform::PosixProcessApi real;
    QStringList started;
};

class Ends final : public RunObserver {
public:
    void documentEnded(const DocumentEnd &end) override
    {
        ends << QStringLiteral("%1 %2 pages=%3 images=%4 %5")
                    .arg(end.document)
                    .arg(int(end.outcome))
                    .arg(end.pageCount)
                    .arg(end.imagesWritten)
                    .arg(end.reason);
    }
    QStringList ends;
};

// What a run leaves that a user can see.
struct Seen {
    QStringList ends;
    QStringList messages;
    QMap<QString, QByteArray> images; // every JPG beside the documents
    QStringList leftovers;            // in the staging folder
    int exitStatus = -1;
    QString setupProblem;
    QStringList started;
    bool direct() const
    {
        return !started.contains("pdftk.exe") && !started.contains("pdf2tiff.bat");
    }
};

class EnvironmentVariable {
public:
    EnvironmentVariable(const char *name, const QByteArray &value)
        : name_(name), saved_(qgetenv(name)), wasSet_(qEnvironmentVariableIsSet(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvironmentVariable()
    {
        if (wasSet_)
            qputenv(name_, saved_);
        else
            qunsetenv(name_);
    }

private:
    const char *name_;
    QByteArray saved_;
    bool wasSet_;
};

QString built()
{
    return qEnvironmentVariable("RW_APP_DIR");
}

bool installCompanions(const AppFolder &app)
{
    return QFile::link(built() + "/pdftk.exe", app.path() + "/pdftk.exe")
           && QFile::link(built() + "/ps/rwrender", app.staging() + "/rwrender")
           && QFile::copy(built() + "/ps/pdf2tiff.bat", app.staging() + "/pdf2tiff.bat");
}

Seen convert(const AppFolder &app, const QStringList &list, bool processWay)
{
    const EnvironmentVariable way("RASTERWELL_COMPANIONS", processWay ? QByteArray("process") : QByteArray());
    ConvertFixture::ListSource documents;
    documents.items = list;
    ConvertFixture::RecordingView view;
    Fakes::PointerRecorder pointer;
    Fakes::MessageRecorder messages;
    Platform::QtEventPump pump;
    RecordingProcesses processes;
    Ends ends;
    ConversionRun run(ConversionServices{.appFolder = app.path(),
                                         .documents = documents,
                                         .view = view,
                                         .windowPointer = pointer,
                                         .messages = messages,
                                         .pump = pump,
                                         .processes = processes,
                                         .observer = &ends});
    const RunSummary summary = run.run();
    Seen seen;
    seen.ends = ends.ends;
    for (const Fakes::Message &m : messages.messages)
        seen.messages << m.text + " | " + m.title;
    QDirIterator it(app.docs(), {"*.jpg"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString image = it.next();
        seen.images[image] = AppFolder::read(image);
        QFile::remove(image);
    }
    seen.leftovers = app.stagingLeftovers();
    seen.leftovers.removeAll("rwrender");
    seen.leftovers.removeAll("rwengine");
    seen.exitStatus = summary.exitStatus();
    seen.setupProblem = summary.setupProblem;
    seen.started = processes.started;
    return seen;
}

QString corpusDir()
{
    return qEnvironmentVariable("RW_SOURCE_DIR") + "/../shared/corpus";
}

// Whether the staging folder's lock is free: every companion (a worker
// among them) that held it is gone.
bool lockFree(const QString &lockFile)
{
    const int fd = ::open(QFile::encodeName(lockFile).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

} // namespace

class TestDirect : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (built().isEmpty() || !QFileInfo(built() + "/pdftk.exe").isExecutable()
            || !QFileInfo(built() + "/ps/pdf2tiff.bat").isExecutable()
            || !QFileInfo(built() + "/ps/rwrender").isExecutable())
            QFAIL("the companion programs are not built (the build makes them)");
    }

    // The script's settings lines are what a user may change.
    void normalisedScript()
    {
        const QByteArray shipped = AppFolder::read(built() + "/ps/pdf2tiff.bat");
        QVERIFY(shipped.contains("\nRESOLUTION=150\n"));
        QByteArray other = shipped;
        other.replace("\nRESOLUTION=150\n", "\nRESOLUTION=72.5   # smaller\n");
        other.replace("\nPAGE_TIME_LIMIT=60\n", "\nPAGE_TIME_LIMIT=0\n");
        QCOMPARE(DirectCompanions::normalisedConverterScript(other),
                 DirectCompanions::normalisedConverterScript(shipped));
        QCOMPARE(DirectCompanions::settingText(other, "RESOLUTION"), QString("72.5"));
        QCOMPARE(DirectCompanions::settingText(other, "PAGE_TIME_LIMIT"), QString("0"));
        // A value that is not a plain number, or the line that reads the
        // run's variable, is part of the body.
        for (const auto &[from, to] : std::initializer_list<std::pair<QByteArray, QByteArray>>{
                 {"\nRESOLUTION=150\n", "\nRESOLUTION=$(echo 150)\n"},
                 {"RESOLUTION=${RASTERWELL_RESOLUTION:-$RESOLUTION}", "RESOLUTION=${RASTERWELL_RESOLUTION:-300}"}}) {
            QByteArray edited = shipped;
            edited.replace(from, to);
            QVERIFY(edited != shipped);
            QVERIFY(DirectCompanions::normalisedConverterScript(edited)
                    != DirectCompanions::normalisedConverterScript(shipped));
        }
    }

    // Which way runs for which companions; the process way keeps its errors.
    void wayForCompanions_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("processWay"); // RASTERWELL_COMPANIONS=process
        QTest::addColumn<bool>("direct");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<QString>("problem"); // a setup problem, or part of the document's reason
        QTest::newRow("shipped") << "" << false << true << 0 << "";
        QTest::newRow("shipped, process way asked for") << "" << true << false << 0 << "";
        // As the package ships it.
        QTest::newRow("launcher stripped") << "stripped" << false << true << 0 << "";
        QTest::newRow("script with other setting values") << "settings" << false << true << 0 << "";
        QTest::newRow("script with an edited body") << "body" << false << false << 0 << "";
        QTest::newRow("a user's own probe") << "probe" << false << false << 0 << "";
        QTest::newRow("renderer that cannot be run") << "renderer" << false << false << 1
                                                     << "the converter reported a failure (exit status 127)";
        QTest::newRow("missing probe") << "no probe" << false << false << 2 << "password probe";
        QTest::newRow("script that cannot be run") << "script mode" << false << false << 2
                                                   << "converter script";
    }
    void wayForCompanions()
    {
        QFETCH(QString, change);
        QFETCH(bool, processWay);
        QFETCH(bool, direct);
        QFETCH(int, exitStatus);
        QFETCH(QString, problem);
        AppFolder app;
        QVERIFY(installCompanions(app));
        const QString script = app.staging() + "/pdf2tiff.bat";
        QByteArray body = AppFolder::read(script);
        if (change == "settings")
            body.replace("\nRESOLUTION=150\n", "\nRESOLUTION=36\n");
        if (change == "body")
            body += "# mine\n";
        QVERIFY(AppFolder::writeFile(script, body, true));
        if (change == "probe") {
            QVERIFY(QFile::remove(app.path() + "/pdftk.exe"));
            QVERIFY(AppFolder::writeFile(app.path() + "/pdftk.exe",
                                         "#!/bin/sh\nexec '" + built().toUtf8() + "/pdftk.exe' \"$@\"\n", true));
        }
        if (change == "renderer") {
            QVERIFY(QFile::remove(app.staging() + "/rwrender"));
            QVERIFY(AppFolder::writeFile(app.staging() + "/rwrender", "not a program\n"));
        }
        if (change == "stripped") {
            const QString renderer = app.staging() + "/rwrender";
            QVERIFY(QFile::remove(renderer) && QFile::remove(app.path() + "/pdftk.exe"));
            QVERIFY(QFile::copy(built() + "/ps/rwrender", renderer));
            QCOMPARE(QProcess::execute("strip", {"--remove-section=.comment", "--remove-section=.note", renderer}), 0);
            QVERIFY(QFile::link(renderer, app.path() + "/pdftk.exe"));
            // The launcher becomes the engine beside it when it must.
            QVERIFY(QFile::link(built() + "/ps/rwengine", app.staging() + "/rwengine"));
        }
        if (change == "no probe")
            QVERIFY(QFile::remove(app.path() + "/pdftk.exe"));
        if (change == "script mode")
            QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner));
        const QString document = app.docs() + "/two.pdf";
        QVERIFY(PdfFixtures::writePdf(document, 2));

        const Seen seen = convert(app, {document}, processWay);
        QVERIFY2(seen.started.contains("rwrender --serve") || !seen.setupProblem.isEmpty(),
                 qPrintable(seen.started.join(", ")));
        QCOMPARE(seen.exitStatus, exitStatus);
        if (exitStatus == 2) {
            // Found before anything starts, either way.
            QVERIFY2(seen.setupProblem.contains(problem), qPrintable(seen.setupProblem));
            QCOMPARE(seen.started, QStringList());
            return;
        }
        QCOMPARE(seen.direct(), direct);
        QVERIFY2(seen.ends.value(0).contains(problem), qPrintable(seen.ends.join('\n')));
        QCOMPARE(seen.images.size(), exitStatus == 0 ? 2 : 0);
        QCOMPARE(seen.leftovers, QStringList());
        if (change == "settings") {
            // The script's own value reaches the renderer as it would
            // through the script.
            const Seen process = convert(app, {document}, true);
            QVERIFY(!process.direct());
            QCOMPARE(seen.images, process.images);
            QVERIFY(!seen.images.first().isEmpty());
        }
    }

    // Both ways leave the same bytes, outcomes and messages.
    void sameResultsBothWays()
    {
        AppFolder app;
        QVERIFY(installCompanions(app));
        const QString docs = app.docs();
        QStringList list;
        QVERIFY(PdfFixtures::writePdf(docs + "/three.pdf", 3));
        list << docs + "/three.pdf";
        QVERIFY(PdfFixtures::writeBytes(docs + "/damaged.pdf", "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 9 0 R\n"
                                                                 "\x01\x02 garbage\n%%EOF\n"));
        list << docs + "/damaged.pdf";
        QVERIFY(PdfFixtures::writeBytes(docs + "/-notes.pdf", "just some text\n"));
        list << docs + "/-notes.pdf";
        for (const PdfFixtures::PageTreeShape shape :
             {PdfFixtures::PageTreeShape::CountTooHigh, PdfFixtures::PageTreeShape::ListsItself,
              PdfFixtures::PageTreeShape::ListsAncestor}) {
            const QString damaged = docs + QStringLiteral("/tree-%1.pdf").arg(int(shape));
            QVERIFY(PdfFixtures::writeBytes(damaged, PdfFixtures::makePageTreePdf(shape)));
            list << damaged;
        }
        QVERIFY2(!QStandardPaths::findExecutable("qpdf").isEmpty(),
                 "qpdf is needed to make a protected document (scripts/setup.sh installs it)");
        QCOMPARE(QProcess::execute("qpdf", {"--encrypt", "user", "owner", "256", "--", docs + "/three.pdf",
                                            docs + "/locked.pdf"}),
                 0);
        list << docs + "/locked.pdf";
        list << docs + "/gone.pdf";
        // A few documents of the corpus, when it is there.
        QFile manifest(corpusDir() + "/manifest.tsv");
        if (manifest.open(QIODevice::ReadOnly)) {
            int taken = 0;
            for (const QByteArray &line : manifest.readAll().split('\n')) {
                const QString path = QString::fromUtf8(line.split('\t').value(0));
                const QFileInfo info(corpusDir() + "/" + path);
                if (!path.endsWith(".pdf") || !info.isFile() || info.size() > 300'000)
                    continue;
                const QString copy = docs + QStringLiteral("/corpus-%1.pdf").arg(taken);
                QVERIFY(QFile::copy(info.filePath(), copy));
                list << copy;
                if (++taken == 6)
                    break;
            }
            QVERIFY2(taken > 0, "the corpus lists no document small enough to take");
        }
        const Seen direct = convert(app, list, false);
        const Seen process = convert(app, list, true);
        QVERIFY(direct.direct());
        QVERIFY(!process.direct());
        QCOMPARE(direct.ends, process.ends);
        QCOMPARE(direct.messages, process.messages);
        QCOMPARE(direct.exitStatus, process.exitStatus);
        QCOMPARE(direct.images.keys(), process.images.keys());
        QVERIFY(!direct.images.isEmpty());
        for (const QString &image : direct.images.keys())
            QVERIFY2(direct.images[image] == process.images[image], qPrintable(image));
        QCOMPARE(direct.leftovers, QStringList());
        QCOMPARE(process.leftovers, QStringList());
    }

    // The program killed or interrupted mid-document in the direct way:
    // no worker stays (the staging lock comes free), no image is beside the
    // document, and the next run converts it.
    void killedOrInterrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("killed") << SIGKILL;
        QTest::newRow("interrupted") << SIGINT;
    }
    void killedOrInterrupted()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString app = dir.filePath("app");
        QVERIFY(QDir().mkpath(app + "/ps"));
        QVERIFY(QFile::copy(built() + "/rasterwell", app + "/rasterwell"));
        QVERIFY(QFile::link(built() + "/pdftk.exe", app + "/pdftk.exe"));
        QVERIFY(QFile::link(built() + "/ps/rwrender", app + "/ps/rwrender"));
        QVERIFY(QFile::copy(built() + "/ps/pdf2tiff.bat", app + "/ps/pdf2tiff.bat"));
        const QString docs = dir.filePath("docs");
        QVERIFY(QDir().mkpath(docs));
        QVERIFY(PdfFixtures::writePdf(docs + "/many.pdf", 400));

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("RASTERWELL_COMPANIONS");
        env.insert("RASTERWELL_JOBS", "1");
        program.setProcessEnvironment(env);
        program.start(app + "/rasterwell", {"--convert", docs + "/many.pdf"});
        QVERIFY(program.waitForStarted());
        // Until the worker has written its first page image.
        QDeadlineTimer deadline(60'000);
        while (program.state() == QProcess::Running && !deadline.hasExpired()
               && QDir(app + "/ps").entryList({"current-*.jpg"}).isEmpty())
            QTest::qWait(10);
        QVERIFY(program.state() == QProcess::Running);
        QVERIFY2(!QDir(app + "/ps").entryList({"current-*.jpg"}).isEmpty(), "no page image within a minute");
        QVERIFY(!lockFree(app + "/rasterwell.lock"));
        QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
        QVERIFY(program.waitForFinished(30'000));
        QTRY_VERIFY_WITH_TIMEOUT(lockFree(app + "/rasterwell.lock"), 30'000);
        QCOMPARE(QDir(docs).entryList({"*.jpg"}), QStringList());
        if (signal == SIGINT)
            QCOMPARE(QDir(app + "/ps").entryList({"current*", ".tmp-*"}, QDir::Files | QDir::Hidden),
                     QStringList());
    }
};

QTEST_GUILESS_MAIN(TestDirect)
#include "tst_convert_direct.moc"
