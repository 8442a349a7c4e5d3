#pragma once

#include <QString>

namespace Platform {

// The folder that holds the running executable, without a trailing separator
// except at the file-system root.
QString applicationFolder();

// The separator used in every fixed relative path ("/" here).
QString separator();

} // namespace Platform
