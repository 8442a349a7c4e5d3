#pragma once

#include <QString>

namespace Platform {

// An exclusive lock on a file, shared by every process that uses the same
// file (flock). The lock ends when the object is destroyed, when unlock() is
// called, or when the holding process ends, so a crashed holder never leaves
// it behind. The file itself is created when missing and never removed.
class FolderLock {
public:
    enum class State {
        Locked,  // this object holds the lock
        Busy,    // another holder has it
        Failed,  // the lock file cannot be created or opened
    };

    explicit FolderLock(QString lockFilePath);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // One attempt, without waiting.
    State tryLock();
    void unlock();
    bool isLocked() const { return locked_; }

    const QString &path() const { return path_; }
    // The reason of the last Failed attempt.
    const QString &errorString() const { return error_; }

private:
    QString path_;
    QString error_;
    int fd_ = -1;
    bool locked_ = false;
};

} // namespace Platform
