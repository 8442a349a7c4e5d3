#pragma once

// Pointer codes shared by the main window, the list and the application-wide
// pointer: 0 inherits (default), 1 arrow, 11 hourglass, 99 the loaded picture.
namespace Platform {

enum PointerCode : int {
    PointerDefault = 0,
    PointerArrow = 1,
    PointerHourglass = 11,
    PointerCustom = 99,
};

} // namespace Platform

namespace Platform {

// A window's own pointer setting, read and written by the commands and the
// pointer feedback (the hourglass marks the window busy).
class PointerSetting {
public:
    virtual ~PointerSetting() = default;
    virtual int pointer() const = 0;
    virtual void setPointer(int code) = 0;
};

} // namespace Platform
