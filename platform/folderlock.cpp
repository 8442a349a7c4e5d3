#include "platform/folderlock.h"

#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

FolderLock::FolderLock(QString lockFilePath) : path_(std::move(lockFilePath)) {}

FolderLock::~FolderLock()
{
    unlock();
}

FolderLock::State FolderLock::tryLock()
{
    if (locked_)
        return State::Locked;
    if (fd_ < 0) {
        // Never through a link (a planted link would make us create or lock a
        // file elsewhere), and never blocking on a FIFO planted in its place.
        const QByteArray native = encodePath(path_);
        fd_ = ::open(native.constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644);
        if (fd_ < 0) {
            error_ = errno == ELOOP ? QStringLiteral("it is a symbolic link") : errorText(errno);
            return State::Failed;
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            error_ = QStringLiteral("it is not a regular file");
            ::close(fd_);
            fd_ = -1;
            return State::Failed;
        }
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return State::Locked;
    }
    if (errno == EWOULDBLOCK || errno == EINTR)
        return State::Busy;
    error_ = errorText(errno);
    return State::Failed;
}

QString FolderLock::holders() const
{
    struct stat lockFile {};
    if (::stat(encodePath(path_).constData(), &lockFile) != 0)
        return {};
    const pid_t self = ::getpid();
    QStringList found;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return {};
    while (const dirent *p = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const QByteArray fdFolder = QByteArray("/proc/") + p->d_name + "/fd";
        DIR *fds = ::opendir(fdFolder.constData());
        if (!fds)
            continue;
        bool holds = false;
        while (const dirent *f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            if (pid == self && std::atoi(f->d_name) == fd_)
                continue;
            struct stat st {};
            if (::stat((fdFolder + '/' + f->d_name).constData(), &st) == 0
                && st.st_dev == lockFile.st_dev && st.st_ino == lockFile.st_ino) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds)
            continue;
        QString name;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly))
            name = QString::fromLocal8Bit(comm.readAll()).trimmed();
        found << (name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                                 : QStringLiteral("process %1 (%2)").arg(pid).arg(name));
    }
    ::closedir(proc);
    return found.join(QStringLiteral(", "));
}

void FolderLock::unlock()
{
    if (fd_ >= 0) {
        // Closing the descriptor releases the lock.
        ::close(fd_);
        fd_ = -1;
    }
    locked_ = false;
}

} // namespace Platform
