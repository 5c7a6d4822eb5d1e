// The records of JSON Lines, or the elements of a document that is one
// array, walked in rounds of slices on several threads, with what each slice
// found handed on in document order, so that the caller sees what one walk
// in turn would have given.
//
// A round is planned from where the walk in turn stands: the rest of the
// document is cut into one slice per thread at places where a record likely
// starts (a line that opens with "{" or "[", or for an array a comma followed
// by the opening its first element has). Slice 0 is walked on the calling
// thread by the walk in turn itself; every other slice is walked ahead by a
// fresh walker of its own that holds its results. A held slice counts only
// when its first record starts where the walk before it stopped: one that
// began inside a record (in a string that holds a line feed and "{", say)
// ends the round, and its records are walked again by the next round.
//
// The walker of a slice starts with no state at all, which is sound only
// because nothing a walker keeps reaches past the end of a record: a
// record's results rest on the record alone. A caller whose results depend
// on what came before (the record numbers a path pattern looks at, a limit
// that counts results across records) must not walk in rounds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

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

// The one piece of a round's plan that its walkers see: the document, its
// record layout, the number of threads and the bytes of a slice.
class RoundPlan {
public:
    // `lead` as array_element_lead gives it for an array; unused for JSON Lines.
    RoundPlan(std::string_view document, bool array, std::string_view lead, unsigned threads, std::size_t slice)
        : document_(document), lead_(lead), slice_(slice), threads_(threads), array_(array) {}

    // Whether a document of `size` bytes is worth walking in rounds at all.
    static bool worth_it(std::uint64_t size, unsigned threads, std::size_t slice) {
        return threads >= 2 && size / threads >= min_step(slice);
    }

    std::string_view document() const { return document_; }
    bool array() const { return array_; }
    unsigned threads() const { return threads_; }
    std::size_t slice() const { return slice_; }

    // The bounds of the next round, whose first slice starts at `pos`:
    // bounds[i] to bounds[i + 1] is slice i. False when what is left is too
    // small to share, and is walked in turn. The last rounds share what is
    // left evenly.
    bool plan(std::uint64_t pos, std::vector<std::uint64_t>& bounds) const;

private:
    // Below this a slice costs more in thread starts than it saves.
    static std::uint64_t min_step(std::size_t slice) { return slice / 16 + 1; }

    std::string_view document_;
    std::string_view lead_;
    std::size_t slice_;
    unsigned threads_;
    bool array_;
};

// One slice of a round, walked ahead of its turn. `Held` is what its walker
// keeps for the hand-on.
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
    // What the walker held; kept from round to round, so that a walker may
    // reuse its memory (fresh pages are slow to touch) rather than emplace
    // a new one.
    std::optional<Held> held;
};

// What a caller that needs no parallel step before its hand-on passes.
struct NoSettle {};

// One round at a time: plan its slices, walk them (slice 0 in turn, the rest
// ahead), settle the ones that count and hand them on. The steps'
// callbacks are those of walk_record_rounds.
template <typename Held>
class RecordRound {
public:
    explicit RecordRound(const RoundPlan& plan) : plan_(plan) {}

    // Whether a slice held too much, so that what is left is walked in turn.
    bool held_too_much() const { return held_too_much_; }

    // Cuts the round that starts at `pos`; false when what is left is walked in turn.
    bool plan(std::uint64_t pos) { return !held_too_much_ && plan_.plan(pos, bounds_); }

    // Walks slice 0 in turn from c and the others ahead, at once; returns how
    // the walk in turn ended (Until: the held slices are next).
    template <typename InTurn, typename Ahead>
    RecordsEnd walk(JsonCursor& c, std::uint32_t& j, ParseError& error, InTurn& in_turn, Ahead& ahead) {
        const unsigned threads = plan_.threads();
        slices_.resize(threads - 1);  // slice i in slices_[i - 1]
        std::exception_ptr first_failure;
        RecordsEnd how0 = RecordsEnd::End;
        platform::run_in_parallel(threads, [&](unsigned i) {
            if (i == 0) {
                try {
                    how0 = in_turn(c, j, bounds_[1], error);
                } catch (...) {
                    first_failure = std::current_exception();
                }
                return;
            }
            HeldSlice<Held>& s = slices_[i - 1];
            JsonCursor sc(plan_.document(), bounds_[i]);
            if (!plan_.array()) skip_whitespace(sc);
            s.begin = sc.pos;
            s.end = sc.pos;
            s.records = 0;
            s.how = RecordsEnd::Until;
            s.failed = false;
            if (sc.pos >= bounds_[i + 1] || sc.at_end()) {  // no record starts in it
                s.held.reset();
                return;
            }
            try {
                s.how = ahead(s, i, sc, bounds_[i + 1]);
                s.end = sc.pos;
            } catch (...) {
                s.failed = true;  // walked again in turn, where a failure is reported as usual
            }
        });
        if (first_failure) std::rethrow_exception(first_failure);
        if (how0 == RecordsEnd::Until) count(c.pos, j);
        return how0;
    }

