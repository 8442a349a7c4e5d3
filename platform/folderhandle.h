#pragma once

#include <QByteArray>
#include <QString>

namespace Platform {

// A folder opened once: every file placed in it, renamed in it or removed
// from it afterwards goes through the descriptor, so the folder cannot be
// swapped for another (a link put in its place) between the check and the
// writes.
class FolderHandle {
public:
    FolderHandle() = default;
    ~FolderHandle();
    FolderHandle(FolderHandle &&other) noexcept;
    FolderHandle &operator=(FolderHandle &&other) noexcept;
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;

    // Opens `folder`: its links resolved, then every component of the result
    // opened from the root without following a link, the last one as a
    // folder. A component swapped for a link meanwhile fails the open.
    static FolderHandle open(const QString &folder, QString *error = nullptr);

    // Opens the folder `relative` ("a/b"; empty: this one again) beneath
    // this one, through the descriptor, component by component, never
    // following a link; a component that is missing is created with `mode`
    // (less the umask). A link, a file or "." / ".." at a component fails.
    FolderHandle openBeneath(const QString &relative, unsigned mode, QString *error = nullptr) const;

    bool isOpen() const { return fd_ >= 0; }
    // The folder as it was resolved, for messages.
    const QString &path() const { return path_; }
    int descriptor() const { return fd_; }

    enum class Entry { Missing, File, Link, Folder, Other };
    // What stands at `name` in the folder, links not followed.
    Entry entry(const QString &name) const;

    // Moves the file `source` (a path anywhere) into the folder as `name`,
    // replacing what stands there in one step (a link there is replaced, its
    // target never written), after giving it `mode`. Across file systems it
    // is copied under a temporary name created exclusively in the folder
    // and renamed. On failure `error` receives a one-line reason and
    // `source` is still there.
    bool moveIn(const QString &source, const QString &name, unsigned mode, QString *error = nullptr) const;

    // Removes the file or link `name` (never a folder).
    bool remove(const QString &name, QString *error = nullptr) const;

private:
    int fd_ = -1;
    QString path_;
};

// A fresh temporary name for a file to be renamed to `name` in the same
// folder, at most 255 bytes long whatever the length of `name`: a dot, as
// much of `name` as fits, and ".rw-XXXXXX" (the X's for mkstemp to fill).
QByteArray temporaryNameFor(const QByteArray &name);

// The mode for a file made from `sourceMode`'s file: never more read access
// than the source grants, the owner may write, and the umask holds.
unsigned modeFollowing(unsigned sourceMode);

} // namespace Platform
