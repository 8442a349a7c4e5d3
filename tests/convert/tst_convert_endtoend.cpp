#include "convert/conversionrun.h"
#include "convert/runobserver.h"
#include "platform/eventpump.h"
#include "platform/process.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/fakes.h"
#include "tests/support/pdffixtures.h"

#include <QProcess>
#include <QtTest>

using ConvertFixture::AppFolder;
using Fakes::Message;
using Platform::MessageIcon;

// The whole conversion with the real companions of the build, on generated
// documents.
class TestEndToEnd : public QObject {
    Q_OBJECT

    // Links the build's probe and renderer into `app` and copies the script.
    static bool installCompanions(const AppFolder &app)
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        return QFile::link(built + "/pdftk.exe", app.path() + "/pdftk.exe")
               && QFile::link(built + "/ps/rwrender", app.staging() + "/rwrender")
               && QFile::copy(built + "/ps/pdf2tiff.bat", app.staging() + "/pdf2tiff.bat");
    }

    static bool isJpeg(const QString &path)
    {
        return AppFolder::read(path).startsWith("\xFF\xD8\xFF");
    }

    // The outcome of each document, as a report would see it.
    class Outcomes final : public RunObserver {
    public:
        void documentEnded(const DocumentEnd &end) override { outcomes << end.outcome; }
        QList<DocumentEnd::Outcome> outcomes;
    };

    // Runs the list once; the documents' outcomes.
    static QList<DocumentEnd::Outcome> convert(const AppFolder &app, const QStringList &list, bool update,
                                               const QStringList &environment = {})
    {
        ConvertFixture::ListSource documents;
        documents.items = list;
        ConvertFixture::RecordingView view;
        Fakes::PointerRecorder pointer;
        Fakes::MessageRecorder messages;
        Platform::QtEventPump pump;
        Platform::PosixProcessApi processes;
        Outcomes outcomes;
        ConversionRun run(ConversionServices{.appFolder = app.path(),
                                             .documents = documents,
                                             .view = view,
                                             .windowPointer = pointer,
                                             .messages = messages,
                                             .pump = pump,
                                             .processes = processes,
                                             .environment = environment,
                                             .observer = &outcomes,
                                             .skipUpToDate = update});
        run.run();
        return outcomes.outcomes;
    }

