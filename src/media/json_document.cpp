// nlohmann/json checks the grammar, the UTF-8 of strings, raw control characters, escapes and
// surrogate pairs. What it lacks is added here: it skips a byte-order mark, takes a NUL byte for
// the end of the input (so "{}" followed by NUL and anything would pass), and knows no nesting
// limit, so the tree is built by a SAX handler of our own that stops at the limit (the parser
// itself keeps its nesting on a heap stack, so even 100000 open brackets never recurse). The
// handler also gives floating numbers their value from the written text, because the library
// reads them with strtod in the process's locale.
#include "media/json_document.hpp"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "media/number_text.hpp"

namespace kestrin {
namespace {

class TreeBuilder {
public:
    bool null() { return place(nullptr); }
    bool boolean(bool value) { return place(value); }
    bool number_integer(JsonValue::number_integer_t value) { return place(value); }
    bool number_unsigned(JsonValue::number_unsigned_t value) { return place(value); }
    bool number_float(JsonValue::number_float_t, const JsonValue::string_t& written) {
        const auto value = parse_number_text(with_plain_decimal_point(written));
        return value && std::isfinite(*value) && place(*value);
    }
    bool string(JsonValue::string_t& value) { return place(std::move(value)); }
    bool binary(JsonValue::binary_t&) { return false; }  // never produced from JSON text
    bool start_object(std::size_t) { return open(JsonValue::object()); }
    bool key(JsonValue::string_t& name) {
        key_ = std::move(name);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(JsonValue::array()); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const JsonValue::exception&) {
        return false;
    }

    JsonValue take_root() { return std::move(root_); }

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

    // Puts `value` where the parse stands: the root, the next array element, or the member
    // under the last key (replacing an earlier member of the same name). Containers on the open
    // stack are never moved while they are open: an array or object only grows while it is the
    // innermost one, and an object's members are nodes that stay put.
    JsonValue* put(JsonValue value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        JsonValue& container = *open_.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        JsonValue& member = container[key_];
        member = std::move(value);
        return &member;
    }

    bool place(JsonValue value) {
        put(std::move(value));
        return true;
    }

    bool open(JsonValue container) {
        if (open_.size() == json_nesting_limit) return false;
        open_.push_back(put(std::move(container)));
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    JsonValue root_;
    std::vector<JsonValue*> open_;
    JsonValue::string_t key_;
};

}  // namespace

std::optional<JsonValue> read_json_document(std::string_view bytes) {
    // The library would skip a byte-order mark silently. A NUL byte has no place anywhere in
    // JSON text (inside a string it is a raw control character), but the library stops at one.
    if (bytes.starts_with("\xEF\xBB\xBF")) return std::nullopt;
    if (bytes.find('\0') != bytes.npos) return std::nullopt;
    TreeBuilder builder;
    const bool parsed = JsonValue::sax_parse(bytes.begin(), bytes.end(), &builder,
                                             JsonValue::input_format_t::json, /*strict=*/true,
                                             /*ignore_comments=*/false);
    if (!parsed) return std::nullopt;
    return builder.take_root();
}

}  // namespace kestrin
