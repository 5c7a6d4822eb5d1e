// The records of JSON Lines, or the elements of a document that is one
// array, walked in slices on several threads, with what each slice found
// handed on in document order, so that the caller sees what one walk in turn
// would have given.
//
// The rest of the document is cut into slices at places where a record
// likely starts (a line that opens with "{" or "[", or for an array a comma
// followed by the opening its first element has), a window of them ahead of
// the walk in turn. Threads kept for the whole walk take the next slice as
// they come free and walk it ahead with a fresh walker that holds its
// results; the calling thread walks the first slice itself and hands the
// others on, each as soon as it is done, while the threads go on with later
// ones. A held slice counts only when its first record starts where the walk
// before it stopped: one that began inside a record (in a string that holds
// a line feed and "{", say) is dropped, and the calling thread walks its
// records in turn up to the next slice.
//
// The walker of a slice starts with no state at all, which is sound only
// because nothing a walker keeps reaches past the end of a record: a
// record's results rest on the record alone. A caller whose results depend
// on what came before (the record numbers a path pattern looks at, a limit
// that counts results across records) must not walk in slices.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/pages.hpp"
#include "platform/parallel.hpp"
#include "rova_rudo/event_walker.hpp"
#include "rova_rudo/parser.hpp"

namespace rova_rudo {

// How a run of records ended.
enum class RecordsEnd : std::uint8_t {
    End,      // the document ended after a record
    Until,    // the next record starts at or after the given offset; the cursor is at it
    Stopped,  // the walker asked to stop
    Error,    // a syntax error (`error`)
};

// Walks records from the cursor, numbering them from j on; j ends as the
// number of the next record. `walk_one(c, j)` walks the one value of record
// j from the cursor. JSON Lines records are separated by whitespace and the
// cursor stands at a record's first byte; the elements of an array (`array`)
// are separated by commas, the cursor stands after the "[" or a comma, and
// End leaves it at the "]".
template <typename WalkOne>
RecordsEnd walk_records(JsonCursor& c, WalkOne&& walk_one, std::uint32_t& j, std::uint64_t until, bool array,
                        ParseError& error) {
    for (;;) {
        WalkOutcome o = walk_one(c, j);
        if (o.is_error()) {
            error = o.error();
            return RecordsEnd::Error;
        }
        if (o.stopped()) return RecordsEnd::Stopped;
        skip_whitespace(c);
        if (!array) {
            if (c.at_end()) return RecordsEnd::End;
        } else if (c.at_end()) {
            error = ParseError::unexpected_end();
            return RecordsEnd::Error;
        } else if (c.peek() == ']') {
            return RecordsEnd::End;
        } else if (c.peek() == ',') {
            ++c.pos;
        } else {
            error = ParseError::unexpected_byte(c.peek(), c.pos);
            return RecordsEnd::Error;
        }
        ++j;
        if (c.pos >= until) return RecordsEnd::Until;
    }
}

// For a document that is one array whose first element is an object, with
// `bracket` at its "[": that element's text up to its first colon (as
// `{"id":`, indentation included), which most elements of a large array of
// records begin with and deeper objects seldom do; empty when there is none,
// and the array is then not walked in rounds.
std::string_view array_element_lead(std::string_view document, std::uint64_t bracket);

// The one piece of the walk's plan that its walkers see: the document, its
// record layout, the number of threads and the bytes of a slice.
class RoundPlan {
public:
    // `lead` as array_element_lead gives it for an array; unused for JSON Lines.
    RoundPlan(std::string_view document, bool array, std::string_view lead, unsigned threads, std::size_t slice)
        : document_(document), lead_(lead), slice_(slice), threads_(threads), array_(array) {}

    // Whether a document of `size` bytes is worth walking in slices at all.
    static bool worth_it(std::uint64_t size, unsigned threads, std::size_t slice) {
        return threads >= 2 && size / threads >= min_step(slice);
    }

    // For a document that lies in a read-only map of a file starting at
    // `map` (the whole map, or a value inside it), walked by walkers whose
    // held results are copies: each slice's own pages are given back once
    // it has been walked, ahead or in turn, so that what the walk has passed
    // stops counting as the process's memory (a later read maps them
    // again). Null: the document is not such a map, and nothing is given back.
    void give_back_pages(const void* map) { map_ = static_cast<const char*>(map); }
    // Where the map the document lies in starts; null when none is given back.
    const char* file_map() const { return map_; }

