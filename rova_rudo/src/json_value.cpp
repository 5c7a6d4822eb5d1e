#include "rova_rudo/json_value.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "platform/pages.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/byte_search.hpp"
#include "rova_rudo/fx_hash.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/record_rounds.hpp"
#include "tape_parser/simd.hpp"

namespace rova_rudo {

namespace simd = tape_parser::simd;

namespace {

using Kind = JsonDocument::Kind;
using Node = JsonDocument::Node;

constexpr int kKindShift = 61;
constexpr std::uint64_t kDecodedFlag = std::uint64_t{1} << 60;  // string text lives in the arena
// A number whose value a double cannot hold (a = offset, payload = length of
// its text): written as it stands. The bit is kDecodedFlag's: one marks
// strings only, the other numbers only.
constexpr std::uint64_t kAsWrittenFlag = kDecodedFlag;
constexpr std::uint64_t kSkipFlag = std::uint64_t{1} << 59;  // key of a member overridden by an earlier position
constexpr std::uint64_t kPayloadMask = (std::uint64_t{1} << 59) - 1;
// Entering the 128th open container fails, as the reference reader does.
constexpr std::size_t kMaxDepth = 128;

Kind kind_of(const Node& n) { return static_cast<Kind>(n.b >> kKindShift); }
std::uint64_t payload(const Node& n) { return n.b & kPayloadMask; }
Node make_node(Kind k, std::uint64_t a, std::uint64_t b_payload) {
    return Node{a, (static_cast<std::uint64_t>(k) << kKindShift) | b_payload};
}
bool is_container(Kind k) { return k == Kind::Array || k == Kind::Object; }

// A finite double as its shortest round-trip decimal: value = 0.digits x
// 10^point, digits without leading or trailing zeros ("0" for zero).
struct ShortestDecimal {
    char digits[24];
    int count = 0;
    int point = 0;
    bool negative = false;
};

ShortestDecimal shortest_decimal(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    ShortestDecimal d;
    if (sci.front() == '-') {
        d.negative = true;
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    for (char c : sci.substr(0, e_pos))
        if (c != '.') d.digits[d.count++] = c;
    int exp10 = 0;
    std::string_view e = sci.substr(e_pos + 1);
    if (e.front() == '+') e.remove_prefix(1);
    std::from_chars(e.data(), e.data() + e.size(), exp10);
    d.point = exp10 + 1;
    return d;
}

// Whether the JSON number `text` has exactly the value of `d`, the double it
// reads as: then writing the double loses nothing.
bool same_value(std::string_view text, const ShortestDecimal& d) {
    std::size_t i = text.front() == '-' ? 1 : 0;
    char sig[24];
    int count = 0;
    std::int64_t pending_zeros = 0;  // zeros after the last nonzero digit
    std::int64_t seen = 0;           // mantissa digits read
    std::int64_t first = -1;         // index of the first nonzero digit
    std::int64_t integer_digits = -1;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') {
            integer_digits = seen;
            continue;
        }
        if (c != '0') {
            if (first < 0) first = seen;
            // More significant digits than a shortest double has: not its value.
            if (count + pending_zeros + 1 > 17) return false;
            for (; pending_zeros > 0; --pending_zeros) sig[count++] = '0';
            sig[count++] = c;
        } else if (first >= 0) {
            ++pending_zeros;
        }
        ++seen;
    }
    if (integer_digits < 0) integer_digits = seen;
    if (first < 0) return d.count == 1 && d.digits[0] == '0';  // zero, of either sign
    std::int64_t exponent = 0;
    if (i < text.size()) {
        ++i;
        bool minus = false;
        if (text[i] == '+' || text[i] == '-') minus = text[i++] == '-';
        for (; i < text.size(); ++i) {
            if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (minus) exponent = -exponent;
    }
    return count == d.count && std::memcmp(sig, d.digits, static_cast<std::size_t>(count)) == 0 &&
           integer_digits - first + exponent == d.point;
}

// Appends `d` in the writers' layout (100.0, 1.5, 0.00001, 1e-7, 1.8446744073709552e19).
void write_shortest(std::string& out, const ShortestDecimal& d) {
    if (d.negative) out += '-';
    const std::string_view digits(d.digits, static_cast<std::size_t>(d.count));
    const int n = d.count;
    const int kk = d.point;
    if (n <= kk && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(kk - n), '0');
        out += ".0";
    } else if (0 < kk && kk <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(kk));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(kk));
    } else if (-5 < kk && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        char eb[16];
        auto er = std::to_chars(eb, eb + sizeof eb, kk - 1);
        out.append(eb, static_cast<std::size_t>(er.ptr - eb));
    }
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Offset of the first byte at or after `i` that is a quote, a backslash, a
// control byte or a non-ASCII byte; `n` when there is none.
std::size_t find_string_special(const unsigned char* s, std::size_t i, std::size_t n) {
    using simd::Block32;
    const __m256i quote = Block32::splat('"');
    const __m256i bslash = Block32::splat('\\');
    const __m256i space = Block32::splat(0x20);
    while (i + 32 <= n) {
        const auto b = Block32::load(s + i);
        // Signed compare: bytes 0x00-0x1F and 0x80-0xFF are all "less than" 0x20.
        const std::uint32_t mask = b.eq(quote) | b.eq(bslash) | b.below_signed(space);
        if (mask) return i + simd::first_bit(mask);
        i += 32;
    }
    for (; i < n; ++i) {
        unsigned char c = s[i];
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return i;
    }
    return n;
}

