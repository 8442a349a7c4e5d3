#include "convert/rasterisedocument.h"
#include "convert/stagingfolders.h"
#include "tests/convert/pdfharness.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using ConvertFixture::AppFolder;
using Rasteriser = ConvertFixture::PdfHarness<&PDF::RasteriseDocument>;
using PageCountRasteriser = ConvertFixture::PdfHarness<&PDF::RasteriseDocumentOfPages>;

// One document through the staging folder and the converter script.
class TestRasterise : public QObject {
    Q_OBJECT


    static QStringList outputsIn(const QString &folder)
    {
        return QDir(folder).entryList({"*.jpg"}, QDir::Files, QDir::Name);
    }

private slots:
    void outputName_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("output");
        QTest::newRow("first page") << "/Docs/report.pdf" << 1 << "/Docs/report-001.jpg";
        QTest::newRow("page 12") << "/Docs/report.pdf" << 12 << "/Docs/report-012.jpg";
        QTest::newRow("page 999") << "/Docs/report.pdf" << 999 << "/Docs/report-999.jpg";
        QTest::newRow("page 1000") << "/Docs/report.pdf" << 1000 << "/Docs/report-1000.jpg";
        QTest::newRow("upper case") << "/Docs/REPORT.PDF" << 1 << "/Docs/REPORT-001.jpg";
        QTest::newRow("several dots") << "/Docs/a.b.pdf" << 1 << "/Docs/a.b-001.jpg";
        QTest::newRow("dotted folder") << "/My.Docs/report.pdf" << 2 << "/My.Docs/report-002.jpg";
        QTest::newRow("dotted folder, no dot") << "/My.Docs/report" << 1 << "/My.Docs/report-001.jpg";
        QTest::newRow("beyond 16 bits") << "/d/r.pdf" << 40000 << "/d/r-40000.jpg";
    }
    void outputName()
    {
        QFETCH(QString, document);
        QFETCH(int, page);
        QFETCH(QString, output);
        QCOMPARE(PDF::outputName(document, page), output);
    }

    // Each converter outcome, with the staging folder clean afterwards. An
    // image goes to the page number its name carries; a document counts as
    // converted only when the script succeeded and every page up to the last
    // arrived; the pages written stay under their true numbers either way.
    void converterOutcomes_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<QList<int>>("pages");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<QString>("problem");
        // page N FILE: writes what the paging script would for page N.
        const QByteArray page = "page() { printf 'page %d of report\\n' \"$1\" > \"$2\"; }\n";
        QTest::newRow("all pages, status 0") << ConvertFixture::PagingScript << true
                                             << QList<int>{1, 2, 3} << false << QString();
        QTest::newRow("numbers, not listing order")
            << page + "for i in 1 2 3 4 5 6 7 8 9 10 11; do page $i current-$i.jpg; done\n"
                      "rm current.pdf\n"
            << true << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11} << false << QString();
        QTest::newRow("a gap") << page + "page 1 current-001.jpg; page 3 current-003.jpg\n"
                                         "rm current.pdf\n"
                               << true << QList<int>{1, 3} << true << "missing: page 2";
        QTest::newRow("failure after some pages")
            << page + "page 1 current-001.jpg; page 2 current-002.jpg; rm current.pdf; exit 1\n"
            << true << QList<int>{1, 2} << true << "exit status 1";
        QTest::newRow("killed script")
            << page + "page 1 current-001.jpg; page 2 current-002.jpg; kill -9 $$\n" << true
            << QList<int>{1, 2} << true << "signal 9";
        QTest::newRow("no pages") << QByteArray("rm current.pdf\n") << true << QList<int>{} << true
                                  << "no page image";
        QTest::newRow("never deletes the staged copy")
            << page + "page 1 current-001.jpg\n" << true << QList<int>{1} << true
            << "without finishing";
        QTest::newRow("image without a number")
            << page + "page 1 current-001.jpg; page 2 current-last.jpg; rm current.pdf\n" << true
            << QList<int>{1} << true << "no page number";
        QTest::newRow("exits at once") << QByteArray("exit 0\n") << true << QList<int>{} << true
                                       << "without finishing";
        QTest::newRow("cannot start") << QByteArray("#!/nonexistent/sh\n") << true << QList<int>{}
                                      << true << "could not be started";
        QTest::newRow("not executable") << ConvertFixture::PagingScript << false << QList<int>{}
                                        << true << "cannot be run";
    }
    void converterOutcomes()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, executable);
        QFETCH(QList<int>, pages);
        QFETCH(bool, failed);
        QFETCH(QString, problem);
        AppFolder app;
        // A script with its own "#!" line is written as it stands.
        QVERIFY(script.startsWith("#!")
                    ? AppFolder::writeFile(app.staging() + "/pdf2tiff.bat", script, executable)
                    : app.writeScript(script, executable));
        const QByteArray content = ConvertFixture::document("report", 3);
        const QString document = app.writeDocument("report.pdf", content);
        Rasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document);
        QCOMPARE(result.pagesCreated, !pages.isEmpty());
        QCOMPARE(result.failed, failed);
        QCOMPARE(result.succeeded(), !failed);
        QVERIFY2(result.problem.contains(problem), qPrintable(result.problem));
        QStringList outputs;
        for (const int page : pages)
            outputs << QFileInfo(PDF::outputName(document, page)).fileName();
        outputs.sort();
        QCOMPARE(outputsIn(app.docs()), outputs);
        for (const int page : pages)
            QCOMPARE(AppFolder::read(PDF::outputName(document, page)),
                     QByteArray("page ") + QByteArray::number(page) + " of report\n");
        QCOMPARE(app.stagingLeftovers(), QStringList());
        QCOMPARE(AppFolder::read(document), content);
        QCOMPARE(rasterise.view.appPointer.front(), int(Platform::PointerHourglass));
        QCOMPARE(rasterise.view.appPointer.back(), int(Platform::PointerDefault));
    }

    // With the probe's page count known, every page in place is a converted
    // document however the converter ended; a page short is a failure that
    // names the page.
    void everyPageInPlaceIsConverted_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<QString>("problem");
        const QByteArray page = "page() { printf 'page %d\\n' \"$1\" > \"$2\"; }\n";
        QTest::newRow("all three, status 1")
            << page + "page 1 current-001.jpg; page 2 current-002.jpg; page 3 current-003.jpg\n"
                      "rm current.pdf; exit 1\n"
            << false << QString();
        QTest::newRow("all three, killed after the last")
            << page + "page 1 current-001.jpg; page 2 current-002.jpg; page 3 current-003.jpg\n"
                      "rm current.pdf; kill -9 $$\n"
            << false << QString();
        QTest::newRow("two of three, status 1")
            << page + "page 1 current-001.jpg; page 2 current-002.jpg; rm current.pdf; exit 1\n"
            << true << "missing: page 3";
    }
    void everyPageInPlaceIsConverted()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, failed);
        QFETCH(QString, problem);
        AppFolder app;
        QVERIFY(app.writeScript(script));
        const QString document = app.writeDocument("report.pdf", ConvertFixture::document("report", 3));
        PageCountRasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document, 3);
        QCOMPARE(result.failed, failed);
        QVERIFY2(result.problem.contains(problem), qPrintable(result.problem));
        QCOMPARE(result.missingPages.isEmpty(), !failed);
        QCOMPARE(result.pagesWritten, failed ? 2 : 3);
    }

    // Whatever stands at an output name, only the document's folder changes:
    // an image replaces a file or a link there (the link itself, never its
    // target), a folder is left alone and the document fails. Also when the
    // document lies on another file system than the staging folder.
    void outputTargets_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("otherFileSystem");
        QTest::addColumn<bool>("failed");
        for (const bool other : {false, true}) {
            const char *fs = other ? ", other file system" : ", same file system";
            QTest::addRow("file%s", fs) << "file" << other << false;
            QTest::addRow("folder%s", fs) << "folder" << other << true;
            QTest::addRow("link inside the folder%s", fs) << "inside" << other << false;
            QTest::addRow("link outside the folder%s", fs) << "outside" << other << false;
            QTest::addRow("dangling link%s", fs) << "dangling" << other << false;
        }
    }
    void outputTargets()
    {
        QFETCH(QString, target);
        QFETCH(bool, otherFileSystem);
        QFETCH(bool, failed);
        AppFolder app;
        QVERIFY(app.writeScript());
        // /dev/shm is a file system of its own on these machines.
        QTemporaryDir shm(QStringLiteral("/dev/shm/rw-test-XXXXXX"));
        if (otherFileSystem && !shm.isValid())
            QSKIP("no /dev/shm to put the document on");
        const QString folder = otherFileSystem ? shm.path() : app.docs();
        QTemporaryDir outside;
        QVERIFY(AppFolder::writeFile(outside.filePath("secret.txt"), "secret"));
        QVERIFY(AppFolder::writeFile(folder + "/inside.txt", "inside"));
        const QString document = folder + "/report.pdf";
        QVERIFY(AppFolder::writeFile(document, ConvertFixture::document("report", 3)));
        const QString page2 = folder + "/report-002.jpg";
        if (target == "file")
            QVERIFY(AppFolder::writeFile(page2, "old image"));
        else if (target == "folder")
            QVERIFY(QDir().mkdir(page2));
        else if (target == "inside")
            QVERIFY(QFile::link(folder + "/inside.txt", page2));
        else if (target == "outside")
            QVERIFY(QFile::link(outside.filePath("secret.txt"), page2));
        else
            QVERIFY(QFile::link(outside.filePath("missing.txt"), page2));

        Rasteriser rasterise(app);
        const PDF::RasteriseResult result = rasterise(document);
        QCOMPARE(result.failed, failed);
        QCOMPARE(AppFolder::read(folder + "/report-001.jpg"), QByteArray("page 1 of report\n"));
        QCOMPARE(AppFolder::read(folder + "/report-003.jpg"), QByteArray("page 3 of report\n"));
        if (target == "folder") {
            QVERIFY(QFileInfo(page2).isDir());
            QVERIFY2(result.problem.contains("page 2"), qPrintable(result.problem));
        } else {
            QVERIFY(!QFileInfo(page2).isSymLink());
            QCOMPARE(AppFolder::read(page2), QByteArray("page 2 of report\n"));
        }
        QCOMPARE(AppFolder::read(folder + "/inside.txt"), QByteArray("inside"));
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"secret.txt"});
        QCOMPARE(AppFolder::read(outside.filePath("secret.txt")), QByteArray("secret"));
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // A page that did not arrive leaves no older image under its name (a
    // file or a link; a folder stays), and the report says so. The pages
    // are those of the probe's count, or up to the highest that arrived.
    void failedPagesLeaveNoOlderImage_data()
    {
        QTest::addColumn<QByteArray>("written");  // pages the converter writes
        QTest::addColumn<int>("pageCount");       // as the probe counted them
        QTest::addColumn<QString>("older");       // what stands at report-002.jpg and report-004.jpg
        QTest::addColumn<QString>("missing");
        QTest::newRow("gap, older file") << QByteArray("1 3") << 0 << "file" << "missing: page 2";
        QTest::newRow("gap, older link") << QByteArray("1 3") << 0 << "link" << "missing: page 2";
        QTest::newRow("gap, folder") << QByteArray("1 3") << 0 << "folder" << "missing: page 2";
        QTest::newRow("last pages missing by the count")
            << QByteArray("1 3") << 4 << "file" << "missing: pages 2, 4";
        QTest::newRow("all of the count") << QByteArray("1 2 3 4") << 4 << "file" << QString();
    }
    void failedPagesLeaveNoOlderImage()
    {
        QFETCH(QByteArray, written);
        QFETCH(int, pageCount);
        QFETCH(QString, older);
        QFETCH(QString, missing);
        AppFolder app;
        QVERIFY(app.writeScript("for i in " + written + "; do printf 'page %d\\n' $i > current-00$i.jpg; done\n"
                                "rm current.pdf\n"));
        const QString document = app.writeDocument("report.pdf", ConvertFixture::document("report", 4));
        QTemporaryDir outside;
        QVERIFY(AppFolder::writeFile(outside.filePath("target"), "target"));
        for (const char *name : {"report-002.jpg", "report-004.jpg"}) {
            const QString path = app.docs() + "/" + name;
            if (older == "file")
                QVERIFY(AppFolder::writeFile(path, "older"));
            else if (older == "link")
                QVERIFY(QFile::link(outside.filePath("target"), path));
            else
                QVERIFY(QDir().mkpath(path));
        }
        PageCountRasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document, pageCount);
        QCOMPARE(result.failed, !missing.isEmpty());
        QVERIFY2(result.problem.contains(missing), qPrintable(result.problem));
        const QString all = result.messages.join('\n');
        for (const int page : {2, 4}) {
            const QString path = PDF::outputName(document, page);
            const bool arrived = written.contains(QByteArray::number(page));
            const bool isMissing = !arrived && (page < 4 || pageCount >= 4);
            const QString note = QStringLiteral("page %1: the older image report-00%1.jpg was removed").arg(page);
            if (arrived)
                QCOMPARE(AppFolder::read(path), "page " + QByteArray::number(page) + "\n");
            else if (older == "folder")
                QVERIFY(QFileInfo(path).isDir());
            else
                QCOMPARE(QFileInfo(path).exists() || QFileInfo(path).isSymLink(), !isMissing);
            QCOMPARE(all.contains(note), isMissing && older != "folder");
        }
        QCOMPARE(AppFolder::read(outside.filePath("target")), QByteArray("target"));
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // With some pages asked for, only they can be missing: the others are
    // neither missing nor have their older images removed. The script sees
    // the pages asked for, and each setting is set, empty when not asked
    // for, so that a value of the user's own never reaches it.
    void onlyPagesAskedForCanBeMissing_data()
    {
        QTest::addColumn<QString>("pages");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QString>("missing"); // in the problem; empty: converted
        QTest::newRow("all asked for arrive") << "2,4-" << QByteArray("2 4 5") << "";
        QTest::newRow("one asked for is missing") << "2,4-" << QByteArray("2 5") << "missing: page 4";
        QTest::newRow("past the end only") << "9-" << QByteArray("") << "";
        QTest::newRow("every page") << "" << QByteArray("1 2 4 5") << "missing: page 3";
    }
    void onlyPagesAskedForCanBeMissing()
    {
        QFETCH(QString, pages);
        QFETCH(QByteArray, written);
        QFETCH(QString, missing);
        AppFolder app;
        QVERIFY(app.writeScript("env | grep -E '^RASTERWELL_(PAGES|SCALE_TO|GRAY|FORMAT)=' | sort > '" + QFile::encodeName(app.path())
                                + "/settings.txt'\n"
                                "for i in " + written + "; do printf 'page %d\\n' $i > current-00$i.jpg; done\n"
                                "rm current.pdf\n"));
        const QString document = app.writeDocument("report.pdf", ConvertFixture::document("report", 5));
        QVERIFY(AppFolder::writeFile(app.docs() + "/report-003.jpg", "older"));
        PageCountRasteriser rasterise(app);
        if (!pages.isEmpty())
            rasterise.context.environment << "RASTERWELL_PAGES=" + pages;
        qputenv("RASTERWELL_GRAY", "1");
        const PDF::RasteriseResult result = rasterise(document, 5);
        qunsetenv("RASTERWELL_GRAY");
        QCOMPARE(result.failed, !missing.isEmpty());
        QVERIFY2(result.problem.contains(missing), qPrintable(result.problem));
        QCOMPARE(QFileInfo::exists(app.docs() + "/report-003.jpg"), !pages.isEmpty());
        QCOMPARE(AppFolder::read(app.path() + "/settings.txt"),
                 "RASTERWELL_FORMAT=\nRASTERWELL_GRAY=\nRASTERWELL_PAGES=" + pages.toUtf8()
                     + "\nRASTERWELL_SCALE_TO=\n");
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // Pages found only in file order never become page-numbered images:
    // without recovery they are removed and reported; with it they are kept
    // apart, as "-recovered-NNN". The document fails either way and
    // yesterday's images stay.
    void pagesInFileOrderAreNeverPageNumbered_data()
    {
        QTest::addColumn<bool>("recover");
        QTest::newRow("without --recover") << false;
        QTest::newRow("with --recover") << true;
    }
    void pagesInFileOrderAreNeverPageNumbered()
    {
        QFETCH(bool, recover);
        AppFolder app;
        QVERIFY(app.writeScript("printf '%s' \"$RASTERWELL_RECOVER\" > ../recover.txt\n"
                                "echo 'file page 1' > current-recovered-001.jpg\n"
                                "echo 'file page 2' > current-recovered-002.jpg\n"
                                "echo 'rwrender: the page tree is lost' >&2\n"
                                "rm current.pdf; exit 1\n"));
        const QString document = app.writeDocument("r.pdf", ConvertFixture::document("r", 2));
        QVERIFY(AppFolder::writeFile(app.docs() + "/r-001.jpg", "yesterday"));
        Rasteriser rasterise(app);
        rasterise.context.recover = recover;

        const PDF::RasteriseResult result = rasterise(document);
        QVERIFY(result.failed);
        QVERIFY2(result.problem.contains("exit status 1"), qPrintable(result.problem));
        QVERIFY(result.messages.contains("rwrender: the page tree is lost"));
        QCOMPARE(AppFolder::read(app.path() + "/recover.txt"), recover ? QByteArray("1") : QByteArray("0"));
        QCOMPARE(AppFolder::read(app.docs() + "/r-001.jpg"), QByteArray("yesterday"));
        const QStringList expected = recover ? QStringList{"r-001.jpg", "r-recovered-001.jpg", "r-recovered-002.jpg"}
                                             : QStringList{"r-001.jpg"};
        QCOMPARE(outputsIn(app.docs()), expected);
        if (recover)
            QCOMPARE(AppFolder::read(app.docs() + "/r-recovered-002.jpg"), QByteArray("file page 2\n"));
        else
            QVERIFY2(result.messages.join('\n').contains("2 pages found only in file order were not kept"),
                     qPrintable(result.messages.join('\n')));
        QCOMPARE(result.pagesWritten, 0);
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // An image and the staged copy never grant more reading than their
    // document, whatever the umask allows.
    void imagesGrantNoMoreThanTheirDocument_data()
    {
        QTest::addColumn<int>("documentMode");
        QTest::addColumn<int>("imageMode");
        QTest::newRow("0600") << 0600 << 0600;
        QTest::newRow("0640") << 0640 << 0640;
        QTest::newRow("0644") << 0644 << 0644;
        QTest::newRow("0444") << 0444 << 0644;
    }
    void imagesGrantNoMoreThanTheirDocument()
    {
        QFETCH(int, documentMode);
        QFETCH(int, imageMode);
        AppFolder app;
        QVERIFY(app.writeScript("stat -c %a current.pdf > ../staged-mode.txt\n" + ConvertFixture::PagingScript));
        const QString document = app.writeDocument("m.pdf", ConvertFixture::document("m", 1));
        QVERIFY(::chmod(QFile::encodeName(document).constData(), mode_t(documentMode)) == 0);
        const mode_t mask = ::umask(022);
        Rasteriser rasterise(app);
        const PDF::RasteriseResult result = rasterise(document);
        ::umask(mask);
        QVERIFY2(result.succeeded(), qPrintable(result.problem));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(app.docs() + "/m-001.jpg").constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), imageMode);
        QCOMPARE(AppFolder::read(app.path() + "/staged-mode.txt").trimmed().toInt(nullptr, 8), imageMode);
    }

    // The document's folder is opened once: swapped for a link while the
    // converter runs, or between two pages, the images still land in the
    // folder that was checked, never in the link's target.
    void imagesLandInTheFolderThatWasChecked_data()
    {
        QTest::addColumn<bool>("betweenPages");
        QTest::newRow("while the converter runs") << false;
        QTest::newRow("between two pages") << true;
    }
    void imagesLandInTheFolderThatWasChecked()
    {
        QFETCH(bool, betweenPages);
        AppFolder app;
        const QByteArray swap = "mv ../../docs ../../checked && mkdir ../../target && ln -s target ../../docs\n";
        QVERIFY(app.writeScript(ConvertFixture::PagingScript + (betweenPages ? QByteArray() : swap)));
        const QString document = app.writeDocument("s.pdf", ConvertFixture::document("s", 3));
        Rasteriser rasterise(app);
        if (betweenPages)
            rasterise.context.afterPagePlaced = [&](int page) {
                if (page == 1)
                    QVERIFY(QProcess::execute("sh", {"-c", "cd " + app.staging() + " && " + swap}) == 0);
            };
        const PDF::RasteriseResult result = rasterise(document);
        QVERIFY(QFileInfo(app.docs()).isSymLink());
        QCOMPARE(QDir(app.root() + "/target").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QVERIFY2(result.succeeded(), qPrintable(result.problem));
        QCOMPARE(outputsIn(app.root() + "/checked"), (QStringList{"s-001.jpg", "s-002.jpg", "s-003.jpg"}));
        QCOMPARE(AppFolder::read(app.root() + "/checked/s-003.jpg"), QByteArray("page 3 of s\n"));
    }

    // The staged copy keeps the document's holes, and a document that does
    // not fit in the staging folder fails with that reason before anything
    // is written there. The staging folder is a small file system of its own.
    void stagedCopyKeepsHolesAndMustFit_data()
    {
        QTest::addColumn<bool>("sparse");
        QTest::newRow("1 GiB sparse document on 8 MB") << true;
        QTest::newRow("10 MB dense document on 8 MB") << false;
    }
    void stagedCopyKeepsHolesAndMustFit()
    {
        QFETCH(bool, sparse);
        AppFolder app;
        if (::geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=8m", "tmpfs", app.staging()}) != 0)
            QSKIP("mounting a small file system needs root");
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {app.staging()}); });
        QVERIFY(app.writeScript("stat -c %b current.pdf > ../blocks.txt\n" + ConvertFixture::PagingScript));
        const QString document = app.writeDocument("big.pdf", ConvertFixture::document("big", 1));
        QFile file(document);
        QVERIFY(file.open(QIODevice::Append));
        if (sparse)
            QVERIFY(file.resize(qint64(1) << 30));
        else
            QVERIFY(file.write(QByteArray(10 << 20, 'x')) == 10 << 20);
        file.close();
        Rasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document);
        if (sparse) {
            QVERIFY2(result.succeeded(), qPrintable(result.problem));
            QVERIFY(AppFolder::read(app.path() + "/blocks.txt").trimmed().toLongLong() * 512 < (1 << 20));
            QCOMPARE(AppFolder::read(app.docs() + "/big-001.jpg"), QByteArray("page 1 of big\n"));
        } else {
            QVERIFY(result.failed);
            QVERIFY2(result.problem.contains("does not fit"), qPrintable(result.problem));
            QVERIFY(app.scriptRuns().isEmpty());
        }
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // A document inside the staging folder is refused: never deleted,
    // replaced or converted, and neither are images of it there.
    void documentInTheStagingFolderIsRefused()
    {
        AppFolder app;
        QVERIFY(app.writeScript());
        Rasteriser rasterise(app);
        for (const QString name : {"current.pdf", "current-7.pdf"}) {
            const QString document = app.staging() + "/" + name;
            const QByteArray content = ConvertFixture::document("mine", 2);
            QVERIFY(AppFolder::writeFile(document, content));
            const PDF::RasteriseResult result = rasterise(document);
            QVERIFY(result.failed);
            QVERIFY2(result.problem.contains("inside the staging folder"), qPrintable(result.problem));
            QCOMPARE(AppFolder::read(document), content);
            QVERIFY(app.scriptRuns().isEmpty());
        }
    }

    // The script runs hidden, in the staging folder, on an exact copy.
    void scriptSeesTheStagedCopyInItsFolder()
    {
        AppFolder app;
        QVERIFY(app.writeScript("cp current.pdf ../seen.pdf\n" + ConvertFixture::PagingScript));
        const QString document = app.writeDocument("doc.pdf", ConvertFixture::document("d", 1));
        Rasteriser rasterise(app);
        QVERIFY(rasterise(document).succeeded());
        QCOMPARE(app.scriptRuns(), QStringList{QFileInfo(app.staging()).canonicalFilePath()});
        QCOMPARE(AppFolder::read(app.path() + "/seen.pdf"), AppFolder::read(document));

        Fakes::ScriptedProcesses scripted;
        scripted.shellCode = 2;
        Rasteriser withFake(app, &scripted);
        QVERIFY(!withFake(document).succeeded());
        QCOMPARE(scripted.opens.size(), size_t(1));
        QCOMPARE(scripted.opens[0].argv.first(), '"' + app.staging() + "/pdf2tiff.bat\"");
        QCOMPARE(scripted.opens[0].workingFolder, app.staging() + "/");
        QVERIFY(scripted.opens[0].hidden);
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // A staged copy and page images left by an interrupted run never end up
    // as pages of the next document; a current.pdf this program did not
    // stage is someone's file: it stays, and the slot is not used.
    void leftoversOfAnInterruptedRunAreCleared_data()
    {
        QTest::addColumn<bool>("staged");
        QTest::newRow("left by a killed run") << true;
        QTest::newRow("put there by someone else") << false;
    }
    void leftoversOfAnInterruptedRunAreCleared()
    {
        QFETCH(bool, staged);
        AppFolder app;
        QVERIFY(app.writeScript());
        const QString leftover = app.staging() + "/current.pdf";
        QVERIFY(AppFolder::writeFile(leftover, "old document"));
        if (staged)
            QVERIFY(markStagedCopy(CompanionFiles(app.path()).slot(1), *Platform::entryIdentity(leftover)));
        QVERIFY(AppFolder::writeFile(app.staging() + "/current-009.jpg", "stale"));
        QVERIFY(AppFolder::writeFile(app.staging() + "/Current-000.JPG", "stale"));
        // A killed probe's partial result, an interrupted run's error stream.
        QVERIFY(AppFolder::writeFile(app.path() + "/.2348239bbb.txt.Ab12Cd", "NumberOfPages: 9"));
        QVERIFY(AppFolder::writeFile(app.staging() + "/.messages", "old messages"));
        const QString document = app.writeDocument("new.pdf", ConvertFixture::document("new", 1));
        Rasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document);
        if (!staged) {
            QVERIFY(result.failed);
            QVERIFY2(result.problem.contains("did not put there"), qPrintable(result.problem));
            QCOMPARE(AppFolder::read(leftover), QByteArray("old document"));
            QCOMPARE(outputsIn(app.docs()), QStringList());
            QVERIFY(app.scriptRuns().isEmpty());
            return;
        }
        QVERIFY(result.succeeded());
        QCOMPARE(result.pagesWritten, 1);
        QCOMPARE(outputsIn(app.docs()), QStringList{"new-001.jpg"});
        QCOMPARE(AppFolder::read(app.docs() + "/new-001.jpg"), QByteArray("page 1 of new\n"));
        QCOMPARE(app.stagingLeftovers(), QStringList());
        QVERIFY(!QFile::exists(app.path() + "/.2348239bbb.txt.Ab12Cd"));
    }

    // The staged copy's mark is replaced whole: a link planted where it goes
    // is replaced, its target never written, and the mark still tells the
    // copy as this program's.
    void stagedCopyMarkNeverFollowsALink()
    {
        AppFolder app;
        const StagingSlot slot = CompanionFiles(app.path()).slot(1);
        const QString elsewhere = app.path() + "/elsewhere.txt";
        QVERIFY(AppFolder::writeFile(elsewhere, "someone's file"));
        QVERIFY(QFile::link(elsewhere, slot.folder + ".staged"));
        QVERIFY(AppFolder::writeFile(slot.stagedCopy, "staged"));

        QVERIFY(markStagedCopy(slot, *Platform::entryIdentity(slot.stagedCopy)));
        QCOMPARE(AppFolder::read(elsewhere), QByteArray("someone's file"));
        QVERIFY(!QFileInfo(slot.folder + ".staged").isSymLink());
        QVERIFY(stagedCopyIsOurs(slot));
        QVERIFY(AppFolder::writeFile(slot.stagedCopy + ".new", "another"));
        QVERIFY(QFile::remove(slot.stagedCopy) && QFile::rename(slot.stagedCopy + ".new", slot.stagedCopy));
        QVERIFY(!stagedCopyIsOurs(slot));
    }

    void numberingGoesPast999()
    {
        AppFolder app;
        QVERIFY(app.writeScript("seq -f 'current-%04g.jpg' 1 1001 | xargs touch\nrm current.pdf\n"));
        const QString document = app.writeDocument("big.pdf", "x");
        Rasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document);
        QVERIFY(result.succeeded());
        QCOMPARE(result.pagesWritten, 1001);
        const QStringList outputs = outputsIn(app.docs());
        QCOMPARE(outputs.size(), 1001);
        for (const char *name : {"big-001.jpg", "big-999.jpg", "big-1000.jpg", "big-1001.jpg"})
            QVERIFY2(outputs.contains(name), name);
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // The extension is cut from the file name only, and is always ".jpg".
    void dottedFoldersAndUpperCaseNames()
    {
        AppFolder app;
        QVERIFY(app.writeScript());
        const QString upper = app.writeDocument("My.Docs/REPORT.PDF", ConvertFixture::document("u", 2));
        const QString bare = app.writeDocument("My.Docs/notes", ConvertFixture::document("b", 1));
        Rasteriser rasterise(app);
        QVERIFY(rasterise(upper).succeeded());
        QVERIFY(rasterise(bare).succeeded());
        QCOMPARE(outputsIn(app.docs() + "/My.Docs"),
                 (QStringList{"REPORT-001.jpg", "REPORT-002.jpg", "notes-001.jpg"}));
        QCOMPARE(outputsIn(app.docs()), QStringList());
    }

    // Earlier outputs of the same numbers are replaced; higher numbers from
    // a longer earlier result stay.
    void earlierOutputsAreReplaced()
    {
        AppFolder app;
        QVERIFY(app.writeScript());
        const QString document = app.writeDocument("r.pdf", ConvertFixture::document("r", 2));
        QVERIFY(AppFolder::writeFile(app.docs() + "/r-001.jpg", "old one"));
        QVERIFY(AppFolder::writeFile(app.docs() + "/r-005.jpg", "old five"));
        Rasteriser rasterise(app);
        QVERIFY(rasterise(document).succeeded());
        QCOMPARE(AppFolder::read(app.docs() + "/r-001.jpg"), QByteArray("page 1 of r\n"));
        QCOMPARE(AppFolder::read(app.docs() + "/r-002.jpg"), QByteArray("page 2 of r\n"));
        QCOMPARE(AppFolder::read(app.docs() + "/r-005.jpg"), QByteArray("old five"));
    }

    // Pages reach a document on another file system too (copied there,
    // not renamed), and the staging folder is still left clean.
    void documentOnAnotherFileSystem()
    {
        QTemporaryDir elsewhere("/dev/shm/rw-rasterise-XXXXXX");
        if (!elsewhere.isValid())
            QSKIP("no /dev/shm");
        AppFolder app;
        if (QStorageInfo(elsewhere.path()).device() == QStorageInfo(app.path()).device())
            QSKIP("/dev/shm is on the same file system as the temporary folder");
        QVERIFY(app.writeScript());
        const QString document = elsewhere.filePath("far.pdf");
        QVERIFY(AppFolder::writeFile(document, ConvertFixture::document("far", 2)));
        QVERIFY(AppFolder::writeFile(elsewhere.filePath("far-002.jpg"), "old"));
        Rasteriser rasterise(app);
        QVERIFY(rasterise(document).succeeded());
        QCOMPARE(AppFolder::read(elsewhere.filePath("far-001.jpg")), QByteArray("page 1 of far\n"));
        QCOMPARE(AppFolder::read(elsewhere.filePath("far-002.jpg")), QByteArray("page 2 of far\n"));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // A name of 248 bytes on another file system: the temporary name the
    // copy is written under still fits in 255 bytes.
    void longNameOnAnotherFileSystem()
    {
        QTemporaryDir elsewhere("/dev/shm/rw-rasterise-XXXXXX");
        if (!elsewhere.isValid())
            QSKIP("no /dev/shm");
        AppFolder app;
        if (QStorageInfo(elsewhere.path()).device() == QStorageInfo(app.path()).device())
            QSKIP("/dev/shm is on the same file system as the temporary folder");
        QVERIFY(app.writeScript());
        const QString stem = QString(244, QLatin1Char('n'));
        const QString document = elsewhere.filePath(stem + ".pdf");
        QVERIFY(AppFolder::writeFile(document, ConvertFixture::document("long", 1)));
        Rasteriser rasterise(app);
        const PDF::RasteriseResult result = rasterise(document);
        QVERIFY2(result.succeeded(), qPrintable(result.problem));
        QCOMPARE(AppFolder::read(elsewhere.filePath(stem + "-001.jpg")), QByteArray("page 1 of long\n"));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // File errors make the document fail; they never escape, and the
    // staging folder is cleaned as far as it can be.
    void fileErrorsFailTheDocument_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("document missing") << "missing";
        QTest::newRow("document is a folder") << "folder";
        QTest::newRow("output cannot be written") << "output";
        QTest::newRow("no output can be written") << "outputs";
        QTest::newRow("staged copy cannot be removed") << "staged";
    }
    void fileErrorsFailTheDocument()
    {
        QFETCH(QString, fault);
        AppFolder app;
        QVERIFY(app.writeScript());
        QString document = app.writeDocument("r.pdf", ConvertFixture::document("r", 2));
        if (fault == "missing")
            document = app.docs() + "/gone.pdf";
        if (fault == "folder") {
            document = app.docs() + "/folder.pdf";
            QVERIFY(QDir().mkpath(document));
        }
        if (fault == "output") // a folder where the second page must go
            QVERIFY(QDir().mkpath(app.docs() + "/r-002.jpg"));
        if (fault == "outputs")
            for (const char *name : {"/r-001.jpg", "/r-002.jpg"})
                QVERIFY(QDir().mkpath(app.docs() + name));
        if (fault == "staged")
            QVERIFY(QDir().mkpath(app.staging() + "/current.pdf"));
        Rasteriser rasterise(app);

        const PDF::RasteriseResult result = rasterise(document);
        QVERIFY(result.failed);
        QVERIFY(!result.succeeded());
        QVERIFY(!result.problem.isEmpty());
        QCOMPARE(rasterise.view.appPointer.back(), int(Platform::PointerDefault));
        if (fault == "staged") {
            QCOMPARE(app.stagingLeftovers(), QStringList{"current.pdf"});
            QVERIFY(app.scriptRuns().isEmpty());
        } else {
            QCOMPARE(app.stagingLeftovers(), QStringList());
        }
        if (fault == "outputs") // the true reason, not "no page image"
            QVERIFY2(result.problem.contains("page 1: cannot move"), qPrintable(result.problem));
        if (fault == "output") {
            QVERIFY(result.pagesCreated);
            QCOMPARE(AppFolder::read(app.docs() + "/r-001.jpg"), QByteArray("page 1 of r\n"));
        }
    }
};

QTEST_GUILESS_MAIN(TestRasterise)
#include "tst_convert_rasterise.moc"
