// Forms system error texts; strerror_r comes in a GNU and an XSI flavour, and overloads pick
// whichever this C library declares.
#include "tools/os_error.hpp"

#include <locale.h>
#include <string.h>

#include <cstring>
#include <string>

#include "tools/text.hpp"

namespace kestrin {
namespace {

// Made once and never freed: strerror_l with it is safe on any thread, unlike switching the
// process locale.
locale_t c_locale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

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
    // The message comes in the encoding of the process locale (Latin-1 under fr_FR.ISO-8859-1),
    // and every text we hand out must be UTF-8: then the "C" locale's message serves instead.
    if (!is_valid_utf8(text)) {
        if (const locale_t c = c_locale()) text = ::strerror_l(error_number, c);
        else text = decode_utf8_lossy(text);
    }
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return text;
}

}  // namespace kestrin