// UTF-8 checked 32 bytes at a time by the published lookup method (Keiser
// and Lemire): three table lookups, on the high and low nibble of each
// byte's predecessor and the high nibble of the byte itself, flag every
// fault a pair of bytes can show, and the second and third bytes after a
// three- or four-byte lead must be continuation bytes. No library on the
// build's list offers this check on a caller's own blocks.
class Utf8Blocks {
public:
    // Takes the next 32 bytes of the text.
    void add(__m256i block) {
        const __m256i prev1 = before<1>(block);
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        const __m256i byte1_high =
            _mm256_shuffle_epi8(kByte1High, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble));
        const __m256i byte1_low = _mm256_shuffle_epi8(kByte1Low, _mm256_and_si256(prev1, nibble));
        const __m256i byte2_high =
            _mm256_shuffle_epi8(kByte2High, _mm256_and_si256(_mm256_srli_epi16(block, 4), nibble));
        const __m256i pairs = _mm256_and_si256(_mm256_and_si256(byte1_high, byte1_low), byte2_high);
        // 0x80 where the byte two after a three- or four-byte lead, or three
        // after a four-byte lead, stands: it must be a second continuation.
        const __m256i third = _mm256_subs_epu8(before<2>(block), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
        const __m256i fourth = _mm256_subs_epu8(before<3>(block), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
        const __m256i must =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
        error_ = _mm256_or_si256(error_, _mm256_xor_si256(must, pairs));
        prev_ = block;
    }
    // Whether the bytes taken so far hold a fault (a character cut off at
    // their end is not one).
    bool fault() const { return !_mm256_testz_si256(error_, error_); }

private:
    static constexpr char kTooShort = 1 << 0;  // a lead not followed by a continuation
    static constexpr char kTooLong = 1 << 1;   // a continuation after ASCII
    static constexpr char kOverlong3 = 1 << 2;
    static constexpr char kTooLarge = 1 << 3;
    static constexpr char kSurrogate = 1 << 4;
    static constexpr char kOverlong2 = 1 << 5;
    static constexpr char kTooLarge1000 = 1 << 6;
    static constexpr char kOverlong4 = 1 << 6;
    static constexpr char kTwoConts = static_cast<char>(1 << 7);
    static constexpr char kCarry = kTooShort | kTooLong | kTwoConts;
    static constexpr char kLarge = kCarry | kTooLarge | kTooLarge1000;

    // The table lookups, by nibble (both 128-bit lanes alike).
    static inline const __m256i kByte1High = _mm256_setr_epi8(
        kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts, kTwoConts, kTwoConts,
        kTwoConts, kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
        kTooShort | kTooLarge | kTooLarge1000 | kOverlong4, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
        kTooLong, kTooLong, kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
        kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
    static inline const __m256i kByte1Low = _mm256_setr_epi8(
        kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry, kCarry | kTooLarge, kLarge,
        kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge | kSurrogate, kLarge, kLarge,
        kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry, kCarry | kTooLarge, kLarge,
        kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge | kSurrogate, kLarge, kLarge);
    static constexpr char kCont8 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4;
    static constexpr char kCont9 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge;
    static constexpr char kContAB = kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge;
    static inline const __m256i kByte2High = _mm256_setr_epi8(
        kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kCont8, kCont9, kContAB,
        kContAB, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
        kTooShort, kTooShort, kTooShort, kCont8, kCont9, kContAB, kContAB, kTooShort, kTooShort, kTooShort, kTooShort);

    // The block shifted by N bytes, the previous block's last bytes in front.
    template <int N>
    __m256i before(__m256i block) const {
        return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(prev_, block, 0x21), 16 - N);
    }

    __m256i prev_ = _mm256_setzero_si256();
    __m256i error_ = _mm256_setzero_si256();
};

// From s[i], at a character boundary: the end of the longest run of whole
// 32-byte blocks (and of the block that holds the string's next quote,
// backslash or control byte, up to that byte) that is valid UTF-8 and
// holds none of those bytes, backed off to its last character boundary; i
// itself when the run has a fault, which the caller then finds one
// character at a time.
std::size_t skip_checked_text(const unsigned char* s, std::size_t i, std::size_t n) {
    using simd::Block32;
    const __m256i quote = Block32::splat('"');
    const __m256i bslash = Block32::splat('\\');
    const __m256i ctl_max = Block32::splat(0x1F);
    Utf8Blocks utf8;
    std::size_t p = i;
    while (p + 32 <= n) {
        const auto b = Block32::load(s + p);
        if (const std::uint32_t special = b.eq(quote) | b.eq(bslash) | b.at_most(ctl_max)) {
            // The bytes from the special one on count as ASCII: a character
            // cut off by it is then a fault.
            const unsigned k = simd::first_bit(special);
            const __m256i keep =
                _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(k)),
                                  _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                                   20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31));
            utf8.add(_mm256_and_si256(b.v, keep));
            return utf8.fault() ? i : p + k;
        }
        utf8.add(b.v);
        if (utf8.fault()) return i;
        p += 32;
    }
    // Back off from a character the last block cut off.
    std::size_t k = p;
    while (k > i && p - k < 3 && platform::is_utf8_continuation(s[k - 1])) --k;
    if (k > i) {
        const unsigned char lead = s[k - 1];
        const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (p - (k - 1) < need) p = k - 1;
    }
    return p;
}

