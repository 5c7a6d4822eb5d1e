#include "tape_parser/builder.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/io.hpp"
#include "platform/utf8.hpp"
#include "tape_parser/simd.hpp"

namespace tape_parser {

namespace detail {

// The builder keeps the tape's storage, length and room in locals for the
// whole chunk (so that entry and counter stores cannot force reloads) and
// goes through here only to grow and to write the length back.
class TapeAppender {
public:
    struct Room {
        TapeEntry* data;
        std::size_t room;  // entries that may be written: min(capacity, max)
    };
    static Room room(Tape& t, std::uint64_t max) {
        return {t.data_, t.capacity_ < max ? t.capacity_ : static_cast<std::size_t>(max)};
    }
    // Grows the storage past `len` entries, or gives room == len when `max`
    // is reached or the memory is refused.
    [[gnu::noinline]] static Room grow(Tape& t, std::size_t len, std::uint64_t max) {
        if (len < max) {
            t.size_ = len;
            if (len == t.capacity_) (void)t.grow();
        }
        return room(t, max);
    }
    static void set_size(Tape& t, std::size_t len) { t.size_ = len; }
};

}  // namespace detail

namespace {

using detail::TapeAppender;

constexpr std::uint64_t kSkipMask = 0x400100100002600ull;  // tab, LF, CR, space, ',', ':'

inline bool is_skip(std::uint8_t c) { return c < 64 && ((kSkipMask >> c) & 1u) != 0; }

// Whether `c` is one of the two separators, ',' and ':'.
inline bool is_separator(std::uint8_t c) { return c == ',' || c == ':'; }

inline bool is_number_byte(std::uint8_t c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

const char kTooManyEntries[] = "Input too large: a tape holds at most 4294967294 entries";
const char kTooLong[] = "Input too large: tape offsets must stay below 2^48 bytes";

// A tape that cannot grow fails its input with the system's own words.
std::string out_of_memory() { return platform::IoError{ENOMEM}.message(); }

std::string with_position(const char* text, std::uint64_t pos) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, pos);
    std::string s(text);
    s.append(buf, r.ptr);
    return s;
}

// The error texts are built out of line: the chunk loop's code stays as it
// is whatever they hold.
[[gnu::noinline, gnu::cold]] std::string unexpected_closer(std::uint8_t b, std::uint64_t pos) {
    std::string s = "Unexpected '";
    platform::append_byte_for_message(s, b);
    s += "' at position ";
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, pos);
    s.append(buf, r.ptr);
    return s;
}

[[gnu::noinline, gnu::cold]] std::string unexpected_char(std::uint8_t b, std::uint64_t pos) {
    std::string s = "Unexpected character '";
    platform::append_byte_for_message(s, b);
    s += "' at position ";
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, pos);
    s.append(buf, r.ptr);
    return s;
}

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

inline std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
}

// First '"' or '\\' at or after q, or len.
inline std::size_t find_quote_or_backslash(const std::uint8_t* d, std::size_t q, std::size_t len) {
    const __m256i quote32 = simd::Block32::splat('"');
    const __m256i bslash32 = simd::Block32::splat('\\');
    while (len - q >= 32) {
        const auto b = simd::Block32::load(d + q);
        const std::uint32_t m = b.eq(quote32) | b.eq(bslash32);
        if (m != 0) return q + simd::first_bit(m);
        q += 32;
    }
    if (len - q >= 16) {
        const auto b = simd::Block16::load(d + q);
        const std::uint32_t m = b.eq('"') | b.eq('\\');
        if (m != 0) return q + simd::first_bit(m);
        q += 16;
    }
    while (q < len && d[q] != '"' && d[q] != '\\') ++q;
    return q;
}

