#pragma once

#include <cstddef>
#include <string>

namespace rw {

// The folder part of `path` ("." when it has none) and its last component.
std::string folderOf(const std::string &path);
std::string fileNameOf(const std::string &path);

// Writes `size` bytes to `path` (created or truncated). On failure returns
// false with a reason in `error`; a partly written file is removed.
bool writeWholeFile(const std::string &path, const void *data, std::size_t size,
                    std::string &error);

// Writes `content` to a fresh temporary file beside `path` and renames it
// over `path`, so that readers see either no file, the old one or the
// complete new one.
bool replaceFileAtomically(const std::string &path, const std::string &content,
                           std::string &error);

// Renames, with the reason in `error` when it fails.
bool renameFile(const std::string &from, const std::string &to, std::string &error);

// A document opened for reading. Only a regular file (or a link to one) is
// accepted: it is opened without blocking and checked on the open
// descriptor, so a FIFO, device, socket or folder named like a document is
// refused at once instead of hanging or spinning the reader, and nothing
// can swap the file between the check and the reading.
class InputFile {
public:
    // `closeOnExec`: for a descriptor handed on over a socket rather than
    // to helper programs.
    explicit InputFile(const std::string &path, bool closeOnExec = false);
    // A document opened already, by the process that handed `descriptor`
    // to this one (a render service worker reads no document by path
    // outside its folder): checked as a path is, read through a descriptor
    // of its own (the caller keeps `descriptor`). Landlock does not
    // restrict a descriptor that is open already.
    struct Handed {
        int descriptor;
    };
    explicit InputFile(Handed handed);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Why the file was refused ("not a regular file (a FIFO)", "No such file
    // or directory", ...).
    const std::string &error() const { return error_; }
    int descriptor() const { return fd_; }
    // A name under which helper programs read exactly this file
    // (/dev/fd/N: the descriptor is inherited by child processes).
    std::string childPath() const;

private:
    // Takes `fd` when it is a regular file; else closes it with a reason.
    void adopt(int fd, bool closeOnExec);

    int fd_ = -1;
    std::string error_;
};

} // namespace rw
