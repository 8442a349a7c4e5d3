#pragma once

namespace Platform {

// Lets the window process its pending events, and waits while still doing
// so. Long waits go through this so that tests and benchmarks can observe or
// replace them.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processEvents() = 0;
    // Waits `ms` milliseconds while the event loop keeps running.
    virtual void pause(int ms) = 0;
    // Processes events, waiting until at least one arrives (a child process
    // ending wakes it) or `maxMs` milliseconds have passed. Callers check
    // what they wait for after each return.
    virtual void waitForEvents(int maxMs) { pause(maxMs); }
};

class QtEventPump final : public EventPump {
public:
    void processEvents() override;
    void pause(int ms) override;
    void waitForEvents(int maxMs) override;
};

} // namespace Platform
