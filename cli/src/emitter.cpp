#include "cli/emitter.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/io.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/json_value.hpp"
#include "rova_rudo/util.hpp"
#include "tape_parser/simd.hpp"

namespace cli {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Where a string is at the start of a 64-byte block of JSON text.
struct StringState {
    bool in_string = false;
    bool escaped = false;  // in a string, the block's first byte follows a backslash
};

// The bytes of the 64 at `b` that the minified text keeps (bit i for byte
// i), and the state after them, one byte at a time: a quote opens a string
// and the next unescaped one closes it; in a string a backslash keeps the
// byte after it, outside one it is a byte like any other.
std::uint64_t kept_bytes_in_turn(const char* b, StringState& st) {
    std::uint64_t kept = 0;
    for (unsigned i = 0; i < 64; ++i) {
        const char c = b[i];
        if (st.in_string) {
            if (st.escaped) st.escaped = false;
            else if (c == '\\') st.escaped = true;
            else if (c == '"') st.in_string = false;
        } else if (c == '"') {
            st.in_string = true;
        } else if (is_space(c)) {
            continue;
        }
        kept |= std::uint64_t{1} << i;
    }
    return kept;
}

// The same, from masks of the whole block: the bytes escaped by backslashes
// (each run of them escapes the byte after it when its length is odd, found
// by one carry through the runs), the unescaped quotes, and the bytes inside
// strings as their running parity. That holds when every backslash is inside
// a string; when one is not (invalid JSON), the block is taken in turn.
std::uint64_t kept_bytes(const char* b, StringState& st) {
    using tape_parser::simd::Block32;
    auto mask = [b](char c) {
        return std::uint64_t{Block32::load(b).eq(c)} | std::uint64_t{Block32::load(b + 32).eq(c)} << 32;
    };
    const std::uint64_t backslash = mask('\\');
    const std::uint64_t quote = mask('"');
    const std::uint64_t space = std::uint64_t{tape_parser::simd::whitespace_mask32(b)} |
                                std::uint64_t{tape_parser::simd::whitespace_mask32(b + 32)} << 32;
    if ((backslash | quote) == 0) {
        st.escaped = false;
        return st.in_string ? ~std::uint64_t{0} : ~space;
    }
    const StringState before = st;
    constexpr std::uint64_t kEven = 0x5555555555555555;
    const std::uint64_t first = st.escaped ? 1 : 0;
    const std::uint64_t starts = backslash & ~first;
    const std::uint64_t follows = starts << 1 | first;
    const std::uint64_t odd_starts = starts & ~kEven & ~follows;
    std::uint64_t even_runs = 0;
    const bool carry = __builtin_add_overflow(odd_starts, starts, &even_runs);
    const std::uint64_t escaped = (kEven ^ even_runs << 1) & follows;
    std::uint64_t inside = quote & ~escaped;  // from a string's opening quote up to its closing one
    for (unsigned k = 1; k < 64; k <<= 1) inside ^= inside << k;
    if (st.in_string) inside = ~inside;
    if ((backslash & ~inside) != 0) {
        st = before;
        return kept_bytes_in_turn(b, st);
    }
    st.in_string = inside >> 63 != 0;
    st.escaped = carry;
    return ~(space & ~inside);
}

}  // namespace

void for_each_minified_run(std::string_view text, const std::function<void(std::string_view)>& run) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::size_t start = 0;  // where the current run began
    StringState st;
    char tail[64];
    for (std::size_t at = 0; at < n; at += 64) {
        const char* b = p + at;
        std::uint64_t dropped;
        if (n - at >= 64) {
            dropped = ~kept_bytes(b, st);
        } else {
            // The last bytes, padded with whitespace that is never written.
            std::memset(tail, ' ', sizeof tail);
            std::memcpy(tail, b, n - at);
            dropped = ~kept_bytes(tail, st) & _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n - at));
        }
        // Each run of dropped bytes ends the run before it.
        while (dropped != 0) {
            const unsigned from = tape_parser::simd::first_bit(dropped);
            if (at + from > start) run(text.substr(start, at + from - start));
            const std::uint64_t kept_after = ~dropped & (~std::uint64_t{0} << from);
            const unsigned to = kept_after == 0 ? 64 : tape_parser::simd::first_bit(kept_after);
            start = at + to;
            dropped &= to == 64 ? 0 : ~std::uint64_t{0} << to;
        }
    }
    if (start < n) run(text.substr(start));
}

