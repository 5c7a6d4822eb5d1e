// The tape search engine: searches one file for a term, a key query, a value
// query, or a key and a value query together. A worker thread scans the raw
// bytes for the query text while the calling thread builds the tape; each raw
// hit is then located on the tape, kept only inside a scalar, classified as
// key or value, verified on that scalar's own bytes and handed to the sink
// with its printed path. The whole tape is never walked.
//
// Numbers, true, false and null are matched by their raw text like strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_kind.hpp"
#include "platform/io.hpp"
#include "platform/whole_file.hpp"
#include "rova_rudo/fx_hash.hpp"
#include "rova_rudo/matcher.hpp"
#include "rova_rudo/path.hpp"
#include "rova_rudo/search_request.hpp"
#include "tape_parser/tape.hpp"

namespace rova_rudo {

// Child lists of the containers looked at so far, by container tape index;
// each list holds the direct children's tape indices in tape order. Filled
// on demand, one per file.
using TapeChildIndex = FxMap<std::uint32_t, std::vector<std::uint32_t>>;

// One step of a path being assembled from the tape: a key (its raw span in
// the input) or an array index.
struct TapePathSegment {
    const char* key = nullptr;  // null for an index segment
    std::size_t key_len = 0;
    std::uint32_t index = 0;
};

// Searches the file at `path`. Success carries the number of matches handed
// to the sink (at most query.limit); Message carries an I/O or tape parse
// error text; Regex comes from building the matchers, before the file is
// touched. The sink is called on the calling thread only.
SearchError run_tape_search(const std::string& path, const SearchQuery& query, MatchSink& sink);

// run_tape_search for the files of one run, one after another: the matchers
// are built once, and the memory of a file's read and of its tape is kept
// for the next file (up to a few MiB), whose pages are then touched already.
// The answers are those of run_tape_search on each file.
class TapeSearch {
public:
    explicit TapeSearch(const SearchQuery& query);
    SearchError search(const std::string& path, MatchSink& sink);
    // search() of the file at `path`, opened already as `file`, which
    // open_file_state found in `state`.
    SearchError search_open(const std::string& path, platform::File file, const platform::OpenFileState& state,
                            MatchSink& sink);

private:
    SearchError search_file(const std::string& path, platform::File file, const platform::OpenFileState& state,
                            MatchSink& sink);

