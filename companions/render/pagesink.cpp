#include "render/pagesink.h"

#include "common/files.h"

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

std::string pageList(const std::vector<int> &pages)
{
    std::string out;
    for (std::size_t i = 0; i < pages.size();) {
        std::size_t end = i;
        while (end + 1 < pages.size() && pages[end + 1] == pages[end] + 1)
            ++end;
        if (!out.empty())
            out += ", ";
        out += std::to_string(pages[i]);
        if (end > i) {
            out += '-';
            out += std::to_string(pages[end]);
        }
        i = end + 1;
    }
    return out;
}

PageSink::PageSink(std::string prefix, int pageCount)
    : folder_(folderOf(prefix)), base_(fileNameOf(prefix)), pages_(std::size_t(pageCount))
{
    digits_ = std::max(3, int(std::to_string(pageCount).size()));
    tempStem_ = folder_ + "/.tmp-" + base_ + "-" + std::to_string(::getpid()) + "-";
}

PageSink::~PageSink()
{
    for (int i = 0; i < pageCount(); ++i)
        if (pages_[std::size_t(i)] != State::Done)
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

bool PageSink::pageWritten(int index)
{
    std::string error;
    const bool renamed = renameFile(tempPath(index), finalPath(index), error);
    if (!renamed) {
        std::fprintf(stderr, "rwrender: page %d: cannot rename the image to %s: %s\n", index + 1,
                     finalPath(index).c_str(), error.c_str());
        ::unlink(tempPath(index).c_str());
    }
    std::lock_guard lock(mutex_);
    pages_[std::size_t(index)] = renamed ? State::Done : State::Failed;
    if (renamed)
        ++written_;
    return renamed;
}

void PageSink::pageFailed(int index)
{
    ::unlink(tempPath(index).c_str());
    std::lock_guard lock(mutex_);
    pages_[std::size_t(index)] = State::Failed;
}

bool PageSink::complete() const
{
    std::lock_guard lock(mutex_);
    return written_ == pageCount();
}

int PageSink::writtenCount() const
{
    std::lock_guard lock(mutex_);
    return written_;
}

void PageSink::reportMissing() const
{
    std::vector<int> missing;
    {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < pageCount(); ++i)
            if (pages_[std::size_t(i)] != State::Done)
                missing.push_back(i + 1);
    }
    if (missing.empty())
        return;
    std::fprintf(stderr, "rwrender: %d of %d pages could not be rendered: %s\n",
                 int(missing.size()), pageCount(), pageList(missing).c_str());
}

} // namespace rw
