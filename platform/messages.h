#pragma once

#include <QString>
#include <QStringList>

#include <functional>

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

    // A box that does not hold up its caller: it opens with `details` as its
    // detailed text (behind "Show Details..." in the window), and `answered`
    // runs from the event loop once the user has closed it. A sink that
    // cannot leave a box open, or has no place for details, shows the text
    // as showMessage does and answers at once.
    virtual void openMessage(const QString &text, const QString &title, MessageIcon icon,
                             const QString &details, std::function<void()> answered)
    {
        Q_UNUSED(details);
        showMessage(text, title, icon);
        if (answered)
            answered();
    }
};

} // namespace Platform
