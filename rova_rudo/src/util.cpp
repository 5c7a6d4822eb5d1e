#include "rova_rudo/util.hpp"

#include <vector>

#include "platform/utf8.hpp"

namespace rova_rudo {

std::optional<std::string> truncate_with_ellipsis(std::string_view text, std::uint64_t max) {
    if (text.size() <= max) return std::nullopt;
    std::size_t cut = static_cast<std::size_t>(max);
    // Only a text that is UTF-8 throughout has characters to keep whole;
    // anything else is cut as bytes.
    if (platform::is_valid_utf8(text)) {
        while (cut > 0 && platform::is_utf8_continuation(static_cast<unsigned char>(text[cut]))) --cut;
    }
    std::string r;
    r.reserve(cut + kEllipsis.size());
    r.append(text.substr(0, cut));
    r.append(kEllipsis);
    return r;
}

bool flatten_value_line(FlattenState& st, std::string_view placeholder, std::optional<std::string_view> value,
                        bool quote) {
    if (st.limit && st.count >= *st.limit) return true;
    std::string& out = *st.out;
    out += st.path.text;
    out += " = ";
    if (value) {
        std::optional<std::string> cut;
        if (st.truncation) cut = truncate_with_ellipsis(*value, *st.truncation);
        std::string_view v = cut ? std::string_view(*cut) : *value;
        if (quote) out += '"';
        out += v;
        if (quote) out += '"';
    } else {
        out += placeholder;
    }
    out += '\n';
    ++st.count;
    return st.limit && st.count >= *st.limit;
}

platform::Result<platform::Unit, ParseError> flatten_read_key(JsonCursor& c, FlattenState& st) {
    auto e = scan_member_key(c, [&st](std::string_view key) {
        if (!st.path.starts.empty()) path_set_key(st.path, key);
    });
    if (e) return platform::Err{*e};
    return platform::Unit{};
}

void flatten_value(std::string_view value, std::string_view prefix, std::optional<std::uint64_t> truncation,
                   std::string& out) {
    out.clear();
    FlattenState st;
    st.truncation = truncation;
    st.path.text.assign(prefix);
    st.out = &out;

    JsonCursor c(value);
    skip_whitespace(c);
    if (c.at_end()) return;

    std::vector<WalkFrame> stack;
    stack.reserve(32);

    // Each turn reads one value, then climbs out of every container that
    // closes after it; a malformed or truncated text simply ends the walk.
    for (;;) {
        // Value step.
        skip_whitespace(c);
        if (c.at_end()) return;
        const std::uint8_t b = c.peek();
        bool stop = false;
        bool descended = false;
        if (b == '"') {
            auto s = scan_string(c);
            if (!s) return;
            stop = flatten_value_line(st, {}, *s, true);
        } else if (b == '[') {
            ++c.pos;
            path_enter_array(st.path);
            skip_whitespace(c);
            if (!c.at_end() && c.peek() == ']') {
                ++c.pos;
                path_pop(st.path);
            } else {
                stack.push_back({WalkFrame::kArray, 0});
                descended = true;
            }
        } else if (b == '{') {
            ++c.pos;
            path_mark_segment(st.path);
            skip_whitespace(c);
            if (!c.at_end() && c.peek() == '}') {
                ++c.pos;
                path_pop(st.path);
            } else {
                if (!flatten_read_key(c, st)) return;
                stack.push_back({WalkFrame::kObject, 0});
                descended = true;
            }
        } else if (b == 't' || b == 'n' || b == 'f') {
            const std::string_view lit = b == 't' ? "true" : b == 'n' ? "null" : "false";
            auto l = expect_literal(c, lit);
            if (!l) return;
            stop = flatten_value_line(st, {}, *l, false);
        } else if (b == '-' || (b >= '0' && b <= '9')) {
            stop = flatten_value_line(st, {}, scan_number_span(c), false);
        } else {
            return;
        }
        if (stop) return;
        if (descended) continue;

        // After-value step.
        for (;;) {
            if (stack.empty()) return;
            skip_whitespace(c);
            if (c.at_end()) return;
            const std::uint8_t d = c.peek();
            WalkFrame& top = stack.back();
            if (top.kind == WalkFrame::kObject) {
                if (d == '}') {
                    ++c.pos;
                    stack.pop_back();
                    path_pop(st.path);
                    continue;
                }
                if (d != ',') return;
                ++c.pos;
                skip_whitespace(c);
                if (!flatten_read_key(c, st)) return;
                break;
            }
            if (d == ']') {
                ++c.pos;
                stack.pop_back();
                path_pop(st.path);
                continue;
            }
            if (d != ',') return;
            ++c.pos;
            ++top.index;
            path_set_index(st.path, top.index);
            break;
        }
    }
}

}  // namespace rova_rudo
