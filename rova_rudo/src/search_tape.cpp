#include "rova_rudo/search_tape.hpp"

#include <re2/re2.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <system_error>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <variant>

#include "platform/fault.hpp"
#include "platform/file_kind.hpp"
#include "platform/io.hpp"
#include "platform/mmap.hpp"
#include "platform/system.hpp"
#include "platform/whole_file.hpp"
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
    find_all_ascii_nocase(hay, nd.lowered, nd.probe, out);
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
    platform::ByteBuffer buffer;
    platform::MappedFile mapped;
    bool is_mapped = false;
    Tape tape;

    const std::uint8_t* data() const { return is_mapped ? mapped.map.data() : buffer.data(); }
    std::size_t size() const { return is_mapped ? mapped.map.size() : buffer.size(); }
};

// Candidates, one per this many bytes of a mapped file or more, make the
// whole map worth populating at once.
constexpr std::size_t kPopulateBytesPerCandidate = 16384;

// Reads the open file whole (a regular file below the streaming threshold,
// or a pipe, socket or device, which can be read only once and has no size)
// into the memory of `buffer` and parses it into the storage of `tape`. The
// bytes read are the bytes parsed and the bytes looked at afterwards,
// whatever happens to the file meanwhile.
platform::Result<ParsedInput, std::string> read_and_parse(const platform::File& file, std::uint64_t size,
                                                          std::uint64_t budget, unsigned processors,
                                                          platform::ByteBuffer buffer, Tape tape) {
    ParsedInput in;
    const auto t0 = std::chrono::steady_clock::now();
    auto whole = platform::read_whole_into(std::move(buffer), file.fd(), budget, size, processors);
    if (!whole) return platform::Err{whole.error().message()};
    in.buffer = std::move(whole.value());
    const double read_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    auto parsed = tape_parser::parse_buffer_chunked_into(std::move(tape), in.buffer.data(), in.buffer.size(),
                                                         tape_parser::chunk_size_for_len(in.buffer.size()), read_ms);
    if (!parsed) return platform::Err{std::move(parsed).error()};
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

namespace {

// The bytes read per block by the file scan; consecutive blocks overlap by
// the needle's length minus one, so that no occurrence is cut.
constexpr std::size_t kScanBlock = std::size_t{256} << 10;

// The raw occurrences of a literal or case-insensitive matcher in the file,
// read in blocks with positional reads (a scan of a map would fault in every
// page of it, which costs more than the copy); the same list as
// scan_offsets over the whole file. nullopt when a read fails.
std::optional<std::vector<std::uint64_t>> scan_file_blocks(const platform::File& f, const TextMatcher& matcher,
                                                           const std::atomic<bool>* cancel) {
    const std::size_t m = matcher.bytes().size();
    std::vector<std::uint64_t> out;
    if (m == 0) return out;
    out.reserve(1024);
    const std::size_t keep = m - 1;
    std::unique_ptr<char[]> buf(new char[kScanBlock + keep]);
    const std::size_t cap = kScanBlock + keep;
    std::uint64_t base = 0;    // file offset of buf[0]
    std::uint64_t resume = 0;  // where the next non-overlapping literal may start
    std::size_t have = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) return std::nullopt;
        const std::size_t kept = have;
        while (have < cap) {
            auto r = f.read_at(base + have,
                               std::span<std::byte>(reinterpret_cast<std::byte*>(buf.get()) + have, cap - have));
            if (!r) return std::nullopt;
            if (r.value() == 0) break;
            have += r.value();
        }
        const bool at_end = have < cap;
        if (have > kept || base == 0) {
            const std::string_view hay(buf.get(), have);
            if (matcher.kind() == TextMatcherKind::Literal) {
                const std::size_t from = resume > base ? static_cast<std::size_t>(resume - base) : 0;
                if (from < hay.size()) {
                    for (const std::uint64_t o : scan_literal(hay.substr(from), matcher.bytes())) {
                        out.push_back(base + from + o);
                        resume = base + from + o + m;
                    }
                }
            } else {
                for (const std::uint64_t o : scan_ascii_nocase(hay, matcher.ascii_needle())) out.push_back(base + o);
            }
        }
        if (at_end) return out;
        // The last m - 1 bytes may begin an occurrence that the next block ends.
        std::memmove(buf.get(), buf.get() + have - keep, keep);
        base += have - keep;
        have = keep;
    }
}

