#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
#include "platform/fresh_memory.hpp"
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

// The decimal digits of n.
unsigned digits(std::uint32_t n) {
    unsigned d = 1;
    for (; n >= 10; n /= 10) ++d;
    return d;
}

// Writes the n bytes at `from` to `to`, n at most 16, without a call.
void copy_short(char* to, const char* from, std::size_t n) {
    if (n >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

// The lines a slice walked ahead of its turn holds, each with its record's
// prefix (".[12].a = 1"). The slice does not know its records' numbers
// until the slices before it are done, so it numbers them from a guess;
// settle() then writes the true numbers over the guessed ones, in place,
// and moves lines only where a number's width was guessed wrong. The
// buffer keeps its pages from slice to slice, and is never cleared.
struct HeldLines {
    struct Record {
        std::uint32_t first_line;
        std::uint32_t number;  // the one its lines carry
    };
    platform::FreshBuffer buf;  // its size is the room there is
    std::size_t size = 0;
    std::vector<std::uint32_t> starts;  // of each line in buf (a slice holds less than 4 GiB)
    std::vector<Record> records;
    std::uint64_t end = 0;  // where the slice's walk ended

    // Where the walk puts its lines; nullptr (the slice gives up) when full
    // at kHeldLineBytes or when memory is refused.
    char* room(std::size_t n) {
        if (size + n > kHeldLineBytes) return nullptr;
        if (!reserve(size + n + rova_rudo::kLineSlack)) return nullptr;
        return data() + size;
    }
    void commit(std::size_t n) {
        starts.push_back(static_cast<std::uint32_t>(size));
        size += n;
    }
    std::string_view text() const { return {data(), size}; }

    // Whether the lines carry the numbers of records from `first` on.
    bool numbered_from(std::uint32_t first) const { return records.empty() || records[0].number == first; }

    // Numbers the records from `first`, in place. Record k is first + k and
    // was written as guess + k, so the numbers' widths differ one way only:
    // all wider, all narrower, or all the same. Wider ones (seldom: a guess
    // is rarely a digit short) are left to write_numbered, which needs no
    // more room.
    void settle(std::uint32_t first) {
        if (numbered_from(first)) return;
        for (std::size_t r = 0; r < records.size(); ++r)
            if (digits(number(first, r)) > digits(records[r].number)) return;
        char* const b = data();
        char spelled[16];
        std::size_t to = 0;  // each line moves down, or stays
        for (std::size_t r = 0; r < records.size(); ++r) {
            const std::string_view num = spell(number(first, r), spelled);
            const std::size_t wrote = digits(records[r].number);
            for (std::size_t line = records[r].first_line; line < lines_end(r); ++line) {
                // ".[", the number written, and the rest from the "]".
                const std::size_t rest = starts[line] + 2 + wrote;
                const std::size_t n = line_end(line) - rest;
                starts[line] = static_cast<std::uint32_t>(to);
                if (to + 2 + num.size() != rest) std::memmove(b + to + 2 + num.size(), b + rest, n);
                b[to] = '.';
                b[to + 1] = '[';
                copy_short(b + to + 2, num.data(), num.size());
                to += 2 + num.size() + n;
            }
        }
        size = to;
        for (std::size_t r = 0; r < records.size(); ++r) records[r].number = number(first, r);
    }

    // Writes the lines with the numbers of records from `first`, for lines
    // that settle() left alone.
    void write_numbered(BufferedWriter& writer, std::uint32_t first) const {
        char spelled[16];
        for (std::size_t r = 0; r < records.size(); ++r) {
            const std::string_view num = spell(number(first, r), spelled);
            const std::size_t wrote = digits(records[r].number);
            for (std::size_t line = records[r].first_line; line < lines_end(r); ++line) {
                const std::size_t rest = starts[line] + 2 + wrote;
                writer.write(".[");
                writer.write(num);
                writer.write(std::string_view(data() + rest, line_end(line) - rest));
            }
        }
    }

    // Empty again, keeping the memory for the next slice.
    void clear() {
        size = 0;
        starts.clear();
        records.clear();
    }

private:
    char* data() const { return reinterpret_cast<char*>(buf.data()); }
    // Room for n bytes: more pages are mapped (the ones there are kept, not copied).
    bool reserve(std::size_t n) {
        return n <= buf.size() || buf.grow(std::max({n, 2 * buf.size(), std::size_t{1} << 20}));
    }
    static std::uint32_t number(std::uint32_t first, std::size_t r) { return first + static_cast<std::uint32_t>(r); }
    static std::string_view spell(std::uint32_t n, char (&to)[16]) {
        return {to, static_cast<std::size_t>(std::to_chars(to, to + sizeof to, n).ptr - to)};
    }
    std::size_t lines_end(std::size_t r) const {
        return r + 1 < records.size() ? records[r + 1].first_line : starts.size();
    }
    std::size_t line_end(std::size_t line) const { return line + 1 < starts.size() ? starts[line + 1] : size; }
};

// Lines of the walk in turn go straight to standard output, so memory does
// not grow with the number of lines; a line longer than the writer's buffer
// is put together on its own first.
struct WrittenLines {
    BufferedWriter& writer;
    std::string long_line;

    char* room(std::size_t n) {
        if (writer.failed()) return nullptr;
        if (char* p = writer.room(n + rova_rudo::kLineSlack)) return p;
        long_line.resize(n + rova_rudo::kLineSlack);
        return long_line.data();
    }
    void commit(std::size_t n) {
        if (long_line.empty()) {
            writer.commit(n);
            return;
        }
        writer.write(std::string_view(long_line).substr(0, n));
        long_line.clear();
    }
};

template <typename Out>
using Flatten = rova_rudo::FlattenVisitor<Out>;

// The number of the first record of a slice that starts at `at`, guessed
// from the records (numbered from `start`) handed on up to `handed_end`: a
// guess of the true number's width lets the slice's lines be settled without
// moving them.
std::uint32_t guess_first_record(std::uint64_t at, std::uint64_t start, std::uint64_t handed_end,
                                 std::uint32_t handed) {
    if (handed == 0 || at <= handed_end || handed_end <= start) return handed;
    const double per_byte = static_cast<double>(handed) / static_cast<double>(handed_end - start);
    const double guess = handed + per_byte * static_cast<double>(at - handed_end);
    return guess < double{1u << 31} ? static_cast<std::uint32_t>(guess) : 1u << 31;
}

// The records from the cursor, each an element of the open top array,
// numbered from j in their paths; a held walk numbers them from its guess
// `from` instead and notes where each one's lines begin.
template <typename Out>
RecordsEnd flatten_records(JsonCursor& c, Flatten<Out>& v, std::uint32_t& j, std::uint64_t until, ParseError& error,
                           std::uint32_t from = 0) {
    return rova_rudo::walk_records(
        c,
        [&](JsonCursor& rc, std::uint32_t r) {
            if constexpr (std::is_same_v<Out, HeldLines>) {
                v.out.records.push_back({static_cast<std::uint32_t>(v.out.starts.size()), from + r});
                v.visitor_array_element(from + r);
            } else {
                v.visitor_array_element(r);
            }
            return rova_rudo::walk_json_events(rc, v);
        },
        j, until, true, error);
}

}  // namespace

Result<Unit, ParseError> flatten_document_given(std::string_view doc, const FlattenOptions& options,
                                                BufferedWriter& writer, unsigned threads, std::size_t slice,
                                                bool file_map) {
    WrittenLines written{writer, {}};
    Flatten<WrittenLines> v{options, written, doc.data() + doc.size()};
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
        rova_rudo::RoundPlan rounds(doc, true, lead, threads, slice);
        rounds.give_back_pages(file_map ? doc.data() : nullptr);  // held lines are copies
        std::uint32_t j = 0;
        ParseError error;
        // What the hand-on has written so far, for the guesses of the
        // slices walked after it (a guess, so no ordering is needed).
        const std::uint64_t records_start = c.pos;
        std::atomic<std::uint64_t> handed_end{c.pos};
        std::atomic<std::uint32_t> handed_records{0};
        const RecordsEnd how = rova_rudo::walk_record_rounds<HeldLines>(
            rounds, c, j, error,
            [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError& err) {
                return flatten_records(cur, v, r, until, err);
            },
            [&](rova_rudo::HeldSlice<HeldLines>& s, unsigned, JsonCursor& sc, std::uint64_t until) {
                HeldLines& held = s.held ? *s.held : s.held.emplace();
                held.clear();
                Flatten<HeldLines> sv{options, held, doc.data() + doc.size()};
                sv.path.mark_segment();
                const RecordsEnd r = flatten_records(
                    sc, sv, s.records, until, s.error,
                    guess_first_record(sc.pos, records_start, handed_end.load(std::memory_order_relaxed),
                                       handed_records.load(std::memory_order_relaxed)));
                held.end = sc.pos;
                s.failed = r == RecordsEnd::Stopped;
                return r;
            },
            [](HeldLines& h, std::uint32_t first) { h.settle(first); },
            [&](HeldLines& h, std::uint32_t first) {
                h.settle(first);  // a no-op when settled already
                if (h.numbered_from(first)) writer.write(h.text());
                else h.write_numbered(writer, first);
                handed_end.store(h.end, std::memory_order_relaxed);
                handed_records.store(first + static_cast<std::uint32_t>(h.records.size()), std::memory_order_relaxed);
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
                                         std::size_t{1} << 20, input->is_mapped());
    writer.flush();
    if (!input_held("flatten", file, *input)) return 3;
    if (!walked) {
        write_err("qm: flatten: parse error: " + rova_rudo::parse_error_display(walked.error()) + "\n");
        return 3;
    }
    return 0;
}

}  // namespace cli
