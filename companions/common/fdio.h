#pragma once

// Reading and writing descriptors, resumed after a signal (EINTR). Plain
// POSIX, for the companions and the program's platform layer alike.

#include <cerrno>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace rw::fdio {

// One read, at `offset` when it is not negative (the descriptor's own
// offset is then left alone); the bytes read, 0 at the end, -1 (errno) on
// failure.
inline ssize_t readSome(int fd, void *buffer, std::size_t size, off_t offset = -1)
{
    ssize_t n;
    do
        n = offset >= 0 ? ::pread(fd, buffer, size, offset) : ::read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// Reads until `size` bytes are in or the input ends (from `offset` on when
// it is not negative); the bytes read, or -1 (errno) on failure.
inline ssize_t readUpTo(int fd, void *buffer, std::size_t size, off_t offset = -1)
{
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n = readSome(fd, static_cast<char *>(buffer) + filled, size - filled,
                                   offset >= 0 ? offset + off_t(filled) : -1);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        filled += std::size_t(n);
    }
    return ssize_t(filled);
}

// Hands all `size` bytes to `put` (one write or send, as `::write` is
// called), resuming after signals and short writes; false (errno) when that
// fails.
template <typename Put>
bool putAll(Put put, const void *data, std::size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = put(p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

// Writes all `size` bytes; false (errno) when that fails.
inline bool writeAll(int fd, const void *data, std::size_t size)
{
    return putAll([fd](const char *p, std::size_t n) { return ::write(fd, p, n); }, data, size);
}

// Sends all `size` bytes on a socket, never raising SIGPIPE when the peer
// has gone; false (errno) when that fails.
inline bool sendAll(int socket, const void *data, std::size_t size)
{
    return putAll([socket](const char *p, std::size_t n) { return ::send(socket, p, n, MSG_NOSIGNAL); },
                  data, size);
}

// Receives exactly `size` bytes from a socket; false when the connection
// ends or fails first.
inline bool receiveAll(int socket, void *buffer, std::size_t size)
{
    char *p = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = ::recv(socket, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

} // namespace rw::fdio
