#include "platform/utf8.hpp"

#include <cstring>

namespace platform {

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
        if (st.well_formed)
            out.append(bytes.substr(i, st.length));
        else
            out.append(kReplacementCharacter);
        i += st.length;
    }
}

void append_replacing_non_ascii_unless_valid(std::string& out, std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        out.append(bytes);
        return;
    }
    for (char ch : bytes) {
        if (static_cast<unsigned char>(ch) < 0x80)
            out += ch;
        else
            out.append(kReplacementCharacter);
    }
}

}  // namespace platform
