// UTF-8: the one definition of a well-formed character that every layer
// checks text against, and the two ways the outputs repair text that is not
// UTF-8. Nothing here allocates beyond the output string it appends to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// U+FFFD, the character that stands in for bytes that are not UTF-8.
inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

inline bool is_utf8_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Case folding for names the program itself matches (file extensions,
// setting values): ASCII letters only, every other byte stands as itself.
inline constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline constexpr std::uint8_t ascii_lower(std::uint8_t b) {
    return b >= 'A' && b <= 'Z' ? static_cast<std::uint8_t>(b - 'A' + 'a') : b;
}
inline std::string ascii_lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}
inline bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

// 3 when the bytes start with the UTF-8 byte order mark EF BB BF, else 0:
// every reader of a whole document (or of a JSON Lines stream) starts there.
inline std::size_t utf8_bom_length(const void* data, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    return len >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
}
inline std::size_t utf8_bom_length(std::string_view s) { return utf8_bom_length(s.data(), s.size()); }

// What starts at one position: a well-formed character of `length` bytes (1
// for ASCII), or an ill-formed run of `length` bytes (at least 1): the longest
// prefix of a character that the next byte cannot continue, which one
// replacement character stands for.
struct Utf8Step {
    std::size_t length;
    bool well_formed;
};

namespace detail {
// The length of the ill-formed run at s[i] (at least 1); only where no
// well-formed character starts.
std::size_t utf8_ill_formed_length(std::string_view s, std::size_t i);
}  // namespace detail

// Overlong forms, surrogates and code points past U+10FFFF are not
// well-formed: the narrow ranges of the second byte leave them out. One test
// per lead byte range, because the strict reader calls this for every
// non-ASCII character.
[[gnu::always_inline]] inline Utf8Step utf8_step(std::string_view s, std::size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    const unsigned char b0 = p[i];
    if (b0 < 0x80) return {1, true};
    auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i + k < n && p[i + k] >= lo && p[i + k] <= hi;
    };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (cont(1)) return {2, true};
    } else if (b0 == 0xE0) {
        if (cont(1, 0xA0) && cont(2)) return {3, true};
    } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
        if (cont(1) && cont(2)) return {3, true};
    } else if (b0 == 0xED) {
        if (cont(1, 0x80, 0x9F) && cont(2)) return {3, true};
    } else if (b0 == 0xF0) {
        if (cont(1, 0x90) && cont(2) && cont(3)) return {4, true};
    } else if (b0 >= 0xF1 && b0 <= 0xF3) {
        if (cont(1) && cont(2) && cont(3)) return {4, true};
    } else if (b0 == 0xF4) {
        if (cont(1, 0x80, 0x8F) && cont(2) && cont(3)) return {4, true};
    }
    return {detail::utf8_ill_formed_length(s, i), false};
}

bool is_valid_utf8(std::string_view s);

// Appends the code point (at most U+10FFFF) in UTF-8.
void append_utf8_code_point(std::string& out, std::uint32_t cp);

// A byte quoted in a message: a printable ASCII character as itself, any
// other byte (a control, DEL, or one that is no character on its own) as
// "\x1b", so that bytes from a hostile input never reach a terminal raw.
void append_byte_for_message(std::string& out, unsigned char b);

// Text for display and JSON output: valid UTF-8 unchanged; otherwise each
// ill-formed run (see Utf8Step) becomes one U+FFFD.
void append_replacing_invalid_sequences(std::string& out, std::string_view bytes);

// Keys in printed paths: valid UTF-8 unchanged; otherwise every byte of 0x80
// and above becomes one U+FFFD, well-formed characters included, and ASCII
// stays.
void append_replacing_non_ascii_unless_valid(std::string& out, std::string_view bytes);

}  // namespace platform
