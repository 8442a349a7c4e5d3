#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rw {

// Where finished pages go. Every engine writes page i to tempPath(i), a
// hidden name that never matches "<base>*.jpg", and reports it here: a
// written page is renamed to PREFIX-NNN.jpg at once, in whatever order the
// pages finish, so at any moment (also after a kill) every final name holds
// a complete image of the page its number names. A failed page is left out:
// nothing stands in for it. NNN has the digit count of the page count, at
// least 3.
class PageSink {
public:
    PageSink(std::string prefix, int pageCount);
    // Only the pages in `ranges` (see RenderSettings::pageRanges; empty:
    // all) are expected; the others are never rendered nor missing. Pages
    // asked for past the last one are named in one note on stderr.
    void wantOnly(const std::vector<std::pair<int, int>> &ranges);
    // ".png" instead of ".jpg" for every name.
    void setExtension(std::string extension) { extension_ = std::move(extension); }
    ~PageSink(); // removes temporary files of pages that were never renamed
    PageSink(const PageSink &) = delete;
    PageSink &operator=(const PageSink &) = delete;

    int pageCount() const { return int(pages_.size()); }
    std::string tempPath(int index) const;
    std::string finalPath(int index) const;
    bool wanted(int index) const { return pages_[std::size_t(index)] != State::Unwanted; }

    // Thread-safe. pageWritten renames the page's temporary file to its
    // final name; when that fails the page counts as failed (the reason goes
    // to stderr) and false is returned.
    bool pageWritten(int index);
    void pageFailed(int index);

    // True when every page arrived under its final name.
    bool complete() const;
    int writtenCount() const;
    int wantedCount() const { return wantedCount_; }

    // One line on stderr naming the pages that are missing, e.g.
    // "rwrender: 3 of 9 pages could not be rendered: 3, 7-8". Nothing when
    // the document is complete.
    void reportMissing() const;

private:
    enum class State { Pending, Done, Failed, Unwanted };

    std::string folder_;
    std::string base_;
    std::string tempStem_;
    int digits_ = 3;
    mutable std::mutex mutex_;
    std::vector<State> pages_;
    int written_ = 0;
    int wantedCount_ = 0;
    std::string extension_ = ".jpg";
};

// "3, 7-9, 12": ascending 1-based page numbers with runs joined.
std::string pageList(const std::vector<int> &pages);

} // namespace rw
