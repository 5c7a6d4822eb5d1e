// A single forward pass over one JSON value that reports what it meets to a
// visitor: containers opening and closing, array elements, object keys and
// scalars. The walker only knows JSON syntax and where each token lies; the
// visitor decides everything else. It keeps an explicit stack (depth is
// limited by memory only), builds no tree and decodes no string.
//
// A visitor provides (all called in strict nesting order):
//   bool visitor_enter_array(std::uint64_t offset_of_bracket);   // true = stop
//   bool visitor_enter_object(std::uint64_t offset_of_brace);    // true = stop
//   void visitor_array_element(std::uint32_t index);       // before each element
//   std::optional<ParseError> visitor_object_key(JsonCursor& c);
//       // cursor before the key (whitespace not yet skipped); on success it
//       // must leave the cursor just after the key's colon
//   bool visitor_scalar(std::string_view raw_token, ScalarKind kind);  // true = stop
//   bool visitor_exit_container(std::uint64_t offset_past_closer);     // true = stop
// Containers still open when the walk ends by an error or a stop get no exit
// call.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "rova_rudo/parser.hpp"
#include "rova_rudo/search_request.hpp"

namespace rova_rudo {

// The end of one walk: a syntax error (codes 0 to 3 of ParseErrorCode), or
// finished, possibly because the visitor asked to stop. Kept as a code byte
// (kFinished when finished), a detail byte and an offset, read only through
// the accessors below.
class [[nodiscard]] WalkOutcome {
public:
    static WalkOutcome finished(bool stopped) { return WalkOutcome(kFinished, stopped ? 1 : 0, 0); }
    static WalkOutcome from_error(const ParseError& e) {
        return WalkOutcome(static_cast<std::uint8_t>(e.code), e.byte, e.offset);
    }
    bool is_error() const { return code_ != kFinished; }
    bool stopped() const { return code_ == kFinished && detail_ != 0; }
    // Only when is_error().
    ParseError error() const { return {static_cast<ParseErrorCode>(code_), detail_, offset_}; }

private:
    static constexpr std::uint8_t kFinished = 5;
    WalkOutcome(std::uint8_t code, std::uint8_t detail, std::uint64_t offset)
        : code_(code), detail_(detail), offset_(offset) {}
    std::uint8_t code_;
    std::uint8_t detail_;   // the unexpected byte for code 0; the stopped flag when finished
    std::uint64_t offset_;  // codes 0 and 3
};

namespace detail {

// Reads the scalar at c.pos (whose first byte is b) and hands it to the
// visitor. Returns an error outcome, finished(true) when the visitor asked to
// stop, or nothing to go on.
template <typename V>
[[nodiscard]] inline std::optional<WalkOutcome> walk_scalar(JsonCursor& c, V& v, std::uint8_t b) {
    if (b == '"') {
        auto s = scan_string(c);
        if (!s.ok()) return WalkOutcome::from_error(ParseError::unclosed_string());
        if (v.visitor_scalar(s.value(), ScalarKind::String)) return WalkOutcome::finished(true);
        return std::nullopt;
    }
    if (b == '-' || (b >= '0' && b <= '9')) {
        std::string_view n = scan_number_span(c);
        if (v.visitor_scalar(n, ScalarKind::Number)) return WalkOutcome::finished(true);
        return std::nullopt;
    }
    std::string_view lit = b == 't' ? std::string_view("true") : b == 'f' ? std::string_view("false") : "null";
    auto r = expect_literal(c, lit);
    if (!r.ok()) return WalkOutcome::from_error(r.error());
    if (v.visitor_scalar(r.value(), b == 'n' ? ScalarKind::Null : ScalarKind::Boolean))
        return WalkOutcome::finished(true);
    return std::nullopt;
}

}  // namespace detail

// Reads exactly one value from `c` (whitespace before it is skipped). On
// return the cursor stands just after the value (finished), just after the
// token whose visitor call asked to stop (stopped), or where the error was
// found. What follows the value is the caller's business.
template <typename V>
WalkOutcome walk_json_events(JsonCursor& c, V& v) {
    std::vector<WalkFrame> stack;
    stack.reserve(32);
    for (;;) {
        // Read a value.
        skip_whitespace(c);
        if (c.at_end()) return WalkOutcome::from_error(ParseError::unexpected_end());
        const std::uint64_t j = c.pos;
        const std::uint8_t b = c.peek();
        if (b == '[') {
            ++c.pos;
            if (v.visitor_enter_array(j)) return WalkOutcome::finished(true);
            skip_whitespace(c);
            if (!c.at_end() && c.peek() == ']') {
                ++c.pos;
                if (v.visitor_exit_container(c.pos)) return WalkOutcome::finished(true);
            } else {
                v.visitor_array_element(0);
                stack.push_back({WalkFrame::kArray, 0});
                continue;
            }
        } else if (b == '{') {
            ++c.pos;
            if (v.visitor_enter_object(j)) return WalkOutcome::finished(true);
            skip_whitespace(c);
            if (!c.at_end() && c.peek() == '}') {
                ++c.pos;
                if (v.visitor_exit_container(c.pos)) return WalkOutcome::finished(true);
            } else {
                if (auto e = v.visitor_object_key(c)) return WalkOutcome::from_error(*e);
                stack.push_back({WalkFrame::kObject, 0});
                continue;
            }
        } else if (b == '"' || b == '-' || (b >= '0' && b <= '9') || b == 't' || b == 'f' || b == 'n') {
            if (auto o = detail::walk_scalar(c, v, b)) return *o;
        } else {
            return WalkOutcome::from_error(ParseError::unexpected_byte(b, j));
        }

        // A value is complete: look at what follows it in the innermost
        // container, closing containers until a member or element is due.
        for (;;) {
            if (stack.empty()) return WalkOutcome::finished(false);
            skip_whitespace(c);
            if (c.at_end()) return WalkOutcome::from_error(ParseError::unexpected_end());
            const std::uint64_t k = c.pos;
            const std::uint8_t ch = c.peek();
            WalkFrame& top = stack.back();
            if (top.kind == WalkFrame::kObject) {
                if (ch == '}') {
                    ++c.pos;
                    stack.pop_back();
                    if (v.visitor_exit_container(k + 1)) return WalkOutcome::finished(true);
                    continue;
                }
                if (ch == ',') {
                    ++c.pos;
                    skip_whitespace(c);
                    if (auto e = v.visitor_object_key(c)) return WalkOutcome::from_error(*e);
                    break;
                }
            } else {
                if (ch == ']') {
                    ++c.pos;
                    stack.pop_back();
                    if (v.visitor_exit_container(k + 1)) return WalkOutcome::finished(true);
                    continue;
                }
                if (ch == ',') {
                    ++c.pos;
                    ++top.index;
                    v.visitor_array_element(top.index);
                    break;
                }
            }
            return WalkOutcome::from_error(ParseError::unexpected_byte(ch, k));
        }
    }
}

}  // namespace rova_rudo
