#include "rova_rudo/parser.hpp"

#include <charconv>
#include <cstring>

#include "platform/utf8.hpp"
#include "rova_rudo/byte_search.hpp"
#include "tape_parser/builder.hpp"

namespace rova_rudo {

namespace {

void append_decimal(std::string& out, std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

}  // namespace

std::string parse_error_display(const ParseError& e) {
    std::string out;
    switch (e.code) {
        case ParseErrorCode::UnexpectedByte: {
            static const char hex[] = "0123456789ABCDEF";
            out = "unexpected byte 0x";
            out += hex[e.byte >> 4];
            out += hex[e.byte & 0xF];
            out += " ('";
            platform::append_byte_for_message(out, e.byte);
            out += "') at offset ";
            append_decimal(out, e.offset);
            break;
        }
        case ParseErrorCode::UnexpectedEnd: out = "unexpected end of input"; break;
        case ParseErrorCode::UnclosedString: out = "unclosed string"; break;
        case ParseErrorCode::InvalidLiteral:
            out = "invalid literal at offset ";
            append_decimal(out, e.offset);
            break;
        case ParseErrorCode::MultipleTopLevel:
            out = "multiple top-level values (JSONL) detected at offset ";
            append_decimal(out, e.offset);
            out += " \xE2\x80\x94 not supported by rova_rudo";
            break;
    }
    return out;
}

std::uint64_t detail::whitespace_run_end(const char* d, std::uint64_t len, std::uint64_t p) {
    while (p + 32 <= len) {
        const std::uint32_t ws = tape_parser::simd::whitespace_mask32(d + p);
        if (ws != 0xFFFFFFFFu) return p + tape_parser::simd::first_bit(~ws);
        p += 32;
    }
    while (p < len && is_json_whitespace(static_cast<std::uint8_t>(d[p]))) ++p;
    return p;
}

platform::Result<std::string_view, ParseError> detail::scan_string_rest(JsonCursor& c) {
    const char* d = c.data;
    const std::uint64_t len = c.len;
    const std::uint64_t body = c.pos + 1;
    std::uint64_t p = body;
    while (p < len) {
        const std::size_t k = find_either_byte(std::string_view(d + p, static_cast<std::size_t>(len - p)), '"', '\\');
        if (k == kNotFound) break;
        const std::uint64_t at = p + k;
        if (d[at] == '"') {
            c.pos = at + 1;
            return std::string_view(d + body, static_cast<std::size_t>(at - body));
        }
        // A backslash hides the byte after it, so an escaped quote never ends the string.
        p = at + 2;
    }
    c.pos = len;
    return platform::Err{ParseError::unclosed_string()};
}

std::string_view scan_number_span(JsonCursor& c) {
    // The runs the tape builder takes as numbers, by its own scan.
    const std::uint64_t start = c.pos;
    c.pos = tape_parser::tape_number_end(reinterpret_cast<const std::uint8_t*>(c.data), c.len, start);
    return std::string_view(c.data + start, static_cast<std::size_t>(c.pos - start));
}

}  // namespace rova_rudo