// Bit i set when byte i of the 16 at p is in the number set. A byte is in the
// set when its low-nibble and high-nibble classes share a bit:
//   bit 0: high 3, low 0-9 (digits); bit 1: high 2, low B/D/E ('+', '-', '.');
//   bit 2: high 4 or 6, low 5 ('E', 'e').
inline std::uint32_t number_mask16(const std::uint8_t* p) {
    const __m128i lo_tab = _mm_setr_epi8(1, 1, 1, 1, 1, 1 | 4, 1, 1, 1, 1, 0, 2, 0, 2, 2, 0);
    const __m128i hi_tab = _mm_setr_epi8(0, 0, 2, 1, 4, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i v = simd::Block16::load(p).v;
    const __m128i nib = _mm_set1_epi8(0x0F);
    const __m128i lo = _mm_shuffle_epi8(lo_tab, _mm_and_si128(v, nib));
    const __m128i hi = _mm_shuffle_epi8(hi_tab, _mm_and_si128(_mm_srli_epi16(v, 4), nib));
    const __m128i none = _mm_cmpeq_epi8(_mm_and_si128(lo, hi), _mm_setzero_si128());
    return ~simd::movemask(none) & 0xFFFFu;
}

// tape_number_end, inlined into the chunk loop: a call there would leave the
// loop's state only the few registers a call preserves.
[[gnu::always_inline]] inline const std::uint8_t* number_end(const std::uint8_t* s, const std::uint8_t* lim) {
    // Sixteen at a time while they fit; most numbers end inside the first block.
    while (lim - s >= 16) {
        const std::uint32_t m = number_mask16(s);
        if (m != 0xFFFFu) return s + simd::first_bit(~m);
        s += 16;
    }
    for (;;) {
        // Eight ASCII digits per word: a byte below '0' borrows in the
        // subtraction, one above '9' carries into its top bit in the addition.
        while (lim - s >= 8) {
            const std::uint64_t x = load64(s);
            const std::uint64_t t = ((x - 0x3030303030303030ull) | (x + 0x4646464646464646ull)) & 0x8080808080808080ull;
            if (t == 0) {
                s += 8;
                continue;
            }
            s += simd::first_bit(t) >> 3;
            break;
        }
        while (s < lim && *s >= '0' && *s <= '9') ++s;
        if (s >= lim) return lim;
        if (!is_number_byte(*s)) return s;
        ++s;
    }
}

}  // namespace

std::size_t tape_number_end(const std::uint8_t* d, std::size_t len, std::size_t start) {
    return static_cast<std::size_t>(number_end(d + start, d + len) - d);
}

namespace {

// Where a string body scan stopped.
struct BodyScan {
    std::size_t pos;       // the closing quote, or the chunk length when the chunk ended first
    bool escape;           // the chunk ended right after a backslash
    std::uint8_t unicode;  // bytes of a \u escape the chunk did not hold (1-4), else 0
};

// Scans a string body from q for its closing quote, skipping escapes; the
// four bytes after \u are skipped unexamined.
[[gnu::always_inline]] inline BodyScan scan_string_body(const std::uint8_t* d, std::size_t q, std::size_t n) {
    for (;;) {
        q = find_quote_or_backslash(d, q, n);
        if (q >= n) return {n, false, 0};
        if (d[q] == '"') return {q, false, 0};
        if (q + 1 >= n) return {n, true, 0};
        if (d[q + 1] == 'u') {
            if (n - (q + 2) >= 4) {
                q += 6;
                continue;
            }
            return {n, false, static_cast<std::uint8_t>(4 - (n - (q + 2)))};
        }
        q += 2;
    }
}

}  // namespace

namespace {

// A scalar's entry as two 64-bit halves and the parent word (see TapeEntry):
// the first half is the start's low 32 bits, then the start's and the end's
// bits 32-47; the second the end's low 32 bits, then the kind.
inline void put_scalar(TapeEntry* e, std::uint64_t first, std::uint64_t second, std::uint32_t parent) {
    std::memcpy(e->w, &first, 8);
    std::memcpy(e->w + 2, &second, 8);
    e->w[4] = parent;
}

// The quotes and backslashes of one 64-byte block of a chunk (blocks lie
// every 64 bytes from the chunk's start), bit i for byte i.
struct QuoteBlock {
    const std::uint8_t* at;  // the block; `lim` when none is held
    std::uint64_t quotes;
    std::uint64_t slashes;

