#include "doclist/addfolder.h"
#include "platform/eventpump.h"
#include "tests/support/watchingpump.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <functional>
#include <pwd.h>
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

struct WalkOutput {
    bool ran = false;
    QString error;
    QStringList documents, unentered;
};

// Runs the walk program on `folder`: as "nobody" when this test runs as
// root (root is never refused a folder), as this user otherwise. The program
// is copied into `reachable` first, since the build folder may be closed to
// other users.
WalkOutput walkAsUnprivilegedUser(const QString &reachable, const QString &folder)
{
    WalkOutput out;
    const QString program = reachable + QStringLiteral("/rw_walkfolder");
    if (!QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/rw_walkfolder"), program)) {
        out.error = QStringLiteral("cannot copy rw_walkfolder");
        return out;
    }
    QProcess p;
    if (::geteuid() == 0) {
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody) {
            out.error = QStringLiteral("no user \"nobody\" to run the walk as");
            return out;
        }
        p.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                 QStringLiteral("--regid=%1").arg(nobody->pw_gid), QStringLiteral("--clear-groups"),
                 QStringLiteral("--"), program, folder});
    } else {
        p.start(program, {folder});
    }
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        out.error = QStringLiteral("the walk program failed: ") + QString::fromUtf8(p.readAllStandardError());
        return out;
    }
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("D\t")))
            out.documents << line.mid(2);
        else if (line.startsWith(QLatin1String("U\t")))
            out.unentered << line.mid(2);
    }
    out.ran = true;
    return out;
}

// Makes a chain of folders below `base` that reaches past the longest path
// the system opens, one step at a time from the working folder. Returns the
// first folder of the chain that the walk cannot open ("" on failure).
QString makeChainBeyondPathLimit(const QString &base)
{
    const QString previous = QDir::currentPath();
    const QString name(200, QLatin1Char('n'));
    QString path = base;
    QString firstTooLong;
    bool ok = QDir::setCurrent(base);
    // The walk opens each folder with a trailing separator.
    while (ok && path.toUtf8().size() < 2 * PATH_MAX) {
        ok = QDir().mkdir(name) && QDir::setCurrent(name);
        path += QLatin1Char('/') + name;
        if (firstTooLong.isEmpty() && path.toUtf8().size() + 1 >= PATH_MAX)
            firstTooLong = path;
    }
    QDir::setCurrent(previous);
    return ok ? firstTooLong : QString();
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

    // The walk as the user it runs for: root reads every folder, so rows
    // that need an unreadable one run the walk program as "nobody".
    void reportsFoldersItCannotEnter_data()
    {
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QStringList>("documents"); // relative to the chosen folder
        QTest::addColumn<QStringList>("unentered"); // relative; "" is the chosen folder
        QTest::newRow("unreadable sub-folder")
            << "unreadable sub-folder" << QStringList{"top.pdf", "Z/z.pdf"}
            << QStringList{"A: permission denied"};
        QTest::newRow("unreadable chosen folder")
            << "unreadable chosen folder" << QStringList{} << QStringList{": permission denied"};
        QTest::newRow("hidden folders and links are not entered, not reported")
            << "hidden and linked" << QStringList{"ok.pdf"} << QStringList{};
        QTest::newRow("path too long") << "path too long" << QStringList{"L/a.pdf"}
                                       << QStringList{"%LONG: path too long"};
    }
    void reportsFoldersItCannotEnter()
    {
        QFETCH(QString, tree);
        QFETCH(QStringList, documents);
        QFETCH(QStringList, unentered);
        QTemporaryDir tmp;
        // Reachable by the unprivileged user: the tree and the walk program.
        QVERIFY(QFile::setPermissions(tmp.path(), QFile::Permissions(0x7755)));
        const QString r = tmp.path() + QStringLiteral("/R");
        auto make = [&](const QStringList &folders, const QStringList &files) {
            for (const QString &d : folders)
                QVERIFY(QDir(r).mkpath(d));
            for (const QString &f : files) {
                QFile file(r + QLatin1Char('/') + f);
                QVERIFY(file.open(QIODevice::WriteOnly));
            }
        };
        QVERIFY(QDir().mkpath(r));
        QString closed; // the folder made unreadable, opened again afterwards
        QString longFolder;
        if (tree == "unreadable sub-folder") {
            make({"A/A1", "Z"}, {"top.pdf", "A/a.pdf", "A/A1/deep.pdf", "Z/z.pdf"});
            closed = r + QStringLiteral("/A");
        } else if (tree == "unreadable chosen folder") {
            make({"S"}, {"a.pdf", "S/b.pdf"});
            closed = r;
        } else if (tree == "hidden and linked") {
            make({".hid", "outside"}, {"ok.pdf", ".hid/x.pdf", "outside/y.pdf"});
            QVERIFY(QFile::rename(r + "/outside", tmp.path() + "/outside"));
            QVERIFY(QFile::link(tmp.path() + "/outside", r + "/link"));
            QVERIFY(QFile::setPermissions(tmp.path() + "/outside", QFile::Permissions()));
            closed = r + QStringLiteral("/.hid");
        } else {
            make({"L"}, {"L/a.pdf"});
            longFolder = makeChainBeyondPathLimit(r + QStringLiteral("/L"));
            QVERIFY(!longFolder.isEmpty());
        }
        if (!closed.isEmpty())
            QVERIFY(QFile::setPermissions(closed, QFile::Permissions()));

        const WalkOutput out = walkAsUnprivilegedUser(tmp.path(), r);
        if (!closed.isEmpty())
            QFile::setPermissions(closed, QFile::Permissions(0x7700));
        QFile::setPermissions(tmp.path() + "/outside", QFile::Permissions(0x7700));
        if (!longFolder.isEmpty())
            QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), QStringLiteral("--"), r + "/L"});
        QVERIFY2(out.ran, qPrintable(out.error));

        for (QString &d : documents)
            d = r + QLatin1Char('/') + d;
        for (QString &u : unentered) {
            if (u.startsWith(QLatin1String("%LONG")))
                u.replace(0, 5, longFolder);
            else
                u = (u.startsWith(QLatin1Char(':')) ? r : r + QLatin1Char('/')) + u;
        }
        QCOMPARE(out.documents, documents);
        QCOMPARE(out.unentered, unentered);
    }

    void reportsFolderThatVanishesDuringTheWalk()
    {
        QTemporaryDir tmp;
        const QString r = tmp.path();
        for (const char *d : {"A/A1", "Z"})
            QVERIFY(QDir(r).mkpath(QLatin1String(d)));
        for (const char *f : {"top.pdf", "A/a.pdf", "A/A1/deep.pdf", "Z/z.pdf"}) {
            QFile file(r + QLatin1Char('/') + QLatin1String(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        Fakes::WatchingPump pump;
        // Once the first level is collected, A disappears.
        pump.onEvents = [&] {
            if (pump.calls == 3)
                QVERIFY(QDir(r + QStringLiteral("/A")).removeRecursively());
        };
        QStringList unentered;
        const QStringList docs = AddFolder::CollectDocuments(r, &pump, &unentered);
        QCOMPARE(docs, (QStringList{r + "/top.pdf", r + "/Z/z.pdf"}));
        QCOMPARE(unentered, QStringList{r + "/A: no such file or directory"});
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
