// One JSON document read into a tree, by RFC 8259 and the limits that ffprobe's report is read
// with.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrin {

using JsonValue = nlohmann::json;

// Arrays and objects may nest this deep; one level more fails.
inline constexpr std::size_t json_nesting_limit = 128;

// The tree of `bytes`, or nothing when they are not exactly one JSON value with only space, tab,
// line feed or carriage return around it. Fails also on a leading byte-order mark, invalid UTF-8,
// a "\u" escape of a lone surrogate, deeper nesting than the limit, and a number too large for a
// double. Integers that fit 64 bits (unsigned when not negative, signed when negative) keep their
// exact value; other numbers become doubles. Of duplicate member names the later one counts.
std::optional<JsonValue> read_json_document(std::string_view bytes);

}  // namespace kestrin
