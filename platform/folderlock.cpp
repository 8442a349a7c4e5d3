#include "platform/folderlock.h"

#include "platform/pathcodec.h"

#include "common/filelock.h"

#include <QStringList>

namespace Platform {

FolderLock::FolderLock(QString lockFilePath)
    : path_(std::move(lockFilePath)), lock_(std::make_unique<rw::FileLock>(encodePath(path_).toStdString()))
{
}

FolderLock::~FolderLock()
{
    unlock();
}

FolderLock::State FolderLock::tryLock()
{
    switch (lock_->tryLock()) {
    case rw::FileLock::State::Locked:
        return State::Locked;
    case rw::FileLock::State::Busy:
        return State::Busy;
    case rw::FileLock::State::Failed:
        break;
    }
    error_ = QString::fromLocal8Bit(lock_->why());
    return State::Failed;
}

bool FolderLock::isLocked() const
{
    return lock_->isLocked();
}

int FolderLock::descriptor() const
{
    return lock_->descriptor();
}

QString FolderLock::holders() const
{
    QStringList found;
    for (const rw::FileLock::Holder &holder : lock_->holders()) {
        const QString name = QString::fromLocal8Bit(holder.name).trimmed();
        found << (name.isEmpty() ? QStringLiteral("process %1").arg(holder.pid)
                                 : QStringLiteral("process %1 (%2)").arg(holder.pid).arg(name));
    }
    return found.join(QStringLiteral(", "));
}

void FolderLock::unlock()
{
    // Closing the descriptor releases the lock.
    lock_->unlock();
}

} // namespace Platform
