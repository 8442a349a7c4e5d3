#pragma once

#include <QString>

#include <memory>

namespace rw {
class FileLock;
}

namespace Platform {

// An exclusive lock on a file, shared by every process that uses the same
// file (flock, through rw::FileLock). The lock ends when the object is destroyed, when unlock() is
// called, or when the holding process ends, so a crashed holder never leaves
// it behind (unless a child that inherited the descriptor still runs). The
// file itself is created when missing and never removed; it is never opened
// through a link.
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
    bool isLocked() const;

    const QString &path() const { return path_; }
    // The open descriptor that carries the lock (-1 when not locked). A child
    // process that inherits it keeps the lock held until it ends too, so a
    // converter left running by a killed program still marks the folder busy.
    int descriptor() const;
    // Who has the lock file open, for a message: "process 123 (rasterwell)",
    // several joined by ", "; empty when no process has (a descriptor in a
    // socket message, say, is in no process). Our own descriptor is left out.
    QString holders() const;
    // The reason of the last Failed attempt.
    const QString &errorString() const { return error_; }

private:
    QString path_;
    QString error_;
    std::unique_ptr<rw::FileLock> lock_;
};

} // namespace Platform
