#include "fileutil/fileutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace FileUtil;

class TestFileUtil : public QObject {
    Q_OBJECT

    static void touch(const QString &path)
    {
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    }

private slots:
    void fileExists_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("expected");
        QTest::newRow("existing file") << "a.pdf" << true;
        QTest::newRow("missing file") << "nope.pdf" << false;
        QTest::newRow("missing folder") << "nofolder/a.pdf" << false;
        QTest::newRow("unicode name") << "äöü ß.pdf" << true;
        QTest::newRow("empty text") << "" << false;
    }
    void fileExists()
    {
        QFETCH(QString, relative);
        QFETCH(bool, expected);
        QTemporaryDir dir;
        touch(dir.filePath("a.pdf"));
        touch(dir.filePath(QString::fromUtf8("äöü ß.pdf")));
        const QString path = relative.isEmpty() ? QString() : dir.filePath(relative);
        QCOMPARE(FileExists(path), expected);
    }

    void deleteQuietly_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("one file") << "current.pdf"
                                  << QStringList{"current-001.jpg", "current-002.jpg", "keep.jpg", "sub.jpg"};
        QTest::newRow("wildcard") << "current*.jpg" << QStringList{"current.pdf", "keep.jpg", "sub.jpg"};
        QTest::newRow("wildcard any case") << "CURRENT-00?.JPG"
                                           << QStringList{"current.pdf", "keep.jpg", "sub.jpg"};
        QTest::newRow("missing file") << "nothing.pdf"
                                      << QStringList{"current-001.jpg", "current-002.jpg", "current.pdf", "keep.jpg", "sub.jpg"};
        QTest::newRow("never a folder") << "sub.jpg"
                                        << QStringList{"current-001.jpg", "current-002.jpg", "current.pdf", "keep.jpg", "sub.jpg"};
        QTest::newRow("wildcard spares folders") << "*.jpg" << QStringList{"current.pdf", "sub.jpg"};
    }
    void deleteQuietly()
    {
        QFETCH(QString, target);
        QFETCH(QStringList, remaining);
        QTemporaryDir dir;
        for (const char *n : {"current.pdf", "current-001.jpg", "current-002.jpg", "keep.jpg"})
            touch(dir.filePath(n));
        QVERIFY(QDir(dir.path()).mkdir("sub.jpg"));
        DeleteQuietly(dir.filePath(target));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                            QDir::Name | QDir::IgnoreCase),
                 remaining);
    }

    // A path that names nothing removes nothing: not the current folder's
    // files for an empty path, nothing beside a missing folder.
    void deleteQuietlyIgnoresBadPaths()
    {
        QTemporaryDir dir;
        for (const char *n : {"current.pdf", "current-001.jpg", "file"})
            touch(dir.filePath(n));
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const auto back = qScopeGuard([&] { QDir::setCurrent(saved); });
        DeleteQuietly(QString());
        DeleteQuietly(dir.filePath("no such folder/*.jpg"));
        DeleteQuietly(dir.filePath("no such folder/file"));
        DeleteQuietly(dir.filePath("file/*"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                            QDir::Name | QDir::IgnoreCase),
                 (QStringList{"current-001.jpg", "current.pdf", "file"}));
    }

    void listFiles_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no match") << QStringList{"a.txt"} << QStringList{} << "*.pdf" << QStringList{};
        QTest::newRow("case-insensitive match, sorted by name")
            << QStringList{"b.pdf", "c.PDF", "A.pdf", "d.pdfx"} << QStringList{} << "*.pdf"
            << QStringList{"A.pdf", "b.pdf", "c.PDF"};
        // Upper-cased names compare, so "_" and "[" sort after the letters;
        // names equal but for case keep a fixed order.
        QTest::newRow("punctuation after letters")
            << QStringList{"b.pdf", "_x.pdf", "[b].pdf", "a.pdf", "A.pdf", "Z.pdf", "0.pdf"}
            << QStringList{} << "*.pdf"
            << QStringList{"0.pdf", "A.pdf", "a.pdf", "b.pdf", "Z.pdf", "[b].pdf", "_x.pdf"};
        QTest::newRow("hidden files listed") << QStringList{".hidden.pdf", "v.pdf"} << QStringList{}
                                             << "*.pdf" << QStringList{".hidden.pdf", "v.pdf"};
        QTest::newRow("folders never listed") << QStringList{"x.pdf"} << QStringList{"folder.pdf"}
                                              << "*.pdf" << QStringList{"x.pdf"};
        QTest::newRow("page images") << QStringList{"current-001.jpg", "current-002.jpg", "current.pdf", "other.jpg"}
                                     << QStringList{} << "current*.jpg"
                                     << QStringList{"current-001.jpg", "current-002.jpg"};
        QTest::newRow("question mark") << QStringList{"a1.pdf", "a12.pdf"} << QStringList{}
                                       << "a?.pdf" << QStringList{"a1.pdf"};
        QTest::newRow("unicode names") << QStringList{QString::fromUtf8("Ärger.pdf"), QString::fromUtf8("日本.pdf")}
                                       << QStringList{} << "*.pdf"
                                       << QStringList{QString::fromUtf8("Ärger.pdf"), QString::fromUtf8("日本.pdf")};
    }
    void listFiles()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(QString, pattern);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        for (const QString &f : files)
            touch(dir.filePath(f));
        for (const QString &f : folders)
            QVERIFY(QDir(dir.path()).mkdir(f));
        QCOMPARE(ListFiles(dir.path(), pattern), expected);
        QCOMPARE(ListFiles(dir.path() + "/", pattern), expected);
    }

    void listFilesManyMatches_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("100") << 100;
        QTest::newRow("101") << 101;
        QTest::newRow("1000") << 1000;
    }
    void listFilesManyMatches()
    {
        QFETCH(int, count);
        QTemporaryDir dir;
        QStringList expected;
        for (int i = 1; i <= count; ++i) {
            const QString name = QStringLiteral("current-%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
            touch(dir.filePath(name));
            expected << name;
        }
        QCOMPARE(ListFiles(dir.path(), "current*.jpg"), expected);
    }

    void listFilesMissingFolderIsEmpty()
    {
        QVERIFY(ListFiles(QStringLiteral("/no/such/folder"), "*.pdf").isEmpty());
    }

    void stripExtension_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "/docs/report.pdf" << "/docs/report";
        QTest::newRow("two extensions keep the first") << "/a.b/c.d.pdf" << "/a.b/c.d";
        QTest::newRow("dotted folder, no extension") << "/data/my.docs/report" << "/data/my.docs/report";
        QTest::newRow("dotted folder") << "/data/my.docs/report.pdf" << "/data/my.docs/report";
        QTest::newRow("upper case") << "/docs/REPORT.PDF" << "/docs/REPORT";
        QTest::newRow("trailing dot") << "/docs/report." << "/docs/report";
        QTest::newRow("bare extension") << ".pdf" << "";
        QTest::newRow("no dot") << "readme" << "readme";
        QTest::newRow("relative") << "report.pdf" << "report";
    }
    void stripExtension()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(StripExtension(text), expected);
    }
};

QTEST_GUILESS_MAIN(TestFileUtil)
#include "tst_fileutil.moc"
