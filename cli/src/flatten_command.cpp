#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/flatten.hpp"
#include "cli/emitter.hpp"
#include "cli/help.hpp"
#include "cli/schema_flags.hpp"
#include "platform/result.hpp"
#include "platform/system.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/path.hpp"
#include "rova_rudo/record_rounds.hpp"
#include "rova_rudo/util.hpp"

namespace cli {

namespace {

using platform::Err;
using platform::Result;
using platform::Unit;
using rova_rudo::JsonCursor;
using rova_rudo::ParseError;
using rova_rudo::RecordsEnd;
using rova_rudo::WalkOutcome;

// The lines a slice walked ahead of its turn holds: each without its record
// prefix (".[12].a = 1" keeps ".a = 1") until the slices before it are done,
// when settle() writes the prefixes in.
struct HeldLines {
    std::string text;
    std::vector<std::uint32_t> ends;     // of each line in text (a slice holds less than 4 GiB)
    std::vector<std::uint32_t> records;  // the number of lines before each record
    bool settled = false;

    // Gives every line its record's prefix, the records numbered from
    // `first`: in place, from the last line back, so that the held lines
    // need no second copy.
    void settle(std::uint32_t first) {
        auto prefix = [&](std::size_t r, char(&buf)[24]) {
            buf[0] = '.';
            buf[1] = '[';
            char* p = std::to_chars(buf + 2, buf + sizeof buf - 1, first + r).ptr;
            *p++ = ']';
            return std::string_view(buf, static_cast<std::size_t>(p - buf));
        };
        char buf[24];
        std::size_t grown = text.size();
        for (std::size_t r = 0; r < records.size(); ++r) grown += prefix(r, buf).size() * (lines_end(r) - records[r]);
        std::size_t to = grown;
        text.resize(grown);
        for (std::size_t r = records.size(); r-- > 0;) {
            const std::string_view pre = prefix(r, buf);
            for (std::size_t line = lines_end(r); line-- > records[r];) {
                const std::size_t start = line ? ends[line - 1] : 0;
                const std::size_t n = ends[line] - start;
                to -= n;
                std::memmove(text.data() + to, text.data() + start, n);
                to -= pre.size();
                std::memcpy(text.data() + to, pre.data(), pre.size());
            }
        }
        settled = true;
    }