    std::string_view document() const { return document_; }
    bool array() const { return array_; }
    unsigned threads() const { return threads_; }
    std::size_t slice() const { return slice_; }
    // How many slices are planned, walked or waiting for their hand-on at
    // once, which bounds the memory held at once: one per thread and two
    // more, for slices done while an earlier one is still being walked.
    std::size_t window() const { return std::size_t{threads_} + 2; }

    // Where the slice that starts at `from` ends: the first likely record
    // start at least a slice's bytes on. A slice is the plan's bytes long until the
    // rest falls below one slice per thread, and then a thread's share of
    // the rest; nullopt when the rest is too small to share, and is walked
    // in turn.
    std::optional<std::uint64_t> cut(std::uint64_t from) const;

private:
    // Below this a slice costs more in hand-offs than it saves.
    static std::uint64_t min_step(std::size_t slice) { return slice / 16 + 1; }

    std::string_view document_;
    // A copy: read at every cut, the document's own bytes would keep its
    // first pages mapped when the walk gives pages back.
    std::string lead_;
    std::size_t slice_;
    unsigned threads_;
    bool array_;
    const char* map_ = nullptr;
};

// One slice, walked ahead of its turn. `Held` is what its walker keeps for
// the hand-on.
template <typename Held>
struct HeldSlice {
    // Where its first record starts: for JSON Lines after the whitespace at
    // the slice's start, for an array just after the comma before it.
    std::uint64_t begin = 0;
    std::uint64_t end = 0;  // the cursor when the walk ended
    std::uint32_t records = 0;
    RecordsEnd how = RecordsEnd::Until;
    ParseError error;
    bool failed = false;  // ran out of memory or held too much: walk it and the rest in turn
    // What the walker held; kept in its place in the window from slice to
    // slice, so that a walker may reuse its memory (fresh pages are slow to
    // touch) rather than emplace a new one.
    std::optional<Held> held;
};

// What a caller that needs no parallel step before its hand-on passes.
struct NoSettle {};

namespace detail {

// No bound: the walk in turn goes on to the end of the records.
inline constexpr std::uint64_t kNoBound = ~std::uint64_t{0};

// The slices of one walk: planned a window ahead of the walk in turn,
// walked ahead by the threads of the walk (follow) and handed on in
// document order by the calling thread (lead), which walks in turn what
// must be walked in turn. One lock guards the window's bookkeeping; a
// slice's own results are written only by the one thread that has it
// (its walker, then its settler) and read by the hand-on once the lock has
// passed them on. The steps' callbacks are those of walk_record_rounds.
template <typename Held, bool kSettles>
class RecordWindow {
public:
    RecordWindow(const RoundPlan& plan, std::uint64_t from)
        : plan_(plan), slots_(plan.window()), order_(plan.window()), cut_(from) {
        for (std::size_t k = slots_.size(); k-- > 0;) free_.push_back(&slots_[k]);
    }

    // Plans the first slice, the calling thread's to walk in turn; false
    // when the records are too few to share.
    bool start() {
        if (!plan_one()) return false;
        if (slot(0).state == State::Planned) slot(0).state = State::InTurn;
        return true;
    }

