#include "rova_rudo/search_tape.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>
#include <utility>
#include <variant>

#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "rova_rudo/byte_search.hpp"
#include "rova_rudo/path.hpp"
#include "tape_parser/parse.hpp"
#include "tape_parser/settings.hpp"
#include "tape_parser/streaming.hpp"

namespace rova_rudo {

using tape_parser::kNoParent;
using tape_parser::Tape;
using tape_parser::TapeEntry;
using tape_parser::TapeKind;

namespace {

std::uint8_t fold(std::uint8_t b) { return (b >= 'A' && b <= 'Z') ? static_cast<std::uint8_t>(b + 32) : b; }

std::vector<std::uint64_t> scan_literal(std::string_view hay, const std::string& needle) {
    std::vector<std::uint64_t> out;
    if (needle.empty()) return out;
    out.reserve(1024);
    const SubstringFinder finder(needle);
    std::size_t pos = 0;
    while (hay.size() - pos >= needle.size()) {
        const std::size_t k = finder.find(hay.substr(pos));
        if (k == kNotFound) break;
        out.push_back(pos + k);
        pos += k + needle.size();
    }
    return out;
}

std::vector<std::uint64_t> scan_ascii_nocase(std::string_view hay, const AsciiNoCaseNeedle& nd) {
    std::vector<std::uint64_t> out;
    out.reserve(1024);
    const std::size_t m = nd.lowered.size();
    if (m == 0 || m > hay.size()) return out;
    const std::size_t end = hay.size() - m + 1;  // candidate starts lie below this
    std::size_t pos = 0;
    while (pos < end) {
        const std::size_t k = find_either_byte(hay.substr(pos, end - pos), static_cast<char>(nd.first),
                                               static_cast<char>(nd.first_alt));
        if (k == kNotFound) break;
        const std::size_t c = pos + k;
        std::size_t i = 1;
        while (i < m && fold(static_cast<std::uint8_t>(hay[c + i])) == static_cast<std::uint8_t>(nd.lowered[i])) ++i;
        if (i == m) out.push_back(c);
        pos = c + 1;
    }
    return out;
}

std::vector<std::uint64_t> scan_regex(std::string_view hay, const re2::RE2& re) {
    std::vector<std::uint64_t> out;
    out.reserve(4);
    std::size_t pos = 0;
    re2::StringPiece m;
    while (pos <= hay.size()) {
        if (!re.Match(re2::StringPiece(hay.data(), hay.size()), pos, hay.size(), re2::RE2::UNANCHORED, &m, 1)) break;
        const std::size_t at = static_cast<std::size_t>(m.data() - hay.data());
        out.push_back(at);
        // An empty match would be found again at the same place.
        pos = m.empty() ? at + 1 : at + m.size();
    }
    return out;
}

ScalarKind scalar_kind(TapeKind k) {
    switch (k) {
        case TapeKind::Null: return ScalarKind::Null;
        case TapeKind::False:
        case TapeKind::True: return ScalarKind::Boolean;
        case TapeKind::Number: return ScalarKind::Number;
        default: return ScalarKind::String;
    }
}

void append_index(std::string& out, std::uint32_t index) {
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "[%u]", index);
    out.append(buf, static_cast<std::size_t>(n));
}

// The input the tape points into: the whole file read into memory, or the
// streamed parse's map of it.
struct ParsedInput {
    // Left uninitialised: every byte used is read from the file first.
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t buffer_len = 0;
    std::string piped;  // the bytes of a pipe, read front to back
    platform::MappedFile mapped;
    bool is_mapped = false;
    bool is_piped = false;
    // The bytes read are not the size the file reported (a /proc-like file
    // of size 0, or one changed meanwhile): a worker's map of it cannot
    // supply the candidates.
    bool size_changed = false;
    Tape tape;

