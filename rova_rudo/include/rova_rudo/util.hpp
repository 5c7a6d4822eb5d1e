// Text truncation for every --max-value-bytes option, and the flatten walk:
// "path = value" lines, one per leaf of a JSON value.
#pragma once

#include <immintrin.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rova_rudo/parser.hpp"
#include "rova_rudo/path.hpp"
#include "rova_rudo/search_request.hpp"
#include "tape_parser/simd.hpp"

namespace rova_rudo {

// The cut mark, U+2026; it is not counted in the budget.
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// Absent when `text` is at most `max` bytes long. Otherwise its first bytes up
// to the cut point, then the mark (so up to max + 3 bytes). When the whole text
// is valid UTF-8 the cut point moves down off continuation bytes so no
// character is split; otherwise it is exactly `max`.
std::optional<std::string> truncate_with_ellipsis(std::string_view text, std::uint64_t max);

// What a flatten walk writes.
struct FlattenOptions {
    std::optional<std::uint64_t> truncation;  // value budget (--max-value-bytes); absent = whole values
    std::optional<std::uint64_t> limit;       // most lines (--limit); absent = no limit
    bool objects_too = false;                 // a placeholder line for each container too
};

// Copies n bytes in whole 32-byte pieces: up to 31 bytes past the end of
// both `from` and `to` are read and written, so both need that much room.
inline void copy_in_pieces(char* to, const char* from, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 32) std::memcpy(to + i, from + i, 32);
}

// The printed path of a flatten walk, by the rules of PathBuilder
// (path.hpp), kept in a buffer with kSlack bytes of room past its end: a
// line copies the path, and a short key is copied in, as whole 32-byte
// pieces.
class FlattenPath {
public:
    static constexpr std::size_t kSlack = 64;

    explicit FlattenPath(std::string_view start = ".") { assign(start); }
    FlattenPath(const FlattenPath&) = delete;
    FlattenPath& operator=(const FlattenPath&) = delete;

    // The path as `text`, with no open segment.
    void assign(std::string_view text) {
        starts_.clear();
        len_ = 0;
        append(text.data(), text.size());
    }
    const char* data() const { return buf_.get(); }
    std::size_t size() const { return len_; }
    std::string_view text() const { return {buf_.get(), len_}; }

    void mark_segment() { starts_.push_back(len_); }
    void pop() {
        if (starts_.empty()) return;
        cut_to_last_start();
        starts_.pop_back();
    }
    void set_index(std::uint32_t index) {
        if (starts_.empty()) return;
        cut_to_last_start();
        reserve(len_ + 12);
        char* p = buf_.get() + len_;
        *p++ = '[';
        p = std::to_chars(p, p + 10, index).ptr;
        *p++ = ']';
        len_ = static_cast<std::size_t>(p - buf_.get());
    }
    // The innermost segment becomes "." (unless the path already ends with
    // one) and the raw key, a key that is not UTF-8 having each byte from
    // 0x80 replaced by U+FFFD. `readable` bytes can be read from key.data().
    void set_key(std::string_view key, std::size_t readable) {
        if (!starts_.empty()) cut_to_last_start();
        reserve(len_ + 1 + key.size());
        char* p = buf_.get();
        if (len_ == 0 || p[len_ - 1] != '.') p[len_++] = '.';
        const std::size_t n = key.size();
        // Nearly every key is short ASCII, and at least 32 bytes of the
        // document follow its start: one load tells and copies it.
        if (n <= 32 && readable >= 32) {
            const auto b = tape_parser::simd::Block32::load(key.data());
            if (tape_parser::simd::low_bits(tape_parser::simd::movemask(b.v), static_cast<unsigned>(n)) == 0) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + len_), b.v);
                len_ += n;
                return;
            }
        }
        append_key_slowly(key);
    }

