#include "rova_rudo/json_value.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "platform/utf8.hpp"
#include "rova_rudo/fx_hash.hpp"

namespace rova_rudo {

namespace {

using Kind = JsonDocument::Kind;
using Node = JsonDocument::Node;

constexpr int kKindShift = 61;
constexpr std::uint64_t kDecodedFlag = std::uint64_t{1} << 60;  // string text lives in the arena
constexpr std::uint64_t kSkipFlag = std::uint64_t{1} << 59;     // key of a member overridden by an earlier position
constexpr std::uint64_t kPayloadMask = (std::uint64_t{1} << 59) - 1;
// Entering the 128th open container fails, as the reference reader does.
constexpr std::size_t kMaxDepth = 128;

Kind kind_of(const Node& n) { return static_cast<Kind>(n.b >> kKindShift); }
std::uint64_t payload(const Node& n) { return n.b & kPayloadMask; }
Node make_node(Kind k, std::uint64_t a, std::uint64_t b_payload) {
    return Node{a, (static_cast<std::uint64_t>(k) << kKindShift) | b_payload};
}
bool is_container(Kind k) { return k == Kind::Array || k == Kind::Object; }

bool is_ws(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Offset of the first byte at or after `i` that is a quote, a backslash, a
// control byte or a non-ASCII byte; `n` when there is none.
std::size_t find_string_special(const unsigned char* s, std::size_t i, std::size_t n) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i bslash = _mm256_set1_epi8('\\');
    const __m256i space = _mm256_set1_epi8(0x20);
    while (i + 32 <= n) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        // Signed compare: bytes 0x00-0x1F and 0x80-0xFF are all "less than" 0x20.
        __m256i hit = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, bslash)),
                                      _mm256_cmpgt_epi8(space, v));
        auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
        if (mask) return i + static_cast<std::size_t>(std::countr_zero(mask));
        i += 32;
    }
    for (; i < n; ++i) {
        unsigned char c = s[i];
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return i;
    }
    return n;
}

}  // namespace

class JsonStrictParser {
public:
    explicit JsonStrictParser(std::string_view text)
        : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

    platform::Result<JsonDocument, JsonSyntaxError> run(std::string_view text);

private:
    struct Open {
        std::uint64_t node;
        std::uint64_t count;
        std::size_t keys_mark;  // where this object's keys begin in keys_
        bool is_object;
    };

    bool fail(std::string_view what) {
        err_ = JsonSyntaxError{pos_, what};
        return false;
    }
    void skip_ws() {
        while (pos_ < n_ && is_ws(s_[pos_])) ++pos_;
    }
    bool parse_string();
    bool parse_number();
    bool parse_literal(std::string_view word, Kind kind, std::uint64_t value);
    bool parse_key_and_colon();
    bool open_container(bool is_object);
    void close_container();
    void resolve_duplicate_keys(const Open& o);
    std::string_view string_text(const Node& n) const {
        std::string_view base = (n.b & kDecodedFlag) ? std::string_view(doc_.arena_) : doc_.source_;
        return base.substr(n.a, payload(n));
    }

    const unsigned char* s_;
    std::size_t n_;
    std::size_t pos_ = 0;
    JsonSyntaxError err_;
    JsonDocument doc_;
    std::vector<Open> stack_;
    std::vector<std::uint64_t> keys_;  // key node indices of the open objects
    std::vector<std::pair<std::uint64_t, std::size_t>> dup_scratch_;  // (key hash, member position)
};

