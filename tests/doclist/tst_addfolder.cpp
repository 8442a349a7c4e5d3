#include "doclist/addfolder.h"
#include "platform/eventpump.h"
#include "tests/support/watchingpump.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <unistd.h>

namespace {

// Folders under `root` that this process holds open right now.
int openFoldersUnder(const QString &root)
{
    int open = 0;
    const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &fd : fds) {
        const QString target = fd.symLinkTarget();
        if (target.startsWith(root) && QFileInfo(target).isDir())
            ++open;
    }
    return open;
}

} // namespace

// The add-folder walk: which folders it enters, in which order, and which
// files it picks up. Runs without a display (QtCore only).
class TestAddFolder : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString root; // R

    void touch(const QString &relative)
    {
        QFile f(root + QLatin1Char('/') + relative);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(relative));
    }
    void mkdir(const QString &relative) { QVERIFY(QDir(root).mkpath(relative)); }

private slots:
    void initTestCase()
    {
        // R: a.pdf ~tmp.pdf b.txt .hidden.pdf B/ S/ folder.pdf/ .hid/ loop -> R
        //    B: b1.pdf B1/deep.pdf   S: c.PDF S1/d.pdf   folder.pdf: f.pdf
        //    .hid: x.pdf (never entered)   loop: a link back to R (never followed)
        QVERIFY(dir.isValid());
        root = dir.path() + QStringLiteral("/R");
        QVERIFY(QDir().mkdir(root));
        for (const char *d : {"B/B1", "S/S1", "folder.pdf", ".hid"})
            mkdir(QLatin1String(d));
        for (const char *f : {"a.pdf", "~tmp.pdf", "b.txt", ".hidden.pdf", "B/b1.pdf",
                              "B/B1/deep.pdf", "S/c.PDF", "S/~c.pdf", "S/S1/d.pdf",
                              "folder.pdf/f.pdf", ".hid/x.pdf"})
            touch(QLatin1String(f));
        QVERIFY(QFile::link(root, root + QStringLiteral("/loop")));
        QVERIFY(QFile::link(root + QStringLiteral("/B"), root + QStringLiteral("/S/toB")));
    }

    void collectsLevelByLevel_data()
    {
        QTest::addColumn<bool>("recurse");
        QTest::addColumn<QStringList>("expected"); // relative to R, "" is R itself
        QTest::newRow("recurse") << true
                                 << QStringList{"", "B/", "folder.pdf/", "S/", "B/B1/", "S/S1/"};
        QTest::newRow("first level only") << false << QStringList{"", "B/", "folder.pdf/", "S/"};
    }
    void collectsLevelByLevel()
    {
        QFETCH(bool, recurse);
        QFETCH(QStringList, expected);
        QStringList folders{root + QLatin1Char('/')};
        Fakes::WatchingPump pump;
        AddFolder::CollectSubfolders(folders, recurse, &pump);
        for (QString &e : expected)
            e.prepend(root + QLatin1Char('/'));
        QCOMPARE(folders, expected);
        QVERIFY(pump.calls > 0);
    }

    void collectsBelowEveryListedFolder()
    {
        // Two starting folders: their children come grouped by parent, after both.
        QStringList folders{root + QStringLiteral("/S/"), root + QStringLiteral("/B/")};
        AddFolder::CollectSubfolders(folders, true, nullptr);
        QCOMPARE(folders, (QStringList{root + "/S/", root + "/B/", root + "/S/S1/", root + "/B/B1/"}));
    }

    void documentsFolderByFolder_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("prefix"); // how each path starts
        QTest::newRow("folder") << QString() << QStringLiteral("/");
        // A chosen path ending in a separator (as "/" does) is joined as it
        // stands: the doubled separator stays.
        QTest::newRow("trailing separator kept") << QStringLiteral("/") << QStringLiteral("//");
    }
    void documentsFolderByFolder()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, prefix);
        const QStringList docs = AddFolder::CollectDocuments(root + chosen, nullptr);
        QStringList expected;
        // Hidden file listed, "~" names and b.txt left out, c.PDF matched in
        // any case, a folder named *.pdf entered but not listed, nothing from
        // .hid, and the links neither followed nor listed.
        for (const char *rel : {".hidden.pdf", "a.pdf", "B/b1.pdf", "folder.pdf/f.pdf",
                                "S/c.PDF", "B/B1/deep.pdf", "S/S1/d.pdf"})
            expected << root + prefix + QLatin1String(rel);
        QCOMPARE(docs, expected);
    }

    void keepsOnlyOneFolderOpenWhileEventsRun()
    {
        Fakes::WatchingPump pump;
        int worst = 0;
        pump.onEvents = [&] { worst = std::max(worst, openFoldersUnder(root)); };
        const QStringList docs = AddFolder::CollectDocuments(root, &pump);
        QCOMPARE(docs.size(), 7);
        QCOMPARE(worst, 0);
        // Events run for every entry read: well above the number of folders.
        QVERIFY2(pump.calls >= 20, qPrintable(QString::number(pump.calls)));
    }

    void skipsUnreadableFolders_data()
    {
        QTest::addColumn<bool>("vanish");
        QTest::newRow("no permission") << false;
        QTest::newRow("vanished during the walk") << true;
    }
    void skipsUnreadableFolders()
    {
        QFETCH(bool, vanish);
        QTemporaryDir tmp;
        const QString r = tmp.path();
        for (const char *d : {"A/A1", "Z"})
            QVERIFY(QDir(r).mkpath(QLatin1String(d)));
        for (const char *f : {"top.pdf", "A/a.pdf", "A/A1/deep.pdf", "Z/z.pdf"}) {
            QFile file(r + QLatin1Char('/') + QLatin1String(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        Fakes::WatchingPump pump;
        if (vanish) {
            // Once the first level is collected, A disappears.
            pump.onEvents = [&] {
                if (pump.calls == 3)
                    QVERIFY(QDir(r + QStringLiteral("/A")).removeRecursively());
            };
        } else {
            QVERIFY(QFile::setPermissions(r + QStringLiteral("/A"), QFileDevice::Permissions()));
            if (::access(QFile::encodeName(r + QStringLiteral("/A")).constData(), R_OK) == 0) {
                QFile::setPermissions(r + QStringLiteral("/A"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
                QSKIP("permissions do not restrict this user (root)");
            }
        }
        const QStringList docs = AddFolder::CollectDocuments(r, &pump);
        QFile::setPermissions(r + QStringLiteral("/A"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(docs, (QStringList{r + "/top.pdf", r + "/Z/z.pdf"}));
    }

    void linkCycleTerminates()
    {
        // A tree whose only sub-folder entries are links back up.
        QTemporaryDir tmp;
        const QString r = tmp.path();
        QVERIFY(QDir(r).mkpath(QStringLiteral("a/b")));
        QVERIFY(QFile::link(r, r + QStringLiteral("/a/b/up")));
        QVERIFY(QFile::link(r + QStringLiteral("/a"), r + QStringLiteral("/a/b/side")));
        QStringList folders{r + QLatin1Char('/')};
        AddFolder::CollectSubfolders(folders, true, nullptr);
        QCOMPARE(folders, (QStringList{r + "/", r + "/a/", r + "/a/b/"}));
    }

    void missingFolderGivesNothing()
    {
        QCOMPARE(AddFolder::CollectDocuments(root + QStringLiteral("/no such folder"), nullptr),
                 QStringList());
    }
};

QTEST_GUILESS_MAIN(TestAddFolder)
#include "tst_addfolder.moc"
