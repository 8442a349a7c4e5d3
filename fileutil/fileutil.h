#pragma once

#include <QString>
#include <QStringList>

// Small file helpers shared across the program. They hide file-system
// errors the way each caller needs.
namespace FileUtil {

// True when the path can be queried (it exists); never fails.
bool FileExists(const QString &path);

// Deletes the file or files the path names; the last component may hold
// "*" and "?". Folders are never deleted; every error is ignored.
void DeleteQuietly(const QString &path);

// Bare names of the files (hidden ones too, never folders) in `folder`
// matching `pattern`, in enumeration order (by upper-cased name, so "_x" and
// "[b]" come after the letters).
// Empty for a folder that does not exist or cannot be read.
QStringList ListFiles(const QString &folder, const QString &pattern);

// The folder part of a path: "/a/b.pdf" gives "/a", "/b.pdf" gives "/", a
// bare name gives ".".
QString FolderOf(const QString &path);

// The path less the extension of its file name: "/a.b/c.d.pdf" gives
// "/a.b/c.d"; a file name without a dot is returned whole.
QString StripExtension(const QString &path);

} // namespace FileUtil