bool JsonStrictParser::parse_string() {
    // pos_ at the opening quote.
    std::size_t start = ++pos_;
    bool decoded = false;
    std::size_t arena_start = doc_.arena_.size();
    std::size_t copied_to = start;  // raw bytes before this are in the arena (when decoded)
    for (;;) {
        pos_ = find_string_special(s_, pos_, n_);
        if (pos_ >= n_) return fail("EOF while parsing a string");
        unsigned char c = s_[pos_];
        if (c == '"') break;
        if (c >= 0x80) {
            const platform::Utf8Step st =
                platform::utf8_step({reinterpret_cast<const char*>(s_), n_}, pos_);
            if (!st.well_formed) return fail("invalid unicode code point");
            pos_ += st.length;
            continue;
        }
        if (c < 0x20) return fail("control character while parsing a string");
        // A backslash: from here on the text is decoded into the arena.
        if (!decoded) {
            decoded = true;
            copied_to = start;
        }
        doc_.arena_.append(reinterpret_cast<const char*>(s_ + copied_to), pos_ - copied_to);
        if (pos_ + 1 >= n_) return fail("EOF while parsing a string");
        unsigned char e = s_[pos_ + 1];
        pos_ += 2;
        switch (e) {
            case '"': doc_.arena_ += '"'; break;
            case '\\': doc_.arena_ += '\\'; break;
            case '/': doc_.arena_ += '/'; break;
            case 'b': doc_.arena_ += '\b'; break;
            case 'f': doc_.arena_ += '\f'; break;
            case 'n': doc_.arena_ += '\n'; break;
            case 'r': doc_.arena_ += '\r'; break;
            case 't': doc_.arena_ += '\t'; break;
            case 'u': {
                auto read_hex4 = [&](std::uint32_t& v) {
                    if (pos_ + 4 > n_) return false;
                    v = 0;
                    for (int i = 0; i < 4; ++i) {
                        int h = hex_value(s_[pos_ + i]);
                        if (h < 0) return false;
                        v = v * 16 + static_cast<std::uint32_t>(h);
                    }
                    pos_ += 4;
                    return true;
                };
                std::uint32_t cp = 0;
                if (!read_hex4(cp)) return fail("invalid escape");
                if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone trailing surrogate in hex escape");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (pos_ + 2 > n_ || s_[pos_] != '\\' || s_[pos_ + 1] != 'u')
                        return fail("unexpected end of hex escape");
                    pos_ += 2;
                    std::uint32_t lo = 0;
                    if (!read_hex4(lo)) return fail("invalid escape");
                    if (lo < 0xDC00 || lo > 0xDFFF) return fail("lone leading surrogate in hex escape");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                platform::append_utf8_code_point(doc_.arena_, cp);
                break;
            }
            default: pos_ -= 1; return fail("invalid escape");
        }
        copied_to = pos_;
    }
    // pos_ at the closing quote.
    if (decoded) {
        doc_.arena_.append(reinterpret_cast<const char*>(s_ + copied_to), pos_ - copied_to);
        doc_.nodes_.push_back(make_node(Kind::String, arena_start, doc_.arena_.size() - arena_start));
        doc_.nodes_.back().b |= kDecodedFlag;
    } else {
        doc_.nodes_.push_back(make_node(Kind::String, start, pos_ - start));
    }
    ++pos_;
    return true;
}

bool JsonStrictParser::parse_number() {
    std::size_t start = pos_;
    bool negative = false;
    if (s_[pos_] == '-') {
        negative = true;
        ++pos_;
    }
    auto digit_at = [&](std::size_t i) { return i < n_ && s_[i] >= '0' && s_[i] <= '9'; };
    if (!digit_at(pos_)) return fail("invalid number");
    if (s_[pos_] == '0') {
        ++pos_;
        if (digit_at(pos_)) return fail("invalid number");
    } else {
        while (digit_at(pos_)) ++pos_;
    }
    bool is_float = false;
    if (pos_ < n_ && s_[pos_] == '.') {
        ++pos_;
        if (!digit_at(pos_)) return fail("invalid number");
        while (digit_at(pos_)) ++pos_;
        is_float = true;
    }
    if (pos_ < n_ && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < n_ && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
        if (!digit_at(pos_)) return fail("invalid number");
        while (digit_at(pos_)) ++pos_;
        is_float = true;
    }
    const char* first = reinterpret_cast<const char*>(s_ + start);
    const char* last = reinterpret_cast<const char*>(s_ + pos_);
    if (!is_float) {
        if (!negative) {
            std::uint64_t v = 0;
            auto r = std::from_chars(first, last, v);
            if (r.ec == std::errc() && r.ptr == last) {
                doc_.nodes_.push_back(make_node(Kind::UInt, v, 0));
                return true;
            }
        } else if (pos_ - start != 2 || s_[start + 1] != '0') {  // "-0" is the double -0.0
            std::int64_t v = 0;
            auto r = std::from_chars(first, last, v);
            if (r.ec == std::errc() && r.ptr == last) {
                doc_.nodes_.push_back(make_node(Kind::Int, static_cast<std::uint64_t>(v), 0));
                return true;
            }
        }
    }
    double d = 0;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc::result_out_of_range) {
        // Underflow rounds towards zero or a subnormal; overflow is an error.
        std::string copy(first, last);
        d = std::strtod(copy.c_str(), nullptr);
    } else if (r.ec != std::errc() || r.ptr != last) {
        return fail("invalid number");
    }
    if (std::isinf(d)) {
        pos_ = start;
        return fail("number out of range");
    }
    doc_.nodes_.push_back(make_node(Kind::Float, std::bit_cast<std::uint64_t>(d), 0));
    return true;
}