    void load(const std::uint8_t* p) {
        const auto lo = simd::Block32::load(p);
        const auto hi = simd::Block32::load(p + 32);
        at = p;
        quotes = lo.eq('"') | std::uint64_t{hi.eq('"')} << 32;
        slashes = lo.eq('\\') | std::uint64_t{hi.eq('\\')} << 32;
    }
};

// The closing quote of the string whose opening quote is at s, when it lies
// in the same block or the next with no backslash before it, found from the
// blocks' masks: the cursor then moves by a shift and a bit count, not by a
// load and a compare at each string. nullptr for other strings, and for
// those whose blocks the chunk does not hold whole. Moves `block` on.
[[gnu::always_inline]] inline const std::uint8_t* string_end_in_blocks(QuoteBlock& block, const std::uint8_t* s,
                                                                       const std::uint8_t* d, const std::uint8_t* lim) {
    auto off = static_cast<std::size_t>(s - block.at);
    if (off >= 64) {
        const std::uint8_t* at = s - ((s - d) & 63);
        if (lim - at < 64) {
            block.at = lim;
            return nullptr;
        }
        block.load(at);
        off = static_cast<std::size_t>(s - at);
    }
    const std::uint64_t quotes = (block.quotes >> off) >> 1;  // after the opening quote
    const std::uint64_t slashes = (block.slashes >> off) >> 1;
    if (quotes != 0) {
        const unsigned k = simd::first_bit(quotes);
        return _bzhi_u64(slashes, k) == 0 ? s + 1 + k : nullptr;
    }
    if (slashes != 0 || lim - block.at < 128) return nullptr;
    block.load(block.at + 64);
    const unsigned k = simd::first_bit(block.quotes);
    return block.quotes != 0 && _bzhi_u64(block.slashes, k) == 0 ? block.at + k : nullptr;
}

// What the chunk walk carries from token to token.
struct Walk {
    const std::uint8_t* s;  // the cursor
    TapeEntry* w;           // the next entry
    std::uint32_t cur;      // the innermost open container's index, kNoParent at top level
    // The innermost container's child counter, written back to its stack
    // entry only when a child container opens; at top level the completed
    // top-level values, parked in `roots` while a container is open.
    std::uint32_t count;
    std::size_t depth;  // open containers
    std::uint64_t roots;
    std::uint64_t members = 0;    // object members, counted as objects close
    std::uint64_t kinds[8] = {};  // entries made, by TapeKind
};

// Why walk_values returned.
enum class Stop : std::uint8_t {
    End,    // the chunk is consumed
    Room,   // the tape or the container stack is full
    Token,  // the token at the cursor is cut by the chunk's end, or is an error
};

// Whether the chunk holds the literal `text` ("true", "false" or "null") at s.
template <std::size_t N>
[[gnu::always_inline]] inline bool literal_at(const std::uint8_t* s, const std::uint8_t* lim, const char (&text)[N]) {
    constexpr std::size_t len = N - 1;
    return static_cast<std::size_t>(lim - s) >= len &&
           load32(s) == load32(reinterpret_cast<const std::uint8_t*>(text)) && (len == 4 || s[4] == 'e');
}

// Indentation: a line break and the blanks after it are most often exactly
// as many bytes as the last such run that led to a token of the same depth
// (`run`). The cursor moves by that remembered length while the mask of the
// 32 bytes only confirms it, so the next dispatch waits on no load; another
// length is counted from the mask and remembered. For a run that starts with
// no space (one after a ':' does) and 32 readable bytes at s; false, the
// cursor unmoved, when the run is past 31 bytes or s holds no blank.
[[gnu::always_inline]] inline bool cross_indentation(const std::uint8_t*& s, std::uint8_t& run) {
    const std::uint32_t ws = simd::whitespace_mask32(s);
    const unsigned guess = run;
    if (simd::low_bits(ws, guess + 1) == (1u << guess) - 1) {
        s += guess;
        return true;
    }
    const unsigned r = simd::first_bit(~ws);
    if (r - 1 >= 31) return false;
    run = static_cast<std::uint8_t>(r);
    s += r;
    return true;
}

// The values of the chunk [d, d + n) from the cursor on, each one whole and
// sound, until the chunk ends, the tape's `room` entries or the container
// stack's `stack_cap` would be passed, or a token needs build_tape_chunk's
// care. Nothing in the loop calls out, so its state stays in registers; and
// since a token takes at least one byte, the tokens that start within `room`
// bytes cannot overrun the tape. With kNarrow every position of the chunk,
// [base, base + n], has the same bits 32-47: a scalar's two halves are then
// the addresses of its first and end bytes plus constants of the chunk.
//
// The walk is a machine whose states are the labels below, each ending in a
// goto to the next: `next_token` dispatches on the byte at the cursor (and
// takes a string, the most frequent token, itself), `after_value` steps over
// what follows a value, `blanks` crosses whitespace, and every exit goes
// through `out`.
template <bool kNarrow>
[[gnu::noinline]] Stop walk_values(Walk& walk, const std::uint8_t* d, std::size_t n, std::uint64_t base, bool is_last,
                                   TapeEntry* out, std::size_t room, TapeStackEntry* stk, std::size_t stack_cap) {
    const std::uint8_t* s = walk.s;
    const std::uint8_t* const lim = d + n;
    const std::uint8_t* const stop = s + std::min(static_cast<std::size_t>(lim - s), room);
    TapeEntry* w = walk.w;
    std::uint32_t cur = walk.cur;
    std::uint32_t count = walk.count;
    std::size_t depth = walk.depth;
    std::uint64_t* const kinds = walk.kinds;
    QuoteBlock block{lim, 0, 0};
    // Indentation run lengths last seen, by the depth of the token they lead
    // to (any length from 1 on: a guess only, but one that moves the cursor).
    std::uint8_t runs[128];
    std::memset(runs, 1, sizeof runs);
    constexpr std::size_t kRunMask = sizeof runs - 1;
    // Absolute position of the byte at an address of this chunk.
    const std::uint64_t to_pos = base - reinterpret_cast<std::uintptr_t>(d);
    const std::uint64_t first_bias = to_pos + ((base >> 32) << 48);
    const std::uint64_t second_bias = to_pos - ((base >> 32) << 32);
    const auto pos = [to_pos](const std::uint8_t* x) { return to_pos + reinterpret_cast<std::uintptr_t>(x); };
    // A completed scalar from the byte at b to the one at e (exclusive): its
    // entry, the enclosing counter, the kind's count.
    const auto scalar = [&](const std::uint8_t* b, const std::uint8_t* e, TapeKind k) {
        if constexpr (kNarrow)
            put_scalar(
                w, first_bias + reinterpret_cast<std::uintptr_t>(b),
                second_bias + reinterpret_cast<std::uintptr_t>(e) + (std::uint64_t{static_cast<std::uint8_t>(k)} << 61),
                cur);
        else *w = TapeEntry::scalar(pos(b), pos(e), k, cur);
        ++w;
        ++count;
        ++kinds[static_cast<int>(k)];
    };
    // A literal whose bytes the chunk holds and match: its entry, the cursor past it.
    const auto literal = [&]<std::size_t N>(const char(&text)[N], TapeKind k) {
        if (!literal_at(s, lim, text)) return false;
        scalar(s, s + (N - 1), k);
        s += N - 1;
        return true;
    };
    std::uint8_t c;
    Stop why;

next_token:
    if (s >= stop) goto chunk_end;
    c = *s;
    // Strings (keys included) are most tokens: tested before anything else,
    // and taken right here.
    if (c != '"') goto not_string;
    {
        const std::uint8_t* end = string_end_in_blocks(block, s, d, lim);
        if (end == nullptr) [[unlikely]] {
            // Short strings: the closing quote within the next 32 (or 16) bytes
            // with no backslash before it; others are scanned.
            unsigned k = 0;
            const auto left = static_cast<std::size_t>(lim - s);
            if (left >= 33 ? simd::short_string_end<32>(s + 1, k)
                           : left >= 17 && simd::short_string_end<16>(s + 1, k)) {
                end = s + 1 + k;
            } else {
                const BodyScan b = scan_string_body(d, static_cast<std::size_t>(s - d) + 1, n);
                if (b.pos >= n) goto token;
                end = d + b.pos;
            }
        }
        scalar(s + 1, end, TapeKind::String);
        s = end + 1;
        goto after_value;
    }

not_string:
    if (is_skip(c)) goto blanks;
    switch (c) {
        case '[':
        case '{': goto open;
        case ']':
        case '}': goto close;
        case 't':
            if (literal("true", TapeKind::True)) goto after_value;
            goto token;
        case 'f':
            if (literal("false", TapeKind::False)) goto after_value;
            goto token;
        case 'n':
            if (literal("null", TapeKind::Null)) goto after_value;
            goto token;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': goto number;
        default: goto token;
    }

number:
    // From the sign or digit itself ('-' is in the number set): the scan
    // then waits for nothing but the cursor.
    {
        const std::uint8_t* e = number_end(s, lim);
        if (e == lim && !is_last) goto token;
        scalar(s, e, TapeKind::Number);
        s = e;
        goto after_value;
    }

open:
    // An opener: its entry, and its place on the container stack.
    {
        if (depth == stack_cap) [[unlikely]] {
            why = Stop::Room;
            goto out;
        }
        const bool obj = c == '{';
        const TapeKind kind = obj ? TapeKind::Object : TapeKind::Array;
        const auto idx = static_cast<std::uint32_t>(w - out);
        *w++ = TapeEntry::open_container(pos(s), kind, cur);
        ++kinds[static_cast<int>(kind)];
        if (depth != 0) stk[depth - 1].child_counter = count + 1;
        else walk.roots = count;
        stk[depth++] = TapeStackEntry{idx, static_cast<std::uint8_t>(obj ? '}' : ']'), 0};
        count = 0;
        cur = idx;
        ++s;
        goto next_token;
    }

close:
    // A closer with nothing open or of the wrong kind is an error.
    {
        if (depth == 0 || c != stk[depth - 1].closer) goto token;
        const std::uint32_t opener = stk[--depth].tape_index;
        std::uint32_t kids = count;
        if (depth == 0) {
            cur = kNoParent;
            count = static_cast<std::uint32_t>(walk.roots) + 1;
        } else {
            cur = stk[depth - 1].tape_index;
            count = stk[depth - 1].child_counter;
        }
        if (c == '}') {
            kids /= 2;
            walk.members += kids;
        }
        out[opener].close(pos(s) + 1, kids);
        ++s;
        goto after_value;
    }

after_value:
    // One ',' or ':' that follows a value is stepped over here, without a
    // trip through the dispatch (always so in minified text), and whitespace
    // after that (indented text) is crossed before the next dispatch, so
    // that the dispatch sees the same kinds of bytes in both.
    if (s < lim && is_separator(*s)) {
        ++s;
        if (s < lim && *s <= ' ') goto blanks;
    } else if (s < lim && *s <= ' ') {
        goto blanks_before_closer;
    }
    goto next_token;

blanks:
    if (*s != ' ' && lim - s >= 32 && cross_indentation(s, runs[depth & kRunMask])) goto next_token;
    goto blank_bytes;

blanks_before_closer:
    // After a value with no separator: the run leads to a closer, one level out.
    if (*s != ' ' && lim - s >= 32 && cross_indentation(s, runs[(depth - 1) & kRunMask])) goto next_token;

blank_bytes:
    // One or two separators are stepped over singly; a longer run
    // (indentation) is crossed eight spaces at a time. The space is tested
    // on its own first: the run after a ": " then needs no table test.
    if (*s != ' ' && !is_skip(*s)) goto next_token;
    ++s;
    if (s < lim && is_skip(*s)) {
        ++s;
        if (s < lim && is_skip(*s)) {
            ++s;
            // " : " is three bytes; indentation goes on with spaces.
            while (lim - s >= 8) {
                const std::uint64_t x = load64(s) ^ 0x2020202020202020ull;
                if (x != 0) {
                    s += simd::first_bit(x) >> 3;
                    break;
                }
                s += 8;
            }
            while (s < lim && is_skip(*s)) ++s;
        }
    }
    goto next_token;

chunk_end:
    why = s < lim ? Stop::Room : Stop::End;
    goto out;
token:
    why = Stop::Token;
out:
    walk.s = s;
    walk.w = w;
    walk.cur = cur;
    walk.count = count;
    walk.depth = depth;
    return why;
}

// Hands what the walk carried back to the builder state, the tape's length
// and the statistics, and gives `result`: every return of build_tape_chunk
// once its walk has begun comes through here, failed or not.
BuildResult finish_chunk(const Walk& walk, const TapeEntry* data, TapeBuilderState& st, Tape& tape, ParseStats& stats,
                         BuildResult result) {
    TapeAppender::set_size(tape, static_cast<std::size_t>(walk.w - data));
    if (walk.depth != 0) st.stack[walk.depth - 1].child_counter = walk.count;
    st.stack.resize(walk.depth);
    st.current_container = walk.cur;
    st.root_values = walk.depth != 0 ? walk.roots : walk.count;
    stats.strings += walk.kinds[static_cast<int>(TapeKind::String)];
    stats.numbers += walk.kinds[static_cast<int>(TapeKind::Number)];
    stats.booleans += walk.kinds[static_cast<int>(TapeKind::True)] + walk.kinds[static_cast<int>(TapeKind::False)];
    stats.nulls += walk.kinds[static_cast<int>(TapeKind::Null)];
    stats.objects += walk.kinds[static_cast<int>(TapeKind::Object)];
    stats.arrays += walk.kinds[static_cast<int>(TapeKind::Array)];
    stats.object_members += walk.members;
    return result;
}

}  // namespace