    const std::uint8_t* data() const {
        if (is_mapped) return mapped.map.data();
        if (is_piped) return reinterpret_cast<const std::uint8_t*>(piped.data());
        return buffer.get();
    }
    std::size_t size() const { return is_mapped ? mapped.map.size() : is_piped ? piped.size() : buffer_len; }
};

// A pipe (a named FIFO, or /dev/fd/N from a process substitution) delivers
// its bytes once, has no size and cannot be mapped or reopened: it is read
// to its end on this thread and never streamed.
platform::Result<ParsedInput, std::string> load_and_parse_pipe(platform::File file) {
    ParsedInput in;
    const auto t0 = std::chrono::steady_clock::now();
    auto r = platform::read_all_fd(file.fd(), in.piped);
    if (!r) return platform::Err{r.error().message()};
    const double read_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    file.close();
    auto parsed = tape_parser::parse_buffer_chunked(reinterpret_cast<const std::uint8_t*>(in.piped.data()),
                                                    in.piped.size(), tape_parser::chunk_size_for_len(in.piped.size()),
                                                    read_ms);
    if (!parsed) return platform::Err{std::move(parsed).error()};
    in.tape = std::move(parsed->tape);
    in.is_piped = true;
    return in;
}

platform::Result<ParsedInput, std::string> load_and_parse(const std::string& path, bool pipe) {
    auto opened = platform::open_read(path, true);
    if (!opened) return platform::Err{opened.error().message()};
    platform::File file = std::move(*opened);
    if (pipe) return load_and_parse_pipe(std::move(file));
    auto size = file.size();
    if (!size) return platform::Err{size.error().message()};

    ParsedInput in;
    if (*size >= tape_parser::mmap_threshold_bytes()) {
        auto streamed = tape_parser::parse_file_streaming(path, std::move(file), *size);
        if (!streamed) return platform::Err{std::move(streamed).error()};
        in.mapped = std::move(streamed->mapped);
        in.tape = std::move(streamed->tape);
        in.is_mapped = true;
        return in;
    }

    const auto t0 = std::chrono::steady_clock::now();
    // The size is a hint: the file is read to its end, whatever it has
    // become since.
    std::size_t cap = static_cast<std::size_t>(*size) + 1;
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[cap]);
    std::size_t have = 0;
    for (;;) {
        if (have == cap) {
            std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[cap * 2]);
            std::memcpy(bigger.get(), buf.get(), have);
            buf = std::move(bigger);
            cap *= 2;
        }
        auto r = file.read_at(have, std::span<std::byte>(reinterpret_cast<std::byte*>(buf.get()) + have, cap - have));
        if (!r) return platform::Err{r.error().message()};
        if (*r == 0) break;
        have += *r;
    }
    const double read_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    file.close();
    auto parsed = tape_parser::parse_buffer_chunked(buf.get(), have, tape_parser::chunk_size_for_len(have), read_ms);
    if (!parsed) return platform::Err{std::move(parsed).error()};
    in.buffer = std::move(buf);
    in.buffer_len = have;
    in.size_changed = have != *size;
    in.tape = std::move(parsed->tape);
    return in;
}

// The raw scan cannot stand in for per-scalar matching when the matcher
// sees only a scalar's own bytes: ^ and $ of a user expression would anchor at
// the file's ends and a greedy pattern would run across neighbouring values;
// an empty needle has no raw occurrence at all. Those queries test every
// scalar entry instead.
bool needs_scalar_scan(const TextMatcher& m) {
    switch (m.kind()) {
        case TextMatcherKind::UserRegex: return true;
        case TextMatcherKind::Literal:
        case TextMatcherKind::AsciiNoCase: return m.bytes().empty();
        default: return false;
    }
}

std::string_view span_of(const std::uint8_t* data, const TapeEntry& e) {
    return {reinterpret_cast<const char*>(data) + e.start(), static_cast<std::size_t>(e.end() - e.start())};
}

// The first entry at or after `from` whose start is at least `v` (n when
// none). Starts never decrease along the tape; the search gallops from
// `from`, since the answer is usually close (the next sibling after a small
// subtree, the next candidate's scalar), then bisects the last stride.
std::size_t first_start_at_or_after(const Tape& tape, std::size_t from, std::uint64_t v) {
    const std::size_t n = tape.size();
    std::size_t lo = from;
    // A short forward walk first: neighbouring entries share cache lines and
    // the hardware reads ahead, so nearby answers cost less than probing.
    for (const std::size_t stop = std::min(n, from + 16); lo < stop; ++lo)
        if (tape[lo].start() >= v) return lo;
    if (lo >= n) return n;
    std::size_t step = 16;
    while (lo < n && tape[lo].start() < v) {
        const std::size_t probe = lo + step;
        if (probe >= n || tape[probe].start() >= v) {
            const std::size_t hi = std::min(probe, n);
            const TapeEntry* at = std::lower_bound(tape.begin() + lo + 1, tape.begin() + hi, v,
                                                   [](const TapeEntry& t, std::uint64_t x) { return t.start() < x; });
            return static_cast<std::size_t>(at - tape.begin());
        }
        lo = probe;
        step *= 2;
    }
    return lo;
}

}  // namespace

