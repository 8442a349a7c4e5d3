#include "platform/direnum.h"

#include "platform/pathcodec.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace Platform {

bool wildcardMatch(QStringView name, QStringView pattern)
{
    // Iterative glob match with single-star backtracking.
    qsizetype n = 0, p = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size()
                   && (pattern[p] == QLatin1Char('?')
                       || pattern[p].toCaseFolded() == name[n].toCaseFolded())) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

namespace {
struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
} // namespace

std::vector<DirEntry> enumerateDirectory(const QString &folder, const QString &pattern,
                                         EnumOptions options, bool *ok)
{
    std::vector<DirEntry> entries;
    const QByteArray native = encodePath(folder.isEmpty() ? QStringLiteral("/") : folder);
    std::unique_ptr<DIR, DirCloser> dir(opendir(native.constData()));
    if (ok)
        *ok = bool(dir);
    if (!dir)
        return entries;

    const int fd = dirfd(dir.get());
    while (const dirent *e = readdir(dir.get())) {
        const QString name = decodePath(QByteArray(e->d_name));
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const bool hidden = name.startsWith(QLatin1Char('.'));
        if (hidden && !options.includeHidden)
            continue;
        if (!wildcardMatch(name, pattern))
            continue;

        bool isFolder = e->d_type == DT_DIR;
        const bool isLink = e->d_type == DT_LNK;
        if (e->d_type == DT_UNKNOWN || isLink) {
            struct stat st {};
            if (fstatat(fd, e->d_name, &st, 0) == 0)
                isFolder = S_ISDIR(st.st_mode);
            else if (!isLink || errno != ENOENT)
                continue; // a vanished entry
            // A dangling link is listed as a file, so that whoever asked
            // for it can say why it cannot be used.
        }
        if (isFolder && !options.includeFolders)
            continue;
        entries.push_back({name, isFolder, isLink, hidden});
    }

    std::sort(entries.begin(), entries.end(), [](const DirEntry &a, const DirEntry &b) {
        const int c = a.name.toUpper().compare(b.name.toUpper());
        return c != 0 ? c < 0 : a.name < b.name;
    });
    return entries;
}

} // namespace Platform
