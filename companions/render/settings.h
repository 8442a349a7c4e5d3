#pragma once

#include "render/tokens.h"

#include <string>

namespace rw {

class BufferStash;

struct RenderSettings {
    double dpi = 150;
    int quality = 90;
    double pageSeconds = 60; // 0: no limit
    int threads = 1;
    bool verbose = false;
    RenderTokens tokens{"", 1}; // shared with other renderers (none by default)
    // The document part of each image's record (see imagerecord.h); empty:
    // images without a record.
    std::string source;
    // Where page buffers outlive the document (a render service's worker).
    BufferStash *spareBuffers = nullptr;
};

// A document is given up after this many pages over the time limit: each
// costs the whole limit, and such pages tend to come together (they share
// the forms or images that make them slow). Its remaining pages are
// reported missing.
constexpr int kMaxPagesOverTime = 3;

// What an engine achieved on one document.
struct EngineOutcome {
    int written = 0;        // pages rendered and stored
    int failed = 0;         // pages that failed
    int lost = 0;           // of which pages whose content the file has lost
    bool timedOut = false;  // at least one page hit the time limit
};

} // namespace rw
