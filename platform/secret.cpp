#include "platform/secret.h"

#include "common/fd.h"
#include "common/fdio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace Platform {

void SecretBytes::clear()
{
    if (!bytes_.isEmpty())
        ::explicit_bzero(bytes_.data(), std::size_t(bytes_.size()));
    bytes_.clear();
}

bool SecretBytes::readFrom(const QByteArray &path, qsizetype maxBytes, QByteArray *why)
{
    clear();
    const bool standardInput = path == "-";
    // Standard input stays open; a file is closed after the read.
    const rw::Fd file(standardInput ? -1 : ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    const int fd = standardInput ? STDIN_FILENO : file.get();
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    // Room for one byte more than allowed, reserved once so that no
    // reallocation leaves a copy behind.
    bytes_.resize(maxBytes + 1);
    const ssize_t got = rw::fdio::readUpTo(fd, bytes_.data(), std::size_t(bytes_.size()));
    bool ok = got >= 0;
    if (!ok)
        *why = std::strerror(errno);
    const qsizetype filled = ok ? got : 0;
    if (ok && filled > maxBytes) {
        *why = "longer than " + QByteArray::number(maxBytes / 1024) + " KiB";
        ok = false;
    }
    ::explicit_bzero(bytes_.data() + filled, std::size_t(bytes_.size() - filled));
    if (!ok) {
        clear();
        return false;
    }
    bytes_.truncate(filled); // no reallocation when shrinking
    return true;
}

std::optional<SecretPipe> SecretPipe::filledWith(const QByteArray &bytes)
{
    if (bytes.size() > MaxSecretBytes)
        return std::nullopt;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    rw::Fd readEnd(fds[0]);
    const rw::Fd writeEnd(fds[1]);
    if (!rw::fdio::writeAll(writeEnd.get(), bytes.constData(), std::size_t(bytes.size())))
        return std::nullopt;
    return SecretPipe(readEnd.release());
}

SecretPipe::~SecretPipe()
{
    const rw::Fd readEnd(readEnd_);
}

} // namespace Platform
