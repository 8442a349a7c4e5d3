#pragma once

#include <QString>
#include <QStringView>
#include <vector>

namespace Platform {

struct DirEntry {
    QString name;        // bare name
    bool isFolder = false;
    bool isLink = false; // a symbolic link (to a file or a folder)
    bool isHidden = false;
};

struct EnumOptions {
    bool includeFolders = false; // also return sub-folders ("." and ".." never)
    bool includeHidden = true;   // names starting with "."
};

// "*" and "?" wildcards, matched case-insensitively against the whole name.
bool wildcardMatch(QStringView name, QStringView pattern);

// Entries of `folder` whose names match `pattern`, sorted by their
// upper-cased names (ties by the exact name), so "_x" and "[b]" come after
// the letters. Names are decoded losslessly (platform/pathcodec.h). Folders are reported only when asked for; a link is
// reported as a folder when it points at one. `ok` is false when the folder
// cannot be read (the list is then empty).
std::vector<DirEntry> enumerateDirectory(const QString &folder, const QString &pattern,
                                         EnumOptions options = {}, bool *ok = nullptr);

} // namespace Platform
