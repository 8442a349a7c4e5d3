#include "render/tokens.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace rw {

RenderTokens::RenderTokens(std::string folder, int count)
    : folder_(std::move(folder)), count_(std::max(1, count))
{
}

RenderTokens RenderTokens::fromEnvironment()
{
    const char *folder = std::getenv("RASTERWELL_RENDER_TOKENS");
    const unsigned cores = std::thread::hardware_concurrency();
    return RenderTokens(folder ? folder : "", cores > 0 ? int(cores) : 1);
}

std::string RenderTokens::tokenPath(int index) const
{
    return folder_ + "/token-" + std::to_string(index);
}

void RenderTokens::reportUnusable(const std::string &why) const
{
    if (!reported_->exchange(true))
        std::fprintf(stderr, "rwrender: %s; rendering without tokens\n", why.c_str());
}

TokenHolder::TokenHolder(const RenderTokens &tokens, int slot) : tokens_(tokens), slot_(slot)
{
    if (!tokens.enabled())
        return;
    for (int i = 0; i < tokens.count(); ++i) {
        const std::string path = tokens.tokenPath(i);
        FileLock token(path, 0600);
        if (!token.open()) {
            giveUp("cannot use the rendering token " + path + ": " + token.why());
            return;
        }
        locks_.push_back(std::move(token));
    }
}

TokenHolder::~TokenHolder() = default; // closing also gives up a lock still held

void TokenHolder::giveUp(const std::string &why)
{
    tokens_.reportUnusable(why);
    locks_.clear();
    held_ = -1;
}

void TokenHolder::acquire(const std::function<void()> &beforeWaiting)
{
    if (locks_.empty() || held_ >= 0)
        return;
    // Try every token without waiting, starting at a place of this
    // thread's own so that threads spread over the tokens; when all are
    // taken, look again shortly. A page takes milliseconds or more, so a
    // short poll costs nothing measurable and needs no waiting on one
    // token while another is free.
    const int n = int(locks_.size());
    const int start = (slot_ + int(::getpid())) % n;
    auto pause = std::chrono::microseconds(500);
    for (;;) {
        for (int k = 0; k < n; ++k) {
            const int i = (start + k) % n;
            FileLock &token = locks_[std::size_t(i)];
            const FileLock::State state = token.tryLock();
            if (state == FileLock::State::Locked) {
                held_ = i;
                return;
            }
            if (state == FileLock::State::Failed) {
                // A file system without flock: render without tokens.
                giveUp("cannot lock a rendering token: " + token.why());
                return;
            }
        }
        if (beforeWaiting && pause == std::chrono::microseconds(500))
            beforeWaiting();
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(4000));
    }
}

void TokenHolder::release()
{
    if (held_ < 0)
        return;
    locks_[std::size_t(held_)].unlock(true);
    held_ = -1;
}

} // namespace rw
