#include "rova_rudo/get.hpp"

#include <charconv>
#include <limits>
#include <optional>

#include "rova_rudo/path.hpp"

namespace rova_rudo {

namespace {

constexpr std::uint64_t kNextValue = std::numeric_limits<std::uint64_t>::max();

GetError simple_error(GetError::Kind k) {
    GetError e;
    e.kind = k;
    return e;
}

GetError malformed(std::string_view canonical) {
    GetError e;
    e.kind = GetError::Kind::MalformedSegment;
    e.path = std::string(canonical);
    return e;
}

GetError parse_failure(const ParseError& p) {
    GetError e;
    e.kind = GetError::Kind::Parse;
    e.parse = p;
    return e;
}

// The state of one lookup. `pending` says what the key or element just read
// means for the value after it: 2 no decision yet, 1 matched with segments
// left, 0 not on the path. `on_path` holds one entry per open container.
struct GetTracker {
    bool found = false;
    std::uint64_t found_start = 0;  // kNextValue: the next value to begin is the target
    std::uint64_t found_depth = 0;  // on_path's length when the target was announced
    std::vector<PathSegment> segments;
    std::vector<std::uint8_t> on_path;
    std::string at = ".";
    std::uint64_t at_segments = 0;     // how many segments `at` spells
    std::uint32_t container_kind = 0;  // 0 none, 1 object, 2 array
    std::uint32_t elements_seen = 0;
    std::optional<ValueSpan> value;
    std::string_view document;
    std::uint64_t matched = 0;
    std::uint8_t pending = 2;
    JsonCursor cursor;