// The worker's scan of the open file: blocks read for literals, a map for
// expressions (whose matches may span any distance). nullopt when the file
// cannot be read or mapped: the caller then scans the bytes it loaded.
// `cancel`, when set, stops a block scan early (its list is then not wanted).
std::optional<std::vector<std::uint64_t>> scan_open_file(const platform::File& f, const TextMatcher& matcher,
                                                         const std::atomic<bool>* cancel = nullptr) {
    if (matcher.is_none()) return std::vector<std::uint64_t>{};
    if (matcher.kind() == TextMatcherKind::Literal || matcher.kind() == TextMatcherKind::AsciiNoCase)
        return scan_file_blocks(f, matcher, cancel);
    auto map = platform::MemoryMap::map_file(f);
    if (!map) return std::nullopt;
    return scan_offsets(std::string_view(reinterpret_cast<const char*>(map->data()), map->size()), matcher);
}

}  // namespace

std::vector<std::uint64_t> find_match_offsets(const std::string& path, const TextMatcher& matcher) {
    if (matcher.is_none()) return {};
    auto opened = platform::open_read(path, false);
    if (!opened) return {};
    auto found = scan_open_file(*opened, matcher);
    return found ? std::move(*found) : std::vector<std::uint64_t>{};
}

namespace {

// The entry after `k`'s subtree: its next sibling, or its container's end.
std::size_t next_sibling(const Tape& tape, std::size_t k) {
    // Entries that start before a container's end are its own subtree; a
    // scalar has none.
    return tape[k].is_container() ? first_start_at_or_after(tape, k + 1, tape[k].end()) : k + 1;
}

}  // namespace

