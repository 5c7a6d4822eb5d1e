// The pieces shared by every forward byte walker of the query engine: the
// scanning position, the whitespace rule, the token scanners, the JSON syntax
// error and the walkers' stack entry.
//
// Nothing here decodes: strings, numbers and literals come back as raw spans
// (std::string_view into the walked bytes, escapes as written), and no scanner
// allocates. A span's offset in the document is `cursor.offset_of(span)`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/result.hpp"
#include "platform/utf8.hpp"
#include "tape_parser/simd.hpp"

namespace rova_rudo {

// The scanning position of one walk over borrowed bytes; pos <= len always.
struct JsonCursor {
    const char* data = nullptr;
    std::uint64_t len = 0;
    std::uint64_t pos = 0;

    JsonCursor() = default;
    explicit JsonCursor(std::string_view bytes, std::uint64_t start = 0)
        : data(bytes.data()), len(bytes.size()), pos(start) {}
    explicit JsonCursor(std::span<const std::uint8_t> bytes, std::uint64_t start = 0)
        : data(reinterpret_cast<const char*>(bytes.data())), len(bytes.size()), pos(start) {}

    bool at_end() const { return pos >= len; }
    // The byte at pos; only when !at_end().
    std::uint8_t peek() const { return static_cast<std::uint8_t>(data[pos]); }
    std::string_view bytes() const { return {data, static_cast<std::size_t>(len)}; }
    std::uint64_t offset_of(std::string_view span) const { return static_cast<std::uint64_t>(span.data() - data); }
};

// Where a walk over a whole document or a JSON Lines stream starts: past one
// leading UTF-8 byte order mark, so that offsets stay those of the file.
inline JsonCursor document_cursor(std::string_view bytes) {
    return JsonCursor(bytes, platform::utf8_bom_length(bytes));
}

// Exactly space, tab, line feed and carriage return; nothing else is skipped.
inline bool is_json_whitespace(std::uint8_t b) { return b == 0x20 || b == 0x09 || b == 0x0A || b == 0x0D; }

enum class ParseErrorCode : std::uint8_t {
    UnexpectedByte = 0,  // carries byte and offset
    UnexpectedEnd = 1,
    UnclosedString = 2,
    InvalidLiteral = 3,    // carries offset (of the literal's first byte)
    MultipleTopLevel = 4,  // carries offset (of the second value)
};

// A JSON syntax error of a walker. `byte` is meaningful for UnexpectedByte
// only, `offset` for UnexpectedByte, InvalidLiteral and MultipleTopLevel.
struct ParseError {
    ParseErrorCode code = ParseErrorCode::UnexpectedEnd;
    std::uint8_t byte = 0;
    std::uint64_t offset = 0;

    static ParseError unexpected_byte(std::uint8_t b, std::uint64_t off) {
        return {ParseErrorCode::UnexpectedByte, b, off};
    }
    static ParseError unexpected_end() { return {ParseErrorCode::UnexpectedEnd, 0, 0}; }
    static ParseError unclosed_string() { return {ParseErrorCode::UnclosedString, 0, 0}; }
    static ParseError invalid_literal(std::uint64_t off) { return {ParseErrorCode::InvalidLiteral, 0, off}; }
    static ParseError multiple_top_level(std::uint64_t off) { return {ParseErrorCode::MultipleTopLevel, 0, off}; }
    // What a walker reports when it expects a key's opening quote or the colon
    // after a key and the data has ended.
    static ParseError missing_at_end(std::uint64_t len) { return unexpected_byte(0, len); }

