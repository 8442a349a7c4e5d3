#pragma once

#include <QCursor>
#include <QString>
#include <optional>

class QWidget;

namespace Platform {

// Reads a Windows cursor (.cur) or icon (.ico) file as a pointer. A cursor's
// hotspot comes from its directory entry; an icon's is its centre. Nothing
// when the file is missing or unreadable.
std::optional<QCursor> loadPointerFile(const QString &path);

// Gives `widget` the pointer for a code: default unsets it (the parent's
// shows), arrow, hourglass, or `custom` (the arrow when there is none).
void setWidgetPointer(QWidget *widget, int code, const std::optional<QCursor> &custom = {});

// The code a widget's pointer currently stands for.
int widgetPointerCode(const QWidget *widget);

// The application-wide pointer, kept as a single level: any code other than
// default replaces it, default removes it.
void setApplicationPointer(int code);
int applicationPointerCode();

} // namespace Platform
