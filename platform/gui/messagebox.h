#pragma once

#include "platform/messages.h"

#include <QPointer>
#include <QWidget>

namespace Platform {

// Modal QMessageBox with a single OK button, owned by `parent`.
class QMessageBoxSink final : public MessageSink {
public:
    explicit QMessageBoxSink(QWidget *parent = nullptr) : parent_(parent) {}
    void setParent(QWidget *parent) { parent_ = parent; }
    void showMessage(const QString &text, const QString &title, MessageIcon icon) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace Platform
