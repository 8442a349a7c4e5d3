#pragma once

// What MuPDF reports while a page runs. MuPDF draws around content it
// cannot read: a content stream that does not decode, an object a cut file
// no longer holds, an image whose data is damaged. It says so only in an
// error or warning message, and the page comes out with parts (or all) of
// it missing. A PageMessages object takes over one context's messages and
// remembers the first one, during a page's run, that means lost content.

#include "common/pdfdoc.h"

#include <string>
#include <string_view>

namespace rw {

// True when MuPDF's message means the page lost some of its content
// ("zlib error", also when MuPDF says it ignores one, "object out of range",
// "syntax error in content stream", an image that does not decode, an
// embedded font that does not load, an engine limit ...), false for the many
// it draws through unharmed (a non-embedded font replaced ...).
bool meansLostContent(std::string_view message);

// True when the message says MuPDF repaired the file's structure.
bool meansRepair(std::string_view message);

class PageMessages {
public:
    // Takes over the error and warning output of `ctx` (a context of its
    // own: a cloned context's callbacks leave its parent's alone). With
    // `verbose`, every message is also printed, with the page it came from.
    PageMessages(fz_context *ctx, bool verbose);
    ~PageMessages(); // gives the messages back to setMessageOutput
    PageMessages(const PageMessages &) = delete;
    PageMessages &operator=(const PageMessages &) = delete;

    // Around one page's run. Messages outside a page are not counted
    // against any page; within it, only while counting is on: while the
    // page is interpreted and drawn, not while it is looked up (a walk of
    // the page tree reports other pages' damage).
    void beginPage(int index);
    void setCounting(bool on);
    void endPage();

    // The first message of the current (or last) page that means its
    // content is lost; empty when none did.
    const std::string &lost() const { return lost_; }

    // The first message of the current (or last) page saying that MuPDF
    // repaired the file while the page was looked up or run; empty when it
    // did not. What the page lost before the repair may be back after it.
    const std::string &repair() const { return repair_; }

    // Forgets what the current page reported so far (before it is run
    // again from the repaired file).
    void restartPage() { lost_.clear(); repair_.clear(); }

private:
    static void onMessage(void *self, const char *message);
    void take(const char *message);

    fz_context *ctx_;
    bool verbose_;
    int page_ = -1; // running page, -1 between pages
    bool counting_ = false;
    std::string lost_;
    std::string repair_;
};

} // namespace rw
