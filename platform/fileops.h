#pragma once

#include <QString>

namespace Platform {

// True when the path can be stat'ed (file or folder).
bool pathExists(const QString &path);

bool isFolder(const QString &path);

// Removes one file (never a folder). Returns false on any failure.
bool removeFile(const QString &path);

// Copies `source` to `target` by writing a temporary file in the target's
// folder and renaming it over the target, so a failed copy never leaves a
// half-written file or destroys the old one. On failure, `error` (when given)
// receives a one-line reason.
bool copyReplacing(const QString &source, const QString &target, QString *error = nullptr);

// True when a file can be created in `folder`.
bool isWritableFolder(const QString &folder);

} // namespace Platform