    // The calling thread's part: walks in turn and hands on, in document
    // order, until the records end, a hand-on stops the walk or an error is
    // met; returns how, as walk_records does.
    template <typename InTurn, typename Settle, typename HandOn>
    RecordsEnd lead(JsonCursor& c, std::uint32_t& j, ParseError& error, InTurn& in_turn, Settle& settle,
                    HandOn& hand_on) {
        (void)settle;  // unused with NoSettle
        std::unique_lock lock(mutex_);
        for (;;) {
            if (next_ == planned_ && !plan_one()) {
                if (!plan_done_) {  // every place still holds a dropped slice's walk
                    caller_.wait(lock);
                    continue;
                }
                lock.unlock();
                return rest_in_turn(c, j, error, in_turn);
            }
            Slot& s = slot(next_);
            const std::uint64_t begin = s.slice.begin;
            if (begin < c.pos) {  // it began inside a record
                pass(s);
                continue;
            }
            if (begin > c.pos) {  // the walk in turn catches up with it
                lock.unlock();
                const std::uint64_t from = c.pos;
                const RecordsEnd how = in_turn(c, j, begin, error);
                give_back(from, c.pos);
                if (how != RecordsEnd::Until) return how;
                lock.lock();
                continue;
            }
            if (s.state == State::Planned) s.state = State::InTurn;  // nobody has it yet
            if (s.state == State::InTurn) {
                lock.unlock();
                const RecordsEnd how = in_turn(c, j, s.until, error);
                give_back(begin, std::max(s.until, c.pos));
                lock.lock();
                retire(s);
                if (how != RecordsEnd::Until) return how;
                continue;
            }
            if constexpr (kSettles) {
                if (!s.numbered) {
                    s.numbered = true;
                    s.first = j;
                    number_on();
                }
            }
            if (s.state == State::Walking) {
                caller_.wait(lock);
                continue;
            }
            if (s.slice.failed) {
                closed_ = true;
                work_.notify_all();
                lock.unlock();
                return rest_in_turn(c, j, error, in_turn);
            }
            if constexpr (kSettles) {
                if (s.any && s.settled == Settled::Settling) {
                    caller_.wait(lock);
                    continue;
                }
                if (s.any && s.settled == Settled::No) {  // every thread is busy: settle it here
                    s.settled = Settled::Settling;
                    lock.unlock();
                    settle_one(s, settle);
                    lock.lock();
                    s.settled = Settled::Yes;
                }
            }
            lock.unlock();
            if (s.any && s.slice.held && hand_on(*s.slice.held, j)) return RecordsEnd::Stopped;
            c.pos = s.slice.end;
            j += s.slice.records;
            const RecordsEnd how = s.slice.how;
            if (how == RecordsEnd::Error) error = s.slice.error;
            lock.lock();
            retire(s);
            if (how != RecordsEnd::Until) return how;
        }
    }

    // A thread's part: settles and walks slices ahead as they come, until
    // the walk is closed. `id` tells the threads apart for `ahead`.
    template <typename Ahead, typename Settle>
    void follow(unsigned id, Ahead& ahead, Settle& settle) {
        (void)settle;  // unused with NoSettle
        std::unique_lock lock(mutex_);
        for (;;) {
            if (closed_) return;
            if constexpr (kSettles) {
                // Settles first: the hand-on may be waiting for one.
                if (Slot* s = settle_job()) {
                    s->settled = Settled::Settling;
                    lock.unlock();
                    settle_one(*s, settle);
                    lock.lock();
                    s->settled = Settled::Yes;
                    caller_.notify_one();
                    continue;
                }
            }
            if (Slot* s = claim()) {
                s->state = State::Walking;
                lock.unlock();
                walk_ahead(*s, id, ahead);
                lock.lock();
                if (s->abandoned) {  // the walk in turn has passed it
                    s->abandoned = false;
                    set_free(*s);
                } else {
                    s->state = State::Walked;
                    if constexpr (kSettles) number_on();
                }
                caller_.notify_one();
                continue;
            }
            work_.wait(lock);
        }
    }

    // Ends the threads' parts once their slice in hand is done.
    void close() {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        work_.notify_all();
    }

private:
    enum class State : std::uint8_t {
        Free,     // holds no slice of the window
        Planned,  // cut, not yet taken
        InTurn,   // walked in turn by the calling thread
        Walking,  // walked ahead by a thread
        Walked,   // walked ahead, waiting for its hand-on
    };
    enum class Settled : std::uint8_t { No, Settling, Yes };

    struct Slot {
        HeldSlice<Held> slice;
        std::uint64_t until = 0;  // where the slice's bytes end
        std::uint32_t first = 0;  // its first record's number, once `numbered`
        State state = State::Free;
        Settled settled = Settled::No;
        bool numbered = false;
        bool any = false;        // a record starts in it
        bool abandoned = false;  // passed by the walk in turn while it was being walked
    };

    Slot& slot(std::uint64_t k) { return *order_[k % order_.size()]; }

    void set_free(Slot& s) {
        s.state = State::Free;
        free_.push_back(&s);
    }

