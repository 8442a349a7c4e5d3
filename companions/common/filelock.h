#pragma once

// An exclusive lock on a file, shared by every process that opens the same
// file (flock): it belongs to the open file, so it goes with the last
// descriptor of it, also when the holder is killed, and a child that
// inherited the descriptor holds it too. Plain POSIX, for the companions
// and the program's platform layer alike.

#include "common/fd.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rw {

class FileLock {
public:
    enum class State {
        Locked, // this object holds the lock
        Busy,   // another holder has it
        Failed, // the file cannot be opened or locked (see why())
    };

    // A process that has the file open, for a message.
    struct Holder {
        pid_t pid = 0;
        std::string name; // its command name; empty when unknown
    };

    FileLock() = default;
    // The lock file `path`, created (with `mode`) when missing and never
    // removed; opened at the first attempt, never through a link, never
    // blocking on something planted in its place, and only a regular file.
    explicit FileLock(std::string path, mode_t mode = 0644);
    FileLock(FileLock &&) noexcept = default;
    FileLock &operator=(FileLock &&) noexcept = default;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    ~FileLock() = default; // closing the file gives the lock up

    // Opens the file now (an attempt opens it when it is not open yet);
    // false, with why(), when it cannot be.
    bool open();
    // One attempt, without waiting.
    State tryLock();
    // Attempts until the lock is taken or `limit` has passed, a pause
    // between attempts.
    State lockWithin(std::chrono::milliseconds limit,
                     std::chrono::milliseconds pause = std::chrono::milliseconds(10));
    // Gives the lock up; `keepOpen`: the file stays open for the next
    // attempt, otherwise it is closed.
    void unlock(bool keepOpen = false);

    bool isLocked() const { return locked_; }
    bool isOpen() const { return file_.isOpen(); }
    const std::string &path() const { return path_; }
    // The descriptor that carries the lock, -1 while it is not held.
    int descriptor() const { return locked_ ? file_.get() : -1; }
    // The reason of the last failed attempt.
    const std::string &why() const { return why_; }

    // The processes that have the file open, this one only when it has it
    // open by a descriptor other than ours (a descriptor in a socket
    // message, say, is in no process).
    std::vector<Holder> holders() const;

private:
    std::string path_;
    mode_t mode_ = 0644;
    Fd file_;
    bool locked_ = false;
    std::string why_;
};

} // namespace rw