    // Empty again, keeping the memory for the next slice.
    void clear() {
        text.clear();
        ends.clear();
        records.clear();
        settled = false;
    }

private:
    std::size_t lines_end(std::size_t r) const { return r + 1 < records.size() ? records[r + 1] : ends.size(); }
};

// A slice holds at most this many bytes of lines; past it (a record far
// larger than its slice) the rest is walked in turn.
constexpr std::size_t kHeldLineBytes = std::size_t{64} << 20;

// The line writer of one flatten walk: lines go straight to standard output,
// so memory does not grow with the number of lines, or for a slice walked
// ahead into what it holds.
struct FlattenEmitter {
    const FlattenOptions& options;
    BufferedWriter* writer = nullptr;
    HeldLines* held = nullptr;
    std::size_t skip = 0;  // the path bytes a held line leaves out: its record's ".[0]"
    rova_rudo::PathBuilder path = rova_rudo::new_root_path_dot();
    std::uint64_t count = 0;
};

// Writes "path = value" (or the placeholder); true when the limit is reached
// or the output is gone, and the walk must stop. Nothing is written then.
bool flatten_emit_line(FlattenEmitter& e, std::string_view placeholder, std::optional<std::string_view> value,
                       bool quote) {
    const std::optional<std::uint64_t>& limit = e.options.limit;
    if ((limit && e.count >= *limit) || (e.writer && e.writer->failed())) return true;
    std::string_view text = value ? *value : placeholder;
    std::optional<std::string> cut;
    if (value && e.options.truncation && (cut = rova_rudo::truncate_with_ellipsis(*value, *e.options.truncation)))
        text = *cut;
    const std::string_view path = std::string_view(e.path.text).substr(e.skip);
    const std::size_t q = value && quote ? 1 : 0;
    const std::size_t total = path.size() + 3 + text.size() + 2 * q + 1;
    if (e.held) {
        std::string& t = e.held->text;
        if (t.size() + total > kHeldLineBytes) return true;  // the slice gives up
        t += path;
        t += q ? " = \"" : " = ";
        t += text;
        if (q) t += '"';
        t += '\n';
        e.held->ends.push_back(static_cast<std::uint32_t>(t.size()));
    } else if (char* p = e.writer->room(total + 1)) {
        // The whole line in one piece, as nearly every line is short (one
        // byte of slack for the fixed-size copy of the separator).
        std::memcpy(p, path.data(), path.size());
        p += path.size();
        std::memcpy(p, " = \"", 4);
        p += 3 + q;
        std::memcpy(p, text.data(), text.size());
        p += text.size();
        if (q) *p++ = '"';
        *p = '\n';
        e.writer->commit(total);
    } else {
        e.writer->write(path);
        e.writer->write(" = ");
        if (q) e.writer->put('"');
        e.writer->write(text);
        if (q) e.writer->put('"');
        e.writer->put('\n');
    }
    ++e.count;
    return limit && e.count >= *limit;
}

// Reads one key and its colon; the key becomes the path's innermost segment.
std::optional<ParseError> flatten_read_object_key(JsonCursor& c, FlattenEmitter& e) {
    return rova_rudo::scan_member_key(c, [&e](std::string_view key) {
        if (!e.path.starts.empty()) rova_rudo::path_set_key(e.path, key);
    });
}

// Reads exactly one value from `c`, writing its lines; the cursor ends just
// after it, or where the walk stopped or met an error.
WalkOutcome flatten_walk_value(JsonCursor& c, FlattenEmitter& e) {
    using rova_rudo::WalkFrame;
    std::vector<WalkFrame> stack;
    stack.reserve(32);
    const WalkOutcome stop = WalkOutcome::finished(true);
    for (;;) {
        rova_rudo::skip_whitespace(c);
        if (c.at_end()) return WalkOutcome::from_error(ParseError::unexpected_end());
        const std::uint8_t ch = c.peek();
        switch (ch) {
            case '"': {
                auto s = rova_rudo::scan_string(c);
                if (!s) return WalkOutcome::from_error(s.error());
                if (flatten_emit_line(e, {}, *s, true)) return stop;
                break;
            }
            case 't':
            case 'f':
            case 'n': {
                auto lit = rova_rudo::expect_literal(c, ch == 't' ? "true" : ch == 'f' ? "false" : "null");
                if (!lit) return WalkOutcome::from_error(lit.error());
                if (flatten_emit_line(e, {}, *lit, false)) return stop;
                break;
            }
            case '[':
                if (e.options.objects_too && flatten_emit_line(e, "[array]", std::nullopt, false)) return stop;
                ++c.pos;
                rova_rudo::path_enter_array(e.path);
                rova_rudo::skip_whitespace(c);
                if (!c.at_end() && c.peek() == ']') {
                    ++c.pos;
                    rova_rudo::path_pop(e.path);
                    break;
                }
                rova_rudo::path_set_index(e.path, 0);
                stack.push_back({WalkFrame::kArray, 0});
                continue;
            case '{': {
                if (e.options.objects_too && flatten_emit_line(e, "{object}", std::nullopt, false)) return stop;
                ++c.pos;
                rova_rudo::path_mark_segment(e.path);
                rova_rudo::skip_whitespace(c);
                if (!c.at_end() && c.peek() == '}') {
                    ++c.pos;
                    rova_rudo::path_pop(e.path);
                    break;
                }
                if (auto k = flatten_read_object_key(c, e)) return WalkOutcome::from_error(*k);
                stack.push_back({WalkFrame::kObject, 0});
                continue;
            }
            default:
                if (ch == '-' || (ch >= '0' && ch <= '9')) {
                    if (flatten_emit_line(e, {}, rova_rudo::scan_number_span(c), false)) return stop;
                    break;
                }
                return WalkOutcome::from_error(ParseError::unexpected_byte(ch, c.pos));
        }

        for (;;) {
            if (stack.empty()) return WalkOutcome::finished(false);
            rova_rudo::skip_whitespace(c);
            if (c.at_end()) return WalkOutcome::from_error(ParseError::unexpected_end());
            const std::uint8_t d = c.peek();
            WalkFrame& top = stack.back();
            const bool in_object = top.kind == WalkFrame::kObject;
            if (d == (in_object ? '}' : ']')) {
                ++c.pos;
                stack.pop_back();
                rova_rudo::path_pop(e.path);
                continue;
            }
            if (d != ',') return WalkOutcome::from_error(ParseError::unexpected_byte(d, c.pos));
            ++c.pos;
            if (in_object) {
                rova_rudo::skip_whitespace(c);
                if (auto k = flatten_read_object_key(c, e)) return WalkOutcome::from_error(*k);
            } else {
                ++top.index;
                rova_rudo::path_set_index(e.path, top.index);
            }
            break;
        }
    }
}

// The records from the cursor, each an element of the open top array whose
// index `e` keeps in its path (a held walk keeps it at 0 and leaves it out).
RecordsEnd flatten_records(JsonCursor& c, FlattenEmitter& e, std::uint32_t& j, std::uint64_t until, ParseError& error) {
    return rova_rudo::walk_records(
        c,
        [&e](JsonCursor& rc, std::uint32_t r) {
            if (e.held) {
                e.held->records.push_back(static_cast<std::uint32_t>(e.held->ends.size()));
            } else {
                rova_rudo::path_set_index(e.path, r);
            }
            return flatten_walk_value(rc, e);
        },
        j, until, true, error);
}

}  // namespace

Result<Unit, ParseError> flatten_document_given(std::string_view doc, const FlattenOptions& options,
                                                BufferedWriter& writer, unsigned threads, std::size_t slice) {
    FlattenEmitter e{options, &writer};
    JsonCursor c = rova_rudo::document_cursor(doc);
    rova_rudo::skip_whitespace(c);
    if (c.at_end()) return Err{ParseError::unexpected_end()};
    std::string_view lead;
    // With a limit the walk stops early, and its count runs across records.
    if (!options.limit && rova_rudo::RoundPlan::worth_it(doc.size(), threads, slice) && c.peek() == '[')
        lead = rova_rudo::array_element_lead(doc, c.pos);
    RecordsEnd how = RecordsEnd::End;
    if (lead.empty()) {
        WalkOutcome o = flatten_walk_value(c, e);
        if (o.is_error()) return Err{o.error()};
        if (o.stopped()) return Unit{};
    } else {
        // A document that is one array of records: slices walked ahead hold
        // their lines, which are given their record numbers on the slices'
        // threads and then written in document order.
        if (options.objects_too && flatten_emit_line(e, "[array]", std::nullopt, false)) return Unit{};
        ++c.pos;
        rova_rudo::path_enter_array(e.path);
        const rova_rudo::RoundPlan rounds(doc, true, lead, threads, slice);
        std::uint32_t j = 0;
        ParseError error;
        how = rova_rudo::walk_record_rounds<HeldLines>(
            rounds, c, j, error,
            [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError& err) {
                return flatten_records(cur, e, r, until, err);
            },
            [&](rova_rudo::HeldSlice<HeldLines>& s, unsigned, JsonCursor& sc, std::uint64_t until) {
                HeldLines& held = s.held ? *s.held : s.held.emplace();
                held.clear();
                FlattenEmitter se{options, nullptr, &held};
                rova_rudo::path_enter_array(se.path);
                se.skip = se.path.text.size();
                const RecordsEnd r = flatten_records(sc, se, s.records, until, s.error);
                s.failed = r == RecordsEnd::Stopped;
                return r;
            },
            [](HeldLines& h, std::uint32_t first) { h.settle(first); },
            [&](HeldLines& h, std::uint32_t first) {
                if (!h.settled) h.settle(first);
                writer.write(h.text);
                return writer.failed();
            });
        if (how == RecordsEnd::Error) return Err{error};
        if (how == RecordsEnd::Stopped) return Unit{};
        ++c.pos;  // the "]"
        rova_rudo::path_pop(e.path);
    }
    rova_rudo::skip_whitespace(c);
    if (!c.at_end()) return Err{ParseError::multiple_top_level(c.pos)};
    return Unit{};
}

namespace {

void write_err(const std::string& s) { std::fwrite(s.data(), 1, s.size(), stderr); }

}  // namespace

int run_flatten_command(Args args) {
    std::optional<std::uint64_t> truncation;
    std::optional<std::uint64_t> limit;
    bool objects_too = false;
    std::vector<std::string> positionals;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto [name, inline_value] = split_flag_word(arg);
        if (name == "-h" || name == "--help") {
            print_topic_help(FLATTEN_HELP);
            return 0;
        }
        if (name == "--objects-too") {
            objects_too = true;
            continue;
        }
        if (name == "--limit" || name == "--max-value-bytes") {
            std::string_view value;
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                write_err("qm: flatten: " + std::string(name) + " requires a value\n");
                return 2;
            }
            const auto n = parse_count(value);
            if (!n) {
                write_err("qm: flatten: " + std::string(name) + ": '" + std::string(value) +
                          "' is not a non-negative integer\n");
                return 2;
            }
            (name == "--limit" ? limit : truncation) = *n;
            continue;
        }
        if (name.size() >= 2 && name.substr(0, 2) == "--") {
            write_err("qm: flatten: unknown flag '" + std::string(name) + "'\n");
            return 2;
        }
        positionals.push_back(arg);
    }
    if (positionals.size() > 1) {
        write_err("qm: flatten: unexpected positional argument '" + positionals[1] + "'\n");
        return 2;
    }
    const std::string file = positionals.empty() ? "-" : positionals[0];

    auto input = load_command_input("flatten", file);
    if (!input) return 3;

    FlattenOptions options;
    options.truncation = truncation;
    options.limit = limit;
    options.objects_too = objects_too;
    BufferedWriter writer(1);
    // Slices of up to 1 MiB: each holds its lines until the slices before it are done.
    auto walked = flatten_document_given(input->text(), options, writer,
                                         platform::helper_thread_count(std::nullopt, platform::processor_count()),
                                         std::size_t{1} << 20);
    writer.flush();
    if (!input_held("flatten", file, *input)) return 3;
    if (!walked) {
        write_err("qm: flatten: parse error: " + rova_rudo::parse_error_display(walked.error()) + "\n");
        return 3;
    }
    return 0;
}

}  // namespace cli
