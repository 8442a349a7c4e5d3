#pragma once

// A render service ("rwrender --serve SOCKET") run by a test, and what the
// test can see of it: its workers (the processes it forked), which of them
// are in a job, and what they did (proof that it served a job).

#include "tests/companions/companiontest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <memory>

namespace CompanionTest {

class ServiceProcess {
public:
    ServiceProcess() : dir_(std::make_unique<QTemporaryDir>()) {}
    ~ServiceProcess() { stop(); }

    QString socket() const { return dir_->filePath("render.sock"); }

    // Starts the service and waits until it accepts connections. By
    // default in the temporary folder, beneath the test folders of its
    // jobs: a worker reads and writes only beneath the service's own folder.
    bool start(const QString &folder = QDir::tempPath())
    {
        process_.setWorkingDirectory(folder);
        process_.start(renderer(), {"--serve", socket()});
        if (!process_.waitForStarted(10000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000 && process_.state() == QProcess::Running) {
            if (QFile::exists(socket()))
                return true;
            QThread::msleep(5);
        }
        return false;
    }

    void stop()
    {
        if (process_.state() == QProcess::Running) {
            process_.terminate();
            process_.waitForFinished(10000);
        }
    }

    qint64 pid() const { return process_.processId(); }
    bool running() const { return process_.state() == QProcess::Running; }

    // The environment that names this service.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("RASTERWELL_RENDER_SERVICE", socket());
        return env;
    }

    // The service's children: its workers.
    QList<qint64> workers() const { return childrenOf(pid()); }

    // Its workers in a job (an idle worker waits in the root folder).
    QList<qint64> busyWorkers() const
    {
        QList<qint64> busy;
        for (qint64 pid : workers())
            if (QFileInfo(QString("/proc/%1/cwd").arg(pid)).symLinkTarget() != "/")
                busy << pid;
        return busy;
    }

    // Waits until no worker is in a job.
    bool waitUntilIdle(int ms = 10000) const
    {
        QElapsedTimer timer;
        timer.start();
        while (!busyWorkers().isEmpty()) {
            if (timer.elapsed() > ms)
                return false;
            QThread::msleep(5);
        }
        return true;
    }

    // The read calls of the service and its workers, those alive and
    // those reaped (whose counts pass to the service): grows with every
    // job the service runs, since every job reads its document.
    qint64 workerActivity() const
    {
        // An ended worker's counts pass on when it is reaped, at once.
        QElapsedTimer timer;
        timer.start();
        while (childrenOf(pid(), true).size() > workers().size() && timer.elapsed() < 5000)
            QThread::msleep(2);
        qint64 reads = readCalls(pid());
        for (qint64 worker : workers())
            reads += readCalls(worker);
        return reads;
    }

    static qint64 readCalls(qint64 pid)
    {
        QFile f(QString("/proc/%1/io").arg(pid));
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &line : f.readAll().split('\n'))
                if (line.startsWith("syscr:"))
                    return line.mid(6).trimmed().toLongLong();
        return 0;
    }

    static QList<qint64> childrenOf(qint64 parent, bool withEnded = false)
    {
        QList<qint64> children;
        const QStringList entries = QDir("/proc").entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            bool ok = false;
            const qint64 pid = entry.toLongLong(&ok);
            if (!ok)
                continue;
            QFile f("/proc/" + entry + "/stat");
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QByteArray stat = f.readAll();
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields[1].toLongLong() == parent
                && (withEnded || fields[0] != "Z"))
                children << pid;
        }
        return children;
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QProcess process_;
};

} // namespace CompanionTest
