// Stopping a long computation early (an interrupt from the keyboard, say). The core polls at
// block boundaries, never per element, so hot loops keep their speed; whoever started the
// call owns the token and decides when to stop. A stopped computation unwinds by throwing
// Cancelled: buffers are freed on the way out, and the long operations commit to their
// objects (a generator's state, say) only after their last block, so nothing has changed.
#pragma once

#include <atomic>

namespace veltrix {

// Thrown at a poll once a stop has been requested. Not an error: the owner of the token
// knows why it stopped.
struct Cancelled {};

struct CancelToken {
    std::atomic<bool> requested{false};
    // Run at the polls of the thread that installed the token (the caller's thread, which may
    // look for a pending interrupt there); it sets `requested` to stop. Threads the core
    // starts for the call only read the flag.
    void (*poll)(CancelToken&) = nullptr;
};

namespace cancel {

// The token of the call running on this thread, if any; is_owner on the installing thread.
inline thread_local CancelToken* current = nullptr;
inline thread_local bool is_owner = false;

// At a block boundary: throws Cancelled once a stop is requested.
inline void check() {
    CancelToken* t = current;
    if (!t) return;
    if (is_owner && t->poll) t->poll(*t);
    if (t->requested.load(std::memory_order_relaxed)) throw Cancelled{};
}

// Installs `token` on this thread for a scope: the owner's scope, or a started thread's.
class Scope {
public:
    Scope(CancelToken* token, bool owner) noexcept : prev_(current), prev_owner_(is_owner) {
        current = token;
        is_owner = owner;
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope() {
        current = prev_;
        is_owner = prev_owner_;
    }

private:
    CancelToken* prev_;
    bool prev_owner_;
};

}  // namespace cancel
}  // namespace veltrix
