#include "platform/gui/messagebox.h"

#include "platform/pathcodec.h"

#include <QMessageBox>

namespace Platform {

// A path with bytes that are not UTF-8 is shown with those bytes escaped;
// paths enter message texts escaped already, the lines of a text stay.
void QMessageBoxSink::showMessage(const QString &text, const QString &title, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    title, displayPath(text, Controls::KeepLineBreaks), QMessageBox::Ok, parent_.data());
    box.exec();
}

} // namespace Platform