BuildResult build_tape_chunk(const std::uint8_t* d, std::size_t n, std::uint64_t base, bool is_last,
                             TapeBuilderState& st, Tape& tape, ParseStats& stats) {
    if (n == 0) return platform::Unit{};
    if (n > kMaxTapeOffset || base > kMaxTapeOffset - n) return platform::Err{std::string(kTooLong)};

    const std::uint64_t max_entries = st.max_entries;
    auto room = TapeAppender::room(tape, max_entries);
    TapeEntry* wend = room.data + room.room;
    Walk walk;
    walk.s = d;
    walk.w = room.data + tape.size();
    walk.cur = st.current_container;
    walk.depth = st.stack.size();
    walk.roots = st.root_values;
    // The container stack is worked on in place, at its full capacity; its
    // length is the depth again once the chunk is finished.
    if (st.stack.capacity() < 16) st.stack.reserve(16);
    st.stack.resize(st.stack.capacity());
    walk.count = walk.depth != 0 ? st.stack[walk.depth - 1].child_counter : static_cast<std::uint32_t>(walk.roots);
    const std::uint8_t* const lim = d + n;
    // Every position of the chunk, [base, base + n], has the same bits 32-47
    // (every chunk of an input under 4 GiB, all but one per 4 GiB past it).
    const bool narrow = (base >> 32) == ((base + n) >> 32);

    const auto done = [&] { return finish_chunk(walk, room.data, st, tape, stats, platform::Unit{}); };
    const auto fail = [&](std::string message) {
        return finish_chunk(walk, room.data, st, tape, stats, platform::Err{std::move(message)});
    };
    const auto fail_at = [&](const char* text, std::uint64_t pos) { return fail(with_position(text, pos)); };
    // The tape cannot take another entry: it holds the most it may, or the
    // system refused it more memory.
    const auto too_many = [&] {
        return fail(static_cast<std::uint64_t>(walk.w - room.data) >= max_entries ? std::string(kTooManyEntries)
                                                                                  : out_of_memory());
    };
    // Grows the tape; false when it cannot take another entry.
    const auto grow = [&] {
        const auto len = static_cast<std::size_t>(walk.w - room.data);
        room = TapeAppender::grow(tape, len, max_entries);
        walk.w = room.data + len;
        wend = room.data + room.room;
        return walk.w != wend;
    };
    // A completed scalar [start, end) in absolute positions, resumed from an
    // earlier chunk; false when the tape cannot take it.
    const auto resumed_scalar = [&](std::uint64_t start, std::uint64_t end, TapeKind k) {
        if (walk.w == wend && !grow()) return false;
        *walk.w++ = TapeEntry::scalar(start, end, k, walk.cur);
        ++walk.count;
        ++walk.kinds[static_cast<int>(k)];
        return true;
    };

    // Resume a token cut by the previous chunk's end.
    switch (st.pending_kind) {
        case PendingKind::None: break;
        case PendingKind::Literal: {
            std::size_t i = st.literal_matched;
            while (i < st.literal_len && walk.s < lim) {
                if (*walk.s != static_cast<std::uint8_t>(st.literal_text[i]))
                    return fail_at("Invalid literal at position ", st.pending_start);
                ++i;
                ++walk.s;
            }
            if (i < st.literal_len) {
                if (is_last) return fail_at("Unexpected EOF in literal at position ", st.pending_start);
                st.literal_matched = static_cast<std::uint8_t>(i);
                return done();
            }
            const TapeKind k = st.literal_text[0] == 't'   ? TapeKind::True
                               : st.literal_text[0] == 'f' ? TapeKind::False
                                                           : TapeKind::Null;
            if (!resumed_scalar(st.pending_start, st.pending_start + st.literal_len, k)) return too_many();
            st.pending_kind = PendingKind::None;
            st.literal_len = 0;
            st.literal_matched = 0;
            break;
        }
        case PendingKind::Number: {
            const auto k = static_cast<std::size_t>(number_end(d, lim) - d);
            if (k == n && !is_last) return done();
            if (!resumed_scalar(st.pending_start, base + k, TapeKind::Number)) return too_many();
            st.pending_kind = PendingKind::None;
            walk.s = d + k;
            break;
        }
        case PendingKind::String: {
            std::size_t q = 0;
            if (st.escape_pending) {
                if (d[0] == 'u') st.unicode_pending = 4;
                st.escape_pending = false;
                q = 1;
            }
            while (st.unicode_pending > 0 && q < n) {
                --st.unicode_pending;
                ++q;
            }
            if (st.unicode_pending > 0) return done();
            const BodyScan b = scan_string_body(d, q, n);
            if (b.pos >= n) {
                st.escape_pending = b.escape;
                st.unicode_pending = b.unicode;
                return done();
            }
            if (!resumed_scalar(st.pending_start, base + b.pos, TapeKind::String)) return too_many();
            st.in_string = false;
            st.pending_kind = PendingKind::None;
            walk.s = d + b.pos + 1;
            break;
        }
    }

    for (;;) {
        // A full tape takes the walk one token at a time, into a scratch
        // entry; a token that makes an entry is taken again once the tape
        // has grown, or fails the input.
        const bool full = walk.w == wend;
        TapeStackEntry* const stk = st.stack.data();
        Walk before;
        std::uint32_t before_counter = 0;
        TapeEntry scratch;
        if (full) {
            before = walk;
            if (walk.depth != 0) before_counter = stk[walk.depth - 1].child_counter;
            walk.w = &scratch;
        }
        const std::size_t left = full ? 1 : static_cast<std::size_t>(wend - walk.w);
        const Stop why = narrow ? walk_values<true>(walk, d, n, base, is_last, room.data, left, stk, st.stack.size())
                                : walk_values<false>(walk, d, n, base, is_last, room.data, left, stk, st.stack.size());
        if (full) {
            if (walk.w != &scratch) {
                walk = before;
                if (walk.depth != 0) stk[walk.depth - 1].child_counter = before_counter;
                if (!grow()) return too_many();
                continue;
            }
            walk.w = before.w;
        }
        if (why == Stop::End) return done();
        if (why == Stop::Room) {
            if (walk.depth == st.stack.size()) st.stack.resize(walk.depth * 2);
            continue;
        }
        // The token at the cursor is cut by the chunk's end, or is an error.
        const std::uint8_t c = *walk.s;
        const std::uint64_t at = base + static_cast<std::size_t>(walk.s - d);
        switch (c) {
            case '"': {
                const BodyScan b = scan_string_body(d, static_cast<std::size_t>(walk.s - d) + 1, n);
                st.pending_kind = PendingKind::String;
                st.pending_start = at + 1;
                st.in_string = true;
                st.escape_pending = b.escape;
                st.unicode_pending = b.unicode;
                return done();
            }
            case ']':
            case '}':
                if (walk.depth == 0) return fail(unexpected_closer(c, at));
                return fail_at("Mismatched bracket at position ", at);
            case 't':
            case 'n':
            case 'f': {
                const char* text = c == 't' ? "true" : c == 'n' ? "null" : "false";
                const std::size_t text_len = c == 'f' ? 5 : 4;
                const auto have = static_cast<std::size_t>(lim - walk.s);
                if (have >= text_len) return fail_at("Invalid literal at position ", at);
                // The chunk ends inside the literal. On the last chunk its
                // length alone decides, whatever the bytes present.
                if (is_last) return fail_at("Unexpected EOF in literal at position ", at);
                if (std::memcmp(walk.s, text, have) != 0) return fail_at("Invalid literal at position ", at);
                st.pending_kind = PendingKind::Literal;
                st.pending_start = at;
                std::memcpy(st.literal_text, text, text_len);
                st.literal_len = static_cast<std::uint8_t>(text_len);
                st.literal_matched = static_cast<std::uint8_t>(have);
                return done();
            }
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                // A number that runs to the end of a chunk that is not the last.
                st.pending_kind = PendingKind::Number;
                st.pending_start = at;
                return done();
            default: return fail(unexpected_char(c, at));
        }
    }
}

