#pragma once

#include "convert/companionfiles.h"

class ApplicationPointer;

namespace Platform {
class EventPump;
} // namespace Platform

namespace Shell32 {
class Launcher;
} // namespace Shell32

// The password probe and the rasteriser: the PDF work, done by the companion
// programs in the application folder.
namespace PDF {

// What both operations work with. They assume that no one else uses the
// application folder's result file and staging folder meanwhile (the run
// holds the folder's lock).
struct Context {
    CompanionFiles files;
    Shell32::Launcher &launcher;
    Platform::EventPump &pump;
    ApplicationPointer &pointer;
};

} // namespace PDF