// Decodes the escape whose backslash is at s[pos] into `out` and moves pos
// past it. On a fault returns what is wrong, with pos where it was noticed.
std::string_view decode_escape(const unsigned char* s, std::size_t n, std::size_t& pos, std::string& out) {
    if (pos + 1 >= n) return "EOF while parsing a string";
    unsigned char e = s[pos + 1];
    pos += 2;
    switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
            auto read_hex4 = [&](std::uint32_t& v) {
                if (pos + 4 > n) return false;
                v = 0;
                for (int i = 0; i < 4; ++i) {
                    int h = hex_value(s[pos + i]);
                    if (h < 0) return false;
                    v = v * 16 + static_cast<std::uint32_t>(h);
                }
                pos += 4;
                return true;
            };
            std::uint32_t cp = 0;
            if (!read_hex4(cp)) return "invalid escape";
            if (cp >= 0xDC00 && cp <= 0xDFFF) return "lone trailing surrogate in hex escape";
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (pos + 2 > n || s[pos] != '\\' || s[pos + 1] != 'u') return "unexpected end of hex escape";
                pos += 2;
                std::uint32_t lo = 0;
                if (!read_hex4(lo)) return "invalid escape";
                if (lo < 0xDC00 || lo > 0xDFFF) return "lone leading surrogate in hex escape";
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            platform::append_utf8_code_point(out, cp);
            break;
        }
        default: pos -= 1; return "invalid escape";
    }
    return {};
}

}  // namespace

class JsonStrictParser {
public:
    explicit JsonStrictParser(std::string_view text)
        : s_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()) {}

    platform::Result<JsonDocument, JsonSyntaxError> run(std::string_view text);

    // The same reading without building the document: whether the text is
    // strict JSON, and whether an object repeats a key (the one case a
    // writer cannot handle in a single forward pass). Stops at the first
    // repeated key.
    enum class Check : std::uint8_t { Invalid, Valid, RepeatedKey };
    Check check();
    // check() for one value from `pos` (whitespace before it skipped) that
    // stands inside `around` open containers, which count towards the
    // nesting limit; what follows the value is not looked at. `pos` ends
    // after the value when it is valid.
    Check check_value(std::size_t& pos, std::size_t around);

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
    void skip_ws() { pos_ = skip_whitespace(reinterpret_cast<const char*>(s_), n_, pos_); }
    bool walk();
    bool walk_value();
    bool parse_string(bool is_key = false);
    bool parse_number();
    bool parse_literal(std::string_view word, Kind kind, std::uint64_t value);
    bool parse_key_and_colon();
    bool open_container(bool is_object);
    bool close_container();
    void resolve_duplicate_keys(const Open& o);
    bool repeats_a_key(const Open& o);
    std::string_view key_text(std::size_t quote, std::string& scratch) const;
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
    std::vector<std::uint64_t> keys_;      // key node indices (checking: key hashes) of the open objects
    std::vector<std::size_t> key_quotes_;  // checking: offset of each key in keys_
    static constexpr std::uint32_t kNoSlot = UINT32_MAX;
    std::vector<std::uint32_t> key_slots_;                            // checking: the repeated-key table of one object
    std::vector<std::pair<std::uint64_t, std::size_t>> dup_scratch_;  // (key hash, member position)
    std::size_t around_ = 0;                                          // open containers outside the text being read
    bool build_ = true;
    bool repeated_key_ = false;
};