    // Runs settle on every counted slice, on threads of their own.
    template <typename Settle>
    void settle(Settle& settle) {
        platform::run_in_parallel(counted_, [&](unsigned k) {
            // A settle that runs out of memory leaves its slice as it was.
            try {
                if (HeldSlice<Held>& s = slices_[k]; s.held) settle(*s.held, firsts_[k]);
            } catch (...) {
            }
        });
    }

    // Hands the counted slices on in document order, moving the walk in
    // turn's cursor and record number past each; nullopt when the next
    // round is due, else how the records ended.
    template <typename HandOn>
    std::optional<RecordsEnd> hand_on(JsonCursor& c, std::uint32_t& j, ParseError& error, HandOn& hand_on) {
        for (unsigned i = 0; i < counted_; ++i) {
            HeldSlice<Held>& s = slices_[i];
            if (s.held && hand_on(*s.held, j)) return RecordsEnd::Stopped;
            c.pos = s.end;
            j += s.records;
            if (s.how == RecordsEnd::Error) error = s.error;
            if (s.how != RecordsEnd::Until) return s.how;
        }
        return std::nullopt;
    }

private:
    // The held slices that follow on from the walk before them (the walk in
    // turn ended at `at`, before record `next`), and each one's first record.
    void count(std::uint64_t at, std::uint32_t next) {
        counted_ = 0;
        firsts_.clear();
        for (const HeldSlice<Held>& s : slices_) {
            if (s.failed) held_too_much_ = true;
            if (s.failed || s.begin != at) break;
            firsts_.push_back(next);
            ++counted_;
            if (s.how != RecordsEnd::Until) break;
            at = s.end;
            next += s.records;
        }
    }

    const RoundPlan& plan_;
    std::vector<std::uint64_t> bounds_;
    std::vector<HeldSlice<Held>> slices_;
    std::vector<std::uint32_t> firsts_;  // the first record number of each counted slice
    unsigned counted_ = 0;
    bool held_too_much_ = false;
};

// Walks the records from `c` (numbered from j on) in rounds until they end,
// a walk stops or an error is met; returns how, as walk_records does for one
// walk in turn over all of them.
//   in_turn(c, j, until, error) -> RecordsEnd: the caller's own walk in turn
//       (walk_records with its walker), on this thread;
//   ahead(slice, i, cursor, until) -> RecordsEnd: walks slice i ahead from
//       the cursor, with a walker that emplaces slice.held (or empties the
//       one a previous round left there), counts slice.records and sets
//       slice.error, and slice.failed when it held too much;
//   settle(held, first_record): runs on the slices' threads for every slice
//       that counts, once its first record's number is known (NoSettle:
//       none); one that throws leaves the held results as they were;
//   hand_on(held, first_record) -> bool: hands a counted slice's results on,
//       in document order; true stops the walk.
// Memory for the slices' walks that fails makes them walk in turn; anything
// the walk in turn throws is thrown again once the round's threads are done.
template <typename Held, typename InTurn, typename Ahead, typename Settle, typename HandOn>
RecordsEnd walk_record_rounds(const RoundPlan& plan, JsonCursor& c, std::uint32_t& j, ParseError& error,
                              InTurn&& in_turn, Ahead&& ahead, Settle&& settle, HandOn&& hand_on) {
    (void)settle;  // unused with NoSettle
    RecordRound<Held> round(plan);
    for (;;) {
        if (!round.plan(c.pos)) return in_turn(c, j, plan.document().size(), error);
        if (const RecordsEnd how = round.walk(c, j, error, in_turn, ahead); how != RecordsEnd::Until) return how;
        if constexpr (!std::is_same_v<std::remove_cvref_t<Settle>, NoSettle>) round.settle(settle);
        if (const auto how = round.hand_on(c, j, error, hand_on)) return *how;
    }
}

}  // namespace rova_rudo
