#include "platform/folderlock.h"

#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include <cerrno>
#include <cstring>
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
