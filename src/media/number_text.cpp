// The grammar is checked here, by hand, because std::from_chars accepts more than it should
// ("nan(...)", no leading "+") and reports out-of-range values without giving them; strtod would
// follow the process's locale, which a script may have changed.
#include "media/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace kestrin {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_case_word) {
    if (text.size() != lower_case_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a')
                                                          : text[i];
        if (c != lower_case_word[i]) return false;
    }
    return true;
}

// The shape of a number that passed the grammar check; `mantissa` holds digits and at most one
// point, `exponent` the digits after "e" with their sign.
struct DecimalShape {
    std::string_view mantissa;
    std::string_view exponent;
};

std::optional<DecimalShape> decimal_shape(std::string_view unsigned_text) {
    std::size_t at = 0, digits = 0;
    bool point = false;
    for (; at < unsigned_text.size(); ++at) {
        const char c = unsigned_text[at];
        if (is_digit(c)) {
            ++digits;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return std::nullopt;
    DecimalShape shape{unsigned_text.substr(0, at), {}};
    if (at == unsigned_text.size()) return shape;
    if (unsigned_text[at] != 'e' && unsigned_text[at] != 'E') return std::nullopt;
    const std::size_t exponent_start = ++at;
    if (at < unsigned_text.size() && (unsigned_text[at] == '+' || unsigned_text[at] == '-')) ++at;
    const std::size_t digits_start = at;
    while (at < unsigned_text.size() && is_digit(unsigned_text[at])) ++at;
    if (at == digits_start || at != unsigned_text.size()) return std::nullopt;
    shape.exponent = unsigned_text.substr(exponent_start);
    return shape;
}

// Whether the magnitude is at least 1. Only asked when from_chars found the value out of range,
// that is beyond the largest double or below half the smallest one: the gap between the two is
// so wide that the decimal exponent of the leading significant digit tells them apart.
bool magnitude_at_least_one(const DecimalShape& shape) {
    constexpr std::int64_t saturation = 1'000'000'000'000;  // far beyond any double's exponent
    std::int64_t exponent = 0;
    bool negative_exponent = false;
    for (const char c : shape.exponent) {
        if (c == '-') negative_exponent = true;
        if (is_digit(c) && exponent < saturation) exponent = exponent * 10 + (c - '0');
    }
    if (negative_exponent) exponent = -exponent;
    std::int64_t integer_digits = 0, leading_position = -1, position = 0;
    bool point = false;
    for (const char c : shape.mantissa) {
        if (c == '.') {
            point = true;
            continue;
        }
        if (!point) ++integer_digits;
        if (c != '0' && leading_position < 0) leading_position = position;
        ++position;
    }
    if (leading_position < 0) return false;  // all zeros
    return integer_digits - leading_position - 1 + exponent >= 0;
}

}  // namespace

std::optional<double> parse_number_text(std::string_view text) {
    std::string_view unsigned_text = text;
    bool negative = false;
    if (!unsigned_text.empty() && (unsigned_text[0] == '+' || unsigned_text[0] == '-')) {
        negative = unsigned_text[0] == '-';
        unsigned_text.remove_prefix(1);
    }
    const double sign = negative ? -1.0 : 1.0;
    if (equals_ignoring_case(unsigned_text, "inf") ||
        equals_ignoring_case(unsigned_text, "infinity"))
        return std::copysign(std::numeric_limits<double>::infinity(), sign);
    if (equals_ignoring_case(unsigned_text, "nan"))
        return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);

    const auto shape = decimal_shape(unsigned_text);
    if (!shape) return std::nullopt;
    // from_chars takes a "-" but not a "+", so it starts at the sign only when that is a minus.
    const char* first = negative ? text.data() : unsigned_text.data();
    const char* last = text.data() + text.size();
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (end != last) throw std::logic_error("from_chars stopped inside a checked number text");
    if (error == std::errc{}) return value;
    if (error != std::errc::result_out_of_range)
        throw std::logic_error("from_chars rejected a checked number text");
    return std::copysign(
        magnitude_at_least_one(*shape) ? std::numeric_limits<double>::infinity() : 0.0, sign);
}

}  // namespace kestrin
