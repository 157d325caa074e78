// Forms system error texts; strerror_r comes in a GNU and an XSI flavour, and overloads pick
// whichever this C library declares.
#include "tools/os_error.hpp"

#include <cstring>
#include <string>

namespace kestrin {
namespace {

// XSI strerror_r: fills the buffer and returns 0 on success.
[[maybe_unused]] Text message_from(int result, const char* buffer) {
    return result == 0 ? Text(buffer) : Text("Unknown error");
}

// GNU strerror_r: returns the message, which may or may not live in the buffer.
[[maybe_unused]] Text message_from(const char* result, const char*) { return Text(result); }

}  // namespace

Text os_error_text(int error_number) {
    char buffer[256] = {};
    Text text = message_from(strerror_r(error_number, buffer, sizeof buffer), buffer);
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return text;
}

}  // namespace kestrin
