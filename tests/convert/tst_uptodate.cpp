#include "convert/uptodate.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

// --update's judgement: a document is skipped only when every image of its
// page count stands beside it as a regular file, none older than it.
class TestUpToDate : public QObject {
    Q_OBJECT

    // Sets a file's modification time, to the nanosecond, without following
    // a link.
    static bool setTime(const QString &path, qint64 seconds, long nanoseconds)
    {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
    }
    static bool write(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write("x") == 1;
    }

private slots:
    void judgement_data()
    {
        QTest::addColumn<int>("pageCount");
        QTest::addColumn<int>("images");     // report-001.jpg ... written
        QTest::addColumn<QString>("change"); // what is done to them afterwards
        QTest::addColumn<bool>("upToDate");
        QTest::newRow("all images newer") << 3 << 3 << "" << true;
        QTest::newRow("an image as new as the document, to the nanosecond") << 2 << 2 << "same time" << true;
        QTest::newRow("higher pages of an earlier, longer document do not matter") << 2 << 4 << "" << true;
        QTest::newRow("one page missing") << 3 << 3 << "remove 2" << false;
        QTest::newRow("one image older than the document") << 3 << 3 << "older 3" << false;
        QTest::newRow("one image a nanosecond older") << 3 << 3 << "a nanosecond older 1" << false;
        QTest::newRow("the document has more pages than images") << 4 << 3 << "" << false;
        QTest::newRow("an image name that is a link to a newer image") << 2 << 2 << "link 2" << false;
        QTest::newRow("an image name that is a folder") << 2 << 2 << "folder 2" << false;
        QTest::newRow("page count unknown") << 0 << 3 << "" << false;
    }
    void judgement()
    {
        QFETCH(int, pageCount);
        QFETCH(int, images);
        QFETCH(QString, change);
        QFETCH(bool, upToDate);
        QTemporaryDir dir;
        const QString document = dir.filePath("report.pdf");
        auto image = [&](int page) { return dir.filePath(QStringLiteral("report-%1.jpg").arg(page, 3, 10, QChar('0'))); };
        constexpr qint64 DocumentTime = 1'700'000'000;
        QVERIFY(write(document) && setTime(document, DocumentTime, 500));
        for (int page = 1; page <= images; ++page)
            QVERIFY(write(image(page)) && setTime(image(page), DocumentTime + 10, 0));

        const int page = change.section(' ', -1).toInt();
        if (change == "same time") {
            QVERIFY(setTime(image(1), DocumentTime, 500));
        } else if (change.startsWith("remove")) {
            QVERIFY(QFile::remove(image(page)));
        } else if (change.startsWith("older")) {
            QVERIFY(setTime(image(page), DocumentTime - 60, 0));
        } else if (change.startsWith("a nanosecond older")) {
            QVERIFY(setTime(image(page), DocumentTime, 499));
        } else if (change.startsWith("link")) {
            QVERIFY(QFile::rename(image(page), dir.filePath("elsewhere.jpg")));
            QVERIFY(QFile::link(dir.filePath("elsewhere.jpg"), image(page)));
            QVERIFY(setTime(image(page), DocumentTime + 10, 0));
        } else if (change.startsWith("folder")) {
            QVERIFY(QFile::remove(image(page)) && QDir(dir.path()).mkdir(image(page).section('/', -1)));
            QVERIFY(setTime(image(page), DocumentTime + 10, 0));
        }
        QCOMPARE(PDF::IsUpToDate(document, pageCount), upToDate);
    }
};

QTEST_GUILESS_MAIN(TestUpToDate)
#include "tst_uptodate.moc"
