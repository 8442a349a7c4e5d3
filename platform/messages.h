#pragma once

#include <QString>
#include <QStringList>

namespace Platform {

enum class MessageIcon { None, Exclamation };

// Modal messages with one OK button. The window shows message boxes; tests
// record; the command line prints.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void showMessage(const QString &text, const QString &title, MessageIcon icon) = 0;

    // A problem that stops the work before it is done. Shown like any other
    // warning unless the sink has a better place for it (an error stream).
    virtual void showProblem(const QString &text, const QString &title)
    {
        showMessage(text, title, MessageIcon::Exclamation);
    }

    // Lines that tell why something was not done (which pages are missing,
    // what a companion program said), for a sink that has a place for such
    // detail: the command line prints them on its error stream; the window
    // shows only its boxes.
    virtual void showDetails(const QStringList &lines) { Q_UNUSED(lines); }
};

} // namespace Platform