namespace {

std::vector<std::uint64_t> scan_offsets(std::string_view hay, const TextMatcher& matcher) {
    switch (matcher.kind()) {
        case TextMatcherKind::Literal: return scan_literal(hay, matcher.bytes());
        case TextMatcherKind::AsciiNoCase: return scan_ascii_nocase(hay, matcher.ascii_needle());
        case TextMatcherKind::EscapedRegex:
        case TextMatcherKind::UserRegex: return scan_regex(hay, *matcher.regex());
        case TextMatcherKind::None: break;
    }
    return {};
}

}  // namespace

std::vector<std::uint64_t> find_match_offsets(const std::string& path, const TextMatcher& matcher) {
    if (matcher.is_none()) return {};
    auto opened = platform::open_read(path, false);
    if (!opened) return {};
    auto map = platform::MemoryMap::map_file(*opened);
    if (!map) return {};
    return scan_offsets(std::string_view(reinterpret_cast<const char*>(map->data()), map->size()), matcher);
}

const std::vector<std::uint32_t>& tape_children(const Tape& tape, TapeChildIndex& index, std::uint32_t node) {
    if (const auto* hit = index.find(node)) return *hit;
    std::vector<std::uint32_t> kids;
    const TapeEntry& e = tape[node];
    const std::size_t n = tape.size();
    if (e.kind() == TapeKind::Array)
        kids.reserve(e.child_count());
    else if (e.kind() == TapeKind::Object)
        kids.reserve(std::size_t{e.child_count()} * 2);
    else
        kids.reserve(8);
    const std::uint64_t node_end = e.end();
    std::size_t k = std::size_t{node} + 1;
    while (k < n && tape[k].start() < node_end) {
        kids.push_back(static_cast<std::uint32_t>(k));
        // Entries that start before the child's end are its own subtree; a
        // scalar has none.
        k = tape[k].is_container() ? first_start_at_or_after(tape, k + 1, tape[k].end()) : k + 1;
    }
    return *index.try_emplace(node, std::move(kids)).first;
}

namespace {

// Position of `child` in `node`'s child list.
std::optional<std::size_t> child_slot(const Tape& tape, TapeChildIndex& index, std::uint32_t node,
                                      std::uint32_t child) {
    const auto& kids = tape_children(tape, index, node);
    const auto it = std::lower_bound(kids.begin(), kids.end(), child);
    if (it == kids.end() || *it != child) return std::nullopt;
    return static_cast<std::size_t>(it - kids.begin());
}

}  // namespace

bool tape_child_position(const Tape& tape, TapeChildIndex& index, std::uint32_t node, std::uint32_t child) {
    const auto slot = child_slot(tape, index, node, child);
    return slot && *slot % 2 == 0;
}

std::optional<std::uint32_t> tape_member_key(const Tape& tape, TapeChildIndex& index, std::uint32_t node,
                                             std::uint32_t child) {
    const auto slot = child_slot(tape, index, node, child);
    if (!slot) return std::nullopt;
    return tape_children(tape, index, node)[*slot & ~std::size_t{1}];
}

void tape_node_path(const Tape& tape, const std::uint8_t* data, std::size_t len, std::uint32_t node, std::string& out,
                    std::vector<TapePathSegment>& segments, TapeChildIndex& index) {
    (void)len;
    out.clear();
    out.push_back('.');
    segments.clear();
    std::uint32_t a = node;
    for (;;) {
        const std::uint32_t p = tape[a].parent();
        if (p == kNoParent) break;
        const auto slot = child_slot(tape, index, p, a);
        if (!slot) break;
        const TapeKind pk = tape[p].kind();
        if (pk == TapeKind::Array) {
            segments.push_back({nullptr, 0, static_cast<std::uint32_t>(*slot)});
        } else if (pk == TapeKind::Object) {
            const std::uint32_t key = tape_children(tape, index, p)[*slot & ~std::size_t{1}];
            const std::string_view k = span_of(data, tape[key]);
            segments.push_back({k.data(), k.size(), 0});
        } else {
            break;
        }
        a = p;
    }
    for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
        if (it->key)
            path_push_key(out, std::string_view(it->key, it->key_len));
        else
            append_index(out, it->index);
    }
}

