#include "render/pagetimer.h"

#include <algorithm>
#include <atomic>

namespace rw {

PageTimer::PageTimer(double seconds, int slots) : limit_(seconds), slots_(std::size_t(slots))
{
    if (limit_ > 0)
        thread_ = std::thread([this] { run(); });
}

PageTimer::~PageTimer()
{
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
}

void PageTimer::arm(int slot, fz_cookie *cookie)
{
    if (limit_ <= 0)
        return;
    std::lock_guard lock(mutex_);
    Slot &s = slots_[std::size_t(slot)];
    s.cookie = cookie;
    s.deadline = Clock::now()
                 + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(limit_));
    s.armed = true;
    wake_.notify_all();
}

void PageTimer::disarm(int slot)
{
    if (limit_ <= 0)
        return;
    std::lock_guard lock(mutex_);
    slots_[std::size_t(slot)].armed = false;
}

void PageTimer::run()
{
    std::unique_lock lock(mutex_);
    Clock::time_point expected = Clock::now();
    while (!stop_) {
        auto now = Clock::now();
        // Woken far later than asked: the process was stopped (SIGSTOP,
        // a suspended job). That time is no page's: the deadlines move.
        const auto late = now - expected;
        if (late > kLateWake)
            for (Slot &s : slots_)
                if (s.armed)
                    s.deadline += late;
        auto next = now + std::chrono::hours(1);
        for (Slot &s : slots_) {
            if (!s.armed)
                continue;
            if (s.deadline <= now) {
                // MuPDF polls this field while it runs the page.
                std::atomic_ref<int>(s.cookie->abort).store(1);
                s.armed = false;
            } else {
                // Short naps while a page runs, so that a stop is seen.
                next = std::min({next, s.deadline, now + kNap});
            }
        }
        expected = next;
        wake_.wait_until(lock, next);
        // Woken early (a page armed, or the end): not late.
        expected = std::min(expected, Clock::now());
    }
}

} // namespace rw
