#include "common/filelock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

namespace rw {

FileLock::FileLock(std::string path, mode_t mode) : path_(std::move(path)), mode_(mode) {}

bool FileLock::open()
{
    if (file_.isOpen())
        return true;
    // Never through a link (a planted link would make us create or lock a
    // file elsewhere), and never blocking on a FIFO planted in its place.
    file_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK,
                       mode_));
    if (!file_.isOpen()) {
        why_ = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(file_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why_ = "it is not a regular file";
        file_.reset();
        return false;
    }
    return true;
}

FileLock::State FileLock::tryLock()
{
    if (locked_)
        return State::Locked;
    if (!open())
        return State::Failed;
    if (::flock(file_.get(), LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return State::Locked;
    }
    if (errno == EWOULDBLOCK || errno == EINTR)
        return State::Busy;
    why_ = std::strerror(errno);
    return State::Failed;
}

FileLock::State FileLock::lockWithin(std::chrono::milliseconds limit, std::chrono::milliseconds pause)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const State state = tryLock();
        if (state != State::Busy || std::chrono::steady_clock::now() >= deadline)
            return state;
        std::this_thread::sleep_for(pause);
    }
}

void FileLock::unlock(bool keepOpen)
{
    if (keepOpen && locked_)
        ::flock(file_.get(), LOCK_UN);
    else
        file_.reset();
    locked_ = false;
}

std::vector<FileLock::Holder> FileLock::holders() const
{
    std::vector<Holder> found;
    struct stat lockFile {};
    if (::stat(path_.c_str(), &lockFile) != 0)
        return found;
    const pid_t self = ::getpid();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    while (const dirent *p = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const std::string fdFolder = std::string("/proc/") + p->d_name + "/fd";
        DIR *fds = ::opendir(fdFolder.c_str());
        if (!fds)
            continue;
        bool holds = false;
        while (const dirent *f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            if (pid == self && file_.isOpen() && std::atoi(f->d_name) == file_.get())
                continue;
            struct stat st {};
            if (::stat((fdFolder + '/' + f->d_name).c_str(), &st) == 0 && st.st_dev == lockFile.st_dev
                && st.st_ino == lockFile.st_ino) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (!holds)
            continue;
        Holder holder{pid_t(pid), {}};
        if (FILE *comm = std::fopen((std::string("/proc/") + p->d_name + "/comm").c_str(), "re")) {
            char name[64] = {};
            if (std::fgets(name, sizeof name, comm))
                holder.name = name;
            std::fclose(comm);
            while (!holder.name.empty() && (holder.name.back() == '\n' || holder.name.back() == ' '))
                holder.name.pop_back();
        }
        found.push_back(std::move(holder));
    }
    ::closedir(proc);
    return found;
}

} // namespace rw
