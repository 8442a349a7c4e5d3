#include "platform/display.h"

#include <QtGlobal>

namespace Platform {

bool displayConfigured()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
           || !qEnvironmentVariableIsEmpty("DISPLAY")
           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace Platform
