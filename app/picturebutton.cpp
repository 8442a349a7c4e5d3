#include "app/picturebutton.h"

#include <QPainter>
#include <QStyleOptionButton>

PictureButton::PictureButton(QWidget *parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setIconSize(QSize(32, 32));
}

QSize PictureButton::sizeHint() const
{
    return {145, 73};
}

void PictureButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Button));

    QStyleOptionButton option;
    option.initFrom(this);
    option.features = QStyleOptionButton::None;
    if (isDown() || isChecked())
        option.state |= QStyle::State_Sunken;
    else
        option.state |= QStyle::State_Raised;
    if (isChecked())
        option.state |= QStyle::State_On;
    style()->drawControl(QStyle::CE_PushButtonBevel, &option, &p, this);

    const int shift = (isDown() || isChecked()) ? 1 : 0;
    const QRect pictureRect(QPoint((width() - 32) / 2 + shift, 5 + shift), QSize(32, 32));
    icon().paint(&p, pictureRect, Qt::AlignCenter,
                 isEnabled() ? QIcon::Normal : QIcon::Disabled);

    const QRect textRect(4 + shift, 38 + shift, width() - 8, height() - 40);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                             QPalette::ButtonText));
    p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text());

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(4, 4, -4, -4);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}
