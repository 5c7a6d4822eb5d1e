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

// What starts at one position: a well-formed character of `length` bytes (1
// for ASCII), or an ill-formed run of `length` bytes (at least 1): the longest
// prefix of a character that the next byte cannot continue, which one
// replacement character stands for.
struct Utf8Step {
    std::size_t length;
    bool well_formed;
};

// Overlong forms, surrogates and code points past U+10FFFF are not
// well-formed: the narrow ranges of the second byte leave them out.
inline Utf8Step utf8_step(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return {1, true};
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
        return {1, false};
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return {k, false};
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return {k, false};
    }
    return {need + 1, true};
}

bool is_valid_utf8(std::string_view s);

// Appends the code point (at most U+10FFFF) in UTF-8. A byte shown "as the
// character of the same value" (U+0000..U+00FF) is written through this too.
void append_utf8_code_point(std::string& out, std::uint32_t cp);

// Text for display and JSON output: valid UTF-8 unchanged; otherwise each
// ill-formed run (see Utf8Step) becomes one U+FFFD.
void append_replacing_invalid_sequences(std::string& out, std::string_view bytes);

// Keys in printed paths: valid UTF-8 unchanged; otherwise every byte of 0x80
// and above becomes one U+FFFD, well-formed characters included, and ASCII
// stays.
void append_replacing_non_ascii_unless_valid(std::string& out, std::string_view bytes);

}  // namespace platform
