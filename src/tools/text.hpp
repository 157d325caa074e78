// Text helpers on UTF-8 bytes: Unicode White_Space trimming and splitting, validation, and
// lossy decoding.
#pragma once

#include <string_view>
#include <vector>

#include "kestrin.hpp"

namespace kestrin {

// The Unicode White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t code_point);

// `text` less every White_Space character at both ends. Expects valid UTF-8; stray bytes are
// kept as they are.
std::string_view trim_white_space(std::string_view text);

// The pieces of `text` between runs of White_Space characters, empty pieces dropped.
std::vector<Text> split_at_white_space(std::string_view text);

bool is_valid_utf8(std::string_view bytes);

// Decodes as UTF-8, each maximal invalid subpart replaced by one U+FFFD, as the Unicode Standard
// recommends; never fails.
Text decode_utf8_lossy(std::string_view bytes);

// The longest start of `text` of at most `limit` bytes that does not end inside a UTF-8
// sequence, so that a valid text cut short stays valid.
std::string_view utf8_prefix(std::string_view text, std::size_t limit);

// `text` with every occurrence of `word` removed, scanned left to right without overlaps.
Text remove_all(std::string_view text, std::string_view word);

}  // namespace kestrin
