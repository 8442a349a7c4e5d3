#pragma once

#include "platform/filestamp.h"

#include <QString>
#include <QtGlobal>
#include <functional>
#include <optional>

namespace Platform {

// True when the path can be stat'ed (file or folder).
bool pathExists(const QString &path);

bool isFolder(const QString &path);

// A regular file that is not a link.
bool isPlainFile(const QString &path);

// A folder that is not reached through a link at its last component.
bool isPlainFolder(const QString &path);

// True when this process may execute the file.
bool isExecutable(const QString &path);

// Creates the folder and any missing parents (new ones private to the user).
// True when the folder exists afterwards.
bool makeFolders(const QString &path);

// The device and inode a path leads to (links followed): two paths name the
// same file or folder exactly when their identities are equal.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileIdentity &) const = default;
    auto operator<=>(const FileIdentity &) const = default;
};
// Removes one file or link (never a folder). Returns false on any failure.
bool removeFile(const QString &path);

// Copies `source` to `target`: the copy is written under a fresh temporary
// name in the target's folder (created exclusively, never through a link)
// and renamed over the target, so a failed copy never leaves a half-written
// file or destroys the old one, and a link standing at the target is
// replaced, its target never written. Only a regular file is copied. On
// failure, `error` (when given) receives a one-line reason.
bool copyReplacing(const QString &source, const QString &target, QString *error = nullptr);
// The same; `beforeRename` is told the copy's identity once it is complete
// and before it gets the target's name, and may still stop it (false: the
// copy is removed and `error` says so). `sourceBefore`, when given,
// receives the identity of the file copied as it stood before the copy.
bool copyReplacing(const QString &source, const QString &target, QString *error,
                   const std::function<bool(const FileIdentity &)> &beforeRename,
                   SourceIdentity *sourceBefore = nullptr);

// Writes `content` as the file `path` the way copyReplacing writes a copy:
// under a fresh name beside it, then renamed over it (a link there is
// replaced, never followed). Not flushed to disk: for scratch files that a
// system crash may lose. On failure `error` (when given) says why.
bool writeReplacing(const QString &path, const QByteArray &content, QString *error = nullptr);

// Opens `path` for writing, never through a link at its last component.
// `expected`: the identity the file had when it was looked at; the file
// opened must still be that one, and a regular file is emptied only then.
// Without it the file did not exist, and it is created (mode 0666 within
// the umask), never taken over from someone who created it meanwhile. The
// descriptor, or -1 with `error` (when given) set.
int openReplacing(const QString &path, const std::optional<FileIdentity> &expected, QString *error = nullptr);

// True when a file can be created in `folder`.
bool isWritableFolder(const QString &folder);

// What a path names, links followed.
enum class FileKind { Missing, Regular, Folder, Fifo, CharacterDevice, BlockDevice, Socket, Other };
FileKind fileKind(const QString &path);

// "a FIFO", "a folder", ... for messages.
QString describeKind(FileKind kind);

// True when the path names a regular file this process can open for
// reading. Never blocks (a FIFO is refused before it is opened). On failure
// `error` receives the reason ("a FIFO, not a regular file",
// "Permission denied", ...).
bool isReadableRegularFile(const QString &path, QString *error = nullptr);
// The same check, and the file opened for reading: its descriptor, or -1.
int openRegularFile(const QString &path, QString *error = nullptr);

std::optional<FileIdentity> fileIdentity(const QString &path);
// The identity of the path itself: a link's own, not its target's.
std::optional<FileIdentity> entryIdentity(const QString &path);

// The path with every link resolved and every "." and ".." taken out, or
// nothing when it cannot be resolved (a part is missing).
std::optional<QString> resolvedPath(const QString &path);

// The permission bits of the file a path leads to (links followed).
std::optional<unsigned> fileMode(const QString &path);

// The system's text for an errno value.
QString errorText(int errorNumber);

} // namespace Platform
