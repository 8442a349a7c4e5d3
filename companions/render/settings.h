#pragma once

#include "render/tokens.h"

#include <string>
#include <utility>
#include <vector>

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
    // Which pages to render: ranges of 1-based page numbers, a last of 0
    // meaning "to the end"; empty: every page.
    std::vector<std::pair<int, int>> pageRanges;
    int scaleTo = 0;   // the long side of every image in pixels; 0: by dpi
    bool gray = false; // one grey channel instead of RGB
    bool png = false;  // PNG (lossless) instead of JPEG
    // Where page buffers outlive the document (a render service's worker).
    BufferStash *spareBuffers = nullptr;
};

// "1,3,5-7,10-" into ranges (a last of 0: to the end); false when the text
// is no such list (pages count from 1, a range never runs backwards).
bool parsePageRanges(const std::string &text, std::vector<std::pair<int, int>> &ranges);
// The ranges as text again ("1,3,5-7,10-").
std::string pageRangesText(const std::vector<std::pair<int, int>> &ranges);

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
