// `rasterwell --convert --report - ... | head -1`: a report pipe whose
// reader has gone stops the run (or the watch) cleanly, with a message and
// status 1; no companion is left running and the staging folder is clear.

#include "tests/cli/clitest.h"
#include "tests/support/pdffixtures.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>


class TestReportPipe : public QObject {
    Q_OBJECT

    // The program copied into a folder of its own (it finds its companions
    // beside its own file), the companions linked beside it.
    static bool makeAppFolder(const QString &app)
    {
        const QString built = qEnvironmentVariable("RW_APP_DIR");
        return QDir().mkpath(app + "/ps") && QFile::copy(built + "/rasterwell", app + "/rasterwell")
               && QFile::link(built + "/pdftk.exe", app + "/pdftk.exe")
               && QFile::link(built + "/ps/rwrender", app + "/ps/rwrender")
               && QFile::copy(built + "/ps/pdf2tiff.bat", app + "/ps/pdf2tiff.bat");
    }

private slots:
    void closedReportPipeStopsTheRun_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("one run") << "";
        QTest::newRow("watch") << "--watch";
    }
    void closedReportPipeStopsTheRun()
    {
        QFETCH(QString, mode);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString app = dir.filePath("app");
        QVERIFY(makeAppFolder(app));
        const QString docs = dir.filePath("docs");
        QVERIFY(QDir().mkpath(docs));
        constexpr int Documents = 30;
        for (int i = 1; i <= Documents; ++i)
            QVERIFY(PdfFixtures::writePdf(docs + QStringLiteral("/doc%1.pdf").arg(i, 2, 10, QChar('0')), 3));

        // As a shell runs it: head reads one line and ends.
        QProcess shell;
        shell.start("bash", {"-c", "\"$0\" --convert $2 -j 1 --quiet --report - \"$1\" | head -1; "
                                   "echo \"status ${PIPESTATUS[0]}\" >&2",
                             app + "/rasterwell", docs, mode});
        QVERIFY(shell.waitForStarted(10000));
        if (!shell.waitForFinished(120000)) {
            shell.kill();
            QFAIL("the program went on after its report's reader had gone");
        }
        QVERIFY(shell.readAllStandardOutput().contains("\"outcome\":\"converted\""));
        const QByteArray errors = shell.readAllStandardError();
        // Ended by its own hand (not by SIGPIPE: 141), with a word why.
        QVERIFY2(errors.endsWith("status 1\n"), errors.constData());
        QVERIFY2(errors.contains("rasterwell: the report - is no longer read"), errors.constData());
        // No companion of the run is left.
        QCOMPARE(CliTest::processesUnder(dir.path()), QStringList());
        // It stopped: not every document was converted, and nothing is left
        // in the staging folder.
        QVERIFY(QDir(docs).entryList({"*.jpg"}, QDir::Files).size() < 3 * Documents);
        QCOMPARE(QDir(app + "/ps").entryList({"current*", ".tmp-*"}, QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestReportPipe)
#include "tst_cli_reportpipe.moc"
