// A cancellation handle: tripped from any thread, it wakes the thread that follows a child.
#pragma once

#include <atomic>

#include "tools/unique_fd.hpp"

namespace kestrin {

class Cancellation {
public:
    Cancellation();
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    // Safe from any thread, and more than once; never blocks.
    void trip() noexcept;
    bool tripped() const noexcept { return tripped_.load(std::memory_order_acquire); }
    // Readable once tripped, for poll; -1 when no eventfd could be made (no descriptor left), and
    // then the follower notices the trip at its next periodic wake instead.
    int fd() const { return event_.get(); }

private:
    std::atomic<bool> tripped_{false};
    UniqueFd event_;
};

}  // namespace kestrin
