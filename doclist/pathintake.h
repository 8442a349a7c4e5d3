#pragma once

#include <QString>
#include <QStringList>
#include <memory>

class ListView1;

namespace Platform {
class EventPump;
class MessageSink;
class PointerSetting;
} // namespace Platform

// Puts paths in the document list the way a drop and the command line ask
// for: a file is appended as given, a folder is searched like "Add All PDF
// File(s) In Folder" (AddFolder::CollectDocuments), a path that does not
// exist is left out; everything in the order of the paths, and the last
// row added scrolled into sight. A request that arrives while a folder walk
// processes events (a drop, "Open with") is served at once, like "Add PDF
// File(s)": its rows come before those the walk appends when it is done.
// After a request, one message box names the paths left out and the
// folders the walk could not enter.
class PathIntake {
public:
    // `pump` and `messages` may be null (no events processed, nothing shown).
    PathIntake(ListView1 &list, Platform::PointerSetting &window, Platform::EventPump *pump,
               Platform::MessageSink *messages);
    ~PathIntake();
    PathIntake(const PathIntake &) = delete;
    PathIntake &operator=(const PathIntake &) = delete;

    void add(const QStringList &paths);

    // True while requests are being served.
    bool busy() const { return serving_ > 0; }

private:
    void serve(const QStringList &paths);

    ListView1 &list_;
    Platform::PointerSetting &window_;
    Platform::EventPump *pump_;
    Platform::MessageSink *messages_;
    int serving_ = 0; // requests under way, one inside another's walk
    int walking_ = 0; // folder walks under way
    // Cleared when the intake goes away while one of its walks processes
    // events, so the walk does not touch it afterwards.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

namespace AddCommands {

// The message about a request's left-out paths ("" when there is nothing to
// say): the paths that do not exist, and the "<folder>: <reason>" lines of
// the folders that could not be entered. Long lists are cut short.
QString LeftOutMessage(const QStringList &missing, const QStringList &unentered);

} // namespace AddCommands
