#include "platform/eventpump.h"
#include "platform/folderlock.h"
#include "platform/process.h"
#include "tests/support/shellscript.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

using namespace Platform;

// Starting and watching child processes.
class TestProcess : public QObject {
    Q_OBJECT


    static int waitFor(ProcessApi &api, qint64 pid)
    {
        QtEventPump pump;
        for (int i = 0; i < 200; ++i) {
            const std::optional<int> code = api.exitCode(pid);
            if (!code)
                return -1;
            if (*code != StillActive)
                return *code;
            pump.pause(50);
        }
        return -2;
    }

    // True once `pid` no longer runs (gone, or a zombie nobody reaped yet);
    // gives it up to five seconds.
    static bool endsSoon(qint64 pid)
    {
        for (int i = 0; i < 100; ++i) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                return true;
            const QByteArray fields = stat.readAll();
            const qsizetype close = fields.lastIndexOf(')');
            if (close > 0 && fields.mid(close + 2, 1) == "Z")
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    static QString readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private slots:
    void exitCodesAndWorkingFolder()
    {
        QTemporaryDir dir;
        const QString script = TestFiles::writeScript(dir, "prog", "pwd > where.txt; exit 3");
        PosixProcessApi api;
        const StartResult r = api.start({script}, dir.path(), true);
        QVERIFY(r.started());
        QCOMPARE(waitFor(api, r.pid), 3);
        QCOMPARE(api.exitCode(r.pid), std::optional<int>(3)); // asked again, same answer
        QFile where(dir.filePath("where.txt"));
        QVERIFY(where.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(where.readAll().trimmed()), QFileInfo(dir.path()).canonicalFilePath());
        QCOMPARE(api.exitCode(123456789), std::nullopt); // not ours
    }

    void startErrors_data()
    {
        QTest::addColumn<QString>("program"); // relative to the temp folder
        QTest::addColumn<QString>("workingFolder");
        QTest::addColumn<int>("error");
        QTest::newRow("missing file") << "nothing" << "" << int(StartError::FileNotFound);
        QTest::newRow("missing folder") << "nofolder/nothing" << "" << int(StartError::PathNotFound);
        QTest::newRow("not executable") << "plain" << "" << int(StartError::AccessDenied);
        QTest::newRow("a folder") << "sub" << "" << int(StartError::AccessDenied);
        QTest::newRow("missing working folder") << "prog" << "gone" << int(StartError::PathNotFound);
        QTest::newRow("not a program") << "garbage" << "" << int(StartError::BadFormat);
    }
    void startErrors()
    {
        QFETCH(QString, program);
        QFETCH(QString, workingFolder);
        QFETCH(int, error);
        QTemporaryDir dir;
        TestFiles::writeScript(dir, "prog", "exit 0");
        TestFiles::writeScript(dir, "plain", "exit 0", false);
        QDir(dir.path()).mkdir("sub");
        QFile garbage(dir.filePath("garbage"));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("\x7f\x45\x4c\x46 not really");
        garbage.close();
        garbage.setPermissions(garbage.permissions() | QFile::ExeOwner);

        PosixProcessApi api;
        const StartResult r = api.start({dir.filePath(program)},
                                        workingFolder.isEmpty() ? QString() : dir.filePath(workingFolder), true);
        QCOMPARE(int(r.error), error);
        QCOMPARE(r.pid, -1);
    }

    void shellOpenCodes_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("code");
        QTest::newRow("quoted executable starts") << "\"%1/prog\"" << 42;
        QTest::newRow("missing file") << "%1/nothing" << 2;
        QTest::newRow("missing folder") << "%1/nofolder/nothing" << 3;
    }
    void shellOpenCodes()
    {
        QFETCH(QString, target);
        QFETCH(int, code);
        QTemporaryDir dir;
        TestFiles::writeScript(dir, "prog", "exit 0");
        PosixProcessApi api;
        const ShellOpenResult r = api.shellOpen(target.arg(dir.path()), {}, StartOptions{dir.path(), true});
        QCOMPARE(r.code, code);
        QCOMPARE(r.pid > 0, code > 32);
        if (r.pid > 0)
            QCOMPARE(waitFor(api, r.pid), 0);
    }

