#include "tools/cancellation.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kestrin {

Cancellation::Cancellation() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Cancellation::trip() noexcept {
    tripped_.store(true, std::memory_order_release);
    if (!event_.valid()) return;
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is readable already.
    while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace kestrin
