#include "platform/folderhandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// Folders beneath an opened folder, made and opened through its
// descriptor: what stands in the way (a link, a file, "..") fails, and
// nothing is made where it leads.
class TestFolderHandle : public QObject {
    Q_OBJECT

private slots:
    void openBeneath_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("opens");
        QTest::newRow("this folder") << "" << true;
        QTest::newRow("one level, made") << "new" << true;
        QTest::newRow("two levels, made") << "new/deeper" << true;
        QTest::newRow("an existing folder") << "existing" << true;
        QTest::newRow("doubled slashes") << "existing//below/" << true;
        QTest::newRow("a link at the first level") << "link/below" << false;
        QTest::newRow("a link at the last level") << "existing/link" << false;
        QTest::newRow("a file") << "file/below" << false;
        QTest::newRow("up") << "existing/../escape" << false;
    }
    void openBeneath()
    {
        QFETCH(QString, relative);
        QFETCH(bool, opens);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString base = dir.filePath("base");
        const QString elsewhere = dir.filePath("elsewhere");
        QVERIFY(QDir().mkpath(base + "/existing") && QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, base + "/link") && QFile::link(elsewhere, base + "/existing/link"));
        QFile file(base + "/file");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        QString error;
        const Platform::FolderHandle handle = Platform::FolderHandle::open(base, &error);
        QVERIFY2(handle.isOpen(), qPrintable(error));
        const Platform::FolderHandle beneath = handle.openBeneath(relative, 0750, &error);
        QCOMPARE(beneath.isOpen(), opens);
        QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{});
        QVERIFY(!QFileInfo::exists(dir.filePath("escape")) && !QFileInfo::exists(base + "/escape"));
        if (!opens) {
            QVERIFY2(error.contains("cannot open the folder"), qPrintable(error));
            return;
        }
        const QString path = QDir::cleanPath(base + "/" + relative);
        QVERIFY(QFileInfo(path).isDir());
        // Made with the mode asked for (less the umask), and a file moved in
        // through the handle lands there.
        if (relative.startsWith("new")) {
            struct stat st {};
            QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
            QCOMPARE(st.st_mode & 0027, mode_t(0));
            QCOMPARE(st.st_mode & 0700, mode_t(0700));
        }
        QFile source(dir.filePath("image"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write("x") == 1);
        source.close();
        QVERIFY2(beneath.moveIn(dir.filePath("image"), "image.jpg", 0644, &error), qPrintable(error));
        QVERIFY(QFileInfo::exists(path + "/image.jpg"));
    }
};

QTEST_GUILESS_MAIN(TestFolderHandle)
#include "tst_folderhandle.moc"
