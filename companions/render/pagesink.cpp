#include "render/pagesink.h"

#include "common/files.h"
#include "render/pagesize.h"

#include <cstdio>
#include <unistd.h>

namespace rw {

namespace {

std::string zeroPadded(int number, int digits)
{
    std::string s = std::to_string(number);
    if (int(s.size()) < digits)
        s.insert(0, std::size_t(digits - int(s.size())), '0');
    return s;
}

} // namespace

PageSink::PageSink(std::string prefix, int pageCount, double dpi, int quality)
    : folder_(folderOf(prefix)),
      base_(fileNameOf(prefix)),
      dpi_(dpi),
      quality_(quality),
      pages_(std::size_t(pageCount))
{
    digits_ = std::max(3, int(std::to_string(pageCount).size()));
    tempStem_ = folder_ + "/.tmp-" + base_ + "-" + std::to_string(::getpid()) + "-";
}

PageSink::~PageSink()
{
    for (int i = 0; i < pageCount(); ++i)
        if (pages_[std::size_t(i)].state != State::Committed)
            ::unlink(tempPath(i).c_str());
}

std::string PageSink::tempPath(int index) const
{
    return tempStem_ + zeroPadded(index + 1, digits_) + ".jpg";
}

std::string PageSink::finalPath(int index) const
{
    return folder_ + "/" + base_ + "-" + zeroPadded(index + 1, digits_) + ".jpg";
}

void PageSink::pageWritten(int index, int width, int height)
{
    settle(index, State::Written, width, height);
}

void PageSink::pageFailed(int index, int width, int height)
{
    settle(index, State::Failed, width, height);
}

void PageSink::settle(int index, State state, int width, int height)
{
    std::lock_guard lock(mutex_);
    Page &page = pages_[std::size_t(index)];
    page.state = state;
    page.width = width;
    page.height = height;
    if (state == State::Written)
        ++written_;
    else
        ok_ = false;
    commitLocked(false);
}

bool PageSink::finish()
{
    std::lock_guard lock(mutex_);
    commitLocked(true);
    return ok_ && written_ == pageCount();
}

int PageSink::writtenCount() const
{
    std::lock_guard lock(mutex_);
    return written_;
}

void PageSink::commitLocked(bool final)
{
    // The pages from next_ on that have finished, up to the first one still
    // running; within them, everything up to the last rendered page can be
    // committed. Failed pages beyond it wait for a later rendered page, or
    // are dropped at the end.
    int end = next_;
    while (end < pageCount() && pages_[std::size_t(end)].state != State::Pending)
        ++end;
    int last = next_ - 1;
    for (int i = next_; i < end; ++i)
        if (pages_[std::size_t(i)].state == State::Written)
            last = i;
    for (int i = next_; i <= last; ++i)
        if (!commitOne(i))
            ok_ = false;
    next_ = std::max(next_, last + 1);
    if (final) {
        for (int i = next_; i < pageCount(); ++i) {
            if (pages_[std::size_t(i)].state != State::Committed) {
                pages_[std::size_t(i)].state = State::Dropped;
                ::unlink(tempPath(i).c_str());
            }
        }
        next_ = pageCount();
    }
}

bool PageSink::commitOne(int index)
{
    Page &page = pages_[std::size_t(index)];
    std::string error;
    if (page.state == State::Failed) {
        int w = page.width > 0 ? page.width : lastWidth_;
        int h = page.height > 0 ? page.height : lastHeight_;
        if (w <= 0 || h <= 0) {
            w = pixelsFor(612, dpi_); // US Letter when nothing better is known
            h = pixelsFor(792, dpi_);
        }
        if (!blank_.encodeBlank(w, h, quality_, dpi_)
            || !writeWholeFile(tempPath(index), blank_.data(), blank_.size(), error)) {
            std::fprintf(stderr, "rwrender: page %d: cannot write a blank stand-in: %s\n",
                         index + 1, error.empty() ? blank_.error().c_str() : error.c_str());
            page.state = State::Dropped;
            return false;
        }
        std::fprintf(stderr,
                     "rwrender: page %d: written as a blank page so that later pages keep their "
                     "numbers\n",
                     index + 1);
        page.width = w;
        page.height = h;
    }
    if (!renameFile(tempPath(index), finalPath(index), error)) {
        std::fprintf(stderr, "rwrender: page %d: cannot rename to %s: %s\n", index + 1,
                     finalPath(index).c_str(), error.c_str());
        ::unlink(tempPath(index).c_str());
        page.state = State::Dropped;
        return false;
    }
    page.state = State::Committed;
    if (page.width > 0) {
        lastWidth_ = page.width;
        lastHeight_ = page.height;
    }
    return true;
}

} // namespace rw