bool JsonStrictParser::parse_literal(std::string_view word, Kind kind, std::uint64_t value) {
    if (n_ - pos_ < word.size() || std::memcmp(s_ + pos_, word.data(), word.size()) != 0)
        return fail("expected ident");
    pos_ += word.size();
    doc_.nodes_.push_back(make_node(kind, value, 0));
    return true;
}

bool JsonStrictParser::parse_key_and_colon() {
    skip_ws();
    if (pos_ >= n_) return fail("EOF while parsing an object");
    if (s_[pos_] != '"') return fail("key must be a string");
    keys_.push_back(doc_.nodes_.size());
    if (!parse_string()) return false;
    skip_ws();
    if (pos_ >= n_) return fail("EOF while parsing an object");
    if (s_[pos_] != ':') return fail("expected `:`");
    ++pos_;
    return true;
}

bool JsonStrictParser::open_container(bool is_object) {
    if (stack_.size() + 1 >= kMaxDepth) return fail("recursion limit exceeded");
    stack_.push_back(Open{doc_.nodes_.size(), 0, keys_.size(), is_object});
    doc_.nodes_.push_back(make_node(is_object ? Kind::Object : Kind::Array, 0, 0));
    ++pos_;
    return true;
}

void JsonStrictParser::close_container() {
    Open o = stack_.back();
    stack_.pop_back();
    Node& n = doc_.nodes_[o.node];
    n.a = doc_.nodes_.size();
    n.b |= o.count;
    if (o.is_object) {
        if (o.count > 1) resolve_duplicate_keys(o);
        keys_.resize(o.keys_mark);
    }
    ++pos_;
}

void JsonStrictParser::resolve_duplicate_keys(const Open& o) {
    const std::uint64_t* keys = keys_.data() + o.keys_mark;
    const std::size_t count = keys_.size() - o.keys_mark;
    // Members are compared by hash first; the few with equal hashes by text.
    // A member whose key appeared before is hidden, and the first occurrence
    // takes this later value (the node right after the key).
    dup_scratch_.clear();
    for (std::size_t j = 0; j < count; ++j)
        dup_scratch_.push_back({fx_hash_bytes(string_text(doc_.nodes_[keys[j]])), j});
    if (count > 16) std::sort(dup_scratch_.begin(), dup_scratch_.end());
    auto same_key = [&](std::size_t i, std::size_t j) {
        return dup_scratch_[i].first == dup_scratch_[j].first &&
               string_text(doc_.nodes_[keys[dup_scratch_[i].second]]) ==
                   string_text(doc_.nodes_[keys[dup_scratch_[j].second]]);
    };
    auto resolve = [&](std::size_t lo, std::size_t hi) {  // entries [lo, hi) in member order
        for (std::size_t j = lo + 1; j < hi; ++j) {
            for (std::size_t i = lo; i < j; ++i) {
                const std::uint64_t first_key = keys[dup_scratch_[i].second];
                if ((doc_.nodes_[first_key].b & kSkipFlag) || !same_key(i, j)) continue;
                const std::uint64_t later_key = keys[dup_scratch_[j].second];
                doc_.nodes_[later_key].b |= kSkipFlag;
                doc_.redirect_[first_key] = later_key + 1;
                break;
            }
        }
    };
    if (count <= 16) {
        resolve(0, count);
        return;
    }
    // Sorted by (hash, position): runs of equal hashes, each in member order.
    for (std::size_t lo = 0; lo < count;) {
        std::size_t hi = lo + 1;
        while (hi < count && dup_scratch_[hi].first == dup_scratch_[lo].first) ++hi;
        if (hi - lo > 1) resolve(lo, hi);
        lo = hi;
    }
}

