#pragma once

#include <condition_variable>
#include <mutex>

namespace rw {

// Bounds the pixels being rendered at once, so that two huge pages do not
// both sit in memory; normal pages never wait.
class PixelBudget {
public:
    explicit PixelBudget(double capacity) : capacity_(capacity), available_(capacity) {}

    // Waits until the pixels fit; returns what was taken (at most the whole
    // capacity, so that a page bigger than it still runs, alone).
    double acquire(double pixels);
    void release(double pixels);

private:
    double capacity_;
    double available_;
    std::mutex mutex_;
    std::condition_variable freed_;
};

} // namespace rw
