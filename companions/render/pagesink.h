#pragma once

#include "render/jpeg.h"

#include <mutex>
#include <string>
#include <vector>

namespace rw {

// Where finished pages go. Every engine writes page i to tempPath(i), a
// hidden name that never matches "<base>*.jpg", and reports it here. Pages
// are renamed to PREFIX-NNN.jpg strictly in page order, so at any moment
// (also after a kill) the final names form a run of consecutive pages from
// the first one. NNN has the digit count of the page count, at least 3.
//
// A failed page is replaced by a blank page of its size when a later page
// was rendered, so that later pages keep their numbers; failed pages after
// the last rendered one are left out.
class PageSink {
public:
    PageSink(std::string prefix, int pageCount, double dpi, int quality);
    ~PageSink(); // removes temporary files that were never committed
    PageSink(const PageSink &) = delete;
    PageSink &operator=(const PageSink &) = delete;

    int pageCount() const { return int(pages_.size()); }
    std::string tempPath(int index) const;
    std::string finalPath(int index) const;

    // Thread-safe. Width and height 0 mean "unknown" for a failed page.
    void pageWritten(int index, int width, int height);
    void pageFailed(int index, int width, int height);

    // Commits what is left. True when every page was rendered and committed.
    bool finish();
    int writtenCount() const;

private:
    enum class State { Pending, Written, Failed, Committed, Dropped };
    struct Page {
        State state = State::Pending;
        int width = 0;
        int height = 0;
    };

    // Records how a page ended and commits what can be committed.
    void settle(int index, State state, int width, int height);
    void commitLocked(bool final);
    bool commitOne(int index);

    std::string folder_;
    std::string base_;
    std::string tempStem_;
    int digits_ = 3;
    double dpi_;
    int quality_;
    mutable std::mutex mutex_;
    std::vector<Page> pages_;
    int next_ = 0;       // first page not yet committed
    int written_ = 0;    // pages rendered (not placeholders)
    bool ok_ = true;
    int lastWidth_ = 0;  // size of the last committed page, for placeholders
    int lastHeight_ = 0;
    JpegEncoder blank_;
};

} // namespace rw
