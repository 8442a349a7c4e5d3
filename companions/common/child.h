#pragma once

// Child processes identified by more than their number: a pidfd, opened
// while the child cannot have been reaped, names that process and no
// later one with the same number. Plain POSIX, for the companions and the
// program's platform layer alike.

#include "common/fd.h"

#include <chrono>
#include <csignal>
#include <optional>
#include <sys/types.h>

namespace rw {

// A pidfd for `pid` (close-on-exec); -1 when the kernel has none.
int openPidfd(pid_t pid);

// Makes the kernel send `signal` to this process when its parent ends,
// then checks that the parent is still `parent` (it may have ended before
// the request was made); false when it is not, and this process should
// end at once. Async-signal-safe: may run between fork and exec.
bool tieToParent(pid_t parent, int signal);

// One child of this process, from its start until it is reaped. Until
// then its number, and the number of the process group it leads, cannot
// go to another process, so signals sent through it reach this child
// only; once it is reaped it sends none.
class Child {
public:
    // Status of a child reaped by someone else (or never ours): never
    // mistaken for a success.
    static constexpr int Lost = -1;

    Child() = default;
    // Takes charge of the child `pid` (not yet reaped) and opens its pidfd.
    explicit Child(pid_t pid);
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() = default; // the pidfd closes; a child left unreaped stays so

    pid_t pid() const { return pid_; }
    // Readable once the child has ended; -1 without a pidfd.
    int pidfd() const { return pidfd_.get(); }
    // Started and not yet reaped.
    bool active() const { return pid_ > 0; }

    // Whether it has ended, without reaping it.
    bool ended() const;
    // Waits until it has ended, at most `limit` (negative: without a
    // limit), without reaping it; true once it has ended.
    bool waitEnded(std::chrono::milliseconds limit) const;

    // Sends `signal` to the child alone; false once it is reaped.
    bool signal(int signal) const;
    // Sends `signal` to the process group the child leads; false once it
    // is reaped.
    bool signalGroup(int signal) const;

    // Reaps it: its wait status (as waitpid gives it), Lost when it was not
    // ours to reap, nothing while it runs (`wait` false) or when it was
    // reaped already. With `wait` it blocks until the child ends.
    std::optional<int> reap(bool wait);
    // Kills its group while it is still unreaped, then reaps it.
    int killGroupAndReap();

private:
    pid_t pid_ = -1;
    Fd pidfd_;
};

} // namespace rw