private slots:
    void initTestCase()
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        if (built.isEmpty() || !QFileInfo(built + "/pdftk.exe").isExecutable()
            || !QFileInfo(built + "/ps/pdf2tiff.bat").isExecutable()
            || !QFileInfo(built + "/ps/rwrender").isExecutable())
            QFAIL("the companion programs are not built (the build makes them)");
        if (QStandardPaths::findExecutable("qpdf").isEmpty())
            QFAIL("qpdf is needed to make protected documents (scripts/setup.sh installs it)");
    }

    void convertsProtectedDamagedAndOddlyNamedDocuments()
    {
        AppFolder app;
        QVERIFY(installCompanions(app));
        const QString docs = app.docs();
        QVERIFY(QDir(docs).mkpath("my \"docs\".d"));
        const QString plain = docs + "/my \"docs\".d/report one.pdf";
        const QString upper = docs + "/LETTER.PDF";
        const QString locked = docs + "/locked.pdf";
        const QString ownerOnly = docs + "/owner-only.pdf";
        const QString damaged = docs + "/damaged.pdf";
        const QString notPdf = docs + "/-notes.pdf";
        const QString gone = docs + "/gone.pdf";
        QVERIFY(PdfFixtures::writePdf(plain, 3));
        QVERIFY(PdfFixtures::writePdf(upper, 1));
        QVERIFY(PdfFixtures::writeBytes(damaged, "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 9 0 R\n"
                                                          "\x01\x02 garbage\n%%EOF\n"));
        QVERIFY(PdfFixtures::writeBytes(notPdf, "just some text\n"));
        QCOMPARE(QProcess::execute("qpdf", {"--encrypt", "user", "owner", "256", "--", upper, locked}), 0);
        QCOMPARE(QProcess::execute("qpdf", {"--encrypt", "", "owner", "256", "--", upper, ownerOnly}), 0);

        ConvertFixture::ListSource documents;
        documents.items = {plain, locked, damaged, upper, notPdf, ownerOnly, gone};
        ConvertFixture::RecordingView view;
        Fakes::PointerRecorder pointer;
        Fakes::MessageRecorder messages;
        Platform::QtEventPump pump;
        Platform::PosixProcessApi processes;
        ConversionRun run(ConversionServices{.appFolder = app.path(),
                                             .documents = documents,
                                             .view = view,
                                             .windowPointer = pointer,
                                             .messages = messages,
                                             .pump = pump,
                                             .processes = processes});

        const RunSummary summary = run.run();
        const auto failed = [](const QString &path) {
            return Message{"Could not create JPG on " + path, "Could not create JPG",
                           MessageIcon::Exclamation};
        };
        QCOMPARE(messages.messages,
                 (std::vector<Message>{{locked + " is password protected.", "Rasterwell", MessageIcon::None},
                                       failed(damaged), failed(notPdf), failed(gone),
                                       {"Done.", "Rasterwell", MessageIcon::None}}));
        QCOMPARE(summary.converted, 3);
        QCOMPARE(summary.exitStatus(), 1);

        for (const QString &page : {docs + "/my \"docs\".d/report one-001.jpg",
                                    docs + "/my \"docs\".d/report one-002.jpg",
                                    docs + "/my \"docs\".d/report one-003.jpg",
                                    docs + "/LETTER-001.jpg", docs + "/owner-only-001.jpg"})
            QVERIFY2(isJpeg(page), qPrintable(page));
        QCOMPARE(QDir(docs).entryList({"*.jpg"}, QDir::Files),
                 (QStringList{"LETTER-001.jpg", "owner-only-001.jpg"}));
        QCOMPARE(QDir(docs + "/my \"docs\".d").entryList({"*.jpg"}, QDir::Files).size(), 3);
        QStringList leftovers = QDir(app.staging()).entryList(QDir::AllEntries | QDir::Hidden
                                                              | QDir::NoDotAndDotDot);
        leftovers.removeAll("pdf2tiff.bat");
        leftovers.removeAll("rwrender");
        QCOMPARE(leftovers, QStringList());
        QVERIFY(!QFile::exists(app.path() + "/2348239bbb.txt"));
        QCOMPARE(view.progress.back(), 0.0);
        QCOMPARE(pointer.codes.back(), int(Platform::PointerDefault));
    }

    // A run's images are the very bytes the renderer writes when run on the
    // document itself: they record the document, not its staged copy. So
    // the next --update finds them up to date, until the settings change.
    void runImagesRecordTheDocument()
    {
        AppFolder app;
        QVERIFY(installCompanions(app));
        const QString document = app.docs() + "/report.pdf";
        QVERIFY(PdfFixtures::writePdf(document, 3));
        using Kind = DocumentEnd::Outcome;
        QCOMPARE(convert(app, {document}, false), QList<Kind>{Kind::Converted});

        QProcess alone;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("RASTERWELL_RENDER_SERVICE");
        env.remove("RASTERWELL_SOURCE");
        alone.setProcessEnvironment(env);
        alone.start(qEnvironmentVariable("RW_APP_DIR") + "/ps/rwrender", {document, app.root() + "/alone"});
        QVERIFY(alone.waitForFinished(60000) && alone.exitCode() == 0);
        for (int page = 1; page <= 3; ++page) {
            const QByteArray run = AppFolder::read(app.docs() + QStringLiteral("/report-00%1.jpg").arg(page));
            QVERIFY(isJpeg(app.docs() + QStringLiteral("/report-00%1.jpg").arg(page)));
            QVERIFY2(run == AppFolder::read(app.root() + QStringLiteral("/alone-00%1.jpg").arg(page)),
                     qPrintable(QString::number(page)));
        }

        QCOMPARE(convert(app, {document}, true), QList<Kind>{Kind::UpToDate});
        QCOMPARE(convert(app, {document}, true, {"RASTERWELL_RESOLUTION=100"}), QList<Kind>{Kind::Converted});
        QCOMPARE(convert(app, {document}, true, {"RASTERWELL_RESOLUTION=100"}), QList<Kind>{Kind::UpToDate});
        QCOMPARE(convert(app, {document}, true), QList<Kind>{Kind::Converted});
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_convert_endtoend.moc"
