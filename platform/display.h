#pragma once

namespace Platform {

// True when the environment names a display the window could open on (or a
// Qt platform is chosen explicitly).
bool displayConfigured();

} // namespace Platform
