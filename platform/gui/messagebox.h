#pragma once

#include "platform/messages.h"

#include <QPointer>
#include <QWidget>

namespace Platform {

// Modal QMessageBox with a single OK button, owned by `parent`. An opened
// box is modal too, but leaves the event loop to its caller.
class QMessageBoxSink final : public MessageSink {
public:
    explicit QMessageBoxSink(QWidget *parent = nullptr) : parent_(parent) {}
    void setParent(QWidget *parent) { parent_ = parent; }
    void showMessage(const QString &text, const QString &title, MessageIcon icon) override;
    void openMessage(const QString &text, const QString &title, MessageIcon icon,
                     const QString &details, std::function<void()> answered) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace Platform
