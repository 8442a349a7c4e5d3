#pragma once

#include <QByteArray>

#include <optional>
#include <utility>

namespace Platform {

// Bytes that must not outlive their use (passwords): never copied, cleared
// with explicit_bzero when they go.
class SecretBytes {
public:
    SecretBytes() = default;
    ~SecretBytes() { clear(); }
    SecretBytes(const SecretBytes &) = delete;
    SecretBytes &operator=(const SecretBytes &) = delete;

    // Reads all of `path` ("-": standard input), at most `maxBytes`; false
    // (with `why`) when it cannot be read or is longer.
    bool readFrom(const QByteArray &path, qsizetype maxBytes, QByteArray *why);
    const QByteArray &bytes() const { return bytes_; }
    bool isEmpty() const { return bytes_.isEmpty(); }
    void clear();

private:
    QByteArray bytes_;
};

// A pipe filled with secret bytes before a child starts: the child inherits
// the read end (its number is told, never the bytes) and reads them to the
// end. The write end is closed at once, so the bytes must fit the pipe's
// buffer (SecretBytes above the limit are refused when read).
class SecretPipe {
public:
    // Nothing when the pipe cannot be made or filled.
    static std::optional<SecretPipe> filledWith(const QByteArray &bytes);
    SecretPipe(SecretPipe &&other) noexcept : readEnd_(other.readEnd_) { other.readEnd_ = -1; }
    SecretPipe &operator=(SecretPipe &&other) noexcept
    {
        std::swap(readEnd_, other.readEnd_);
        return *this;
    }
    ~SecretPipe();
    // Close-on-exec; the process starter keeps it open in one child.
    int readEnd() const { return readEnd_; }

private:
    explicit SecretPipe(int readEnd) : readEnd_(readEnd) {}
    int readEnd_ = -1;
};

// The most bytes a SecretPipe takes (well below a pipe's 64 KiB).
constexpr qsizetype MaxSecretBytes = 32 * 1024;

} // namespace Platform
