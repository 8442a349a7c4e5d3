#include "platform/folderwatch.h"

#include "platform/fileops.h"
#include "platform/pathcodec.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace Platform {

namespace {

constexpr uint32_t Mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_CREATE | IN_DELETE_SELF
                          | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

} // namespace

FolderWatch::FolderWatch(Handler handler) : handler_(std::move(handler))
{
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        problem_ = QStringLiteral("cannot watch folders: %1").arg(errorText(errno));
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { readEvents(); });
}

FolderWatch::~FolderWatch()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

bool FolderWatch::add(const QString &folder, QString *error, bool followLink)
{
    if (fd_ < 0) {
        if (error)
            *error = problem_;
        return false;
    }
    const int wd = ::inotify_add_watch(fd_, encodePath(folder).constData(),
                                       followLink ? Mask & ~uint32_t(IN_DONT_FOLLOW) : Mask);
    if (wd < 0) {
        if (error)
            *error = errno == ENOSPC ? QStringLiteral("the system's limit of watched folders is reached "
                                                      "(fs.inotify.max_user_watches)")
                                     : errorText(errno);
        return false;
    }
    // The same folder under a new name (it was moved) keeps its watch.
    if (const auto old = byWd_.find(wd); old != byWd_.end())
        byPath_.remove(old.value());
    byWd_.insert(wd, folder);
    byPath_.insert(folder, wd);
    return true;
}

void FolderWatch::forget(int wd)
{
    if (const auto it = byWd_.find(wd); it != byWd_.end()) {
        byPath_.remove(it.value());
        byWd_.erase(it);
    }
}

void FolderWatch::readEvents()
{
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t length = ::read(fd_, buffer, sizeof buffer);
        if (length <= 0)
            return; // EAGAIN: all read
        for (ssize_t at = 0; at < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char *name = buffer + at + sizeof(inotify_event);
            at += ssize_t(sizeof(inotify_event) + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                handler_({Event::Kind::Overflow, {}});
                continue;
            }
            const auto folder = byWd_.find(event.wd);
            if (folder == byWd_.end())
                continue;
            const QString where = folder.value();
            if (event.mask & IN_IGNORED) {
                forget(event.wd);
                continue;
            }
            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                // Moved within the watched tree, it was added again under its
                // new name already; otherwise it is gone from here.
                if (event.mask & IN_DELETE_SELF || !isFolder(where)) {
                    ::inotify_rm_watch(fd_, event.wd);
                    forget(event.wd);
                    handler_({Event::Kind::FolderGone, where});
                }
                continue;
            }
            if (event.len == 0)
                continue;
            const QString path = where + QLatin1Char('/') + decodePath(QByteArray(name));
            if (event.mask & IN_ISDIR) {
                if (event.mask & (IN_CREATE | IN_MOVED_TO))
                    handler_({Event::Kind::FolderAdded, path});
            } else if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                handler_({Event::Kind::FileWritten, path});
            } else if (event.mask & IN_MODIFY) {
                handler_({Event::Kind::FileModified, path});
            }
        }
    }
}

} // namespace Platform
