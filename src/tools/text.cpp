// UTF-8 handling written out by hand: the rules needed here (maximal subparts, one fixed
// White_Space set) are short and exact, and no locale may influence them.
#include "tools/text.hpp"

#include <cstdint>

namespace kestrin {
namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;  // bytes consumed; for an invalid sequence, its maximal subpart
    bool valid;
};

// Decodes the sequence at the start of `bytes` (non-empty) by the well-formed table of the
// Unicode Standard (no overlongs, no surrogates, nothing beyond U+10FFFF).
Decoded decode_one(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1, true};
    std::size_t length;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= bytes.size()) return {0, i, false};
        const unsigned char next = byte(i);
        const unsigned char lo = i == 1 ? low : 0x80;
        const unsigned char hi = i == 1 ? high : 0xBF;
        if (next < lo || next > hi) return {0, i, false};
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length, true};
}

void append_utf8(Text& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the White_Space character starting at `at`, or 0.
std::size_t white_space_at(std::string_view text, std::size_t at) {
    const Decoded d = decode_one(text.substr(at));
    return d.valid && is_white_space(d.code_point) ? d.length : 0;
}

// Length of the White_Space character ending just before `end`, or 0.
std::size_t white_space_before(std::string_view text, std::size_t end) {
    // A UTF-8 character is at most 4 bytes; try each possible start.
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        const Decoded d = decode_one(text.substr(end - length, length));
        if (d.valid && d.length == length) return is_white_space(d.code_point) ? length : 0;
    }
    return 0;
}

}  // namespace

bool is_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t length = white_space_at(text, begin);
        if (length == 0) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t length = white_space_before(text, end);
        if (length == 0) break;
        end -= length;
    }
    return text.substr(begin, end - begin);
}

std::vector<Text> split_at_white_space(std::string_view text) {
    std::vector<Text> pieces;
    std::size_t start = 0, at = 0;
    while (at < text.size()) {
        const std::size_t length = white_space_at(text, at);
        if (length == 0) {
            ++at;
            continue;
        }
        if (at > start) pieces.emplace_back(text.substr(start, at - start));
        at += length;
        start = at;
    }
    if (at > start) pieces.emplace_back(text.substr(start, at - start));
    return pieces;
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const Decoded d = decode_one(bytes.substr(at));
        if (!d.valid) return false;
        at += d.length;
    }
    return true;
}

Text decode_utf8_lossy(std::string_view bytes) {
    Text out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const Decoded d = decode_one(bytes.substr(at));
        if (d.valid) {
            out.append(bytes.substr(at, d.length));
        } else {
            append_utf8(out, 0xFFFD);
        }
        at += d.length;
    }
    return out;
}

Text remove_all(std::string_view text, std::string_view word) {
    Text out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (std::size_t found; !word.empty() && (found = text.find(word, at)) != text.npos;
         at = found + word.size()) {
        out.append(text.substr(at, found - at));
    }
    out.append(text.substr(at));
    return out;
}

std::string_view utf8_prefix(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    // At most three continuation bytes follow a lead byte.
    for (int step = 0; step < 3 && cut > 0 &&
                       (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80;
         ++step) {
        --cut;
    }
    return text.substr(0, cut);
}

}  // namespace kestrin
