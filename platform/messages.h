#pragma once

#include <QString>

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
};

} // namespace Platform
