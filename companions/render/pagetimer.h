#pragma once

#include <mupdf/fitz.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace rw {

// Aborts pages that run past the time limit through their fz_cookie. Each
// worker owns one slot; arming and firing happen under one mutex so a late
// abort can never hit the worker's next page.
class PageTimer {
public:
    PageTimer(double seconds, int slots);
    ~PageTimer();
    PageTimer(const PageTimer &) = delete;
    PageTimer &operator=(const PageTimer &) = delete;

    void arm(int slot, fz_cookie *cookie);
    void disarm(int slot);

private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        fz_cookie *cookie = nullptr;
        Clock::time_point deadline;
        bool armed = false;
    };

    void run();

    static constexpr auto kNap = std::chrono::milliseconds(200);
    static constexpr auto kLateWake = std::chrono::milliseconds(500);

    double limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Slot> slots_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace rw
