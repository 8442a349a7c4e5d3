#include "convert/imagerecord.h"
#include "convert/uptodate.h"
#include "tests/support/pdffixtures.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

// --update's judgement: a document is skipped only when every image of its
// page count carries the record of its own page, made at the run's
// settings from the document as it is now. The images are the renderer's
// own (run on the document directly, as a run's staged copy is rendered).
class TestUpToDate : public QObject {
    Q_OBJECT

    // Two versions of a two-page document, of the same size.
    static QByteArray version1() { return PdfFixtures::makePdf(2); }
    static QByteArray version2() { return PdfFixtures::makePdf(2, {792, 612}); }

    static QString rendererPath() { return qEnvironmentVariable("RW_APP_DIR") + "/ps/rwrender"; }

    static bool run(const QString &program, const QStringList &args, const QString &folder = {},
                    const QString &source = {})
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("RASTERWELL_RENDER_SERVICE");
        env.remove("RASTERWELL_SOURCE");
        if (!source.isEmpty())
            env.insert("RASTERWELL_SOURCE", source);
        p.setProcessEnvironment(env);
        if (!folder.isEmpty())
            p.setWorkingDirectory(folder);
        p.start(program, args);
        return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    // Renders `document` as PREFIX-001.jpg, ... at 150 dpi, quality 90.
    static bool render(const QString &document, const QString &prefix, const QString &source = {})
    {
        return run(rendererPath(), {"-r", "150", "-q", "90", "-j", "1", document, prefix}, {}, source);
    }
    static bool setTime(const QString &path, qint64 seconds, long nanoseconds = 0)
    {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
    }
    static qint64 modified(const QString &path)
    {
        return QFileInfo(path).lastModified().toSecsSinceEpoch();
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QByteArray realHead_; // the first bytes of a rendered image

private slots:
    void initTestCase()
    {
        // Else the rows that change only the content would be told apart
        // by the size alone.
        QCOMPARE(version1().size(), version2().size());
        QTemporaryDir dir;
        QVERIFY(PdfFixtures::writeBytes(dir.filePath("d.pdf"), PdfFixtures::makePdf(1)));
        QVERIFY(render(dir.filePath("d.pdf"), dir.filePath("d")));
        realHead_ = read(dir.filePath("d-001.jpg")).left(PDF::ImageRecordSearchBytes);
        QVERIFY(PDF::readImageRecord(realHead_));
    }

    void judgement_data()
    {
        QTest::addColumn<QString>("change"); // what is done after report.pdf was rendered
        QTest::addColumn<int>("pageCount");  // the probe's
        QTest::addColumn<double>("resolution");
        QTest::addColumn<int>("quality");
        QTest::addColumn<bool>("upToDate");

        // Stale: each must be converted again.
        QTest::newRow("cp -p of an older version over it") << "cp -p older" << 2 << 150.0 << 90 << false;
        QTest::newRow("tar x of an older version") << "tar older" << 2 << 150.0 << 90 << false;
        QTest::newRow("mv of an older file over it") << "mv older" << 2 << 150.0 << 90 << false;
        QTest::newRow("changed, images dated in the future") << "future images" << 2 << 150.0 << 90 << false;
        QTest::newRow("changed, size and modification time kept") << "same times" << 2 << 150.0 << 90 << false;
        QTest::newRow("changed within the clock tick of its staging") << "same tick" << 2 << 150.0 << 90 << false;
        QTest::newRow("another resolution") << "" << 2 << 100.0 << 90 << false;
        QTest::newRow("another quality") << "" << 2 << 150.0 << 80 << false;
        QTest::newRow("images without a record (pdftoppm's)") << "pdftoppm" << 2 << 150.0 << 90 << false;
        QTest::newRow("an image of another document copied in") << "other's image" << 2 << 150.0 << 90 << false;
        QTest::newRow("the record of another page") << "page 1 as 2" << 2 << 150.0 << 90 << false;
        QTest::newRow("a record cut off") << "cut 2" << 2 << 150.0 << 90 << false;
        QTest::newRow("the probe counts fewer pages") << "" << 1 << 150.0 << 90 << false;
        QTest::newRow("the probe counts more pages") << "" << 3 << 150.0 << 90 << false;
        QTest::newRow("one page missing") << "remove 2" << 2 << 150.0 << 90 << false;
        QTest::newRow("an image name that is a link") << "link 2" << 2 << 150.0 << 90 << false;
        QTest::newRow("an image name that is a folder") << "folder 2" << 2 << 150.0 << 90 << false;
        QTest::newRow("page count unknown") << "" << 0 << 150.0 << 90 << false;

        // Up to date.
        QTest::newRow("unchanged") << "" << 2 << 150.0 << 90 << true;
        QTest::newRow("unchanged, images made well after it") << "later images" << 2 << 150.0 << 90 << true;
        QTest::newRow("the tree copied with cp -a") << "cp -a" << 2 << 150.0 << 90 << true;
        QTest::newRow("the tree copied with tar") << "tar tree" << 2 << 150.0 << 90 << true;
        QTest::newRow("saved again unchanged") << "touch" << 2 << 150.0 << 90 << true;
        QTest::newRow("images copied without their times") << "copy images" << 2 << 150.0 << 90 << true;
        QTest::newRow("higher pages of an earlier, longer version do not matter") << "longer before" << 2 << 150.0
                                                                                 << 90 << true;
        // Identity as recorded and settled long before the images: its
        // content is not read (the common case stays cheap).
        QTest::newRow("identity as recorded, images made later") << "same tick, later images" << 2 << 150.0 << 90
                                                                 << true;
    }
    void judgement()
    {
        QFETCH(QString, change);
        QFETCH(int, pageCount);
        QFETCH(double, resolution);
        QFETCH(int, quality);
        QFETCH(bool, upToDate);
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkdir("d"));
        const QString dir = work.filePath("d");
        QString document = dir + "/report.pdf";
        auto image = [&](int page) { return dir + QStringLiteral("/report-%1.jpg").arg(page, 3, 10, QChar('0')); };
        const qint64 yesterday = QDateTime::currentSecsSinceEpoch() - 86400;
        const QString older = work.filePath("older.pdf");
        QVERIFY(PdfFixtures::writeBytes(older, version2()) && setTime(older, yesterday));

        if (change == "tar older") {
            QVERIFY(QFile::copy(older, document) && setTime(document, yesterday));
            QVERIFY(run("tar", {"cf", work.filePath("older.tar"), "report.pdf"}, dir));
            QVERIFY(QFile::remove(document));
        }
        if (change == "longer before") {
            QVERIFY(PdfFixtures::writeBytes(document, PdfFixtures::makePdf(3)));
            QVERIFY(render(document, dir + "/report"));
        }
        QVERIFY(PdfFixtures::writeBytes(document, version1()));
        if (change.startsWith("same tick")) {
            // The document changed again after it was staged, within the same
            // tick: the staged copy (version 1) differs from the document
            // (version 2), whose identity the images record.
            const QString staged = work.filePath("staged.pdf");
            QVERIFY(QFile::copy(document, staged));
            QVERIFY(PdfFixtures::writeBytes(document, version2()));
            const std::optional<Platform::SourceIdentity> now = Platform::sourceIdentity(document);
            QVERIFY(now);
            QVERIFY(render(staged, dir + "/report", PDF::sourceIdentityText(*now)));
        } else {
            QVERIFY(render(document, dir + "/report"));
        }
        QVERIFY(QFile::exists(image(1)) && QFile::exists(image(2)));

        const qint64 later = QDateTime::currentSecsSinceEpoch() + 10;
        if (change == "cp -p older") {
            QVERIFY(run("cp", {"-p", older, document}));
        } else if (change == "tar older") {
            QVERIFY(run("tar", {"xf", work.filePath("older.tar")}, dir));
            QCOMPARE(modified(document), yesterday);
        } else if (change == "mv older") {
            QVERIFY(run("mv", {older, document}));
        } else if (change == "future images") {
            QVERIFY(PdfFixtures::writeBytes(document, version2()));
            for (int page : {1, 2})
                QVERIFY(setTime(image(page), later + 365 * 86400));
        } else if (change == "same times") {
            QVERIFY(PdfFixtures::writeBytes(document, version2()));
            // As the record holds it, to the nanosecond.
            const std::optional<PDF::ImageRecord> record = PDF::readImageRecord(read(image(1)));
            QVERIFY(record);
            QVERIFY(setTime(document, record->source.modifiedNs / 1'000'000'000,
                            long(record->source.modifiedNs % 1'000'000'000)));
        } else if (change == "pdftoppm") {
            for (int page : {1, 2})
                QVERIFY(QFile::remove(image(page)));
            QVERIFY(run("pdftoppm", {"-jpeg", "-r", "150", document, dir + "/own"}));
            for (int page : {1, 2})
                QVERIFY(QFile::rename(dir + QStringLiteral("/own-%1.jpg").arg(page), image(page)));
        } else if (change == "other's image") {
            QVERIFY(PdfFixtures::writeBytes(dir + "/other.pdf", version2()));
            QVERIFY(render(dir + "/other.pdf", dir + "/other"));
            QVERIFY(run("cp", {"-p", dir + "/other-002.jpg", image(2)}));
        } else if (change == "page 1 as 2") {
            QVERIFY(run("cp", {"-p", image(1), image(2)}));
        } else if (change == "cut 2") {
            QVERIFY(QFile::resize(image(2), 60));
        } else if (change == "remove 2") {
            QVERIFY(QFile::remove(image(2)));
        } else if (change == "link 2") {
            QVERIFY(QFile::rename(image(2), dir + "/elsewhere.jpg"));
            QVERIFY(QFile::link(dir + "/elsewhere.jpg", image(2)));
        } else if (change == "folder 2") {
            QVERIFY(QFile::remove(image(2)) && QDir(dir).mkdir("report-002.jpg"));
        } else if (change == "later images" || change == "same tick, later images") {
            for (int page : {1, 2})
                QVERIFY(setTime(image(page), later));
        } else if (change == "cp -a") {
            QVERIFY(run("cp", {"-a", dir, work.filePath("copy")}));
            document = work.filePath("copy/report.pdf");
        } else if (change == "tar tree") {
            QVERIFY(QDir(work.path()).mkdir("copy"));
            QVERIFY(run("tar", {"cf", work.filePath("tree.tar"), "."}, dir));
            QVERIFY(run("tar", {"xf", work.filePath("tree.tar")}, work.filePath("copy")));
            document = work.filePath("copy/report.pdf");
        } else if (change == "touch") {
            QVERIFY(setTime(document, later));
        } else if (change == "copy images") {
            for (int page : {1, 2}) {
                QVERIFY(QFile::rename(image(page), image(page) + ".was"));
                QVERIFY(QFile::copy(image(page) + ".was", image(page)));
            }
        }
        const RunVariables::ImageSettings settings{resolution, quality};
        QCOMPARE(PDF::IsUpToDate(document, pageCount, settings), upToDate);
    }

    // The record read back is what the renderer was given.
    void recordNamesItsMaking()
    {
        QTemporaryDir dir;
        const QString document = dir.filePath("doc.pdf");
        QVERIFY(PdfFixtures::writeBytes(document, PdfFixtures::makePdf(3)));
        QVERIFY(run(rendererPath(), {"-r", "72.5", "-q", "33", document, dir.filePath("doc")}));
        const std::optional<Platform::SourceIdentity> identity = Platform::sourceIdentity(document);
        const std::optional<Platform::FileDigest> digest = Platform::fileDigest(document);
        QVERIFY(identity && digest);
        for (int page = 1; page <= 3; ++page) {
            const std::optional<PDF::ImageRecord> record =
                PDF::readImageRecord(read(dir.filePath(QStringLiteral("doc-00%1.jpg").arg(page))));
            QVERIFY(record);
            QCOMPARE(record->page, page);
            QCOMPARE(record->pages, 3);
            QCOMPARE(record->resolution, 72.5);
            QCOMPARE(record->quality, 33);
            QCOMPARE(record->source, *identity);
            QCOMPARE(record->sha256, digest->sha256);
        }
        // Named by the program (its staged copy stands for the document),
        // the identity is taken as given, but only for a file of that size.
        const Platform::SourceIdentity named{identity->size, 11, 22, 33, 44};
        QVERIFY(render(document, dir.filePath("named"), PDF::sourceIdentityText(named)));
        QCOMPARE(PDF::readImageRecord(read(dir.filePath("named-001.jpg")))->source, named);
        const Platform::SourceIdentity wrongSize{identity->size + 1, 11, 22, 33, 44};
        QVERIFY(render(document, dir.filePath("own"), PDF::sourceIdentityText(wrongSize)));
        QCOMPARE(PDF::readImageRecord(read(dir.filePath("own-001.jpg")))->source, *identity);
        QVERIFY(render(document, dir.filePath("garbled"), "size=1 mtime=x"));
        QCOMPARE(PDF::readImageRecord(read(dir.filePath("garbled-001.jpg")))->source, *identity);
    }

    // An image beside a document may be anyone's: whatever its first bytes,
    // reading its record ends, and only a well-formed record of this
    // version counts.
    void hostileImages_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("record");
        const QByteArray jfif = realHead_.left(20);
        const qsizetype comment = realHead_.indexOf("\xFF\xFE");
        QVERIFY(comment == 20);
        const int length = (uchar(realHead_[22]) << 8) | uchar(realHead_[23]);
        const QByteArray text = realHead_.mid(24, length - 2);
        auto com = [](const QByteArray &payload) {
            const int n = int(payload.size()) + 2;
            return QByteArray("\xFF\xFE") + char(n >> 8) + char(n & 0xFF) + payload;
        };
        QTest::newRow("the real one") << realHead_ << true;
        QTest::newRow("the record right after the start of image") << "\xFF\xD8" + com(text) << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("start of image only") << QByteArray("\xFF\xD8") << false;
        QTest::newRow("not a JPEG") << "GIF89a" + com(text) << false;
        QTest::newRow("segment longer than the bytes") << jfif + "\xFF\xFE\xFF\xFF" + text << false;
        QTest::newRow("segment length 0") << jfif + QByteArray("\xFF\xFE\x00\x00", 4) + text << false;
        QTest::newRow("segment length 1") << jfif + QByteArray("\xFF\xFE\x00\x01", 4) + text << false;
        QTest::newRow("after the frame header") << jfif + QByteArray("\xFF\xC0\x00\x02", 4) + com(text) << false;
        QByteArray manyApps = "\xFF\xD8";
        for (int i = 0; i < 16; ++i)
            manyApps += QByteArray("\xFF\xE1\x00\x02", 4);
        QTest::newRow("after sixteen other segments") << manyApps + com(text) << false;
        QTest::newRow("another comment first") << jfif + com("made by hand") + com(text) << true;
        QTest::newRow("another version") << jfif + com(QByteArray(text).replace("image/1 ", "image/2 ")) << false;
        QTest::newRow("a field missing") << jfif + com(text.left(text.lastIndexOf(' '))) << false;
        QTest::newRow("a field more") << jfif + com(text + " x=1") << false;
        QTest::newRow("digest not hex") << jfif + com(QByteArray(text).replace("sha256=", "sha256=g").chopped(1))
                                        << false;
        QTest::newRow("digest too short") << jfif + com(text.chopped(2)) << false;
        QTest::newRow("page 0") << jfif + com(QByteArray(text).replace("page=1 ", "page=0 ")) << false;
        QTest::newRow("page past the count") << jfif + com(QByteArray(text).replace("page=1 ", "page=9 ")) << false;
        QTest::newRow("negative page") << jfif + com(QByteArray(text).replace("page=1 ", "page=-1 ")) << false;
        QTest::newRow("page count out of range")
            << jfif + com(QByteArray(text).replace("pages=1 ", "pages=99999999999999999999 ")) << false;
        QTest::newRow("quality out of range") << jfif + com(QByteArray(text).replace("q=90 ", "q=900 ")) << false;
        QTest::newRow("resolution not a number") << jfif + com(QByteArray(text).replace("r=150 ", "r=nan ")) << false;
        QTest::newRow("resolution infinite") << jfif + com(QByteArray(text).replace("r=150 ", "r=1e999 ")) << false;
        QTest::newRow("two spaces") << jfif + com(QByteArray(text).replace(" q=", "  q=")) << false;
        QTest::newRow("a NUL in it") << jfif + com(QByteArray(text).replace(" q=", QByteArray(" \0q=", 4))) << false;
        QTest::newRow("very long") << jfif + com(text + QByteArray(60000, 'x')) << false;
    }
    void hostileImages()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, record);
        QCOMPARE(bool(PDF::readImageRecord(head)), record);
    }

    // Random damage to a real image's first bytes: never a crash, and what
    // still reads as a record is a sound one.
    void damagedRecordsAreReadSafely()
    {
        QRandomGenerator random(20231);
        for (int round = 0; round < 20000; ++round) {
            QByteArray head = realHead_;
            const int changes = 1 + int(random.bounded(4));
            for (int i = 0; i < changes && !head.isEmpty(); ++i) {
                const qsizetype at = qsizetype(random.bounded(int(qMin<qsizetype>(head.size(), 300))));
                switch (random.bounded(3)) {
                case 0: head[at] = char(random.bounded(256)); break;
                case 1: head.remove(at, 1 + random.bounded(8)); break;
                default: head.truncate(at); break;
                }
            }
            if (const std::optional<PDF::ImageRecord> record = PDF::readImageRecord(head)) {
                QVERIFY(record->page >= 1 && record->page <= record->pages);
                QVERIFY(record->quality <= 100 && record->resolution > 0);
                QCOMPARE(record->sha256.size(), 32);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestUpToDate)
#include "tst_uptodate.moc"
