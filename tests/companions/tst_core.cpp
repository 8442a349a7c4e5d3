// The companions' small POSIX core (companions/common): a child waited for
// on its pidfd, its process group killed before it is reaped, the file
// lock and its holders, and the helper runner's limit.

#include "common/child.h"
#include "common/fd.h"
#include "common/filelock.h"
#include "common/subprocess.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Waits in the child until `gate` ends (its write end is closed).
[[noreturn]] void waitForGate(int gate, int status)
{
    char byte;
    while (::read(gate, &byte, 1) < 0 && errno == EINTR) {
    }
    ::_exit(status);
}

// A pipe whose ends close with it.
struct Pipe {
    rw::Fd read;
    rw::Fd write;
    Pipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
    }
};

} // namespace

class TestCore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Orphaned grandchildren come to this process, so that the test can
        // wait for their end.
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }

    void waitEndsWithTheChild_data()
    {
        QTest::addColumn<int>("limitMs");
        QTest::newRow("with a limit") << 60'000;
        QTest::newRow("without a limit") << -1;
    }
    void waitEndsWithTheChild()
    {
        QFETCH(int, limitMs);
        Pipe gate;
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            gate.write.reset();
            waitForGate(gate.read.get(), 7);
        }
        gate.read.reset();
        rw::Child child(pid);
        QVERIFY(child.pidfd() >= 0);
        // Still running: the wait reports its limit, nothing is reaped.
        QVERIFY(!child.waitEnded(0ms));
        QVERIFY(!child.waitEnded(20ms));
        QVERIFY(!child.ended());
        QVERIFY(!child.reap(false));

        gate.write.reset(); // the child ends now
        QVERIFY(child.waitEnded(std::chrono::milliseconds(limitMs)));
        // Ended, but not reaped by the wait: its number is still its own.
        QVERIFY(child.active());
        QVERIFY(child.ended());
        const std::optional<int> status = child.reap(false);
        QVERIFY(status);
        QVERIFY(WIFEXITED(*status));
        QCOMPARE(WEXITSTATUS(*status), 7);
        // Reaped: nothing more is read or sent through it.
        QVERIFY(!child.active());
        QVERIFY(!child.reap(true));
        QVERIFY(!child.signal(SIGKILL));
        QVERIFY(!child.signalGroup(SIGKILL));
    }

    void childReapedElsewhereIsLost()
    {
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0)
            ::_exit(0);
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        // Its status of 0 is gone with it: never read as a success.
        rw::Child child(pid);
        QCOMPARE(child.reap(true), std::optional<int>(rw::Child::Lost));
    }

    void groupKilledBeforeTheLeaderIsReaped()
    {
        Pipe report;
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            ::setpgid(0, 0);
            const pid_t grandchild = ::fork();
            if (grandchild == 0)
                for (;;)
                    ::pause();
            [[maybe_unused]] const ssize_t n = ::write(report.write.get(), &grandchild, sizeof grandchild);
            for (;;)
                ::pause();
        }
        ::setpgid(pid, pid);
        report.write.reset();
        rw::Child child(pid);
        pid_t grandchild = -1;
        QCOMPARE(::read(report.read.get(), &grandchild, sizeof grandchild), ssize_t(sizeof grandchild));
        QVERIFY(grandchild > 0);

        const int status = child.killGroupAndReap();
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGKILL);
        // The grandchild went with the group; it comes to this process,
        // which reaps it.
        rw::Child orphan(grandchild);
        const auto cleanUp = qScopeGuard([&orphan] {
            if (orphan.active() && orphan.signal(SIGKILL))
                orphan.reap(true);
        });
        QVERIFY2(orphan.waitEnded(60s), "the grandchild outlived its group");
        const std::optional<int> orphanStatus = orphan.reap(true);
        QVERIFY(orphanStatus);
        QVERIFY(WIFSIGNALED(*orphanStatus));
        QCOMPARE(WTERMSIG(*orphanStatus), SIGKILL);
    }

    void lockHeldByAnotherProcess()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string path = dir.filePath("rasterwell.lock").toStdString();
        Pipe locked;
        Pipe gate;
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            gate.write.reset();
            rw::FileLock theirs(path);
            const char byte = theirs.tryLock() == rw::FileLock::State::Locked ? 'L' : 'F';
            [[maybe_unused]] const ssize_t n = ::write(locked.write.get(), &byte, 1);
            waitForGate(gate.read.get(), 0);
        }
        rw::Child child(pid);
        gate.read.reset();
        locked.write.reset();
        char byte = 0;
        QCOMPARE(::read(locked.read.get(), &byte, 1), ssize_t(1));
        QCOMPARE(byte, 'L');

        rw::FileLock mine(path);
        QCOMPARE(mine.tryLock(), rw::FileLock::State::Busy);
        QCOMPARE(mine.lockWithin(0ms), rw::FileLock::State::Busy);
        QCOMPARE(mine.descriptor(), -1);
        // The holder is named; our own open descriptor is not.
        const std::vector<rw::FileLock::Holder> holders = mine.holders();
        QCOMPARE(holders.size(), std::size_t(1));
        QCOMPARE(holders[0].pid, pid);
        QVERIFY(!holders[0].name.empty());

        // The lock goes with its holder.
        gate.write.reset();
        QVERIFY(child.waitEnded(60s));
        QCOMPARE(child.reap(true).value_or(-1), 0);
        QCOMPARE(mine.lockWithin(60s), rw::FileLock::State::Locked);
        QVERIFY(mine.descriptor() >= 0);
        QVERIFY(mine.holders().empty());

        // Given up with the file kept open, it can be taken again.
        mine.unlock(true);
        QVERIFY(mine.isOpen());
        rw::FileLock other(path);
        QCOMPARE(other.tryLock(), rw::FileLock::State::Locked);
        QCOMPARE(mine.tryLock(), rw::FileLock::State::Busy);
        other.unlock();
        QVERIFY(!other.isOpen());
        QCOMPARE(mine.tryLock(), rw::FileLock::State::Locked);
    }

    void lockFileThatIsNoFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("why");
        QTest::newRow("a symbolic link") << "link" << "it is a symbolic link";
        QTest::newRow("a FIFO") << "fifo" << "it is not a regular file";
        QTest::newRow("a folder") << "folder" << QString::fromLocal8Bit(std::strerror(EISDIR));
    }
    void lockFileThatIsNoFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, why);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray path = QFile::encodeName(dir.filePath("rasterwell.lock"));
        const QByteArray target = QFile::encodeName(dir.filePath("elsewhere"));
        if (kind == "link")
            QCOMPARE(::symlink(target.constData(), path.constData()), 0);
        else if (kind == "fifo")
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        else
            QCOMPARE(::mkdir(path.constData(), 0700), 0);
        rw::FileLock lock(path.toStdString());
        QCOMPARE(lock.tryLock(), rw::FileLock::State::Failed);
        QCOMPARE(QString::fromStdString(lock.why()), why);
        QVERIFY(!lock.isOpen());
        // Nothing was made where a link pointed.
        QVERIFY(!QFile::exists(QFile::decodeName(target)));
    }

    void helperRunnerLimit_data()
    {
        QTest::addColumn<QStringList>("argv");
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("errors");
        QTest::newRow("ends within its limit")
            << QStringList{"sh", "-c", "echo out; echo err >&2; exit 3"} << 60'000 << false << 3 << "out\n"
            << "err\n";
        QTest::newRow("without a limit") << QStringList{"sh", "-c", "echo out"} << 0 << false << 0 << "out\n"
                                         << "";
        QTest::newRow("past its limit") << QStringList{"sleep", "600"} << 100 << true << -1 << "" << "";
    }
    void helperRunnerLimit()
    {
        QFETCH(QStringList, argv);
        QFETCH(int, limitMs);
        QFETCH(bool, timedOut);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QString, errors);
        std::vector<std::string> args;
        for (const QString &a : argv)
            args.push_back(a.toStdString());
        const rw::ProcessResult result = rw::runProcess(args, std::chrono::milliseconds(limitMs), true, true);
        QVERIFY(result.started);
        QCOMPARE(result.timedOut, timedOut);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(QString::fromStdString(result.output), output);
        QCOMPARE(QString::fromStdString(result.errors), errors);
        // Every child reaped: none is left for this process.
        QCOMPARE(::waitpid(-1, nullptr, WNOHANG), pid_t(-1));
        QCOMPARE(errno, ECHILD);
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
