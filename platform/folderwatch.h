#pragma once

#include <QHash>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace Platform {

// Watches folders for files that are written and closed or moved in, and
// for folders that appear or disappear, through inotify: the kernel tells,
// nothing is polled. Each folder is watched on its own (not its
// sub-folders: the owner adds those as they are reported). Needs a
// QCoreApplication: events arrive through its event loop.
class FolderWatch {
public:
    struct Event {
        enum class Kind {
            FileWritten,  // written and closed, or moved in under this name
            FileModified, // written to (not necessarily closed yet)
            FolderAdded,  // a folder created or moved in
            FolderGone,   // a watched folder was removed or moved away
            Overflow,     // the kernel dropped events: look at everything again
        };
        Kind kind;
        QString path;
    };
    using Handler = std::function<void(const Event &)>;

    explicit FolderWatch(Handler handler);
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // Empty when inotify is usable; else why not.
    QString problem() const { return problem_; }
    // Watches one folder; a link to one only with `followLink`. False, with
    // the reason in `error`, when it cannot be watched. Watching a folder
    // again is harmless.
    bool add(const QString &folder, QString *error = nullptr, bool followLink = false);
    bool watches(const QString &folder) const { return byPath_.contains(folder); }
    qsizetype count() const { return byPath_.size(); }

private:
    void readEvents();
    void forget(int wd);

    Handler handler_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    QHash<int, QString> byWd_;
    QHash<QString, int> byPath_;
    QString problem_;
};

} // namespace Platform