const std::vector<std::uint32_t>& tape_children(const Tape& tape, TapeChildIndex& index, std::uint32_t node) {
    if (const auto* hit = index.find(node)) return *hit;
    std::vector<std::uint32_t> kids;
    const TapeEntry& e = tape[node];
    const std::size_t n = tape.size();
    if (e.kind() == TapeKind::Array) kids.reserve(e.child_count());
    else if (e.kind() == TapeKind::Object) kids.reserve(std::size_t{e.child_count()} * 2);
    else kids.reserve(8);
    const std::uint64_t node_end = e.end();
    std::size_t k = std::size_t{node} + 1;
    while (k < n && tape[k].start() < node_end) {
        kids.push_back(static_cast<std::uint32_t>(k));
        k = next_sibling(tape, k);
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

void tape_node_path(const Tape& tape, const std::uint8_t* data, std::uint32_t node, std::string& out,
                    std::vector<TapePathSegment>& segments, TapeChildIndex& index) {
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
        if (it->key) path_push_key(out, std::string_view(it->key, it->key_len));
        else append_index(out, it->index);
    }
}

void TapeCursor::advance(Link& link, std::uint32_t to) {
    std::size_t k = link.child;
    std::uint32_t slot = link.slot;
    std::uint32_t key = link.key;
    while (k < to) {
        k = next_sibling(tape_, k);
        ++slot;
        if (slot % 2 == 0) key = static_cast<std::uint32_t>(k);
    }
    const bool new_member = key != link.key || slot != link.slot;
    link.child = to;
    link.slot = slot;
    if (!new_member) return;
    link.key = key;
    if (tape_[link.container].is_object()) path_.set_key(span_of(data_, tape_[key]));
    else path_.set_index(slot);
}

void TapeCursor::move_to(std::uint32_t i) {
    if (i == at_) return;
    at_ = i;
    // The containers that end before `i` are left; the rest hold it.
    const std::uint64_t start = tape_[i].start();
    while (!chain_.empty() && start >= tape_[chain_.back().container].end()) {
        chain_.pop_back();
        path_.pop();
    }
    // Up from `i` to the innermost container kept (or to the top).
    const std::uint32_t kept = chain_.empty() ? kNoParent : chain_.back().container;
    climb_.clear();
    for (std::uint32_t a = i;;) {
        climb_.push_back(a);
        const std::uint32_t p = tape_[a].parent();
        if (p == kept) break;
        if (p == kNoParent) {
            // Only a tape whose parents and spans disagree gets here: the
            // way is taken again from the top.
            while (!chain_.empty()) {
                chain_.pop_back();
                path_.pop();
            }
            break;
        }
        a = p;
    }
    if (!chain_.empty()) advance(chain_.back(), climb_.back());
    // Down again through the containers entered, each from its first child.
    for (std::size_t j = climb_.size() - 1; j > 0; --j) {
        const std::uint32_t c = climb_[j];
        const bool object = tape_[c].is_object();
        if (object) path_.enter_object();
        else path_.enter_array();
        chain_.push_back({c, c + 1, 0, c + 1});
        if (object) path_.set_key(span_of(data_, tape_[c + 1]));
        advance(chain_.back(), climb_[j - 1]);
    }
}

namespace {

// Below this size a file's candidates are taken on the calling thread from
// the bytes read: starting and joining the prefilter worker costs more than
// the scan it would overlap with the parse.
constexpr std::uint64_t kWorkerFromBytes = std::uint64_t{1} << 20;
// The memory of a whole read and of its tape is kept for the next file of
// the run up to this input size; a larger file's is given back.
constexpr std::uint64_t kKeepBelowBytes = std::uint64_t{8} << 20;

}  // namespace

TapeSearch::TapeSearch(const SearchQuery& query) : query_(query), matchers_(build_matchers(query_)) {}

SearchError TapeSearch::search(const std::string& path, MatchSink& sink) {
    // The file is opened once: the worker scans the same open file (its own
    // descriptor for it), the parse reads and maps it, so a rename or an
    // unlink meanwhile changes nothing.
    if (!matchers_) return matchers_.error();
    auto opened = platform::open_read(path);
    if (!opened) return SearchError::message(opened.error().message());
    const auto state = platform::open_file_state(*opened);
    if (!state) return SearchError::message(state.error().message());
    return search_open(path, std::move(*opened), *state, sink);
}

SearchError TapeSearch::search_open(const std::string& path, platform::File file, const platform::OpenFileState& state,
                                    MatchSink& sink) {
    // Memory that cannot be had fails this file, not the run.
    try {
        return search_file(path, std::move(file), state, sink);
    } catch (const std::bad_alloc&) {
        buffer_ = platform::ByteBuffer();
        tape_.release();
        return SearchError::message(platform::IoError{ENOMEM}.message());
    }
}

SearchError TapeSearch::search_file(const std::string& path, platform::File file, const platform::OpenFileState& state,
                                    MatchSink& sink) {
    if (!matchers_) return matchers_.error();
    const SearchQuery& query = query_;
    const QueryMatchers& matchers = *matchers_;
    const bool key_and_value = !query.term && !matchers.key.is_none() && !matchers.value.is_none();
    const TextMatcher& prefilter = !matchers.value.is_none() ? matchers.value : matchers.key;
    const bool scalar_scan = !prefilter.is_none() && needs_scalar_scan(prefilter);

    const auto kind = state.kind;
    if (kind == platform::OpenFileKind::Directory) return SearchError::message(platform::IoError{EISDIR}.message());
    const platform::FileStamp before = state.stamp;
    // Only a regular file of known size can be scanned while it is parsed; a
    // pipe or a device is read once, and a /proc-like file of size 0 may
    // read differently each time: their candidates come from the bytes read
    // here.
    const bool sized = kind == platform::OpenFileKind::Regular && before.size > 0;
    const bool streamed = sized && before.size >= tape_parser::mmap_threshold_bytes();
    // A small file is read in one call, where the hint changes nothing but
    // costs a call of its own per file of a large tree.
    if (!sized || before.size >= kWorkerFromBytes) platform::advise_sequential(file);

    // The worker owns a copy of the matcher (sharing the compiled program,
    // which is safe across threads) and a descriptor of its own. When it cannot
    // have one, or cannot start, or cannot read the file, the candidates are
    // taken here from the bytes loaded.
    std::optional<std::vector<std::uint64_t>> found;
    std::atomic<bool> cancel{false};
    // Joined on every way out, an allocation that throws during the parse
    // included: a thread left joinable ends the process.
    std::jthread worker;
    if (!prefilter.is_none() && !scalar_scan && sized && before.size >= kWorkerFromBytes) {
        platform::File own(::dup(file.fd()));
        if (own.is_open()) {
            try {
                worker = std::jthread([&found, &cancel, f = std::move(own), m = prefilter]() {
                    try {
                        found = scan_open_file(f, m, &cancel);
                    } catch (...) {
                        found.reset();  // memory ran out: the calling thread scans instead
                    }
                });
            } catch (const std::system_error&) {
            }
        }
    }

    platform::Result<ParsedInput, std::string> loaded = platform::Err{std::string()};
    if (streamed) {
        auto out = tape_parser::parse_file_streaming(path, std::move(file), before.size);
        if (out) {
            ParsedInput in;
            in.mapped = std::move(out->mapped);
            in.tape = std::move(out->tape);
            in.is_mapped = true;
            loaded = std::move(in);
        } else {
            loaded = platform::Err{std::move(out).error()};
        }
    } else {
        // A small file's read is bounded by the memory available when the
        // run's first small file was read: one look at the system per run.
        if (!have_available_ || !sized || before.size >= kKeepBelowBytes) {
            available_ = platform::available_memory();
            have_available_ = true;
        }
        if (processors_ == 0) processors_ = platform::processor_count();
        loaded = read_and_parse(file, sized ? before.size : 0, platform::memory_budget_given(available_), processors_,
                                std::move(buffer_), std::move(tape_));
        if (loaded) platform::reached_file_use(platform::FileUse::Parsed, file.fd());
    }
    // A file that failed needs no candidates: the worker stops at its next
    // block rather than read the rest of a large file for nothing.
    if (!loaded) cancel.store(true, std::memory_order_relaxed);
    if (worker.joinable()) worker.join();
    // The worker read the file on its own, until its join: the bytes it saw
    // are the ones parsed only if the file stayed as it was until then.
    if (loaded && !streamed && sized && !platform::still_as_stamped(file, before))
        loaded = platform::Err{std::string(platform::kFileChangedText)};
    if (!loaded) return SearchError::message(std::move(loaded).error());

    ParsedInput& in = *loaded;
    const Tape& tape = in.tape;
    const std::uint8_t* data = in.data();
    const std::size_t n = tape.size();
    std::vector<std::uint64_t> candidates;
    if (!prefilter.is_none() && !scalar_scan) {
        candidates = found ? std::move(*found)
                           : scan_offsets(std::string_view(reinterpret_cast<const char*>(data), in.size()), prefilter);
    }
    // A frequent term reads the map nearly everywhere: one populating call
    // costs far less than a fault per page (or per fault-around block).
    if (in.is_mapped && candidates.size() >= in.size() / kPopulateBytesPerCandidate) in.mapped.map.populate();

    // Entries are looked at in ascending order: one cursor walks forward.
    TapeCursor cursor(tape, data);
    ReportedPath reported;
    reported.reserve(64);
    std::uint64_t count = 0;
    std::size_t prev_entry = SIZE_MAX;

    // Returns false when the loop must end.
    auto consider = [&](std::size_t i) -> bool {
        // A second hit inside the scalar just looked at can only repeat its
        // outcome: the same verification, then the same path.
        if (i == prev_entry) return true;
        prev_entry = i;
        const TapeEntry& e = tape[i];
        // Keys are strings, and a term matches string values only: a number
        // or a literal holds the text in its raw bytes but is never a match.
        if (e.kind() != TapeKind::String) return true;
        const std::uint32_t parent = e.parent();
        const bool parent_is_object = parent != kNoParent && tape[parent].kind() == TapeKind::Object;
        // The builder lets any value stand where a key belongs ({1:2});
        // only a string there is a key.
        if (parent_is_object) cursor.move_to(static_cast<std::uint32_t>(i));
        const bool is_key = parent_is_object && e.kind() == TapeKind::String && cursor.at_key_position();
        if (is_key ? query.values_only : query.keys_only) return true;
        const TextMatcher& m = is_key ? matchers.key : matchers.value;
        if (m.is_none()) return true;
        const std::string_view text = span_of(data, e);
        const auto at = text_matcher_find(m, text);
        if (!at) return true;
        if (key_and_value && !is_key) {
            if (!parent_is_object) return true;
            const auto key = cursor.member_key();
            if (!key || *key == i) return true;
            if (!text_matcher_is_match(matchers.key, span_of(data, tape[*key]))) return true;
        }
        cursor.move_to(static_cast<std::uint32_t>(i));
        const std::string& current = cursor.path();
        if (reported.repeats(current)) return true;
        if (query.limit && count >= *query.limit) return false;
        const bool stop = sink.emit_search_match(current, text, scalar_kind(e.kind()),
                                                 is_key ? MatchShape::ObjectKey : MatchShape::Scalar, *at);
        ++count;
        if (stop) return false;
        reported.record(current);
        return true;
    };

    if (n > 0 && scalar_scan) {
        for (std::size_t i = 0; i < n; ++i) {
            const TapeEntry& e = tape[i];
            if (e.kind() != TapeKind::String) continue;  // spares the expression; consider() holds the rule
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
    // A mapped file cut while its candidates were looked at read as zeros
    // past its new end; one written meanwhile no longer shows what was parsed.
    if (in.is_mapped) {
        const bool same = platform::still_as_stamped(in.mapped.file, before);
        if (in.mapped.map.shrank()) return SearchError::message(platform::kFileShrankText);
        if (!same) return SearchError::message(platform::kFileChangedText);
    } else if (in.size() < kKeepBelowBytes) {
        buffer_ = std::move(in.buffer);
        tape_ = std::move(in.tape);
    }
    return SearchError::success(count);
}

SearchError run_tape_search(const std::string& path, const SearchQuery& query, MatchSink& sink) {
    TapeSearch search(query);
    return search.search(path, sink);
}

namespace {

// What a file may be to be searched ahead: small enough that its read, its
// tape and its held matches cost little beside the start of a turn.
constexpr std::uint64_t kAheadBelowBytes = std::uint64_t{1} << 20;
// Files are handed out in batches of consecutive ones, so that a helper and
// the caller meet once per batch, not once per file (a wake-up costs as much
// as the search of a small file); a batch holds at most this many bytes of
// matches, and a helper is at most this many batches ahead of the caller.
constexpr std::size_t kAheadBatchFiles = 32;
constexpr std::size_t kAheadBatchHeldBytes = std::size_t{1} << 20;
constexpr std::size_t kAheadBatchesPerHelper = 2;

// The matches of a file searched ahead, copied: by the time they are handed
// on, the helper's buffer holds another file. Once the batch's bytes run out
// it keeps nothing more and asks to stop: the file is then searched again in
// turn.
class HeldMatches final : public MatchSink {
public:
    explicit HeldMatches(std::size_t* budget) : budget_(budget) {}

    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                           std::optional<std::uint64_t> offset) override {
        if (full_) return true;
        const std::size_t cost = sizeof(Held) + path.size() + text.size();
        if (cost > *budget_) {
            full_ = true;
            return true;
        }
        *budget_ -= cost;
        try {
            bytes_.append(path);
            const std::size_t path_end = bytes_.size();
            bytes_.append(text);
            held_.push_back({path_end, bytes_.size(), offset, kind, shape});
        } catch (const std::bad_alloc&) {
            full_ = true;
        }
        return full_;
    }
    bool full() const { return full_; }
    // Hands the matches to `sink` in order until it asks to stop; the number
    // handed on.
    std::uint64_t hand_on(MatchSink& sink) const {
        std::size_t at = 0;
        std::uint64_t n = 0;
        for (const Held& h : held_) {
            const std::string_view path(bytes_.data() + at, h.path_end - at);
            const std::string_view text(bytes_.data() + h.path_end, h.text_end - h.path_end);
            at = h.text_end;
            ++n;
            if (sink.emit_search_match(path, text, h.kind, h.shape, h.offset)) break;
        }
        return n;
    }

private:
    struct Held {
        std::size_t path_end;  // in bytes_, where the path (from the previous text's end) ends
        std::size_t text_end;
        std::optional<std::uint64_t> offset;
        ScalarKind kind;
        MatchShape shape;
    };
    std::size_t* budget_;
    std::string bytes_;
    std::vector<Held> held_;
    bool full_ = false;
};

// One file of a batch searched ahead.
struct AheadFile {
    bool declined = true;  // to be searched in turn
    std::optional<SearchError> outcome;
    std::optional<HeldMatches> held;
};

struct AheadBatch {
    bool done = false;
    std::vector<AheadFile> files;
};

// The files of one batch, as they were added.
struct AheadPaths {
    std::vector<std::string> paths;
    std::vector<bool> listed_regular;
};

// A batch: its files, and what searching them ahead gave.
struct AheadSlot {
    AheadPaths in;
    AheadBatch out;
};

}  // namespace

struct TapeSearchAhead::State {
    State(const SearchQuery& q, std::size_t w)
        : query(q), below(std::min(kAheadBelowBytes, tape_parser::mmap_threshold_bytes())), window(w) {
        pending.paths.reserve(kAheadBatchFiles);
    }
    void help();
    AheadBatch search_batch(TapeSearch& search, const AheadPaths& in) const;
    // Whether a helper may start batch `next` now; under the lock.
    bool may_start() const { return !stop && next < slots.size() && next < taken + window; }

    const SearchQuery query;
    const std::uint64_t below;  // a file this large waits for its turn
    const std::size_t window;   // how many batches may be ahead of the caller
    std::mutex m;
    std::condition_variable helpers_cv;  // a batch to start, room for it, or the end
    std::condition_variable caller_cv;   // the batch the caller waits for is done
    // Batch b in slots[b]; elements stay where they are as batches are added.
    std::deque<AheadSlot> slots;
    std::size_t next = 0;   // the next batch not yet taken by anyone
    std::size_t taken = 0;  // batches the caller is done with
    std::size_t helpers_waiting = 0;
    std::size_t caller_waits_for = SIZE_MAX;
    bool finished = false;  // no more files come
    bool stop = false;
    std::vector<std::thread> threads;

    // The adder's own: the files of the batch not yet complete.
    AheadPaths pending;
    // The caller's own: the batch it takes files from now, and its search of
    // a batch no helper had started.
    std::size_t current = SIZE_MAX;
    AheadBatch current_batch;  // empty when the caller searches the batch in turn
    std::optional<TapeSearch> caller_search;
};

AheadBatch TapeSearchAhead::State::search_batch(TapeSearch& search, const AheadPaths& in) const {
    AheadBatch out;
    out.files.resize(in.paths.size());
    std::size_t budget = kAheadBatchHeldBytes;
    for (std::size_t k = 0; k < in.paths.size() && budget > 0; ++k) {
        const std::string& path = in.paths[k];
        if (path.empty()) continue;
        // A FIFO, a device or a large file waits for its turn: it may block,
        // be read once only, or need the road of a large file.
        auto fits = [&](bool regular, std::uint64_t size) { return regular && size > 0 && size < below; };
        AheadFile& f = out.files[k];
        if (in.listed_regular[k]) {
            // Listed as a regular file: opened with no look at it first, but
            // without waiting, should a FIFO have taken its place since; the
            // open file then tells what it is.
            auto opened = platform::open_read_no_wait(path);
            if (!opened) continue;
            const auto state = platform::open_file_state(*opened);
            if (!state || !fits(state->kind == platform::OpenFileKind::Regular, state->stamp.size)) continue;
            f.held.emplace(&budget);
            f.outcome = search.search_open(path, std::move(*opened), *state, *f.held);
        } else {
            const auto meta = platform::stat_path(path);
            if (!meta || !fits(meta->kind == platform::FileKind::Regular, meta->size)) continue;
            f.held.emplace(&budget);
            f.outcome = search.search(path, *f.held);
        }
        // Once one file's matches overflow the batch, the rest wait for
        // their turn too.
        if (f.held->full()) break;
        f.declined = false;
    }
    out.done = true;
    return out;
}

void TapeSearchAhead::State::help() {
    TapeSearch search(query);
    std::unique_lock lock(m);
    for (;;) {
        ++helpers_waiting;
        helpers_cv.wait(lock, [&] { return stop || may_start() || (finished && next >= slots.size()); });
        --helpers_waiting;
        if (!may_start()) return;
        const std::size_t b = next++;
        const AheadPaths& in = slots[b].in;
        // One wake-up per batch added or taken: a helper that starts one
        // passes the word on while more can start.
        if (helpers_waiting > 0 && may_start()) helpers_cv.notify_one();
        lock.unlock();
        AheadBatch done;
        // Whatever goes wrong here leaves the batch to its turn, where it is
        // reported as usual.
        try {
            done = search_batch(search, in);
        } catch (...) {
            done = AheadBatch{};
            done.done = true;
        }
        lock.lock();
        slots[b].out = std::move(done);
        if (caller_waits_for == b) caller_cv.notify_one();
    }
}

TapeSearchAhead::TapeSearchAhead(const SearchQuery& query, unsigned helpers)
    : state_(std::make_unique<State>(query, std::max<std::size_t>(helpers, 1) * kAheadBatchesPerHelper)) {
    for (unsigned h = 0; h < helpers; ++h) {
        try {
            state_->threads.emplace_back([s = state_.get()] { s->help(); });
        } catch (const std::system_error&) {
            break;  // fewer helpers; none at all leaves every file to its turn
        }
    }
}

TapeSearchAhead::TapeSearchAhead(std::vector<std::string> paths, const SearchQuery& query, unsigned helpers)
    : TapeSearchAhead(query, helpers) {
    for (std::string& p : paths) add(std::move(p));
    finish();
}

TapeSearchAhead::~TapeSearchAhead() {
    {
        std::lock_guard lock(state_->m);
        state_->stop = true;
    }
    state_->helpers_cv.notify_all();
    for (auto& t : state_->threads) t.join();
}

void TapeSearchAhead::add(std::string path, bool listed_regular) {
    State& s = *state_;
    s.pending.paths.push_back(std::move(path));
    s.pending.listed_regular.push_back(listed_regular);
    if (s.pending.paths.size() < kAheadBatchFiles) return;
    bool wake = false;
    {
        std::lock_guard lock(s.m);
        s.slots.push_back({std::move(s.pending), {}});
        wake = s.helpers_waiting > 0;
    }
    if (wake) s.helpers_cv.notify_one();
    s.pending = AheadPaths{};
    s.pending.paths.reserve(kAheadBatchFiles);
}

void TapeSearchAhead::finish() {
    State& s = *state_;
    {
        std::lock_guard lock(s.m);
        if (!s.pending.paths.empty()) s.slots.push_back({std::move(s.pending), {}});
        s.finished = true;
    }
    s.pending = AheadPaths{};
    s.helpers_cv.notify_all();
}

bool TapeSearchAhead::ready(std::size_t i) {
    State& s = *state_;
    if (s.threads.empty()) return true;
    const std::size_t b = i / kAheadBatchFiles;
    if (b == s.current) return true;
    std::lock_guard lock(s.m);
    return b < s.slots.size() && b < s.next && s.slots[b].out.done;
}

std::optional<SearchError> TapeSearchAhead::take(std::size_t i, MatchSink& sink) {
    State& s = *state_;
    if (s.threads.empty()) return std::nullopt;
    const std::size_t b = i / kAheadBatchFiles;
    if (b != s.current) {
        bool wake_helper = false;
        const AheadPaths* claimed = nullptr;
        {
            std::unique_lock lock(s.m);
            // Batches are taken in order, each once: the files of the last
            // one are no longer needed.
            if (s.current < s.slots.size()) {
                s.slots[s.current].in = AheadPaths{};
                ++s.taken;
            }
            s.current = b;
            s.current_batch = AheadBatch{};
            if (b >= s.slots.size()) {
                // Never added: searched in turn.
            } else if (s.next == b) {
                // No helper has it yet: the caller searches it rather than wait.
                ++s.next;
                claimed = &s.slots[b].in;
            } else {
                s.caller_waits_for = b;
                s.caller_cv.wait(lock, [&] { return s.slots[b].out.done; });
                s.caller_waits_for = SIZE_MAX;
                s.current_batch = std::move(s.slots[b].out);
                s.slots[b].out = AheadBatch{};
                wake_helper = s.helpers_waiting > 0;
            }
        }
        if (wake_helper) s.helpers_cv.notify_one();
        if (claimed) {
            if (!s.caller_search) s.caller_search.emplace(s.query);
            try {
                s.current_batch = s.search_batch(*s.caller_search, *claimed);
            } catch (...) {
                s.current_batch = AheadBatch{};  // searched in turn, where a failure is reported as usual
            }
        }
    }
    const std::size_t k = i - b * kAheadBatchFiles;
    if (k >= s.current_batch.files.size()) return std::nullopt;
    AheadFile& f = s.current_batch.files[k];
    if (f.declined) return std::nullopt;
    const std::uint64_t handed = f.held->hand_on(sink);
    // A sink that stopped early took fewer matches than the file holds.
    if (f.outcome && f.outcome->is_success()) return SearchError::success(handed);
    return std::move(f.outcome);
}

}  // namespace rova_rudo