platform::Result<JsonDocument, JsonSyntaxError> JsonStrictParser::run(std::string_view text) {
    doc_.source_ = text;
    doc_.nodes_.reserve(std::min<std::size_t>(n_ / 4 + 4, std::size_t{1} << 20));
    skip_ws();
    bool ok = true;
    for (;;) {
        // A value is expected at pos_.
        if (pos_ >= n_) {
            ok = fail("EOF while parsing a value");
            break;
        }
        bool closed_empty = false;
        switch (s_[pos_]) {
            case '{':
                ok = open_container(true);
                if (!ok) break;
                skip_ws();
                if (pos_ < n_ && s_[pos_] == '}') {
                    close_container();
                    closed_empty = true;
                } else {
                    ok = parse_key_and_colon();
                    if (ok) {
                        skip_ws();
                        continue;
                    }
                }
                break;
            case '[':
                ok = open_container(false);
                if (!ok) break;
                skip_ws();
                if (pos_ < n_ && s_[pos_] == ']') {
                    close_container();
                    closed_empty = true;
                } else {
                    continue;
                }
                break;
            case '"': ok = parse_string(); break;
            case 't': ok = parse_literal("true", Kind::Bool, 1); break;
            case 'f': ok = parse_literal("false", Kind::Bool, 0); break;
            case 'n': ok = parse_literal("null", Kind::Null, 0); break;
            default:
                if (s_[pos_] == '-' || (s_[pos_] >= '0' && s_[pos_] <= '9'))
                    ok = parse_number();
                else
                    ok = fail("expected value");
        }
        (void)closed_empty;
        if (!ok) break;
        // After a complete value: continue the innermost container.
        bool need_value = false;
        while (!stack_.empty() && !need_value) {
            Open& top = stack_.back();
            ++top.count;
            skip_ws();
            if (pos_ >= n_) {
                ok = fail(top.is_object ? "EOF while parsing an object" : "EOF while parsing a list");
                break;
            }
            unsigned char c = s_[pos_];
            if (c == ',') {
                ++pos_;
                if (top.is_object) {
                    ok = parse_key_and_colon();
                    if (!ok) break;
                }
                skip_ws();
                need_value = true;
            } else if (c == (top.is_object ? '}' : ']')) {
                close_container();
            } else {
                ok = fail(top.is_object ? "expected `,` or `}`" : "expected `,` or `]`");
                break;
            }
        }
        if (!ok || need_value) {
            if (!ok) break;
            continue;
        }
        break;  // the top-level value is complete
    }
    if (!ok) return platform::Err{err_};
    skip_ws();
    if (pos_ != n_) {
        fail("trailing characters");
        return platform::Err{err_};
    }
    return std::move(doc_);
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Offset of the first byte at or after `i` that must be escaped (quote,
// backslash, control byte); `n` when there is none.
std::size_t find_escape_needed(const unsigned char* s, std::size_t i, std::size_t n) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i bslash = _mm256_set1_epi8('\\');
    const __m256i ctl_max = _mm256_set1_epi8(0x1F);
    while (i + 32 <= n) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        __m256i ctl = _mm256_cmpeq_epi8(_mm256_max_epu8(v, ctl_max), ctl_max);  // v <= 0x1F
        __m256i hit = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, bslash)), ctl);
        auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
        if (mask) return i + static_cast<std::size_t>(std::countr_zero(mask));
        i += 32;
    }
    for (; i < n; ++i) {
        unsigned char c = s[i];
        if (c == '"' || c == '\\' || c < 0x20) return i;
    }
    return n;
}

void append_escaped_body(std::string& out, std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t done = 0;
    for (;;) {
        std::size_t i = find_escape_needed(s, done, n);
        out.append(text.data() + done, i - done);
        if (i == n) return;
        unsigned char c = s[i];
        done = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(u, 6);
            }
        }
    }
}

}  // namespace

JsonDocument::Kind JsonDocument::root_kind() const { return kind_of(nodes_.front()); }

platform::Result<JsonDocument, JsonSyntaxError> parse_json_strict(std::string_view text) {
    JsonStrictParser p(text);
    return p.run(text);
}

void write_json_string(std::string& out, std::string_view text) {
    out += '"';
    append_escaped_body(out, text);
    out += '"';
}

void write_json_double(std::string& out, double v) {
    // Shortest round-trip digits, then laid out as value 0.d1...dn x 10^kk.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits += c;
    int exp10 = 0;
    std::string_view e = sci.substr(e_pos + 1);
    if (e.front() == '+') e.remove_prefix(1);
    std::from_chars(e.data(), e.data() + e.size(), exp10);
    const int n = static_cast<int>(digits.size());
    const int kk = exp10 + 1;
    if (n <= kk && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(kk - n), '0');
        out += ".0";
    } else if (0 < kk && kk <= 16) {
        out.append(digits, 0, static_cast<std::size_t>(kk));
        out += '.';
        out.append(digits, static_cast<std::size_t>(kk));
    } else if (-5 < kk && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        char eb[16];
        auto er = std::to_chars(eb, eb + sizeof eb, kk - 1);
        out.append(eb, static_cast<std::size_t>(er.ptr - eb));
    }
}

class JsonDocWriter {
public:
    JsonDocWriter(const JsonDocument& d, JsonStyle style, std::string& out,
                  const std::function<void(std::string&)>& drain, const std::function<bool()>& stop)
        : d_(d), pretty_(style == JsonStyle::Pretty), out_(out), drain_(drain), stop_(stop) {}

