// JSON documents read by RFC 8259 and the limits that ffprobe's report is read with, told to a
// listener value by value as they are read: no tree is built, which would cost many times the
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrin {

using JsonValue = nlohmann::json;

// Arrays and objects may nest this deep; one level more fails.
inline constexpr std::size_t json_nesting_limit = 128;

// What a reader of a document hears, in document order. An object's member name comes just
// before its value; a string handed over may be moved from. A listener that throws ends the
// reading with that exception.
class JsonListener {
public:
    virtual void null() = 0;
    virtual void boolean(bool value) = 0;
    virtual void signed_integer(std::int64_t value) = 0;     // written as a negative integer
    virtual void unsigned_integer(std::uint64_t value) = 0;  // written as a non-negative one
    virtual void floating(double value) = 0;  // a fraction, an exponent, or beyond 64 bits
    virtual void string(std::string& value) = 0;
    virtual void start_object() = 0;
    virtual void member_name(std::string& name) = 0;
    virtual void end_object() = 0;
    virtual void start_array() = 0;
    virtual void end_array() = 0;

protected:
    ~JsonListener() = default;
};

// Reads `bytes` as exactly one JSON value with only space, tab, line feed or carriage return
// around it, telling `listener` what it holds; false when they are not one. The listener may
// have heard part, or all, of a document that then fails: what it gathered counts only on true.
// Fails also on a leading byte-order mark, invalid UTF-8, a "\u" escape of a lone surrogate,
// deeper nesting than the limit, and a number too large for a double. Integers that fit 64 bits
// (unsigned when not negative, signed when negative) keep their exact value; other numbers
// become doubles, read from their text whatever the process's locale.
bool read_json(std::string_view bytes, JsonListener& listener);

}  // namespace kestrin
