#include "convert/launcher/failuretable.h"

#include <limits>

namespace Shell32 {

namespace {
// Numbers of the rows that have no small number of their own.
constexpr qint64 ShellCodeBase = -2147220456; // FailureOffset + 1048

qint32 saturated(qint64 value)
{
    if (value < std::numeric_limits<qint32>::min())
        return std::numeric_limits<qint32>::min();
    if (value > std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    return qint32(value);
}
} // namespace

LaunchError errorForShellResult(int shellResult, const QString &source)
{
    auto error = [&](qint32 number, const char *description) {
        return LaunchError{number, QString::fromLatin1(description), source};
    };
    switch (shellResult) {
    case 0: return error(7, "Out of memory");
    case 2: return error(53, "File not found");
    case 3: return error(76, "Path not found");
    case 5: return error(75, "Path/file access error");
    case 8: return error(7, "Out of memory");
    case 11: return error(saturated(ShellCodeBase + 11), "The executable file is invalid or corrupt");
    case 26: return error(75, "A sharing violation occurred.");
    case 27:
        return error(saturated(ShellCodeBase + 27), "This file type does not have a valid file association.");
    case 28:
        return error(286, "The file could not be opened due to time out. Please try again in a "
                          "moment.");
    case 29:
        return error(285, "The file could not be opened because the DDE transaction failed. "
                          "Please try again in a moment.");
    case 30:
        return error(285, "The file could not be opened because the target application is busy. "
                          "Please try again in a moment.");
    case 31: return error(saturated(ShellCodeBase + 31), "No application is associated with this file type.");
    case 32: return error(48, "The specified dynamic-link library was not found.");
    default:
        return error(saturated(ShellCodeBase + shellResult),
                     "An error occurred occurred whilst trying to open or print the selected "
                     "file.");
    }
}

LaunchError errorForStartError(Platform::StartError error, const QString &source)
{
    using Platform::StartError;
    switch (error) {
    case StartError::FileNotFound: return errorForShellResult(2, source);
    case StartError::PathNotFound: return errorForShellResult(3, source);
    case StartError::AccessDenied: return errorForShellResult(5, source);
    case StartError::BadFormat: return errorForShellResult(11, source);
    case StartError::OutOfMemory: return errorForShellResult(8, source);
    case StartError::None:
    case StartError::Other: break;
    }
    return {5, QStringLiteral("Invalid procedure call or argument"), source};
}

qint32 withFailureOffset(qint32 number)
{
    return saturated(qint64(FailureOffset) + number);
}

} // namespace Shell32
