#pragma once

namespace Platform {

// Lets the window process its pending events, and pauses while still doing
// so. Long waits go through this so that tests and benchmarks can observe or
// replace them.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processEvents() = 0;
    // Waits `ms` milliseconds while the event loop keeps running.
    virtual void pause(int ms) = 0;
};

class QtEventPump final : public EventPump {
public:
    void processEvents() override;
    void pause(int ms) override;
};

} // namespace Platform
