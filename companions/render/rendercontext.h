#pragma once

// The MuPDF context a renderer works with, set up the same way whether it
// is made for one document or made ahead by the render service and
// inherited by the worker it forks for each document.

#include "common/pdfdoc.h"

#include <array>
#include <memory>
#include <mutex>

namespace rw {

class RenderContext {
public:
    // Nothing when MuPDF cannot be initialised.
    static std::unique_ptr<RenderContext> create();

    fz_context *get() const { return ctx_.get(); }

    RenderContext(const RenderContext &) = delete;
    RenderContext &operator=(const RenderContext &) = delete;
    ~RenderContext() = default;

private:
    RenderContext() = default;

    static void lock(void *self, int slot);
    static void unlock(void *self, int slot);

    // One mutex per MuPDF lock slot; declared before the context, which
    // uses them until it is dropped.
    std::array<std::mutex, FZ_LOCK_MAX> locks_;
    ContextPtr ctx_;
};

class BufferStash;

// A renderer or probe started by the render service: the context is ready,
// and page buffers may be kept for the worker's next document.
struct WarmStart {
    fz_context *ctx = nullptr;
    BufferStash *spareBuffers = nullptr;
    // A probe job's document, opened by the client; -1 when it came
    // without one (the probe then opens its argument by name).
    int document = -1;
};

// The context a companion works with: the render service's, or else one
// of its own, made here.
class ContextInUse {
public:
    explicit ContextInUse(const WarmStart *warm)
        : own_(warm ? nullptr : RenderContext::create()),
          ctx_(warm ? warm->ctx : own_ ? own_->get() : nullptr)
    {
    }
    fz_context *get() const { return ctx_; }
    explicit operator bool() const { return ctx_ != nullptr; }

private:
    std::unique_ptr<RenderContext> own_;
    fz_context *ctx_;
};

} // namespace rw
