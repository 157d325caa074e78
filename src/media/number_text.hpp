// Decimal number texts as ffprobe writes them ("12.500000", "N/A"), read the same way in every
// locale.
#pragma once

#include <optional>
#include <string_view>

namespace kestrin {

// The double nearest to `text` (ties to even), or nothing when `text` is not, as a whole, an
// optionally signed decimal number ("5", "5.", ".5", "-1.5e-3") or one of the words inf, infinity
// and nan in any letter case. A value too large becomes an infinity of its sign, one too small a
// zero of its sign. White space, hexadecimal forms and digit separators are not numbers.
std::optional<double> parse_number_text(std::string_view text);

}  // namespace kestrin