SearchError run_tape_search(const std::string& path, const SearchQuery& query, MatchSink& sink) {
    auto built = build_matchers(query);
    if (!built) return std::move(built).error();
    const QueryMatchers& matchers = *built;
    const bool key_and_value = !query.term && !matchers.key.is_none() && !matchers.value.is_none();
    const TextMatcher& prefilter = !matchers.value.is_none() ? matchers.value : matchers.key;
    const bool scalar_scan = !prefilter.is_none() && needs_scalar_scan(prefilter);

    // The worker owns copies of the path and the matcher (an expression is
    // recompiled, so no match cache is shared) and maps the file itself.
    // A worker could neither map a pipe nor share its one pass over the
    // bytes: a pipe's candidates are scanned from the bytes read here.
    const auto meta = platform::stat_path(path);
    const bool pipe = meta.ok() && meta.value().kind == platform::FileKind::Other;
    std::vector<std::uint64_t> candidates;
    std::thread worker;
    if (!prefilter.is_none() && !scalar_scan && !pipe) {
        try {
            worker = std::thread([&candidates, p = path, m = prefilter]() {
                try {
                    candidates = find_match_offsets(p, m);
                } catch (...) {
                    candidates.clear();  // a failed prefilter yields no candidates
                }
            });
        } catch (const std::exception&) {
            std::fputs("failed to spawn thread\n", stderr);
            std::abort();
        }
    }

    auto loaded = load_and_parse(path, pipe);
    if (worker.joinable()) worker.join();
    if (!loaded) return SearchError::message(std::move(loaded).error());

    ParsedInput& in = *loaded;
    const Tape& tape = in.tape;
    const std::uint8_t* data = in.data();
    const std::size_t n = tape.size();
    if ((pipe || in.size_changed) && !prefilter.is_none() && !scalar_scan)
        candidates = scan_offsets(std::string_view(reinterpret_cast<const char*>(data), in.size()), prefilter);

    TapeChildIndex index;
    index.reserve(112);
    std::string current;
    current.reserve(64);
    ReportedPath reported;
    reported.reserve(64);
    std::vector<TapePathSegment> segments;
    segments.reserve(16);
    std::uint64_t count = 0;
    std::size_t prev_entry = SIZE_MAX;

    // Returns false when the loop must end.
    auto consider = [&](std::size_t i) -> bool {
        // A second hit inside the scalar just looked at can only repeat its
        // outcome: the same verification, then the same path.
        if (i == prev_entry) return true;
        prev_entry = i;
        const TapeEntry& e = tape[i];
        const std::uint32_t parent = e.parent();
        const bool parent_is_object = parent != kNoParent && tape[parent].kind() == TapeKind::Object;
        // The builder lets any value stand where a key belongs ({1:2});
        // only a string there is a key.
        const bool is_key = parent_is_object && e.kind() == TapeKind::String &&
                            tape_child_position(tape, index, parent, static_cast<std::uint32_t>(i));
        if (is_key ? query.values_only : query.keys_only) return true;
        const TextMatcher& m = is_key ? matchers.key : matchers.value;
        if (m.is_none()) return true;
        const std::string_view text = span_of(data, e);
        const auto at = text_matcher_find(m, text);
        if (!at) return true;
        if (key_and_value && !is_key) {
            if (!parent_is_object) return true;
            const auto key = tape_member_key(tape, index, parent, static_cast<std::uint32_t>(i));
            if (!key || *key == i) return true;
            if (!text_matcher_is_match(matchers.key, span_of(data, tape[*key]))) return true;
        }
        tape_node_path(tape, data, in.size(), static_cast<std::uint32_t>(i), current, segments, index);
        if (reported.repeats(current)) return true;
        if (query.limit && count >= *query.limit) return false;
        const bool stop = sink.emit_search_match(current, text, scalar_kind(e.kind()),
                                                 is_key ? MatchShape::ObjectKey : MatchShape::Scalar, *at);
        ++count;
        if (stop) return false;
        reported.record_by_swap(current);
        return true;
    };

    if (n > 0 && scalar_scan) {
        for (std::size_t i = 0; i < n; ++i) {
            const TapeEntry& e = tape[i];
            if (e.is_container()) continue;
            if (!text_matcher_is_match(prefilter, span_of(data, e))) continue;
            if (!consider(i)) break;
        }
    } else if (n > 0) {
        // Candidates ascend, so each search starts from the previous answer.
        std::size_t from = 0;
        for (const std::uint64_t c : candidates) {
            // i: the last entry whose start is at or below c.
            const std::size_t after = first_start_at_or_after(tape, from, c + 1);
            if (after == 0) continue;
            const std::size_t i = after - 1;
            from = i;
            const TapeEntry& e = tape[i];
            // Hits in whitespace, punctuation, brackets or on a string's quotes
            // fall outside every scalar's span.
            if (c >= e.end() || e.is_container()) continue;
            if (!consider(i)) break;
        }
    }
    return SearchError::success(count);
}

}  // namespace rova_rudo
