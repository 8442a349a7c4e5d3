#pragma once

#include "platform/eventpump.h"

#include <functional>

namespace Fakes {

// Counts event-processing calls and runs a check at each; pauses return at
// once. QtCore only.
class WatchingPump final : public Platform::EventPump {
public:
    void processEvents() override
    {
        ++calls;
        if (onEvents)
            onEvents();
    }
    void pause(int) override {}
    int calls = 0;
    std::function<void()> onEvents;
};

} // namespace Fakes