    // Cuts the next slice into its place in the window, if that is free;
    // false when it is not, or when nothing is left to share (plan_done_).
    bool plan_one() {
        if (plan_done_ || planned_ >= next_ + order_.size() || free_.empty()) return false;
        const std::optional<std::uint64_t> until = plan_.cut(cut_);
        if (!until) {
            plan_done_ = true;
            return false;
        }
        // The place freed last: its memory is the likeliest to be in cache,
        // and places that are never needed at once are never touched.
        Slot& s = *free_.back();
        free_.pop_back();
        order_[planned_ % order_.size()] = &s;
        JsonCursor sc(plan_.document(), cut_);
        if (!plan_.array()) skip_whitespace(sc);
        s.slice.begin = sc.pos;
        s.slice.end = sc.pos;
        s.slice.records = 0;
        s.slice.how = RecordsEnd::Until;
        s.slice.failed = false;
        s.until = *until;
        s.numbered = false;
        s.settled = Settled::No;
        s.abandoned = false;
        s.any = sc.pos < *until && !sc.at_end();
        s.state = s.any ? State::Planned : State::Walked;  // one with no record is done already
        cut_ = *until;
        ++planned_;
        if (cut_ >= plan_.document().size()) plan_done_ = true;
        return true;
    }

    // The next slice nobody has taken, cut now if need be; null when none is.
    Slot* claim() {
        claimed_ = std::max(claimed_, next_);
        for (;;) {
            if (claimed_ == planned_ && !plan_one()) return nullptr;
            Slot& s = slot(claimed_++);
            if (s.state == State::Planned) return &s;
        }
    }

    template <typename Ahead>
    void walk_ahead(Slot& s, unsigned id, Ahead& ahead) {
        JsonCursor sc(plan_.document(), s.slice.begin);
        try {
            s.slice.how = ahead(s.slice, id, sc, s.until);
            s.slice.end = sc.pos;
            // Up to where its walk read: pages past the slice that another
            // walker gave back before this one read them are mapped again.
            give_back(s.slice.begin, std::max(s.until, s.slice.end));
        } catch (...) {
            s.slice.failed = true;  // walked again in turn, where a failure is reported as usual
        }
    }

    // The walk in turn from `c` to the end of the records.
    template <typename InTurn>
    RecordsEnd rest_in_turn(JsonCursor& c, std::uint32_t& j, ParseError& error, InTurn& in_turn) const {
        const std::uint64_t from = c.pos;
        const RecordsEnd how = in_turn(c, j, kNoBound, error);
        give_back(from, c.pos);
        return how;
    }

    // The pages of [from, to), walked, when the plan gives them back, and
    // the rest of the 2 MiB around them within the document: a read fault
    // maps the whole of a large page-cache folio (up to 2 MiB, aligned in
    // the file, so from the map's start), so a walker that read the edge of
    // a neighbour's bytes after the neighbour gave them back has mapped them
    // again. Each walker gives back all it can have mapped once it is done;
    // a neighbour still reading there maps its folio again with one fault.
    void give_back(std::uint64_t from, std::uint64_t to) const {
        const char* const map = plan_.file_map();
        if (!map || to <= from) return;
        constexpr std::uint64_t kFolio = std::uint64_t{2} << 20;
        const std::string_view doc = plan_.document();
        const auto at = static_cast<std::uint64_t>(doc.data() - map);  // the document's offset in the file
        const std::uint64_t first = std::max(at, (at + from) / kFolio * kFolio) - at;
        const std::uint64_t end = std::min<std::uint64_t>(doc.size(), (at + to + kFolio - 1) / kFolio * kFolio - at);
        platform::release_read_pages(doc.data() + first, end - first);
    }

    template <typename Settle>
    static void settle_one(Slot& s, Settle& settle) {
        // A settle that runs out of memory leaves its slice as it was.
        try {
            if (s.slice.held) settle(*s.slice.held, s.first);
        } catch (...) {
        }
    }

    // The walk in turn leaves the slice behind: dropped, its place free
    // again (once its walker is done, if it has one).
    void pass(Slot& s) {
        if (s.state == State::Walking) {
            s.abandoned = true;
        } else {
            set_free(s);
        }
        ++next_;
        work_.notify_one();
    }

