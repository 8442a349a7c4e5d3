#include "render/pagesink.h"

#include "common/files.h"

#include "render/settings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

bool parsePageRanges(const std::string &text, std::vector<std::pair<int, int>> &ranges)
{
    std::vector<std::pair<int, int>> parsed;
    auto number = [](const char *&at, int &out) {
        if (*at < '0' || *at > '9')
            return false;
        char *end = nullptr;
        errno = 0;
        const long value = std::strtol(at, &end, 10);
        if (errno != 0 || value < 1 || value > INT_MAX)
            return false;
        out = int(value);
        at = end;
        return true;
    };
    const char *at = text.c_str();
    if (text.empty() || text.size() != std::char_traits<char>::length(at))
        return false;
    for (;;) {
        int first = 0;
        int last = 0;
        if (!number(at, first))
            return false;
        last = first;
        if (*at == '-') {
            ++at;
            last = 0;
            if (*at != ',' && *at != '\0' && (!number(at, last) || last < first))
                return false;
        }
        parsed.emplace_back(first, last);
        if (*at == '\0')
            break;
        if (*at++ != ',')
            return false;
    }
    ranges = std::move(parsed);
    return true;
}

std::string pageRangesText(const std::vector<std::pair<int, int>> &ranges)
{
    std::string out;
    for (const auto &[first, last] : ranges) {
        if (!out.empty())
            out += ',';
        out += std::to_string(first);
        if (last != first)
            out += '-' + (last == 0 ? std::string() : std::to_string(last));
    }
    return out;
}

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
    wantedCount_ = pageCount;
}

void PageSink::wantOnly(const std::vector<std::pair<int, int>> &ranges)
{
    if (ranges.empty())
        return;
    const int count = pageCount();
    std::vector<bool> wanted(std::size_t(count), false);
    std::string pastEnd;
    for (const auto &[first, last] : ranges) {
        for (int page = first; page <= (last == 0 ? count : last) && page <= count; ++page)
            wanted[std::size_t(page - 1)] = true;
        if (last == 0 ? first <= count : last <= count)
            continue;
        const int from = std::max(first, count + 1);
        pastEnd += (pastEnd.empty() ? "" : ", ") + std::to_string(from);
        if (last == 0 || last > from)
            pastEnd += '-' + (last == 0 ? std::string() : std::to_string(last));
    }
    wantedCount_ = 0;
    for (int i = 0; i < count; ++i) {
        if (wanted[std::size_t(i)])
            ++wantedCount_;
        else
            pages_[std::size_t(i)] = State::Unwanted;
    }
    if (!pastEnd.empty())
        std::fprintf(stderr, "rwrender: note: pages asked for past the last page (%d): %s\n", count,
                     pastEnd.c_str());
}

PageSink::~PageSink()
{
    for (int i = 0; i < pageCount(); ++i)
        if (pages_[std::size_t(i)] != State::Done)
            ::unlink(tempPath(i).c_str());
}

std::string PageSink::tempPath(int index) const
{
    return tempStem_ + zeroPadded(index + 1, digits_) + extension_;
}

std::string PageSink::finalPath(int index) const
{
    return folder_ + "/" + base_ + "-" + zeroPadded(index + 1, digits_) + extension_;
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
    std::lock_guard lock(mutex_);
    if (pages_[std::size_t(index)] == State::Unwanted)
        return;
    ::unlink(tempPath(index).c_str());
    pages_[std::size_t(index)] = State::Failed;
}

bool PageSink::complete() const
{
    std::lock_guard lock(mutex_);
    return written_ == wantedCount_;
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
            if (pages_[std::size_t(i)] != State::Done && pages_[std::size_t(i)] != State::Unwanted)
                missing.push_back(i + 1);
    }
    if (missing.empty())
        return;
    std::fprintf(stderr, "rwrender: %d of %d pages could not be rendered: %s\n",
                 int(missing.size()), wantedCount_, pageList(missing).c_str());
}

} // namespace rw
