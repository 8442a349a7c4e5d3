#pragma once

// A render service ("rwrender --serve SOCKET") run by a test, and what the
// test can see of it: its workers (the processes it forked) and the page
// faults of the workers it has reaped (proof that it served a job).

#include "tests/companions/companiontest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

    // Starts the service and waits until it accepts connections.
    bool start()
    {
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

    // Waits until the service has no worker left.
    bool waitUntilIdle(int ms = 10000) const
    {
        QElapsedTimer timer;
        timer.start();
        while (!workers().isEmpty()) {
            if (timer.elapsed() > ms)
                return false;
            QThread::msleep(5);
        }
        return true;
    }

    // Minor page faults of the reaped workers, together: grows with every
    // job the service ran.
    qint64 reapedWorkerFaults() const
    {
        QFile f(QString("/proc/%1/stat").arg(pid()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray stat = f.readAll();
        // Fields after the command name (which ends with the last ')'):
        // state is field 3, cminflt field 11.
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 8 ? fields[8].toLongLong() : -1;
    }

    static QList<qint64> childrenOf(qint64 parent)
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
            if (fields.size() > 1 && fields[1].toLongLong() == parent && fields[0] != "Z")
                children << pid;
        }
        return children;
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QProcess process_;
};

} // namespace CompanionTest
