#include "platform/folderlock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
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
        const QByteArray native = QFile::encodeName(path_);
        fd_ = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error_ = QString::fromLocal8Bit(std::strerror(errno));
            return State::Failed;
        }
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return State::Locked;
    }
    if (errno == EWOULDBLOCK || errno == EINTR)
        return State::Busy;
    error_ = QString::fromLocal8Bit(std::strerror(errno));
    return State::Failed;
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
