#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cli/commands.hpp"
#include "cli/flatten.hpp"
#include "cli/emitter.hpp"
#include "cli/help.hpp"
#include "cli/schema_flags.hpp"
#include "platform/result.hpp"
#include "platform/system.hpp"
#include "rova_rudo/event_walker.hpp"
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

// A slice holds at most this many bytes of lines; past it (a record far
// larger than its slice) the rest is walked in turn.
constexpr std::size_t kHeldLineBytes = std::size_t{64} << 20;

// The lines a slice walked ahead of its turn holds: each without its record
// prefix (".[12].a = 1" keeps ".a = 1") until the slices before it are done,
// when settle() writes the prefixes in.
struct HeldLines {
    std::string text;
    std::vector<std::uint32_t> ends;     // of each line in text (a slice holds less than 4 GiB)
    std::vector<std::uint32_t> records;  // the number of lines before each record
    bool settled = false;

    // Where the walk puts its lines; full at kHeldLineBytes, when the slice gives up.
    char* room(std::size_t n) {
        const std::size_t at = text.size();
        if (at + n > kHeldLineBytes) return nullptr;
        text.resize(at + n);
        return text.data() + at;
    }
    void commit(std::size_t) { ends.push_back(static_cast<std::uint32_t>(text.size())); }

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

// Lines of the walk in turn go straight to standard output, so memory does
// not grow with the number of lines; a line longer than the writer's buffer
// is put together on its own first.
struct WrittenLines {
    BufferedWriter& writer;
    std::string long_line;

    char* room(std::size_t n) {
        if (writer.failed()) return nullptr;
        if (char* p = writer.room(n)) return p;
        long_line.resize(n);
        return long_line.data();
    }
    void commit(std::size_t n) {
        if (long_line.empty()) {
            writer.commit(n);
            return;
        }
        writer.write(long_line);
        long_line.clear();
    }
};

template <typename Out>
using Flatten = rova_rudo::FlattenVisitor<Out>;

// The records from the cursor, each an element of the open top array: the
// walk in turn numbers them in its path, a held walk keeps them at 0 and
// leaves that out of its lines.
template <typename Out>
RecordsEnd flatten_records(JsonCursor& c, Flatten<Out>& v, std::uint32_t& j, std::uint64_t until, ParseError& error) {
    return rova_rudo::walk_records(
        c,
        [&v](JsonCursor& rc, std::uint32_t r) {
            if constexpr (std::is_same_v<Out, HeldLines>) {
                v.out.records.push_back(static_cast<std::uint32_t>(v.out.ends.size()));
            } else {
                v.visitor_array_element(r);
            }
            return rova_rudo::walk_json_events(rc, v);
        },
        j, until, true, error);
}

}  // namespace

Result<Unit, ParseError> flatten_document_given(std::string_view doc, const FlattenOptions& options,
                                                BufferedWriter& writer, unsigned threads, std::size_t slice) {
    WrittenLines written{writer, {}};
    Flatten<WrittenLines> v{options, written};
    JsonCursor c = rova_rudo::document_cursor(doc);
    rova_rudo::skip_whitespace(c);
    if (c.at_end()) return Err{ParseError::unexpected_end()};
    std::string_view lead;
    // With a limit the walk stops early, and its count runs across records.
    if (!options.limit && rova_rudo::RoundPlan::worth_it(doc.size(), threads, slice) && c.peek() == '[')
        lead = rova_rudo::array_element_lead(doc, c.pos);
    if (lead.empty()) {
        WalkOutcome o = rova_rudo::walk_json_events(c, v);
        if (o.is_error()) return Err{o.error()};
        if (o.stopped()) return Unit{};
    } else {
        // A document that is one array of records: slices walked ahead hold
        // their lines, which are given their record numbers on the slices'
        // threads and then written in document order.
        if (v.visitor_enter_array(c.pos)) return Unit{};
        ++c.pos;
        const rova_rudo::RoundPlan rounds(doc, true, lead, threads, slice);
        std::uint32_t j = 0;
        ParseError error;
        const RecordsEnd how = rova_rudo::walk_record_rounds<HeldLines>(
            rounds, c, j, error,
            [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError& err) {
                return flatten_records(cur, v, r, until, err);
            },
            [&](rova_rudo::HeldSlice<HeldLines>& s, unsigned, JsonCursor& sc, std::uint64_t until) {
                HeldLines& held = s.held ? *s.held : s.held.emplace();
                held.clear();
                Flatten<HeldLines> sv{options, held};
                rova_rudo::path_enter_array(sv.path);
                sv.skip = sv.path.text.size();
                const RecordsEnd r = flatten_records(sc, sv, s.records, until, s.error);
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
        (void)v.visitor_exit_container(c.pos);
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