bool JsonStrictParser::parse_string(bool is_key) {
    // pos_ at the opening quote. Most strings are short ASCII without an
    // escape: their closing quote is the first special byte of the next 32.
    if (pos_ + 33 <= n_) {
        const std::size_t body = pos_ + 1;
        const std::size_t end = find_string_special(s_, body, body + 32);
        if (end < body + 32 && s_[end] == '"') {
            if (!build_) {
                if (is_key) {
                    keys_.push_back(fx_hash_bytes({reinterpret_cast<const char*>(s_ + body), end - body}));
                    key_quotes_.push_back(pos_);
                }
            } else {
                doc_.nodes_.push_back(make_node(Kind::String, body, end - body));
            }
            pos_ = end + 1;
            return true;
        }
    }
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
            // Text in other scripts: checked by blocks up to the next quote,
            // backslash or control byte, and what is left of the run (its
            // last bytes, or the fault to report) a character at a time.
            pos_ = skip_checked_text(s_, pos_, n_);
            while (pos_ < n_ && s_[pos_] >= 0x80) {
                const platform::Utf8Step st = platform::utf8_step({reinterpret_cast<const char*>(s_), n_}, pos_);
                if (!st.well_formed) return fail("invalid unicode code point");
                pos_ += st.length;
            }
            continue;
        }
        if (c < 0x20) return fail("control character while parsing a string");
        // A backslash: from here on the text is decoded into the arena.
        if (!decoded) {
            decoded = true;
            copied_to = start;
        }
        doc_.arena_.append(reinterpret_cast<const char*>(s_ + copied_to), pos_ - copied_to);
        if (std::string_view what = decode_escape(s_, n_, pos_, doc_.arena_); !what.empty()) return fail(what);
        copied_to = pos_;
    }
    // pos_ at the closing quote.
    if (!build_) {
        if (is_key) {
            if (decoded) doc_.arena_.append(reinterpret_cast<const char*>(s_ + copied_to), pos_ - copied_to);
            const std::string_view text =
                decoded ? std::string_view(doc_.arena_).substr(arena_start)
                        : std::string_view(reinterpret_cast<const char*>(s_ + start), pos_ - start);
            keys_.push_back(fx_hash_bytes(text));
            key_quotes_.push_back(start - 1);
        }
        doc_.arena_.resize(arena_start);
    } else if (decoded) {
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
    bool has_exponent = false;
    if (pos_ < n_ && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < n_ && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
        if (!digit_at(pos_)) return fail("invalid number");
        while (digit_at(pos_)) ++pos_;
        is_float = true;
        has_exponent = true;
    }
    // Checking: only a number that could exceed the double range (an
    // exponent, or 300 characters and more) needs converting.
    if (!build_ && !has_exponent && pos_ - start < 300) return true;
    const char* first = reinterpret_cast<const char*>(s_ + start);
    const char* last = reinterpret_cast<const char*>(s_ + pos_);
    if (!is_float && build_) {
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
    if (!build_) return true;
    // An integer past 64 bits, or a decimal no double holds exactly, keeps
    // its digits: the writer prints its text.
    const bool minus_zero = negative && pos_ - start == 2;  // "-0" is the double -0.0
    if ((!is_float && !minus_zero) || !same_value(std::string_view(first, pos_ - start), shortest_decimal(d))) {
        doc_.nodes_.push_back(make_node(Kind::Float, start, pos_ - start));
        doc_.nodes_.back().b |= kAsWrittenFlag;
    } else {
        doc_.nodes_.push_back(make_node(Kind::Float, std::bit_cast<std::uint64_t>(d), 0));
    }
    return true;
}

bool JsonStrictParser::parse_literal(std::string_view word, Kind kind, std::uint64_t value) {
    if (n_ - pos_ < word.size() || std::memcmp(s_ + pos_, word.data(), word.size()) != 0) return fail("expected ident");
    pos_ += word.size();
    if (build_) doc_.nodes_.push_back(make_node(kind, value, 0));
    return true;
}

bool JsonStrictParser::parse_key_and_colon() {
    skip_ws();
    if (pos_ >= n_) return fail("EOF while parsing an object");
    if (s_[pos_] != '"') return fail("key must be a string");
    if (build_) keys_.push_back(doc_.nodes_.size());
    if (!parse_string(true)) return false;
    skip_ws();
    if (pos_ >= n_) return fail("EOF while parsing an object");
    if (s_[pos_] != ':') return fail("expected `:`");
    ++pos_;
    return true;
}

bool JsonStrictParser::open_container(bool is_object) {
    if (around_ + stack_.size() + 1 >= kMaxDepth) return fail("recursion limit exceeded");
    stack_.push_back(Open{doc_.nodes_.size(), 0, keys_.size(), is_object});
    if (build_) doc_.nodes_.push_back(make_node(is_object ? Kind::Object : Kind::Array, 0, 0));
    ++pos_;
    return true;
}

bool JsonStrictParser::close_container() {
    Open o = stack_.back();
    stack_.pop_back();
    if (!build_) {
        if (o.is_object) {
            if (o.count > 1 && repeats_a_key(o)) {
                repeated_key_ = true;
                return fail("repeated key");
            }
            keys_.resize(o.keys_mark);
            key_quotes_.resize(o.keys_mark);
        }
        ++pos_;
        return true;
    }
    Node& n = doc_.nodes_[o.node];
    n.a = doc_.nodes_.size();
    n.b |= o.count;
    if (o.is_object) {
        if (o.count > 1) resolve_duplicate_keys(o);
        keys_.resize(o.keys_mark);
    }
    ++pos_;
    return true;
}

std::string_view JsonStrictParser::key_text(std::size_t quote, std::string& scratch) const {
    // The key was read once already, so it is well formed.
    const std::size_t start = quote + 1;
    std::size_t p = start;
    while (s_[p] != '"' && s_[p] != '\\') ++p;
    if (s_[p] == '"') return {reinterpret_cast<const char*>(s_ + start), p - start};
    scratch.assign(reinterpret_cast<const char*>(s_ + start), p - start);
    while (s_[p] != '"') {
        if (s_[p] == '\\') {
            (void)decode_escape(s_, n_, p, scratch);
        } else {
            scratch += static_cast<char>(s_[p]);
            ++p;
        }
    }
    return scratch;
}

bool JsonStrictParser::repeats_a_key(const Open& o) {
    const std::uint64_t* hashes = keys_.data() + o.keys_mark;
    const std::size_t* quotes = key_quotes_.data() + o.keys_mark;
    const std::size_t count = keys_.size() - o.keys_mark;
    std::string a, b;
    auto same = [&](std::size_t i, std::size_t j) {
        return hashes[i] == hashes[j] && key_text(quotes[i], a) == key_text(quotes[j], b);
    };
    if (count <= 16) {
        for (std::size_t j = 1; j < count; ++j)
            for (std::size_t i = 0; i < j; ++i)
                if (same(i, j)) return true;
        return false;
    }
    // More members: an open-addressing table of member positions, at most
    // half full, slots chosen by the hash's top bits. (Positions are 32-bit:
    // an object too large for that is left to the document, like a repeat.)
    if (count >= kNoSlot) return true;
    const int bits = std::bit_width(count * 2 - 1);
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    key_slots_.assign(mask + 1, kNoSlot);
    for (std::size_t j = 0; j < count; ++j) {
        std::size_t slot = static_cast<std::size_t>(hashes[j] >> (64 - bits));
        for (; key_slots_[slot] != kNoSlot; slot = (slot + 1) & mask)
            if (same(key_slots_[slot], j)) return true;
        key_slots_[slot] = static_cast<std::uint32_t>(j);
    }
    return false;
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
    if (!walk()) return platform::Err{err_};
    return std::move(doc_);
}

JsonStrictParser::Check JsonStrictParser::check() {
    build_ = false;
    if (walk()) return Check::Valid;
    return repeated_key_ ? Check::RepeatedKey : Check::Invalid;
}

JsonStrictParser::Check JsonStrictParser::check_value(std::size_t& pos, std::size_t around) {
    build_ = false;
    around_ = around;
    pos_ = pos;
    // A failed check may have left its open containers and keys behind.
    stack_.clear();
    keys_.clear();
    key_quotes_.clear();
    repeated_key_ = false;
    if (!walk_value()) return repeated_key_ ? Check::RepeatedKey : Check::Invalid;
    pos = pos_;
    return Check::Valid;
}

bool JsonStrictParser::walk() {
    if (!walk_value()) return false;
    skip_ws();
    if (pos_ != n_) return fail("trailing characters");
    return true;
}

bool JsonStrictParser::walk_value() {
    skip_ws();
    bool ok = true;
    for (;;) {
        // A value is expected at pos_.
        if (pos_ >= n_) {
            ok = fail("EOF while parsing a value");
            break;
        }
        switch (s_[pos_]) {
            case '{':
                ok = open_container(true);
                if (!ok) break;
                skip_ws();
                if (pos_ < n_ && s_[pos_] == '}') {
                    ok = close_container();
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
                    ok = close_container();
                } else {
                    continue;
                }
                break;
            case '"': ok = parse_string(); break;
            case 't': ok = parse_literal("true", Kind::Bool, 1); break;
            case 'f': ok = parse_literal("false", Kind::Bool, 0); break;
            case 'n': ok = parse_literal("null", Kind::Null, 0); break;
            default:
                if (s_[pos_] == '-' || (s_[pos_] >= '0' && s_[pos_] <= '9')) ok = parse_number();
                else ok = fail("expected value");
        }
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
                ok = close_container();
                if (!ok) break;
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
    return ok;
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Offset of the first byte at or after `i` that must be escaped (quote,
// backslash, control byte); `n` when there is none.
std::size_t find_escape_needed(const unsigned char* s, std::size_t i, std::size_t n) {
    using simd::Block32;
    const __m256i quote = Block32::splat('"');
    const __m256i bslash = Block32::splat('\\');
    const __m256i ctl_max = Block32::splat(0x1F);
    while (i + 32 <= n) {
        const auto b = Block32::load(s + i);
        const std::uint32_t mask = b.eq(quote) | b.eq(bslash) | b.at_most(ctl_max);
        if (mask) return i + simd::first_bit(mask);
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

void write_json_double(std::string& out, double v) { write_shortest(out, shortest_decimal(v)); }

// ",\n" and two spaces per level, sliced from one constant: the reader
// bounds nesting at 127, so 2 + 2 * 127 bytes always suffice; 32 more let
// the text writer copy a slice in whole 32-byte blocks.
constexpr std::string_view kBreak =
    ",\n"
    "                                                                                                    "
    "                                                                                                    "
    "                                                                                        ";
static_assert(kBreak.size() >= 2 + 2 * kMaxDepth + 32);

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
            case Kind::Float:
                if (n.b & kAsWrittenFlag) {
                    out_ += d_.source_.substr(n.a, payload(n));
                } else {
                    write_json_double(out_, std::bit_cast<double>(n.a));
                }
                break;
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

namespace {

// Writes text that JsonStrictParser::check found valid and free of repeated
// keys, straight from its bytes in one forward pass: the same output as
// parsing it into a document and writing that, without the document.
class JsonTextWriter {
public:
    // The buffer output gathers in; one kept by the caller serves writer
    // after writer (fresh pages are slow to touch).
    using Buffer = std::unique_ptr<char[]>;

    JsonTextWriter(std::string_view text, JsonStyle style, std::string& out,
                   const std::function<void(std::string&)>& drain, const std::function<bool()>& stop)
        : JsonTextWriter(text, style, out, drain, stop, own_buf_) {}
    JsonTextWriter(std::string_view text, JsonStyle style, std::string& out,
                   const std::function<void(std::string&)>& drain, const std::function<bool()>& stop, Buffer& buf)
        : s_(text.data()),
          n_(text.size()),
          pretty_(style == JsonStyle::Pretty),
          out_(out),
          drain_(drain),
          stop_(stop),
          base_(buffer_in(buf)),
          o_(base_) {}

    void run() {
        skip_ws();
        if (write_value(0)) spill();
    }

    // For the elements of a top array written one at a time: the "[" (when
    // `bracket`; a writer of later elements leaves it out) and the array as
    // the one open container.
    void begin_elements(bool bracket) {
        if (bracket) put('[');
        depth_.assign(1, 0);
    }
    // With pos after the array's "[" or a comma: the separator (`first`:
    // none, as before the array's first element) and the element; pos ends
    // after it. False when `stop` ended the writing.
    bool element(std::size_t& pos, bool first) {
        pos_ = pos;
        member(first, false);
        if (!write_value(1)) return false;
        pos = pos_;
        return true;
    }
    // The "]" after the last element.
    void end_elements() {
        depth_.clear();
        if (pretty_) put_break(1, 1);
        put(']');
    }
    // Moves what is gathered to `out` and, with `to_drain`, on to the drain;
    // false when `stop` then says the reader is gone.
    bool hand_over(bool to_drain) {
        spill();
        if (!to_drain || !drain_) return true;
        drain_(out_);
        return !(stop_ && stop_());
    }

private:
    // Output gathers in a buffer of its own and goes to `out_` (and the
    // drain) once past kFlushAt bytes, tested after each value: a token's
    // bytes are copied into the buffer with one bound test, and the slack
    // lets most values that cross kFlushAt end in the buffer.
    static constexpr std::size_t kFlushAt = std::size_t{1} << 16;
    static constexpr std::size_t kSlack = 4096;
    static constexpr std::size_t kBufSize = kFlushAt + kSlack;

    // Writes the value at pos_ (whitespace skipped), inside the `base`
    // containers open in depth_; pos_ ends after it. False when `stop` ended
    // the writing.
    bool write_value(std::size_t base) {
        for (;;) {
            // A value starts at pos_ (whitespace skipped).
            const char c = s_[pos_];
            if (c == '{' || c == '[') {
                const bool is_object = c == '{';
                ++pos_;
                skip_ws();
                put(c);
                if (s_[pos_] == (is_object ? '}' : ']')) {
                    put(s_[pos_++]);
                } else {
                    depth_.push_back(is_object);
                    member(true, is_object);
                    continue;
                }
            } else if (c == '"') {
                write_string();
            } else if (c == 't' || c == 'n') {
                put(s_ + pos_, 4);
                pos_ += 4;
            } else if (c == 'f') {
                put(s_ + pos_, 5);
                pos_ += 5;
            } else {
                write_number();
            }
            if (static_cast<std::size_t>(o_ - base_) >= kFlushAt) {
                spill();
                if (drain_) {
                    drain_(out_);
                    if (stop_ && stop_()) return false;
                }
            }
            // After a value: close containers until a member follows.
            for (;;) {
                if (depth_.size() == base) return true;
                skip_ws();
                if (s_[pos_] == ',') {
                    ++pos_;
                    member(false, depth_.back());
                    break;
                }
                const bool is_object = depth_.back();
                depth_.pop_back();
                ++pos_;
                if (pretty_) put_break(1, 1 + depth_.size() * 2);
                put(is_object ? '}' : ']');
            }
        }
    }

    static char* buffer_in(Buffer& buf) {
        if (!buf) buf.reset(new char[kBufSize]);
        return buf.get();
    }
    std::size_t room() const { return static_cast<std::size_t>(base_ + kBufSize - o_); }
    void spill() {
        out_.append(base_, static_cast<std::size_t>(o_ - base_));
        o_ = base_;
    }
    // The token writers, inlined where they are called: most copy a few
    // bytes of a size known there.
    [[gnu::always_inline]] void put(char c) {
        if (room() == 0) spill();
        *o_++ = c;
    }
    [[gnu::always_inline]] void put(const char* p, std::size_t k) {
        if (k > room()) {
            spill();
            if (k > kBufSize) {
                out_.append(p, k);
                return;
            }
        }
        std::memcpy(o_, p, k);
        o_ += k;
    }
    // kBreak's bytes [from, from + k), copied 32 at a time (kBreak holds the
    // last block's tail).
    [[gnu::always_inline]] void put_break(std::size_t from, std::size_t k) {
        if (k + 32 > room()) spill();
        for (std::size_t i = 0; i < k; i += 32)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o_ + i),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kBreak.data() + from + i)));
        o_ += k;
    }
    void skip_ws() { pos_ = skip_whitespace(s_, n_, pos_); }
    // The separator before a member or element and, in an object, its key
    // and colon; leaves pos_ at the value. Inlined into the value loop, its
    // one hot caller.
    [[gnu::always_inline]] void member(bool first, bool is_object) {
        if (pretty_) {
            const std::size_t skip = first ? 1 : 0;
            put_break(skip, 2 - skip + depth_.size() * 2);
        } else if (!first) {
            put(',');
        }
        skip_ws();
        if (is_object) {
            write_string();
            skip_ws();
            ++pos_;  // the colon
            if (pretty_) put(": ", 2);
            else put(':');
            skip_ws();
        }
    }
    void write_string() {
        const std::size_t quote = pos_;
        std::size_t p = quote + 1;
        // Checked text holds no byte that needs an escape, and its escapes
        // other than \/ and \u are already in the writers' form: such a
        // string is written as it stands, quotes included.
        for (;;) {
            if (p + 32 <= n_) {
                const auto b = simd::Block32::load(s_ + p);
                const std::uint32_t m = b.eq('"') | b.eq('\\');
                if (m == 0) {
                    p += 32;
                    continue;
                }
                p += simd::first_bit(m);
            } else {
                while (s_[p] != '"' && s_[p] != '\\') ++p;
            }
            if (s_[p] == '"') break;
            if (s_[p + 1] == 'u' || s_[p + 1] == '/') return write_decoded_string(quote, p);
            p += 2;
        }
        const std::size_t k = p + 1 - quote;
        if (k <= 32 && quote + 32 <= n_ && room() >= 32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o_),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s_ + quote)));
            o_ += k;
        } else {
            put(s_ + quote, k);
        }
        pos_ = p + 1;
    }
    // A string with a \u or \/ escape, the first at p: its body decoded,
    // then written in the writers' form.
    void write_decoded_string(std::size_t quote, std::size_t p) {
        const auto* u = reinterpret_cast<const unsigned char*>(s_);
        scratch_.clear();
        std::size_t q = quote + 1;
        while (q < p) {
            if (s_[q] == '\\') (void)decode_escape(u, n_, q, scratch_);
            else scratch_ += s_[q++];
        }
        while (s_[p] != '"') {
            if (s_[p] == '\\') {
                (void)decode_escape(u, n_, p, scratch_);
            } else {
                const std::size_t k = find_either_byte(std::string_view(s_ + p, n_ - p), '"', '\\');
                scratch_.append(s_ + p, k);
                p += k;
            }
        }
        pos_ = p + 1;
        escaped_.clear();
        write_json_string(escaped_, scratch_);
        put(escaped_.data(), escaped_.size());
    }
    void write_number() {
        const std::size_t start = pos_;
        bool integer = true;
        while (pos_ < n_) {
            const char c = s_[pos_];
            if (c >= '0' && c <= '9') {
            } else if (c == '.' || c == 'e' || c == 'E') {
                integer = false;
            } else if (c != '-' && c != '+') {
                break;
            }
            ++pos_;
        }
        const char* first = s_ + start;
        const char* last = s_ + pos_;
        const std::string_view text(first, pos_ - start);
        // An integer is written as it stands (within 64 bits it reads back
        // so; past them a double would drop digits); "-0" and the others go
        // through a double, as the reader stores them, unless the double
        // does not hold their value.
        if (integer && text != "-0") {
            put(first, text.size());
            return;
        }
        double d = 0;
        auto r = std::from_chars(first, last, d);
        if (r.ec == std::errc::result_out_of_range) d = std::strtod(std::string(text).c_str(), nullptr);
        const ShortestDecimal shortest = shortest_decimal(d);
        if (same_value(text, shortest)) {
            scratch_.clear();
            write_shortest(scratch_, shortest);
            put(scratch_.data(), scratch_.size());
        } else {
            put(first, text.size());
        }
    }

    const char* s_;
    std::size_t n_;
    std::size_t pos_ = 0;
    bool pretty_;
    std::string& out_;
    const std::function<void(std::string&)>& drain_;
    const std::function<bool()>& stop_;
    Buffer own_buf_;
    char* base_;                       // the buffer
    char* o_;                          // the end of the output in it
    std::vector<std::uint8_t> depth_;  // the open containers: object (1) or array (0)
    std::string scratch_;              // a decoded string body, or a number's digits
    std::string escaped_;
};

}  // namespace

