#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace Platform {

// Turns INT, TERM and HUP into a call on the event loop, so that a long
// running command can end cleanly (its companions ended, its staging
// folders cleared) instead of dying at once. A second such signal ends the
// process the usual way. One instance at a time.
class StopSignals {
public:
    explicit StopSignals(std::function<void()> onStop);
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    bool received() const { return received_; }
    // The first signal received; 0 before.
    int signal() const { return signal_; }

private:
    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> onStop_;
    bool received_ = false;
    int signal_ = 0;
};

// Ends the process by `signal` with its default action, as if it had never
// been caught (so the parent sees how it ended); a stop that was handled
// cleanly ends this way.
[[noreturn]] void endBySignal(int signal);

} // namespace Platform
