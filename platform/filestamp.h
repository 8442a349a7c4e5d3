#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

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

} // namespace Platform