    // The slice has been walked in turn or handed on.
    void retire(Slot& s) {
        set_free(s);
        ++next_;
        work_.notify_one();
    }

    // Gives a first record number to every slice that follows on from a
    // numbered one walked ahead before it.
    void number_on() {
        for (std::uint64_t k = next_; k + 1 < planned_; ++k) {
            const Slot& s = slot(k);
            Slot& t = slot(k + 1);
            if (t.numbered || !s.numbered || s.state != State::Walked || s.abandoned || s.slice.failed ||
                s.slice.how != RecordsEnd::Until || t.slice.begin != s.slice.end)
                continue;
            t.numbered = true;
            t.first = s.first + s.slice.records;
            if (t.state == State::Walked) work_.notify_one();
        }
    }

    // The first numbered slice walked ahead that waits for its settle.
    Slot* settle_job() {
        for (std::uint64_t k = next_; k < planned_; ++k) {
            Slot& s = slot(k);
            if (s.state == State::Walked && s.numbered && s.any && !s.slice.failed && s.settled == Settled::No)
                return &s;
        }
        return nullptr;
    }

    const RoundPlan& plan_;
    std::vector<Slot> slots_;
    std::vector<Slot*> order_;  // slice k's place, for the slices from next_ to planned_
    std::vector<Slot*> free_;   // the places that hold no slice, the one freed last at the back
    std::uint64_t cut_;         // where the next slice to plan starts
    std::uint64_t planned_ = 0;
    std::uint64_t claimed_ = 0;  // the slices before it are taken, or passed
    std::uint64_t next_ = 0;     // the next slice in document order
    bool plan_done_ = false;     // no slice is left to plan
    bool closed_ = false;
    std::mutex mutex_;
    std::condition_variable work_;    // threads wait here for a slice to walk or settle
    std::condition_variable caller_;  // the calling thread waits here for its next slice
};

}  // namespace detail

// Walks the records from `c` (numbered from j on) in slices until they end,
// a walk stops or an error is met; returns how, as walk_records does for one
// walk in turn over all of them.
//   in_turn(c, j, until, error) -> RecordsEnd: the caller's own walk in turn
//       (walk_records with its walker), on this thread;
//   ahead(slice, i, cursor, until) -> RecordsEnd: walks a slice ahead from
//       the cursor, with a walker that emplaces slice.held (or empties the
//       one an earlier slice left there), counts slice.records and sets
//       slice.error, and slice.failed when it held too much; it runs on the
//       walk's thread number i (below the plan's threads), and no two walks
//       at once have the same i;
//   settle(held, first_record): runs on the walk's threads for every slice
//       that counts, once its first record's number is known (NoSettle:
//       none); one that throws leaves the held results as they were;
//   hand_on(held, first_record) -> bool: hands a counted slice's results on,
//       in document order; true stops the walk.
// The walk's threads live no longer than the call; one that cannot start
// only leaves more to the others, or to this thread. Memory for the
// slices' walks that fails makes them walk in turn; anything the walk in
// turn or the hand-on throws is thrown again once the threads are done.
template <typename Held, typename InTurn, typename Ahead, typename Settle, typename HandOn>
RecordsEnd walk_record_rounds(const RoundPlan& plan, JsonCursor& c, std::uint32_t& j, ParseError& error,
                              InTurn&& in_turn, Ahead&& ahead, Settle&& settle, HandOn&& hand_on) {
    constexpr bool kSettles = !std::is_same_v<std::remove_cvref_t<Settle>, NoSettle>;
    detail::RecordWindow<Held, kSettles> window(plan, c.pos);
    if (!window.start()) return in_turn(c, j, detail::kNoBound, error);
    std::exception_ptr failure;
    RecordsEnd how = RecordsEnd::End;
    // Part 0 is this thread's; the others are the walk's threads, numbered from 0.
    platform::run_in_parallel(plan.threads() + 1, [&](unsigned part) {
        if (part == 0) {
            try {
                how = window.lead(c, j, error, in_turn, settle, hand_on);
            } catch (...) {
                failure = std::current_exception();
            }
            window.close();
        } else {
            window.follow(part - 1, ahead, settle);
        }
    });
    if (failure) std::rethrow_exception(failure);
    return how;
}

}  // namespace rova_rudo
