#pragma once

#include <QString>
#include <functional>

namespace Platform {
class Clock;
class Dialogs;
class EventPump;
class HomePageOpener;
class MessageSink;
class ProcessApi;
class RandomSource;
} // namespace Platform

// Every outside effect the window reaches, so tests can replace each one.
struct AppServices {
    QString appFolder;
    Platform::MessageSink *messages = nullptr;
    Platform::ProcessApi *processes = nullptr;
    Platform::Clock *clock = nullptr;
    Platform::RandomSource *random = nullptr;
    Platform::HomePageOpener *homePage = nullptr;
    Platform::Dialogs *dialogs = nullptr;
    Platform::EventPump *pump = nullptr;
    // Ends the program at once; the default terminates our children and exits.
    std::function<void()> endProgram;
};