BuildResult finish_tape(TapeBuilderState& st, std::uint64_t input_len, Tape& tape, ParseStats& stats) {
    if (!st.stack.empty()) return platform::Err{std::string("Unclosed container")};
    if (st.in_string || st.pending_kind == PendingKind::String || st.escape_pending || st.unicode_pending != 0)
        return platform::Err{std::string("Unexpected EOF in string")};
    if (st.pending_kind == PendingKind::Literal) return platform::Err{std::string("Unexpected EOF in literal")};
    if (input_len > kMaxTapeOffset) return platform::Err{std::string(kTooLong)};
    if (st.pending_kind == PendingKind::Number) {
        if (tape.size() >= st.max_entries) return platform::Err{std::string(kTooManyEntries)};
        if (!tape.push_back(TapeEntry::scalar(st.pending_start, input_len, TapeKind::Number, kNoParent)))
            return platform::Err{out_of_memory()};
        ++stats.numbers;
        ++st.root_values;
        st.pending_kind = PendingKind::None;
    }
    if (st.root_values > 1) {
        if (tape.size() >= st.max_entries) return platform::Err{std::string(kTooManyEntries)};
        std::uint64_t tops = 0;
        const std::size_t len = tape.size();
        TapeEntry* e = tape.data();
        // Every parent index moves up by one; kNoParent wraps to 0, the wrapper.
        for (std::size_t i = 0; i < len; ++i) {
            tops += (e[i].w[4] == kNoParent);
            e[i].w[4] += 1;
        }
        if (!tape.push_back(TapeEntry{})) return platform::Err{out_of_memory()};
        e = tape.data();
        std::memmove(e + 1, e, len * sizeof(TapeEntry));
        e[0] = TapeEntry::open_container(0, TapeKind::Array, kNoParent);
        e[0].close(input_len, static_cast<std::uint32_t>(tops));
        ++stats.arrays;
    }
    return platform::Unit{};
}

void drop_parser_state(TapeBuilderState& st) {
    std::vector<TapeStackEntry>().swap(st.stack);
    st.pending_kind = PendingKind::None;
    st.in_string = false;
    st.escape_pending = false;
    st.unicode_pending = 0;
}

}  // namespace tape_parser
