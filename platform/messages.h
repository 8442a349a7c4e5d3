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
};

} // namespace Platform