private:
    void cut_to_last_start() {
        // A start beyond the text is left alone, as PathBuilder does.
        if (starts_.back() <= len_) len_ = starts_.back();
    }
    // Room for the path to reach n bytes, and kSlack more.
    void reserve(std::size_t n) {
        if (n + kSlack > cap_) grow(n + kSlack);
    }
    void grow(std::size_t need);
    void append(const char* p, std::size_t n) {
        reserve(len_ + n);
        if (n) std::memcpy(buf_.get() + len_, p, n);
        len_ += n;
    }
    void append_key_slowly(std::string_view key);

    std::unique_ptr<char[]> buf_;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
    std::vector<std::size_t> starts_;  // where each open segment begins, innermost last
};

// The flatten walk, as a visitor of the event walker: one line per scalar,
// "path = value", the value's raw text cut by the budget and then quoted
// when it is a string; with objects_too also "path = {object}" or
// "path = [array]" as each container opens. Lines go to `out`, which gives
//   char* room(std::size_t n);   // room for one line of n bytes and
//                                // kLineSlack more; nullptr stops the walk
//   void commit(std::size_t n);  // the line written there
// The kLineSlack bytes past a line may be overwritten. `end` is where the
// walked bytes end: a value is copied in 32-byte pieces when they stay
// before it. A walk stops when the limit is reached; nothing is written
// past it.
inline constexpr std::size_t kLineSlack = 64;

template <typename Out>
struct FlattenVisitor {
    const FlattenOptions& options;
    Out& out;
    const char* end = nullptr;  // of the walked bytes; null: values are copied byte-exact
    FlattenPath path{"."};
    std::uint64_t count = 0;  // lines written so far

    // True when the walk must stop. `wide`: the 31 bytes after the value
    // may be read.
    bool line(std::string_view text, bool quoted, bool wide) {
        if (options.limit && count >= *options.limit) return true;
        const std::size_t p = path.size();
        const std::size_t q = quoted ? 1 : 0;
        const std::size_t n = p + 3 + text.size() + 2 * q + 1;
        char* to = out.room(n);
        if (!to) [[unlikely]]
            return true;
        copy_in_pieces(to, path.data(), p);
        to += p;
        std::memcpy(to, " = \"", 4);
        to += 3 + q;
        if (wide) copy_in_pieces(to, text.data(), text.size());
        else std::memcpy(to, text.data(), text.size());
        to += text.size();
        to[0] = '"';
        to[q] = '\n';
        out.commit(n);
        ++count;
        return options.limit && count >= *options.limit;
    }

    bool visitor_enter_array(std::uint64_t) {
        if (options.objects_too && line("[array]", false, false)) return true;
        path.mark_segment();
        return false;
    }
    bool visitor_enter_object(std::uint64_t) {
        if (options.objects_too && line("{object}", false, false)) return true;
        path.mark_segment();
        return false;
    }
    void visitor_array_element(std::uint32_t index) { path.set_index(index); }
    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        return scan_member_key(c, [this, &c](std::string_view key) {
            path.set_key(key, static_cast<std::size_t>(c.data + c.len - key.data()));
        });
    }
    bool visitor_scalar(std::string_view raw, ScalarKind kind) {
        const bool quoted = kind == ScalarKind::String;
        if (!options.truncation)
            return line(raw, quoted, end && static_cast<std::size_t>(end - raw.data()) >= raw.size() + 32);
        const std::optional<std::string> cut = truncate_with_ellipsis(raw, *options.truncation);
        return line(cut ? std::string_view(*cut) : raw, quoted, false);
    }
    bool visitor_exit_container(std::uint64_t) {
        path.pop();
        return false;
    }
};

// The `out` of a FlattenVisitor that appends its lines to a string.
struct AppendedLines {
    std::string& text;
    char* room(std::size_t n) {
        const std::size_t at = text.size();
        text.resize(at + n + kLineSlack);
        return text.data() + at;
    }
    void commit(std::size_t n) {
        text.resize(text.size() - kLineSlack);
        (void)n;
    }
};

// Empties `out` and appends one "path = value" line per leaf of the JSON value
// in `value`, paths starting from `prefix`. Strings keep their raw escaped
// body; empty containers give no line. Malformed text ends the walk quietly:
// the lines before the fault stay, and text after the root value is ignored.
void flatten_value(std::string_view value, std::string_view prefix, std::optional<std::uint64_t> truncation,
                   std::string& out);

}  // namespace rova_rudo