namespace {

// A repeated key's value is written at its first position: that needs the
// whole object, so the document is built.
bool write_through_document(std::string_view text, JsonStyle style, std::string& out,
                            const std::function<void(std::string&)>& drain, const std::function<bool()>& stop) {
    auto doc = parse_json_strict(text);
    if (!doc) return false;
    write_json(doc.value(), style, out, drain, stop);
    return true;
}

// What checking a slice of a top array's elements ahead of its turn found,
// and the checker, kept for the slice of the next round.
struct CheckedSlice {
    explicit CheckedSlice(std::string_view text) : checker(text) {}
    JsonStrictParser checker;
    bool repeated_key = false;  // it ended at a repeated key rather than a fault
};

// The elements of the top array from the cursor (after the "[" or a comma),
// each checked as the check of the whole text checks it, and the commas
// between them; as walk_records walks records, so the first fault in
// document order is the one reported.
RecordsEnd check_elements(JsonStrictParser& p, JsonCursor& c, std::uint32_t& j, std::uint64_t until,
                          bool& repeated_key) {
    for (;;) {
        std::size_t pos = c.pos;
        if (const auto r = p.check_value(pos, 1); r != JsonStrictParser::Check::Valid) {
            repeated_key = r == JsonStrictParser::Check::RepeatedKey;
            return RecordsEnd::Error;
        }
        c.pos = pos;
        skip_whitespace(c);
        if (c.at_end()) return RecordsEnd::Error;
        if (c.peek() == ']') return RecordsEnd::End;
        if (c.peek() != ',') return RecordsEnd::Error;
        ++c.pos;
        ++j;
        if (c.pos >= until) return RecordsEnd::Until;
    }
}

// The text a slice of checked elements was written into ahead of its turn,
// and the writer's buffer, kept for the slice of the next round.
struct WrittenSlice {
    std::string text;
    JsonTextWriter::Buffer buffer;
};

// Whether every place where `lead` (as array_element_lead gives it) follows
// a comma in valid JSON starts an element of some array. Outside a string
// it does: after a comma an object member would start with a quote. Inside
// a string the first quote of the lead would close the string, and what
// follows it in the lead must then go on from a closed string: a lead whose
// first key starts with anything else (as `{"id":` does) cannot be met there.
bool lead_starts_only_elements(std::string_view lead) {
    std::size_t i = 1;  // past the "{"
    while (i < lead.size() && is_json_whitespace(static_cast<std::uint8_t>(lead[i]))) ++i;
    if (i + 1 >= lead.size() || lead[i] != '"') return false;
    const auto after = static_cast<std::uint8_t>(lead[i + 1]);
    return !is_json_whitespace(after) && after != '"' && after != ',' && after != ':' && after != '}' && after != ']';
}

// The checked elements of an array from the cursor (after its "[" or a
// comma), each with the separator before it; the cursor ends at the "]"
// (End) or after a comma (Until).
RecordsEnd write_elements(JsonTextWriter& w, JsonCursor& c, std::uint32_t& j, std::uint64_t until, bool first) {
    for (;;) {
        std::size_t pos = c.pos;
        if (!w.element(pos, first)) return RecordsEnd::Stopped;
        c.pos = pos;
        first = false;
        skip_whitespace(c);
        if (c.peek() == ']') return RecordsEnd::End;
        ++c.pos;  // the comma
        ++j;
        if (c.pos >= until) return RecordsEnd::Until;
    }
}

}  // namespace

