#include "common/files.h"

#include "common/fdio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rw {

namespace {

bool writeAll(int fd, const void *data, std::size_t size, std::string &error)
{
    if (fdio::writeAll(fd, data, size))
        return true;
    error = std::strerror(errno);
    return false;
}

} // namespace

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string fileNameOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeWholeFile(const std::string &path, const void *data, std::size_t size,
                    std::string &error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = writeAll(fd, data, size, error);
    if (::close(fd) != 0 && ok) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(path.c_str());
    return ok;
}

bool replaceFileAtomically(const std::string &path, const std::string &content,
                           std::string &error)
{
    std::string pattern = folderOf(path) + "/." + fileNameOf(path) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const std::string temp(name.data());
    ::fchmod(fd, 0644);
    bool ok = writeAll(fd, content.data(), content.size(), error);
    if (::close(fd) != 0 && ok) {
        error = std::strerror(errno);
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

bool renameFile(const std::string &from, const std::string &to, std::string &error)
{
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    error = std::strerror(errno);
    return false;
}

namespace {

const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

} // namespace

InputFile::InputFile(const std::string &path, bool closeOnExec)
{
    // No O_CLOEXEC by default: helper programs read the file through
    // childPath().
    const int fd = ::open(path.c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | (closeOnExec ? O_CLOEXEC : 0));
    if (fd < 0) {
        // A socket cannot be opened at all; name it rather than the errno.
        const int openError = errno;
        struct stat st {};
        error_ = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)
                     ? std::string("not a regular file (") + kindOf(st.st_mode) + ")"
                     : std::strerror(openError);
        return;
    }
    adopt(fd, closeOnExec);
}

InputFile::InputFile(Handed handed)
{
    const int fd = ::fcntl(handed.descriptor, F_DUPFD, 3);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return;
    }
    adopt(fd, false);
}

void InputFile::adopt(int fd, bool closeOnExec)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error_ = std::strerror(errno);
        ::close(fd);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = std::string("not a regular file (") + kindOf(st.st_mode) + ")";
        ::close(fd);
        return;
    }
    // Reading a regular file never blocks; clear the flag all the same.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Keep the standard streams' numbers free: a helper's 0, 1 and 2 are
    // replaced before it starts.
    if (fd < 3) {
        const int high = ::fcntl(fd, closeOnExec ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
        ::close(fd);
        if (high < 0) {
            error_ = std::strerror(errno);
            return;
        }
        fd = high;
    }
    fd_ = fd;
}

InputFile::~InputFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::string InputFile::childPath() const
{
    return "/dev/fd/" + std::to_string(fd_);
}

} // namespace rw
