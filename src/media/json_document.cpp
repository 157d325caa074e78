// nlohmann/json checks the grammar, the UTF-8 of strings, raw control characters, escapes and
// surrogate pairs. What it lacks is added here, in the one layer between its SAX parser and
// every listener: it skips a byte-order mark, takes a NUL byte for the end of the input (so "{}"
// followed by NUL and anything would pass), and knows no nesting limit (the parser itself keeps
// its nesting on a heap stack, so even 100000 open brackets never recurse). The layer also gives
// floating numbers their value from the written text, because the library reads them with strtod
// in the process's locale.
#include "media/json_document.hpp"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "media/number_text.hpp"

namespace kestrin {
namespace {

// The SAX interface nlohmann/json drives, checked and handed on to a listener.
class CheckedEvents {
public:
    explicit CheckedEvents(JsonListener& listener) : listener_(listener) {}

    bool null() {
        listener_.null();
        return true;
    }
    bool boolean(bool value) {
        listener_.boolean(value);
        return true;
    }
    bool number_integer(JsonValue::number_integer_t value) {
        listener_.signed_integer(value);
        return true;
    }
    bool number_unsigned(JsonValue::number_unsigned_t value) {
        listener_.unsigned_integer(value);
        return true;
    }
    bool number_float(JsonValue::number_float_t, const JsonValue::string_t& written) {
        const auto value = parse_number_text(with_plain_decimal_point(written));
        if (!value || !std::isfinite(*value)) return false;
        listener_.floating(*value);
        return true;
    }
    bool string(JsonValue::string_t& value) {
        listener_.string(value);
        return true;
    }
    bool binary(JsonValue::binary_t&) { return false; }  // never produced from JSON text
    bool start_object(std::size_t) {
        if (!deeper()) return false;
        listener_.start_object();
        return true;
    }
    bool key(JsonValue::string_t& name) {
        listener_.member_name(name);
        return true;
    }
    bool end_object() {
        --depth_;
        listener_.end_object();
        return true;
    }
    bool start_array(std::size_t) {
        if (!deeper()) return false;
        listener_.start_array();
        return true;
    }
    bool end_array() {
        --depth_;
        listener_.end_array();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const JsonValue::exception&) {
        return false;
    }

private:
    // The library writes the locale's decimal point (its first byte) into the number text in
    // place of "."; the JSON grammar leaves no other byte but digits, signs and "e".
    static std::string with_plain_decimal_point(const JsonValue::string_t& written) {
        std::string text = written;
        for (char& c : text) {
            const bool number_byte = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' ||
                                     c == 'E';
            if (!number_byte) c = '.';
        }
        return text;
    }

    bool deeper() {
        if (depth_ == json_nesting_limit) return false;
        ++depth_;
        return true;
    }

    JsonListener& listener_;
    std::size_t depth_ = 0;
};

}  // namespace

bool read_json(std::string_view bytes, JsonListener& listener) {
    // The library would skip a byte-order mark silently. A NUL byte has no place anywhere in
    // JSON text (inside a string it is a raw control character), but the library stops at one.
    if (bytes.starts_with("\xEF\xBB\xBF")) return false;
    if (bytes.find('\0') != bytes.npos) return false;
    CheckedEvents events(listener);
    return JsonValue::sax_parse(bytes.begin(), bytes.end(), &events,
                                JsonValue::input_format_t::json, /*strict=*/true,
                                /*ignore_comments=*/false);
}

}  // namespace kestrin
