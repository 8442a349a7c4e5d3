#pragma once

#include "convert/launcher/launcherror.h"
#include "platform/process.h"

#include <QString>

namespace Shell32 {

// Added to an error number when a waiting launch could not start anything.
constexpr qint32 FailureOffset = -2147221504;

// The launch error for a shell failure code from 0 to 32.
LaunchError errorForShellResult(int shellResult, const QString &source);

// The launch error for a process that could not be started from a command
// line.
LaunchError errorForStartError(Platform::StartError error, const QString &source);

// FailureOffset + number. Several error numbers are themselves close to the
// bottom of the 32-bit range; the sum is computed in 64 bits and saturated at
// the lowest 32-bit value, so it stays negative (never mistaken for an exit
// code) and never overflows.
qint32 withFailureOffset(qint32 number);

} // namespace Shell32