    void run() {
        write_value(0);
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            if (f.next >= f.end) {
                bool is_object = f.is_object;
                stack_.pop_back();
                if (pretty_) newline_indent(stack_.size());
                out_ += is_object ? '}' : ']';
                continue;
            }
            std::uint64_t value;
            if (f.is_object) {
                const Node& key = d_.nodes_[f.next];
                value = f.next + 1;
                std::uint64_t after = subtree_end(value);
                if (key.b & kSkipFlag) {
                    f.next = after;
                    continue;
                }
                separator(f);
                write_json_string(out_, text_of(key));
                out_ += pretty_ ? ": " : ":";
                if (!d_.redirect_.empty()) {
                    if (auto it = d_.redirect_.find(f.next); it != d_.redirect_.end()) value = it->second;
                }
                f.next = after;
            } else {
                value = f.next;
                f.next = subtree_end(value);
                separator(f);
            }
            write_value(value);  // may push a frame: `f` is not used after this
            if (drain_ && out_.size() >= (std::size_t{1} << 16)) {
                drain_(out_);
                if (stop_ && stop_()) return;
            }
        }
    }

private:
    struct Frame {
        std::uint64_t next;
        std::uint64_t end;
        bool is_object;
        bool first;
    };

    std::string_view text_of(const Node& n) const {
        std::string_view base = (n.b & kDecodedFlag) ? std::string_view(d_.arena_) : d_.source_;
        return base.substr(n.a, payload(n));
    }
    std::uint64_t subtree_end(std::uint64_t i) const {
        const Node& n = d_.nodes_[i];
        return is_container(kind_of(n)) ? n.a : i + 1;
    }
    // ",\n" and two spaces per level, sliced from one constant: the reader
    // bounds nesting at 127, so 2 + 2 * 127 bytes always suffice.
    static constexpr std::string_view kBreak =
        ",\n"
        "                                                                                                    "
        "                                                                                                    "
        "                                                        ";
    static_assert(kBreak.size() >= 2 + 2 * kMaxDepth);
    void newline_indent(std::size_t depth) { out_.append(kBreak.data() + 1, 1 + depth * 2); }
    void separator(Frame& f) {
        if (pretty_) {
            std::size_t skip = f.first ? 1 : 0;
            out_.append(kBreak.data() + skip, 2 - skip + stack_.size() * 2);
        } else if (!f.first) {
            out_ += ',';
        }
        f.first = false;
    }

    void write_value(std::uint64_t i) {
        const Node& n = d_.nodes_[i];
        char buf[32];
        switch (kind_of(n)) {
            case Kind::Null: out_ += "null"; break;
            case Kind::Bool: out_ += n.a ? "true" : "false"; break;
            case Kind::UInt: {
                auto r = std::to_chars(buf, buf + sizeof buf, n.a);
                out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
                break;
            }
            case Kind::Int: {
                auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(n.a));
                out_.append(buf, static_cast<std::size_t>(r.ptr - buf));
                break;
            }
            case Kind::Float: write_json_double(out_, std::bit_cast<double>(n.a)); break;
            case Kind::String:
                if (n.b & kDecodedFlag) {
                    write_json_string(out_, text_of(n));
                } else {
                    // Undecoded text holds no quote, backslash or control byte.
                    out_ += '"';
                    out_ += text_of(n);
                    out_ += '"';
                }
                break;
            case Kind::Array:
            case Kind::Object: {
                bool is_object = kind_of(n) == Kind::Object;
                out_ += is_object ? '{' : '[';
                if (payload(n) == 0) {
                    out_ += is_object ? '}' : ']';
                } else {
                    stack_.push_back(Frame{i + 1, n.a, is_object, true});
                }
                break;
            }
        }
    }

    const JsonDocument& d_;
    bool pretty_;
    std::string& out_;
    const std::function<void(std::string&)>& drain_;
    const std::function<bool()>& stop_;
    std::vector<Frame> stack_;
};

void write_json(const JsonDocument& doc, JsonStyle style, std::string& out,
                const std::function<void(std::string&)>& drain, const std::function<bool()>& stop) {
    JsonDocWriter w(doc, style, out, drain, stop);
    w.run();
}

bool reformat_json(std::string_view text, JsonStyle style, std::string& out) {
    auto doc = parse_json_strict(text);
    if (!doc) return false;
    write_json(doc.value(), style, out);
    return true;
}

}  // namespace rova_rudo
