#include "platform/utf8.hpp"

#include <cstring>

namespace platform {

namespace detail {

// The longest prefix of a character that the next byte cannot continue: the
// lead byte's range fixes how many continuation bytes are due and the
// allowed range of the first of them.
std::size_t utf8_ill_formed_length(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    std::size_t k = 1;
    for (; k <= need && i + k < s.size(); ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
    }
    return k;
}

}  // namespace detail

bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0, n = s.size();
    while (i < n) {
        // Keys and values are mostly ASCII: cross such runs eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const Utf8Step st = utf8_step(s, i);
        if (!st.well_formed) return false;
        i += st.length;
    }
    return true;
}

void append_byte_for_message(std::string& out, unsigned char b) {
    if (b >= 0x20 && b < 0x7F) {
        out += static_cast<char>(b);
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[b >> 4];
    out += hex[b & 0xF];
}

void append_utf8_code_point(std::string& out, std::uint32_t cp) {
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

void append_replacing_invalid_sequences(std::string& out, std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        out.append(bytes);
        return;
    }
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Utf8Step st = utf8_step(bytes, i);
        if (st.well_formed) out.append(bytes.substr(i, st.length));
        else out.append(kReplacementCharacter);
        i += st.length;
    }
}

void append_replacing_non_ascii_unless_valid(std::string& out, std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        out.append(bytes);
        return;
    }
    for (char ch : bytes) {
        if (static_cast<unsigned char>(ch) < 0x80) out += ch;
        else out.append(kReplacementCharacter);
    }
}

}  // namespace platform
