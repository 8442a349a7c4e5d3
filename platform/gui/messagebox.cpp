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

void QMessageBoxSink::openMessage(const QString &text, const QString &title, MessageIcon icon,
                                  const QString &details, std::function<void()> answered)
{
    auto *box = new QMessageBox(icon == MessageIcon::Exclamation ? QMessageBox::Warning
                                                                 : QMessageBox::NoIcon,
                                title, displayPath(text), QMessageBox::Ok, parent_.data());
    if (!details.isEmpty())
        box->setDetailedText(displayPath(details));
    // As modal as a box of showMessage, which exec() makes application modal.
    box->setWindowModality(Qt::ApplicationModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Answered however it goes: closed by the user, or taken down with its
    // parent.
    QObject::connect(box, &QObject::destroyed, [answered = std::move(answered)] {
        if (answered)
            answered();
    });
    box->show();
}

} // namespace Platform