    bool all_matched() const { return matched == segments.size(); }
    void announce() {
        found = true;
        found_start = kNextValue;
        found_depth = on_path.size();
    }
};

// `matched` never shrinks during a walk, so the printed path is extended by
// the segments matched since the last call instead of rebuilt (a rebuild per
// on-path container would be quadratic in the path's length).
void get_build_at_path(GetTracker& t) {
    for (std::uint64_t i = t.at_segments; i < t.matched; ++i) {
        const PathSegment& s = t.segments[i];
        if (s.is_index()) {
            char buf[16];
            auto r = std::to_chars(buf, buf + sizeof buf, s.index_value());
            t.at += '[';
            t.at.append(buf, r.ptr);
            t.at += ']';
        } else {
            path_push_key(t.at, s.key_text());
        }
    }
    t.at_segments = t.matched;
}

void get_tracker_enter(GetTracker& t, std::uint64_t start, bool is_array) {
    if (t.found && t.found_start == kNextValue) {
        t.found_start = start;
        t.found_depth = t.on_path.size();
        t.on_path.push_back(0);
        return;
    }
    std::uint8_t p = t.pending;
    t.pending = 2;
    bool on;
    if (p == 2) {
        if (!t.on_path.empty() && t.on_path.back() == 0) {
            t.on_path.push_back(0);
            return;
        }
        on = t.matched < t.segments.size();
    } else {
        on = p == 1;
    }
    t.on_path.push_back(on ? 1 : 0);
    if (!on) return;
    get_build_at_path(t);
    if (is_array) {
        t.container_kind = 2;
        t.elements_seen = 0;
    } else {
        t.container_kind = 1;
    }
}

void get_tracker_enter_array(GetTracker& t, std::uint64_t start) { get_tracker_enter(t, start, true); }
void get_tracker_enter_object(GetTracker& t, std::uint64_t start) { get_tracker_enter(t, start, false); }

// The element or member just met is the path's next segment: the value is
// found when that was the last one, otherwise the walk descends into it.
void get_tracker_segment_matched(GetTracker& t) {
    ++t.matched;
    if (t.all_matched()) {
        t.announce();
        t.pending = 0;
    } else {
        t.pending = 1;
    }
}

void get_tracker_array_element(GetTracker& t, std::uint32_t i) {
    if (t.on_path.empty() || t.on_path.back() == 0 || t.all_matched()) {
        t.pending = 0;
        return;
    }
    if (t.container_kind == 2) t.elements_seen = std::max(t.elements_seen, i + 1);
    PathSegment& next = t.segments[t.matched];
    if (next.is_index()) {
        if (next.index_value() == i) {
            next.settle(false);
            get_tracker_segment_matched(t);
        } else {
            t.pending = 0;
        }
        return;
    }
    // The path wants an object where this array stands.
    t.container_kind = 2;
    t.elements_seen = i + 1;
    get_build_at_path(t);
    t.pending = 0;
}

// Matches a key just read against the next segment of the path.
void get_tracker_match_key(GetTracker& t, std::string_view key) {
    if (t.on_path.empty() || t.on_path.back() == 0 || t.all_matched()) {
        t.pending = 0;
    } else {
        PathSegment& next = t.segments[t.matched];
        if (!next.is_key()) {
            // The path wants an array where this object stands.
            t.container_kind = 1;
            get_build_at_path(t);
            t.pending = 0;
        } else if (next.key_text() == key) {
            next.settle(true);
            get_tracker_segment_matched(t);
        } else {
            t.pending = 0;
        }
    }
}

// Reads one key and its colon and matches the key against the next segment.
platform::Result<platform::Unit, ParseError> get_tracker_scan_key(GetTracker& t) {
    auto e = scan_member_key(t.cursor, [&t](std::string_view key) { get_tracker_match_key(t, key); });
    if (e) return platform::Err{*e};
    return platform::Unit{};
}

platform::Result<ValueSpan, GetError> root_value(std::string_view doc) {
    std::size_t b = platform::utf8_bom_length(doc), e = doc.size();
    while (b < e && is_json_whitespace(static_cast<std::uint8_t>(doc[b]))) ++b;
    while (e > b && is_json_whitespace(static_cast<std::uint8_t>(doc[e - 1]))) --e;
    if (b == e) return platform::Err{parse_failure(ParseError::unexpected_end())};
    auto first = static_cast<std::uint8_t>(doc[b]);
    GetValueKind kind;
    if (first == '[') kind = GetValueKind::Array;
    else if (first == '{') kind = GetValueKind::Object;
    else if (first == '"') kind = GetValueKind::String;
    else if (first == 't' || first == 'f') kind = GetValueKind::Boolean;
    else if (first == 'n') kind = GetValueKind::Null;
    else if (first == '-' || (first >= '0' && first <= '9')) kind = GetValueKind::Number;
    else return platform::Err{parse_failure(ParseError::unexpected_byte(first, b))};
    return ValueSpan{doc.data() + b, e - b, kind};
}

GetError not_found(const GetTracker& t) {
    const PathSegment* next = t.all_matched() ? nullptr : &t.segments[t.matched];
    GetError e;
    e.at = t.at;
    if (next && t.container_kind == 1 && !next->is_key()) {
        e.kind = GetError::Kind::TypeMismatch;
        e.expected = "array";
        e.found = "object";
    } else if (next && t.container_kind == 1) {
        e.kind = GetError::Kind::KeyNotFound;
        e.key = next->key_text();
    } else if (next && t.container_kind == 2 && next->is_index() && t.elements_seen <= next->index_value()) {
        e.kind = GetError::Kind::IndexOutOfBounds;
        e.index = next->index_value();
    } else if (next && t.container_kind == 2 && !next->is_index()) {
        e.kind = GetError::Kind::TypeMismatch;
        e.expected = "object";
        e.found = "array";
    } else {
        e.kind = GetError::Kind::KeyNotFound;
        if (next && next->is_index()) {
            e.key = "[" + std::to_string(next->index_value()) + "]";
        } else if (next) {
            e.key = next->key_text();
        }
    }
    return e;
}

enum class Stop { None, Found, NotFound };

}  // namespace

std::string get_error_display(const GetError& e) {
    switch (e.kind) {
        case GetError::Kind::EmptyPath: return "path is empty";
        case GetError::Kind::BadStart: return "path must start with '.', 'root', '$', or '/'";
        case GetError::Kind::MalformedSegment: return "malformed path segment: " + e.path;
        case GetError::Kind::KeyNotFound: return "key '" + e.key + "' not found at " + e.at;
        case GetError::Kind::IndexOutOfBounds:
            return "index [" + std::to_string(e.index) + "] out of bounds at " + e.at;
        case GetError::Kind::TypeMismatch:
            return "expected " + std::string(e.expected) + " at " + e.at + ", found " + std::string(e.found);
        case GetError::Kind::Parse: return parse_error_display(e.parse);
    }
    return {};
}

platform::Result<std::vector<PathSegment>, GetError> parse_canonical_segments(std::string_view c, PathForm form) {
    if (c.empty()) return platform::Err{simple_error(GetError::Kind::EmptyPath)};
    std::size_t i;
    if (c.size() >= 4 && c.substr(0, 4) == "root") i = 4;
    else if (c.front() == '$') i = 1;
    else return platform::Err{simple_error(GetError::Kind::BadStart)};
    if (i < c.size() && c[i] != '.' && c[i] != '[') return platform::Err{simple_error(GetError::Kind::BadStart)};
    std::vector<PathSegment> segs;
    CanonicalSegment seg;
    while (i < c.size()) {
        if (read_canonical_segment(c, i, form, seg) != SegmentFault::None) return platform::Err{malformed(c)};
        using Kind = CanonicalSegment::Kind;
        switch (seg.kind) {
            case Kind::Name:
                if (seg.text.empty()) return platform::Err{malformed(c)};
                [[fallthrough]];
            case Kind::Key: segs.push_back(PathSegment::key(std::string(seg.text))); break;
            case Kind::Index: segs.push_back(PathSegment::index(seg.index)); break;
            case Kind::KeyOrIndex: segs.push_back(PathSegment::key_or_index(std::string(seg.text), seg.index)); break;
            case Kind::Bracket: return platform::Err{malformed(c)};
        }
    }
    return segs;
}

platform::Result<ValueSpan, GetError> get_value_at_path(std::string_view document, std::string_view canonical,
                                                        PathForm form) {
    auto segs = parse_canonical_segments(canonical, form);
    if (!segs) return platform::Err{std::move(segs.error())};
    if (segs.value().empty()) return root_value(document);

    GetTracker t;
    t.segments = std::move(segs.value());
    t.on_path.reserve(16);
    t.document = document;
    t.cursor = document_cursor(document);
    JsonCursor& c = t.cursor;
    std::vector<WalkFrame> frames;
    frames.reserve(32);

    auto fail = [](const ParseError& p) -> platform::Result<ValueSpan, GetError> {
        return platform::Err{parse_failure(p)};
    };

    Stop stop = Stop::None;
    // `need_value`: read a value next; otherwise continue after one.
    bool need_value = true;
    // Closes the container whose closer ends at `end`; sets `stop` when the
    // walk is over.
    auto close_container = [&](std::uint64_t end, bool had_frame) {
        if (had_frame) frames.pop_back();
        std::uint8_t popped = 0;
        if (!t.on_path.empty()) {
            popped = t.on_path.back();
            t.on_path.pop_back();
        }
        if (t.found && t.found_start != kNextValue && t.found_depth == t.on_path.size()) {
            const char* s = document.data() + t.found_start;
            t.value = ValueSpan{s, end - t.found_start, *s == '{' ? GetValueKind::Object : GetValueKind::Array};
            stop = Stop::Found;
        } else if (popped == 1 && !t.value && !t.all_matched()) {
            stop = Stop::NotFound;
        }
    };
    auto scalar = [&](std::uint64_t start, GetValueKind kind) {
        if (t.found && t.found_start == kNextValue) {
            t.value = ValueSpan{document.data() + start, c.pos - start, kind};
            stop = Stop::Found;
        } else if (t.pending == 1) {
            stop = Stop::NotFound;
        }
    };

    skip_whitespace(c);
    if (c.at_end()) return fail(ParseError::unexpected_end());

    while (stop == Stop::None) {
        if (need_value) {
            skip_whitespace(c);
            if (c.at_end()) return fail(ParseError::unexpected_end());
            const std::uint64_t start = c.pos;
            const std::uint8_t b = c.peek();
            if (b == '[') {
                get_tracker_enter_array(t, start);
                ++c.pos;
                skip_whitespace(c);
                if (!c.at_end() && c.peek() == ']') {
                    ++c.pos;
                    close_container(c.pos, false);
                    need_value = false;
                } else {
                    get_tracker_array_element(t, 0);
                    frames.push_back(WalkFrame{WalkFrame::kArray, 0});
                }
                continue;
            }
            if (b == '{') {
                get_tracker_enter_object(t, start);
                ++c.pos;
                skip_whitespace(c);
                if (!c.at_end() && c.peek() == '}') {
                    ++c.pos;
                    close_container(c.pos, false);
                    need_value = false;
                } else {
                    auto k = get_tracker_scan_key(t);
                    if (!k) return fail(k.error());
                    frames.push_back(WalkFrame{WalkFrame::kObject, 0});
                }
                continue;
            }
            if (b == '"') {
                auto s = scan_string(c);
                if (!s) return fail(s.error());
                scalar(start, GetValueKind::String);
            } else if (b == 't' || b == 'f' || b == 'n') {
                std::string_view word = b == 't' ? "true" : b == 'f' ? "false" : "null";
                auto l = expect_literal(c, word);
                if (!l) return fail(l.error());
                scalar(start, b == 'n' ? GetValueKind::Null : GetValueKind::Boolean);
            } else if (b == '-' || (b >= '0' && b <= '9')) {
                scan_number_span(c);
                scalar(start, GetValueKind::Number);
            } else {
                return fail(ParseError::unexpected_byte(b, start));
            }
            need_value = false;
            continue;
        }
        // After a value.
        if (frames.empty()) break;  // the top-level value is complete
        skip_whitespace(c);
        if (c.at_end()) return fail(ParseError::unexpected_end());
        const std::uint8_t b = c.peek();
        WalkFrame& f = frames.back();
        if (f.kind == WalkFrame::kObject) {
            if (b == '}') {
                ++c.pos;
                close_container(c.pos, true);
            } else if (b == ',') {
                ++c.pos;
                auto k = get_tracker_scan_key(t);
                if (!k) return fail(k.error());
                need_value = true;
            } else {
                return fail(ParseError::unexpected_byte(b, c.pos));
            }
        } else {
            if (b == ']') {
                ++c.pos;
                close_container(c.pos, true);
            } else if (b == ',') {
                ++c.pos;
                ++f.index;
                get_tracker_array_element(t, f.index);
                need_value = true;
            } else {
                return fail(ParseError::unexpected_byte(b, c.pos));
            }
        }
    }

    if (stop == Stop::None) {
        skip_whitespace(c);
        if (!c.at_end()) return fail(ParseError::multiple_top_level(c.pos));
    }
    if (stop == Stop::Found) return *t.value;
    return platform::Err{not_found(t)};
}

}  // namespace rova_rudo
