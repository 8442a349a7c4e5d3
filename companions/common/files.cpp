#include "common/files.h"

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
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = std::strerror(errno);
            return false;
        }
        p += n;
        size -= std::size_t(n);
    }
    return true;
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

} // namespace rw
