#pragma once

#include <QString>

namespace Platform {

// Whether `path` fits the address of a Unix socket: its bytes and the
// closing NUL within sun_path (108 bytes here). A longer path cannot be
// bound or connected to.
bool fitsSocketAddress(const QString &path);

} // namespace Platform
