#pragma once

#include <cstddef>
#include <vector>

namespace rw {

// The passwords the program passes to a companion: one a line, in the pipe
// whose descriptor RASTERWELL_PASSWORD_FD names (never in an argument, the
// environment or a file). Held in one buffer that is cleared with
// explicit_bzero when it goes.
class Passwords {
public:
    Passwords() = default;
    ~Passwords();
    Passwords(const Passwords &) = delete;
    Passwords &operator=(const Passwords &) = delete;

    // Reads the pipe to its end; nothing when the variable is not set. The
    // descriptor stays open (a render service worker closes it with the
    // job's other descriptors). False when it names no readable descriptor.
    bool readInherited();

    std::size_t size() const { return starts_.size(); }
    const char *operator[](std::size_t i) const { return buffer_.data() + starts_[i]; }

private:
    std::vector<char> buffer_; // the lines, each ended by a NUL
    std::vector<std::size_t> starts_;
};

// The descriptor RASTERWELL_PASSWORD_FD names, or -1.
int passwordDescriptor();

} // namespace rw
