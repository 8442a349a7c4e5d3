#pragma once

// Running the built program from a command-line test: no display and no Qt
// platform chosen, optionally as `nobody` (when the test runs as root,
// where file modes do not bite), with a bounded wait.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <unistd.h>

namespace CliTest {

// The processes whose command line names something in `folder`, each as
// "pid: command line" (what is left running of a run in that folder).
inline QStringList processesUnder(const QString &folder)
{
    QStringList found;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (pid.toInt() <= 0 || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = cmdline.readAll().replace('\0', ' ');
        if (text.contains(QFile::encodeName(folder)))
            found << pid + ": " + QString::fromLocal8Bit(text);
    }
    return found;
}

struct Finished {
    int status = -1; // -1: did not finish normally within two minutes
    QByteArray out;
    QByteArray err;
};

// The environment of a run, with `extra` "NAME=value" entries.
inline QProcessEnvironment runEnvironment(const QStringList &extra = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    for (const QString &entry : extra)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    return env;
}

inline Finished run(const QString &program, const QStringList &args, const QProcessEnvironment &env,
                    bool asNobody = false, const QByteArray &input = {})
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (asNobody && ::geteuid() == 0)
        p.start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", program}
                               + args);
    else
        p.start(program, args);
    if (!p.waitForStarted())
        return {};
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    Finished f;
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return f;
    f.status = p.exitCode();
    f.out = p.readAllStandardOutput();
    f.err = p.readAllStandardError();
    return f;
}

inline QString builtProgram() { return qEnvironmentVariable("RW_APP_DIR") + "/rasterwell"; }

// A copy of the program in the application folder `appFolder`, so that it
// finds the companions beside itself there.
inline QString installProgram(const QString &appFolder)
{
    const QString copy = appFolder + "/rasterwell";
    return QFile::copy(builtProgram(), copy) ? copy : QString();
}

} // namespace CliTest
