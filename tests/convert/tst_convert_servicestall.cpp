// A render service that stops answering mid-run (stopped with SIGSTOP)
// holds up no run: its clients end it, the rest of the run converts
// without it, and every document's report tells what is on disk.

#include "tests/support/pdffixtures.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>

namespace {

// Reads /proc: the child of `parent` whose command line holds `word`.
std::optional<pid_t> childWith(pid_t parent, const QByteArray &word)
{
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const int pid = entry.toInt(&ok);
        if (!ok)
            continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // "pid (name) state ppid ...": the name may hold anything but ')'.
        const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (rest.size() < 2 || rest[1].toInt() != parent)
            continue;
        QFile cmdline("/proc/" + entry + "/cmdline");
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().replace('\0', ' ').contains(word))
            return pid;
    }
    return std::nullopt;
}

bool processExists(pid_t pid)
{
    return ::kill(pid, 0) == 0;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestServiceStall : public QObject {
    Q_OBJECT

    enum When { AtStart, WhileRendering };

    // An application folder of its own: the program copied (it finds its
    // companions beside its own file), the companions linked, the script
    // copied with a page time limit of one second (so the run's no-progress
    // limit is 13 s).
    static bool makeAppFolder(const QString &app)
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        QByteArray script = readAll(built + "/ps/pdf2tiff.bat");
        if (!script.contains("\nPAGE_TIME_LIMIT=60\n"))
            return false;
        script.replace("\nPAGE_TIME_LIMIT=60\n", "\nPAGE_TIME_LIMIT=1\n");
        QFile out(app + "/ps/pdf2tiff.bat");
        return QDir().mkpath(app + "/ps") && QFile::copy(built + "/rasterwell", app + "/rasterwell")
               && QFile::link(built + "/pdftk.exe", app + "/pdftk.exe")
               && QFile::link(built + "/ps/rwrender", app + "/ps/rwrender")
               && out.open(QIODevice::WriteOnly) && out.write(script) == script.size()
               && out.setPermissions(out.permissions() | QFile::ExeOwner);
    }

private slots:
    void stoppedServiceHoldsUpNothing_data()
    {
        QTest::addColumn<int>("when");
        // Listening, before it took up any job: the first client finds it
        // silent.
        QTest::newRow("stopped at its start") << int(AtStart);
        // Its worker goes on and finishes the document, but the reply never
        // comes: the images on disk tell how it went.
        QTest::newRow("stopped while the first document renders") << int(WhileRendering);
    }
    void stoppedServiceHoldsUpNothing()
    {
        QFETCH(int, when);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString app = dir.filePath("app");
        QVERIFY(makeAppFolder(app));
        const QString docs = dir.filePath("docs");
        QVERIFY(QDir().mkpath(docs));
        QVERIFY(PdfFixtures::writePdf(docs + "/many.pdf", 117));
        QVERIFY(PdfFixtures::writePdf(docs + "/one.pdf", 1));
        QVERIFY(PdfFixtures::writePdf(docs + "/two.pdf", 1));
        const QString report = dir.filePath("report.jsonl");

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("RASTERWELL_RENDER_SERVICE");
        program.setProcessEnvironment(env);
        program.start(app + "/rasterwell",
                      {"--convert", "-j", "1", "--quiet", "--report", report, docs + "/many.pdf",
                       docs + "/one.pdf", docs + "/two.pdf"});
        QVERIFY(program.waitForStarted(10000));
        const pid_t programPid = pid_t(program.processId());

        // The service as soon as it is there; with whileRendering, once the
        // first page image of the first document has arrived.
        std::optional<pid_t> service;
        while (program.state() == QProcess::Running && !service) {
            service = childWith(programPid, "--serve");
            if (!service)
                program.waitForFinished(2);
        }
        QVERIFY2(service, "the program started no render service");
        // Listening (its socket is there), so that clients connect to it.
        while (program.state() == QProcess::Running
               && QDir(app).entryList({".render-service-*"}, QDir::System | QDir::Hidden).isEmpty())
            program.waitForFinished(2);
        if (when == WhileRendering) {
            while (program.state() == QProcess::Running
                   && QDir(app + "/ps").entryList({"current-*.jpg"}, QDir::Files).isEmpty())
                program.waitForFinished(2);
            QVERIFY2(program.state() == QProcess::Running
                         && !QDir(app + "/ps").entryList({"current-*.jpg"}, QDir::Files).isEmpty(),
                     "the run ended before its first page image");
        }
        QVERIFY(::kill(*service, SIGSTOP) == 0);
        const auto resume = qScopeGuard([&] {
            if (processExists(*service))
                ::kill(*service, SIGCONT);
        });

        // Well within the no-progress limits, and without waiting for the
        // staging lock's limit (two minutes).
        if (!program.waitForFinished(100000)) {
            program.kill();
            QFAIL("the run was held up by the stopped service");
        }
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.exitCode() == 0, program.readAllStandardError().constData());
        // The silent service was ended, not left stopped.
        QVERIFY(!processExists(*service));

        const QList<QByteArray> lines = readAll(report).trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        const QList<QPair<QString, int>> expected{{"many.pdf", 117}, {"one.pdf", 1}, {"two.pdf", 1}};
        for (int i = 0; i < 3; ++i) {
            const QJsonObject line = QJsonDocument::fromJson(lines[i]).object();
            QVERIFY2(line["path"].toString().endsWith(expected[i].first), lines[i].constData());
            QCOMPARE(line["outcome"].toString(), QString("converted"));
            QCOMPARE(line["images"].toInt(), expected[i].second);
            QCOMPARE(line["pages"].toInt(), expected[i].second);
        }
        QVERIFY(QFile::exists(docs + "/many-117.jpg"));
        QVERIFY(QFile::exists(docs + "/one-001.jpg"));
        QVERIFY(QFile::exists(docs + "/two-001.jpg"));
        // The staging folder is clear.
        QCOMPARE(QDir(app + "/ps").entryList({"current*"}, QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestServiceStall)
#include "tst_convert_servicestall.moc"
