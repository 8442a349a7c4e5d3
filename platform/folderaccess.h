#pragma once

#include <QString>

namespace Platform {

// Why a folder cannot be opened for listing.
enum class FolderAccess {
    Open,             // it can be opened (now)
    PermissionDenied,
    PathTooLong,
    OtherError,       // see FolderOpenCheck::systemMessage
};

struct FolderOpenCheck {
    FolderAccess access = FolderAccess::Open;
    QString systemMessage; // the system's own words for the error, "" when it opens
};

// Opens `folder` for listing and closes it again, to tell why a listing of
// it failed.
FolderOpenCheck checkFolderOpens(const QString &folder);

} // namespace Platform
