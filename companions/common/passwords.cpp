#include "common/passwords.h"

#include "common/fdio.h"

#include <cerrno>
#include <cstdlib>
#include <string.h>
#include <unistd.h>

namespace rw {

namespace {
// As much as the program ever passes (its own limit is 32 KiB).
constexpr std::size_t kMaxBytes = 64 * 1024;
} // namespace

int passwordDescriptor()
{
    const char *text = std::getenv("RASTERWELL_PASSWORD_FD");
    if (!text || !*text)
        return -1;
    char *end = nullptr;
    const long fd = std::strtol(text, &end, 10);
    return (*end == '\0' && fd > 2 && fd < 65536) ? int(fd) : -1;
}

Passwords::~Passwords()
{
    if (!buffer_.empty())
        ::explicit_bzero(buffer_.data(), buffer_.size());
}

bool Passwords::readInherited()
{
    if (!std::getenv("RASTERWELL_PASSWORD_FD"))
        return true;
    const int fd = passwordDescriptor();
    if (fd < 0)
        return false;
    // Reserved once: growing would leave copies behind.
    buffer_.assign(kMaxBytes + 1, '\0');
    const ssize_t got = fdio::readUpTo(fd, buffer_.data(), kMaxBytes);
    if (got < 0)
        return false;
    const std::size_t filled = std::size_t(got);
    // One line each; a carriage return before the line end is no part of
    // the password; empty lines are skipped (the empty password is always
    // tried first).
    std::size_t start = 0;
    for (std::size_t i = 0; i <= filled; ++i) {
        if (i < filled && buffer_[i] != '\n')
            continue;
        std::size_t end = i;
        if (end > start && buffer_[end - 1] == '\r')
            --end;
        buffer_[end] = '\0';
        if (i < filled)
            buffer_[i] = '\0';
        if (end > start)
            starts_.push_back(start);
        start = i + 1;
    }
    return true;
}

} // namespace rw
