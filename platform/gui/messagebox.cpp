#include "platform/gui/messagebox.h"

#include <QMessageBox>

namespace Platform {

void QMessageBoxSink::showMessage(const QString &text, const QString &title, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    title, text, QMessageBox::Ok, parent_.data());
    box.exec();
}

} // namespace Platform