    bool operator==(const ParseError&) const = default;
};

// The message text, e.g. "unexpected byte 0x7B ('{') at offset 12".
std::string parse_error_display(const ParseError& e);

namespace detail {
// The end of the run of whitespace whose second byte is at p.
std::uint64_t whitespace_run_end(const char* d, std::uint64_t len, std::uint64_t p);
}  // namespace detail

// The first byte at or after p that is not whitespace, or len. Inline
// because walkers call it two or three times per token and in minified text
// it almost always finds no whitespace at all; a single separator (the space
// after a ',' or ':') is also taken here, and only longer runs call out.
inline std::uint64_t skip_whitespace(const char* d, std::uint64_t len, std::uint64_t p) {
    if (p < len && is_json_whitespace(static_cast<std::uint8_t>(d[p]))) {
        ++p;
        if (p < len && is_json_whitespace(static_cast<std::uint8_t>(d[p])))
            return detail::whitespace_run_end(d, len, p);
    }
    return p;
}

// Advances pos past every whitespace byte (stops at the first other byte or at len).
inline void skip_whitespace(JsonCursor& c) { c.pos = skip_whitespace(c.data, c.len, c.pos); }

namespace detail {
// scan_string for a body that is not settled by its first 32 bytes.
platform::Result<std::string_view, ParseError> scan_string_rest(JsonCursor& c);
}  // namespace detail

// With pos at an opening double quote: the raw body up to the closing quote,
// pos one past it. Fails with UnclosedString (pos then unspecified).
// Inline for the common body that closes within 32 bytes with no backslash:
// the walkers call this for every key and most values.
inline platform::Result<std::string_view, ParseError> scan_string(JsonCursor& c) {
    const std::uint64_t body = c.pos + 1;
    if (body + 32 <= c.len) {
        unsigned e = 0;
        if (tape_parser::simd::short_string_end<32>(c.data + body, e)) {
            c.pos = body + e + 1;
            return std::string_view(c.data + body, e);
        }
    }
    return detail::scan_string_rest(c);
}

// The run of bytes from pos that are digits or one of "+-.eE" (possibly
// empty, never validated); pos is advanced past it.
std::string_view scan_number_span(JsonCursor& c);

// When the bytes at pos equal `literal` ("true", "false" or "null"): their
// span, pos advanced past them. Otherwise InvalidLiteral at pos, pos unchanged.
// Only the literal's own bytes are compared ("truex" passes as "true").
// Inline, with the JSON literals (four or five bytes) compared by one load
// and a byte, as walkers meet one at nearly every other value.
inline platform::Result<std::string_view, ParseError> expect_literal(JsonCursor& c, std::string_view literal) {
    const std::uint64_t p = c.pos;
    const std::size_t n = literal.size();
    bool same = false;
    if (c.len - p >= n) {
        if (n == 4 || n == 5) {
            std::uint32_t a, b;
            std::memcpy(&a, c.data + p, 4);
            std::memcpy(&b, literal.data(), 4);
            same = a == b && (n == 4 || c.data[p + 4] == literal[4]);
        } else {
            same = std::memcmp(c.data + p, literal.data(), n) == 0;
        }
    }
    if (!same) return platform::Err{ParseError::invalid_literal(p)};
    c.pos = p + n;
    return std::string_view(c.data + p, n);
}

// One object member's key and the colon after it, from pos (whitespace
// before the key is skipped): `on_key` gets the key's raw body as soon as it
// is read, before the colon is looked for, so a walker that reports keys has
// reported this one even when the colon then turns out to be missing. On
// success pos is one past the colon. A missing quote or colon is an
// UnexpectedByte at its place, or missing_at_end when the data ends there; an
// unterminated key is scan_string's error.
template <typename OnKey>
inline std::optional<ParseError> scan_member_key(JsonCursor& c, OnKey&& on_key) {
    skip_whitespace(c);
    if (c.at_end()) [[unlikely]]
        return ParseError::missing_at_end(c.len);
    if (c.peek() != '"') [[unlikely]]
        return ParseError::unexpected_byte(c.peek(), c.pos);
    auto key = scan_string(c);
    if (!key.ok()) [[unlikely]]
        return key.error();
    on_key(key.value());
    skip_whitespace(c);
    if (c.at_end()) [[unlikely]]
        return ParseError::missing_at_end(c.len);
    if (c.peek() != ':') [[unlikely]]
        return ParseError::unexpected_byte(c.peek(), c.pos);
    ++c.pos;
    return std::nullopt;
}

// One entry of a walker's container stack.
struct WalkFrame {
    static constexpr std::uint32_t kArray = 0;
    static constexpr std::uint32_t kObject = 1;
    std::uint32_t kind = kArray;
    std::uint32_t index = 0;  // arrays: index of the element being read; objects: 0
};
static_assert(sizeof(WalkFrame) == 8);

}  // namespace rova_rudo