using rova_rudo::EmitMode;
using rova_rudo::MatchShape;
using rova_rudo::ScalarKind;

// ---------------------------------------------------------------- writer

namespace {
std::atomic<int> g_output_write_error{0};
}  // namespace

int output_write_error() { return g_output_write_error.load(); }

void note_output_failure(int err) {
    int expected = 0;
    if (err != EPIPE) g_output_write_error.compare_exchange_strong(expected, err);
}

BufferedWriter::BufferedWriter(int fd) : fd_(fd) {}
BufferedWriter::BufferedWriter(std::string* capture) : capture_(capture) {}
BufferedWriter::~BufferedWriter() { flush(); }

void BufferedWriter::drain(const char* p, std::size_t n) {
    if (capture_) {
        capture_->append(p, n);
        return;
    }
    while (n > 0 && fd_ >= 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                // Standard output handed over in non-blocking mode (a pipe
                // whose other user set it), full for now: wait for room, as a
                // blocking write would.
                if (platform::wait_until_ready(fd_, true)) continue;
            }
            // The rest is dropped; a full disk (not a closed pipe) is reported
            // when the command ends, so it cannot pass for success.
            note_output_failure(errno);
            fd_ = -1;
            failed_ = true;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void BufferedWriter::flush_full() {
    if (!widened_ && fd_ >= 0) {
        widened_ = true;
        platform::widen_pipe(fd_);
    }
    flush();
}

void BufferedWriter::write_past_end(std::string_view bytes) {
    flush_full();
    if (bytes.size() >= kCapacity) {
        drain(bytes.data(), bytes.size());
    } else {
        std::memcpy(buf_, bytes.data(), bytes.size());
        used_ = bytes.size();
    }
}

void BufferedWriter::flush() {
    if (used_ == 0) return;
    drain(buf_, used_);
    used_ = 0;
}

// ---------------------------------------------------------------- text helpers

namespace {

constexpr std::string_view kCyan = "\x1b[36m";
constexpr std::string_view kRed = "\x1b[1;31m";
constexpr std::string_view kReset = "\x1b[0m";

// Appends `s` as a JSON string, each ill-formed UTF-8 subsequence first
// replaced by U+FFFD.
void append_json_string(std::string& out, std::string_view s) {
    if (platform::is_valid_utf8(s)) {
        rova_rudo::write_json_string(out, s);
        return;
    }
    std::string fixed;
    fixed.reserve(s.size() + 8);
    platform::append_replacing_invalid_sequences(fixed, s);
    rova_rudo::write_json_string(out, fixed);
}

bool is_container(MatchShape s) { return s == MatchShape::Object || s == MatchShape::Array; }

// The preview: up to 80 bytes around the match, on whole characters when the
// text is UTF-8, marked with an ellipsis where text was left out.
std::string make_preview(std::string_view text, std::optional<std::uint64_t> offset, ScalarKind kind) {
    const std::size_t n = text.size();
    std::size_t start = 0, end = n;
    if (n > 80) {
        if (offset && *offset >= 25) {
            start = static_cast<std::size_t>(*offset - 24);
            end = static_cast<std::size_t>(*offset + 56);
            if (*offset + 56 > n || end < start) {
                start = n - 80;
                end = n;
            }
        } else {
            start = 0;
            end = 80;
        }
        if (platform::is_valid_utf8(text)) {
            while (start < n && platform::is_utf8_continuation(static_cast<unsigned char>(text[start]))) ++start;
            while (end < n && end > start && platform::is_utf8_continuation(static_cast<unsigned char>(text[end])))
                --end;
        }
        if (end < start) end = start;
    }
    std::string p;
    p.reserve(end - start + 8);
    if (kind == ScalarKind::String) p += '"';
    if (start != 0) p += rova_rudo::kEllipsis;
    // The window's bytes themselves become UTF-8 when the whole preview is
    // escaped as a JSON string; the marks are valid already.
    p.append(text.substr(start, end - start));
    if (end < n) p += rova_rudo::kEllipsis;
    if (kind == ScalarKind::String) p += '"';
    return p;
}

}  // namespace

// ---------------------------------------------------------------- emitter

ResultEmitter::ResultEmitter(BufferedWriter& w, EmitterSettings settings) : settings_(std::move(settings)), writer_(w) {
    record_buffer_.reserve(256);
    minify_buffer_.reserve(256);
}

void ResultEmitter::begin_output() {
    if (settings_.format == OutputFormat::Json && !settings_.count_only) writer_.put('[');
}

void ResultEmitter::begin_file(std::string name) {
    reported_path_.clear();
    file_prefix_ = std::move(name);
}

void ResultEmitter::end_output() {
    if (settings_.count_only) {
        writer_.write(std::to_string(match_count_));
        writer_.put('\n');
    } else if (settings_.format == OutputFormat::Json) {
        writer_.write("]\n");
    }
    writer_.flush();
}

bool ResultEmitter::cap_reached() const {
    return truncated_ || (settings_.max_output && bytes_written_ >= *settings_.max_output);
}

void ResultEmitter::write_highlighted_path(std::string_view path) {
    const std::string& term = *settings_.highlight;
    const char first = term[0];
    const char first_up = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 32) : first;
    if (path.find(first) == std::string_view::npos && path.find(first_up) == std::string_view::npos) {
        write_capped(path);
        write_capped("\n");
        return;
    }
    std::string buf;
    buf.reserve(path.size() + 16);
    std::size_t i = 0;
    while (i < path.size()) {
        const char c = path[i];
        if (c == '.' || c == '[' || c == ']') {
            buf += c;
            ++i;
            continue;
        }
        std::size_t j = i;
        bool digits = true;
        while (j < path.size() && path[j] != '.' && path[j] != '[' && path[j] != ']') {
            if (path[j] < '0' || path[j] > '9') digits = false;
            ++j;
        }
        const std::string_view seg = path.substr(i, j - i);
        if (digits) buf += seg;
        else highlight_ascii_ci(buf, seg, term);
        i = j;
    }
    buf += '\n';
    write_capped(buf);
}

