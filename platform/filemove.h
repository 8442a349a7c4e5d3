#pragma once

#include <QString>

namespace Platform {

// Moves `source` to `target`, replacing an existing file of that name in one
// step: a rename within one file system, otherwise an atomic copy
// (copyReplacing) followed by the removal of `source`. The target is never
// left half-written. On failure, `error` (when given) receives a one-line
// reason and `source` is still there.
bool moveReplacing(const QString &source, const QString &target, QString *error = nullptr);

} // namespace Platform