    SearchQuery query_;
    platform::Result<QueryMatchers, SearchError> matchers_;
    platform::ByteBuffer buffer_;             // the last whole read's memory
    tape_parser::Tape tape_;                  // the last tape's storage
    std::optional<std::uint64_t> available_;  // memory available, read once for small files
    bool have_available_ = false;
    unsigned processors_ = 0;
};

// The files of one run searched ahead of their turn on helper threads, in
// batches of consecutive files, each helper with a TapeSearch of its own,
// while the caller takes them in order: take(i) waits for file i's batch and
// hands the file's matches to the sink as a search of that file in turn
// would, stopping where the sink asks. The files come with add(), in the
// order of the run, and helpers start on each batch as soon as it is
// complete, so that a caller still listing files has them searched
// meanwhile; finish() says that no more come. Only regular files below 1 MiB
// go ahead; an empty path, a larger file, one that is not regular, one whose
// matches overflow what its batch may hold, and every file of a batch never
// added give nullopt: the caller searches it in turn. A batch no helper has
// started when the caller reaches it is searched by the caller there and
// then. Every file is taken in increasing order, each once: after finish(),
// or earlier once ready(). Ends its helpers on destruction.
class TapeSearchAhead {
public:
    TapeSearchAhead(const SearchQuery& query, unsigned helpers);
    // All the files at once: add() of each, then finish().
    TapeSearchAhead(std::vector<std::string> paths, const SearchQuery& query, unsigned helpers);
    ~TapeSearchAhead();
    TapeSearchAhead(const TapeSearchAhead&) = delete;
    TapeSearchAhead& operator=(const TapeSearchAhead&) = delete;
    // The next file of the run; `listed_regular` when a directory listing
    // showed it as a regular file, which is then opened with no look at it
    // first (and without waiting, should it be a FIFO by now).
    void add(std::string path, bool listed_regular = false);
    void finish();
    // Whether take(i) would answer without waiting or searching: file i's
    // batch is done, or is the one taken from now.
    bool ready(std::size_t i);
    std::optional<SearchError> take(std::size_t i, MatchSink& sink);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Start offsets of the raw occurrences of `matcher` in the file's bytes, with
// no regard to JSON structure, in increasing order. Case-sensitive literals
// give non-overlapping occurrences, ASCII case-insensitive ones every
// occurrence, expressions their successive matches. Never fails: a file that
// cannot be opened or mapped, an empty needle, or a None matcher give an
// empty list.
std::vector<std::uint64_t> find_match_offsets(const std::string& path, const TextMatcher& matcher);

// The direct children of container `node` (empty for a scalar). The reference
// stays valid until the index next changes.
const std::vector<std::uint32_t>& tape_children(const tape_parser::Tape& tape, TapeChildIndex& index,
                                                std::uint32_t node);

// Whether `child` is a direct child of `node` at an even position (0, 2, ...);
// for an object that means `child` is a key.
bool tape_child_position(const tape_parser::Tape& tape, TapeChildIndex& index, std::uint32_t node, std::uint32_t child);

// The key of the member of object `node` that holds `child` (the child itself
// when it is a key); nullopt when `child` is not a direct child.
std::optional<std::uint32_t> tape_member_key(const tape_parser::Tape& tape, TapeChildIndex& index, std::uint32_t node,
                                             std::uint32_t child);

// Writes the printed path of entry `node` into `out` ("." at top level, .a,
// .[0], .[1].a when several top-level values were wrapped). A key and the
// value it labels have the same path. `segments` is scratch space.
void tape_node_path(const tape_parser::Tape& tape, const std::uint8_t* data, std::uint32_t node, std::string& out,
                    std::vector<TapePathSegment>& segments, TapeChildIndex& index);

// A walk forward through the tape that keeps the chain of containers from
// the top level down to the entry it stands on, with the entry's position in
// each. Entries visited in ascending order cost, all together, one pass over
// the children of each container on their way (no child list per container,
// no climb to the top per entry), and the printed path is spelled again only
// below the deepest container whose member changed. The answers are those of
// tape_child_position, tape_member_key and tape_node_path for the entry.
class TapeCursor {
public:
    TapeCursor(const tape_parser::Tape& tape, const std::uint8_t* data) : tape_(tape), data_(data) {}
    // Stands on entry `i`, which is at or after the entry it stood on.
    void move_to(std::uint32_t i);
    // Whether the entry is a child of an object at an even position (0, 2,
    // ...), where keys stand.
    bool at_key_position() const {
        return !chain_.empty() && tape_[chain_.back().container].is_object() && chain_.back().slot % 2 == 0;
    }
    // The key of the member holding the entry (the entry itself when it is
    // the key); nullopt when the entry's container is not an object.
    std::optional<std::uint32_t> member_key() const {
        if (chain_.empty() || !tape_[chain_.back().container].is_object()) return std::nullopt;
        return chain_.back().key;
    }
    // The printed path of the entry.
    const std::string& path() { return path_.text(); }

private:
    // A container on the way down and where the way leaves it.
    struct Link {
        std::uint32_t container;
        std::uint32_t child;  // the child the way goes through
        std::uint32_t slot;   // its position among the container's children
        std::uint32_t key;    // the child at the last even position up to slot
    };
    // Moves the innermost link forward to its child `to`.
    void advance(Link& link, std::uint32_t to);

    const tape_parser::Tape& tape_;
    const std::uint8_t* data_;
    std::vector<Link> chain_;
    std::vector<std::uint32_t> climb_;  // scratch: the entries from `i` up to the chain
    DeferredPath path_;
    std::uint32_t at_ = tape_parser::kNoParent;
};

}  // namespace rova_rudo
