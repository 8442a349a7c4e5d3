#pragma once

// Rendering tokens shared by the renderers of one run. The program may run
// several renderers side by side, one per document; each would start a
// thread per core. With a token folder (RASTERWELL_RENDER_TOKENS) the
// renderers share `count` tokens, the files token-0 .. token-(count-1)
// there: a rendering thread holds one, an flock() lock on the file, while
// it renders and encodes a page, so together they never render more pages
// at once than there are cores, and a renderer alone still uses them all.
// A lock belongs to its open file description and goes away with the
// process, so a killed renderer can never keep a token.

#include "common/filelock.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rw {

class RenderTokens {
public:
    // `folder` empty: no tokens, every wait returns at once.
    RenderTokens(std::string folder, int count);

    // The folder named by RASTERWELL_RENDER_TOKENS (unset or empty: none),
    // one token per core.
    static RenderTokens fromEnvironment();

    bool enabled() const { return !folder_.empty(); }
    int count() const { return count_; }
    std::string tokenPath(int index) const;

    // Says on stderr, once for all threads, that the tokens cannot be used.
    void reportUnusable(const std::string &why) const;

private:
    std::string folder_;
    int count_ = 0;
    std::shared_ptr<std::atomic<bool>> reported_ = std::make_shared<std::atomic<bool>>(false);
};

// One rendering thread's access to the tokens: descriptors of its own, so
// that threads of one renderer exclude each other as well as other
// renderers. When the token files cannot be used the thread says so once
// and renders without a token rather than not at all.
class TokenHolder {
public:
    TokenHolder(const RenderTokens &tokens, int slot);
    ~TokenHolder();
    TokenHolder(const TokenHolder &) = delete;
    TokenHolder &operator=(const TokenHolder &) = delete;

    // True when the tokens are in use (shared with other renderers).
    bool shared() const { return !locks_.empty(); }

    // Waits until this thread holds a token; `beforeWaiting`, when given,
    // runs once if the thread has to wait.
    void acquire(const std::function<void()> &beforeWaiting = {});
    void release();

private:
    void giveUp(const std::string &why);

    const RenderTokens &tokens_;
    std::vector<FileLock> locks_; // one per token; empty: no tokens in use
    int slot_;
    int held_ = -1;
};

// Holds a token for one page.
class TokenLease {
public:
    explicit TokenLease(TokenHolder &holder, const std::function<void()> &beforeWaiting = {})
        : holder_(holder)
    {
        holder_.acquire(beforeWaiting);
    }
    ~TokenLease() { holder_.release(); }
    TokenLease(const TokenLease &) = delete;
    TokenLease &operator=(const TokenLease &) = delete;

private:
    TokenHolder &holder_;
};

} // namespace rw
