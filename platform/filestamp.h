#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

struct stat;

namespace Platform {

// A file's modification time in nanoseconds since the epoch, and its size.
struct FileStamp {
    qint64 modifiedNs = 0;
    qint64 size = 0;
    bool operator==(const FileStamp &) const = default;
};

// The stamp of what the path leads to (links followed); nothing when it
// cannot be stat'ed or is not a regular file.
std::optional<FileStamp> regularFileStamp(const QString &path);

// The stamp of a regular file standing at the path itself: nothing for a
// link (wherever it leads), a folder or anything else.
std::optional<FileStamp> plainFileStamp(const QString &path);

// What tells one state of a file from another without reading it: its
// size, modification and change times (nanoseconds since the epoch), and
// the device and inode it lives on.
struct SourceIdentity {
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const SourceIdentity &) const = default;
};

// The identity a stat() result tells.
SourceIdentity sourceIdentityOf(const struct stat &st);

// The identity of the regular file a path leads to (links followed).
std::optional<SourceIdentity> sourceIdentity(const QString &path);

// The first bytes of a regular file standing at the path itself (never
// through a link, never blocking on a FIFO), at most `maxBytes`, with its
// stamp.
struct FileHead {
    FileStamp stamp;
    QByteArray bytes;
};
std::optional<FileHead> plainFileHead(const QString &path, int maxBytes);

// The SHA-256 digest (32 bytes) of the regular file a path leads to, with
// the identity of the file read, taken before it was read; nothing when it
// is not a regular file or cannot be read to its end.
struct FileDigest {
    SourceIdentity identity;
    QByteArray sha256;
};
std::optional<FileDigest> fileDigest(const QString &path);

} // namespace Platform
