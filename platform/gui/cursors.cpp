#include "platform/gui/cursors.h"

#include "platform/pointer.h"

#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QWidget>

namespace Platform {

std::optional<QCursor> loadPointerFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.peek(22);
    if (head.size() < 22)
        return std::nullopt;
    auto u16 = [&](int at) { return int(uchar(head[at])) | (int(uchar(head[at + 1])) << 8); };
    const int type = u16(2); // 1 icon, 2 cursor

    QImageReader reader(&file, "ico");
    const QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    int hotX = image.width() / 2, hotY = image.height() / 2;
    if (type == 2) {
        hotX = u16(10);
        hotY = u16(12);
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

void setWidgetPointer(QWidget *widget, int code, const std::optional<QCursor> &custom)
{
    switch (code) {
    case PointerArrow: widget->setCursor(Qt::ArrowCursor); break;
    case PointerHourglass: widget->setCursor(Qt::WaitCursor); break;
    case PointerCustom: widget->setCursor(custom ? *custom : QCursor(Qt::ArrowCursor)); break;
    default: widget->unsetCursor(); break;
    }
    widget->setProperty("rwPointerCode", code == PointerArrow || code == PointerHourglass
                                                 || code == PointerCustom
                                             ? code
                                             : int(PointerDefault));
}

int widgetPointerCode(const QWidget *widget)
{
    const QVariant v = widget->property("rwPointerCode");
    return v.isValid() ? v.toInt() : int(PointerDefault);
}

void setApplicationPointer(int code)
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
    if (code == PointerHourglass)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else if (code == PointerArrow)
        QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
}

int applicationPointerCode()
{
    const QCursor *c = QGuiApplication::overrideCursor();
    if (!c)
        return PointerDefault;
    return c->shape() == Qt::WaitCursor ? int(PointerHourglass) : int(PointerArrow);
}

} // namespace Platform