    // A child never outlives the program that started it: interrupted, the
    // program ends its children first; killed outright, the children get
    // the parent-death signal.
    void childrenDieWithTheProgram_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("INT") << int(SIGINT);
        QTest::newRow("TERM") << int(SIGTERM);
        QTest::newRow("HUP") << int(SIGHUP);
        QTest::newRow("KILL") << int(SIGKILL);
    }
    void childrenDieWithTheProgram()
    {
        QFETCH(int, signal);
        QTemporaryDir dir;
        const QString pidFile = dir.filePath("child.pid");
        QProcess holder;
        holder.start(qEnvironmentVariable("RW_APP_DIR") + "/tests/bin/rw_childholder", {pidFile});
        QVERIFY(holder.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pidFile), 10000);
        const qint64 child = readAll(pidFile).trimmed().toLongLong();
        QVERIFY(child > 0);
        ::kill(pid_t(holder.processId()), signal);
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitStatus(), QProcess::CrashExit);
        QVERIFY(endsSoon(child));
    }

    // The descriptor a child inherits keeps a folder lock held for as long
    // as the child runs, after the starter has let go of it.
    void inheritedLockOutlivesTheStarter()
    {
        QTemporaryDir dir;
        const QString lockFile = dir.filePath("slot.lock");
        Platform::FolderLock mine(lockFile);
        QCOMPARE(mine.tryLock(), Platform::FolderLock::State::Locked);
        const QString script = TestFiles::writeScript(dir, "prog", "while [ ! -e go ]; do sleep 0.05; done");
        PosixProcessApi api;
        StartOptions options{dir.path(), true};
        options.inheritDescriptor = mine.descriptor();
        const StartResult r = api.start({script}, options);
        QVERIFY(r.started());
        mine.unlock();

        Platform::FolderLock other(lockFile);
        QCOMPARE(other.tryLock(), Platform::FolderLock::State::Busy);
        QVERIFY(QFile(dir.filePath("go")).open(QIODevice::WriteOnly));
        QCOMPARE(waitFor(api, r.pid), 0);
        QCOMPARE(other.tryLock(), Platform::FolderLock::State::Locked);
    }

    // The child's error stream goes to the named file (never through a
    // link), and its environment carries the given settings on top of ours.
    void errorFileAndEnvironment()
    {
        QTemporaryDir dir;
        const QString script = TestFiles::writeScript(
            dir, "prog", "echo \"setting=$RW_TEST_SETTING home=${HOME:+set}\" >&2; echo out");
        PosixProcessApi api;
        StartOptions options{dir.path(), true};
        options.errorFile = dir.filePath("errors.txt");
        options.environment = {"RW_TEST_SETTING=a b=c"};
        const StartResult r = api.start({script}, options);
        QVERIFY(r.started());
        QCOMPARE(waitFor(api, r.pid), 0);
        QCOMPARE(readAll(options.errorFile), QString("setting=a b=c home=set\n"));

        // A link planted at the error file's name is not followed.
        QVERIFY(QFile::link(dir.filePath("elsewhere.txt"), dir.filePath("planted.txt")));
        options.errorFile = dir.filePath("planted.txt");
        QVERIFY(!api.start({script}, options).started());
        QVERIFY(!QFile::exists(dir.filePath("elsewhere.txt")));
    }

    void terminateAllEndsChildrenAndTheirChildren()
    {
        QTemporaryDir dir;
        // The child starts a grandchild that would write a file later, and
        // says so once it has.
        const QString script = TestFiles::writeScript(
            dir, "prog", "(sleep 3; touch late.txt) & echo $! > grandchild.tmp; mv grandchild.tmp grandchild; sleep 30");
        PosixProcessApi api;
        const StartResult r = api.start({script}, dir.path(), true);
        QVERIFY(r.started());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("grandchild")), 10000);
        const qint64 grandchild = readAll(dir.filePath("grandchild")).trimmed().toLongLong();
        QVERIFY(grandchild > 0);
        api.terminateAll();
        QVERIFY(endsSoon(grandchild));
        QVERIFY(!QFile::exists(dir.filePath("late.txt")));
        QCOMPARE(api.exitCode(r.pid), std::optional<int>(128 + SIGTERM));
    }

    // A new child that gets the number of one that ended is a new child:
    // it runs, and the old one's exit status is not read as its own. In a
    // PID namespace of its own (as root), the helper makes the next number
    // handed out that of its first, ended child.
    void recycledPidIsANewChild()
    {
        if (::geteuid() != 0)
            QSKIP("needs root, as in CI, to hand out a chosen process number");
        const QString unshare = QStandardPaths::findExecutable("unshare");
        QVERIFY2(!unshare.isEmpty(), "unshare (util-linux) is missing");
        QProcess helper;
        helper.start(unshare, {"--pid", "--fork", "--mount-proc",
                               qEnvironmentVariable("RW_APP_DIR") + "/tests/bin/rw_pidreuse"});
        QVERIFY(helper.waitForStarted());
        QVERIFY(helper.waitForFinished(60000));
        const QByteArray errors = helper.readAllStandardError();
        if (helper.exitCode() != 0 && errors.contains("unshare failed"))
            QSKIP(qPrintable("no PID namespace may be made here: " + QString::fromLocal8Bit(errors)));
        QVERIFY2(helper.exitCode() == 0, errors.constData());
        QVERIFY2(helper.readAllStandardOutput().contains("same number"), errors.constData());
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
