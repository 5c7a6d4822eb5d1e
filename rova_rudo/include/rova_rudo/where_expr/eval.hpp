// Evaluation of a `--where` predicate during one forward walk: for every
// object of the document, whether it satisfies the predicate, decided when
// the object closes. Nothing is re-read and no tree is built.
//
// A clause's first segment (a key) may match a member key of any object at
// any depth while the clause's cursor stands at position 0 there; that object
// becomes the clause's anchor, the rest of the path is followed downwards
// from it (later segments may match at any depth below the previous match),
// and what is found is recorded in the anchor's cell. While an enclosing
// object has matched the first segment, objects inside that member cannot
// anchor the clause themselves.
//
// The path itself, matched at consecutive levels below the anchor (the exact
// path), decides where it is present: `.name.common` takes its value from
// the member `common` of `name`, not from a `common` deeper inside `name`.
// Only a record without the exact path is decided by the matches with gaps,
// the last value reached deciding.
//
// Event order (the in-memory search issues these in document order):
//   a container value begins: on_container_value(), then enter_container()
//   each object key: on_key(raw key); each array element: on_index(i)
//   each scalar: scalar(raw token, kind), after the key or index event
//   "]" or "}": exit_container() returns the verdict (false for arrays)
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "rova_rudo/search_request.hpp"
#include "rova_rudo/where_expr/parser.hpp"

namespace rova_rudo {

struct ClauseCursor {
    std::uint64_t anchored = 0;       // 1 while the anchoring container is open
    std::uint64_t anchor = 0;         // frame index (depth) of that container
    std::uint32_t position = 0;       // path segments matched
    std::uint8_t complete = 0;        // the latest key or index event matched the last segment
    std::uint8_t pending_length = 0;  // a length clause completed on a container about to be counted
    std::uint8_t exact = 0;           // the segments matched so far lie at consecutive levels
};

struct ClauseCell {
    std::uint64_t counter = 0;        // members counted for a length clause
    std::uint8_t seen = 0;            // the first segment matched a key directly inside this container
    std::uint8_t present = 0;         // the whole path, anchored here, reached a value
    std::uint8_t value = 0;           // the clause's test on that value
    std::uint8_t counting = 0;        // this container's members are being counted
    std::uint8_t counting_exact = 0;  // ... as the value at the exact path
    std::uint8_t exact_present = 0;   // the exact path, anchored here, reached a value
    std::uint8_t exact_value = 0;     // the clause's test on that value
};

struct WhereFrame {
    std::uint32_t counting_cells = 0;
    std::uint8_t is_object = 0;
};

class WhereTracker {
public:
    // Room for `depth_hint` nesting levels is reserved up front.
    explicit WhereTracker(WherePredicate predicate, std::size_t depth_hint = 16);

    // Whether scalar() has anything to do: some clause path was completed by
    // the latest key or index event (always true with more than 64 clauses,
    // which the completion mask cannot cover).
    bool scalar_step_needed() const { return mask_ != 0 || n_ > 64; }

    void on_container_value();
    void enter_container(bool is_object);
    void on_key(std::string_view raw_key);
    void on_index(std::uint32_t index);
    // The scalar step: raw token (a string's body without quotes) and kind.
    void scalar(std::string_view raw, ScalarKind kind);
    // The exit step: pops the innermost container and returns the verdict
    // for an object, false for an array. Ends the process when no container
    // is open (the walker's calls are always balanced).
    bool exit_container();

    // The predicate over the cells of the container closed last.
    bool where_eval() const;

private:
    template <typename Match>
    void on_member(Match&& seg_matches);
    // Records the clause's test on the value its path reached, at the exact
    // path too when the cursor got there that way.
    static void record(ClauseCell& cell, bool exact, std::uint8_t present, std::uint8_t value);

    WherePredicate pred_;
    std::size_t n_;
    std::vector<ClauseCursor> cursors_;
    std::vector<WhereFrame> frames_;
    std::vector<std::uint32_t> saved_;  // positions, kSavedExact marking a position reached exactly
    std::vector<ClauseCell> cells_;
    std::vector<ClauseCell> results_;
    std::uint64_t mask_ = 0;
    mutable std::vector<std::uint8_t> node_values_;
};

// The clause's test on a scalar (the value recorded for it); length clauses
// give false, since a scalar has no length.
bool where_clause_test_scalar(const WhereClause& c, std::string_view raw, ScalarKind kind);

}  // namespace rova_rudo