bool reformat_json(std::string_view text, JsonStyle style, std::string& out,
                   const std::function<void(std::string&)>& drain, const std::function<bool()>& stop) {
    JsonStrictParser checker(text);
    switch (checker.check()) {
        case JsonStrictParser::Check::Invalid: return false;
        case JsonStrictParser::Check::RepeatedKey: return write_through_document(text, style, out, drain, stop);
        case JsonStrictParser::Check::Valid: break;
    }
    JsonTextWriter w(text, style, out, drain, stop);
    w.run();
    return true;
}

namespace {

// Below this a map's pages are left to fault in as the text is read.
constexpr std::size_t kPopulateFrom = std::size_t{1} << 20;

}  // namespace

bool reformat_json_given(std::string_view text, JsonStyle style, std::string& out,
                         const std::function<void(std::string&)>& drain, const std::function<bool()>& stop,
                         unsigned threads, std::size_t check_slice, std::size_t write_slice, const void* file_map) {
    JsonCursor c(text);
    skip_whitespace(c);
    std::string_view lead;
    if (RoundPlan::worth_it(text.size(), threads, write_slice) && !c.at_end() && c.peek() == '[')
        lead = array_element_lead(text, c.pos);
    if (lead.empty() || !lead_starts_only_elements(lead)) {
        // Read whole in turn: the pages of a large map are mapped at once
        // from several threads, as one fault per page taken in turn costs
        // more here than the reading does.
        if (file_map && text.size() >= kPopulateFrom) platform::populate_read_pages(text.data(), text.size());
        return reformat_json(text, style, out, drain, stop);
    }
    const std::uint64_t first_element = c.pos + 1;

    // Checked first, in rounds, and nothing written until the whole text is
    // known good: a fault late in it still leaves `out` as it was.
    {
        RoundPlan plan(text, true, lead, threads, check_slice);
        plan.give_back_pages(file_map);  // read again by the writing, from the page cache
        JsonStrictParser checker(text);
        bool repeated_key = false;
        std::uint32_t j = 0;
        ParseError error;
        c.pos = first_element;
        const RecordsEnd how = walk_record_rounds<CheckedSlice>(
            plan, c, j, error,
            [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError&) {
                return check_elements(checker, cur, r, until, repeated_key);
            },
            [&](HeldSlice<CheckedSlice>& s, unsigned, JsonCursor& sc, std::uint64_t until) {
                CheckedSlice& held = s.held ? *s.held : s.held.emplace(text);
                held.repeated_key = false;
                return check_elements(held.checker, sc, s.records, until, held.repeated_key);
            },
            NoSettle{},
            [&](const CheckedSlice& held, std::uint32_t) {
                repeated_key = held.repeated_key;
                return false;
            });
        if (how == RecordsEnd::Error) return repeated_key && write_through_document(text, style, out, drain, stop);
        ++c.pos;  // the "]"
        skip_whitespace(c);
        if (!c.at_end()) return false;
    }

    // Then written in rounds: the walk in turn straight to `out` and the
    // drain, the slices ahead into text of their own, handed on in document
    // order. A slice that begins at an element of a deeper array writes
    // that array's elements (the text is valid, and the lead starts only
    // elements) and does not count.
    RoundPlan plan(text, true, lead, threads, write_slice);
    plan.give_back_pages(file_map);  // a slice's text is a copy
    JsonTextWriter w(text, style, out, drain, stop);
    w.begin_elements(true);
    // A slice's text past this (records far larger than their slice) is
    // given up, and the rest is written in turn.
    const std::size_t held_cap = 4 * write_slice;
    const std::function<void(std::string&)> keep = [](std::string&) {};
    std::uint32_t j = 0;
    ParseError error;
    c.pos = first_element;
    const RecordsEnd how = walk_record_rounds<WrittenSlice>(
        plan, c, j, error,
        [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError&) {
            const RecordsEnd e = write_elements(w, cur, r, until, r == 0);
            // What the walk in turn wrote goes before the slices ahead.
            if (e == RecordsEnd::Until && !w.hand_over(true)) return RecordsEnd::Stopped;
            return e;
        },
        [&](HeldSlice<WrittenSlice>& s, unsigned, JsonCursor& sc, std::uint64_t until) {
            WrittenSlice& held = s.held ? *s.held : s.held.emplace();
            if (held.text.capacity() < held_cap) held.text.reserve(held_cap);
            held.text.clear();
            const std::function<bool()> full = [&] { return held.text.size() > held_cap; };
            JsonTextWriter hw(text, style, held.text, keep, full, held.buffer);
            hw.begin_elements(false);
            const RecordsEnd e = write_elements(hw, sc, s.records, until, false);
            if (e == RecordsEnd::Stopped) s.failed = true;
            else hw.hand_over(false);
            return e;
        },
        NoSettle{},
        [&](WrittenSlice& held, std::uint32_t) {
            if (!drain || !out.empty()) {
                out += held.text;
                return false;
            }
            // Drained as it stands, without a copy into `out`.
            out.swap(held.text);
            drain(out);
            out.swap(held.text);
            return stop && stop();
        });
    if (how == RecordsEnd::End) {
        w.end_elements();
        w.hand_over(false);
    }
    return true;
}

}  // namespace rova_rudo