void highlight_ascii_ci(std::string& out, std::string_view text, std::string_view term) {
    const std::size_t n = text.size(), m = term.size();
    if (n < m || m == 0) {
        out += text;
        return;
    }
    std::size_t i = 0;
    while (i + m <= n) {
        bool eq = true;
        for (std::size_t k = 0; k < m; ++k) {
            if (platform::ascii_lower(text[i + k]) != term[k]) {
                eq = false;
                break;
            }
        }
        if (eq) {
            out += kRed;
            out += text.substr(i, m);
            out += kReset;
            i += m;
        } else {
            out += text[i];
            ++i;
        }
    }
    out += text.substr(i);
}

void ResultEmitter::write_capped(std::string_view bytes) {
    if (truncated_) return;
    if (!settings_.max_output) {
        writer_.write(bytes);
        bytes_written_ += bytes.size();
        return;
    }
    if (bytes_written_ >= *settings_.max_output) {
        truncated_ = true;
        return;
    }
    const std::uint64_t remaining = *settings_.max_output - bytes_written_;
    const std::size_t n = remaining < bytes.size() ? static_cast<std::size_t>(remaining) : bytes.size();
    writer_.write(bytes.substr(0, n));
    bytes_written_ += n;
    if (remaining < bytes.size()) truncated_ = true;
}

void ResultEmitter::write_plain(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape) {
    const bool flattened = settings_.emit == EmitMode::Assignment && is_container(shape);
    if (flattened) {
        rova_rudo::flatten_value(text, path, settings_.max_value_bytes, record_buffer_);
        // An empty container has no line for the prefix to stand before; a
        // prefix alone would run into the next record's line.
        if (record_buffer_.empty()) return;
    }
    if (file_prefix_) {
        if (settings_.color_on) {
            write_capped(kCyan);
            write_capped(*file_prefix_);
            write_capped(kReset);
            write_capped(kCyan);
            write_capped(":");
            write_capped(kReset);
        } else {
            write_capped(*file_prefix_);
            write_capped(":");
        }
    }
    if (flattened) {
        write_capped(record_buffer_);
        return;
    }
    const bool string_scalar = kind == ScalarKind::String && !is_container(shape);
    switch (settings_.emit) {
        case EmitMode::Path:
            if (settings_.color_on && settings_.highlight && !settings_.highlight->empty()) {
                write_highlighted_path(path);
            } else {
                write_capped(path);
                write_capped("\n");
            }
            return;
        case EmitMode::Value: write_value_line(text, string_scalar && !settings_.raw); return;
        case EmitMode::Assignment:
            write_capped(path);
            write_capped(" = ");
            write_value_line(text, kind == ScalarKind::String);
            return;
        case EmitMode::Object:
        case EmitMode::Parent: write_value_line(text, false); return;
    }
}

void ResultEmitter::write_value_line(std::string_view text, bool quoted) {
    if (quoted) write_capped("\"");
    write_capped(text);
    if (quoted) write_capped("\"");
    write_capped("\n");
}

bool ResultEmitter::emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                                      std::optional<std::uint64_t> offset) {
    // 1. A key and its value, or several hits in one string, share a path.
    const EmitMode mode = settings_.emit;
    if (!is_container(shape) && (mode == EmitMode::Path || mode == EmitMode::Value || mode == EmitMode::Assignment) &&
        reported_path_.repeats(path))
        return false;
    ++match_count_;
    if (settings_.count_only) {
        reported_path_.record(path);
        return false;
    }
    if (cap_reached() || writer_.failed()) return true;

    if (is_container(shape) && settings_.emit != EmitMode::Assignment) {
        minify_buffer_.clear();
        for_each_minified_run(text, [this](std::string_view run) { minify_buffer_ += run; });
        text = minify_buffer_;
    }
    // A container written as assignments is flattened first and each leaf cut on its own; cutting
    // the container's text first would drop the leaves past the cut.
    const bool flattened = is_container(shape) && settings_.emit == EmitMode::Assignment &&
                           (settings_.format == OutputFormat::Plain || !settings_.envelope);
    std::optional<std::string> cut;
    if (settings_.max_value_bytes && !flattened) {
        cut = rova_rudo::truncate_with_ellipsis(text, *settings_.max_value_bytes);
        if (cut) text = *cut;
    }

    if (settings_.format == OutputFormat::Plain) {
        write_plain(path, text, kind, shape);
    } else if (flattened) {
        rova_rudo::flatten_value(text, path, settings_.max_value_bytes, record_buffer_);
        std::string line;
        line.reserve(256);
        std::string_view rest = record_buffer_;
        while (!rest.empty()) {
            const std::size_t nl = rest.find('\n');
            const std::string_view l = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            if (l.empty()) continue;
            line.clear();
            if (settings_.format == OutputFormat::Json && !first_json_element_) line += ',';
            first_json_element_ = false;
            append_json_string(line, l);
            if (settings_.format == OutputFormat::JsonLines) line += '\n';
            write_capped(line);
        }
    } else {
        if (settings_.format == OutputFormat::Json) {
            if (!first_json_element_) write_capped(",");
            first_json_element_ = false;
        }
        std::string& r = record_buffer_;
        r.clear();
        if (settings_.envelope) {
            r += '{';
            if (file_prefix_) {
                r += "\"file\":";
                append_json_string(r, *file_prefix_);
                r += ',';
            }
            r += "\"path\":";
            append_json_string(r, path);
            r += ",\"preview\":";
            append_json_string(r, make_preview(text, offset, kind));
            if (is_container(shape)) {
                r += shape == MatchShape::Object ? ",\"object\":" : ",\"array\":";
                if (!rova_rudo::reformat_json(text, rova_rudo::JsonStyle::Compact, r)) append_json_string(r, text);
            }
            r += '}';
        } else {
            switch (settings_.emit) {
                case EmitMode::Path: append_json_string(r, path); break;
                case EmitMode::Value:
                    if (kind == ScalarKind::String && !is_container(shape)) {
                        r += '"';
                        r += text;
                        r += '"';
                    } else {
                        r += text;
                    }
                    break;
                case EmitMode::Assignment: {
                    std::string content;
                    content.reserve(path.size() + text.size() + 5);
                    content += path;
                    content += " = ";
                    if (kind == ScalarKind::String) content += '"';
                    content += text;
                    if (kind == ScalarKind::String) content += '"';
                    append_json_string(r, content);
                    break;
                }
                case EmitMode::Object:
                case EmitMode::Parent: r += text; break;
            }
        }
        if (settings_.format == OutputFormat::JsonLines) r += '\n';
        write_capped(r);
    }

    reported_path_.record(path);
    return cap_reached();
}

}  // namespace cli
