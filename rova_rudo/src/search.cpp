#include "rova_rudo/search.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.hpp"

#include "rova_rudo/byte_search.hpp"
#include "rova_rudo/event_walker.hpp"
#include "rova_rudo/matcher.hpp"
#include "rova_rudo/path.hpp"
#include "rova_rudo/path_pattern.hpp"
#include "rova_rudo/record_rounds.hpp"
#include "rova_rudo/where_expr/eval.hpp"
#include "rova_rudo/where_expr/parser.hpp"

namespace rova_rudo {

namespace {

struct ContainerFrame {
    std::uint64_t start = 0;
    bool is_object = false;
    bool holds_match = false;  // a match below it was recorded against it (object and parent modes)
    bool anchor = false;       // the container is the path pattern's anchor
};

// The walker's visitor: keeps the printed path, follows the pattern, feeds
// the predicate and decides, event by event, what to report.
class SearchVisitor {
public:
    SearchVisitor(std::string_view document, const SearchQuery& q, MatchSink& sink, QueryMatchers& m,
                  const PathPattern* pattern, WhereTracker* tracker)
        : limit_(q.limit),
          key_matcher_(m.key),
          value_matcher_(m.value),
          key_find_(m.key, document),
          value_find_own_(m.value, document),
          tracker_(tracker),
          pattern_(pattern),
          document_(document),
          sink_(sink),
          all_types_(q.all_types),
          key_and_value_(!q.term && !m.key.is_none() && !m.value.is_none()),
          type_filter_(q.type_filter),
          filter_kind_(type_filter_kind(q.type_filter)),
          emit_(q.emit) {
        containers_.reserve(16);
        if (pattern_) progress_stack_.reserve(16);
        containers_mode_ = emit_ == EmitMode::Object || emit_ == EmitMode::Parent;
        selective_ = !key_matcher_.is_none() || !value_matcher_.is_none() || type_filter_ != TypeFilter::None;
        // One term for keys and values: one look-ahead serves both, as keys
        // and values come in document order.
        const bool same =
            key_matcher_.kind() == value_matcher_.kind() && key_matcher_.bytes() == value_matcher_.bytes();
        value_find_ = same ? &key_find_ : &value_find_own_;
    }

    std::uint64_t match_count() const { return match_count_; }

    // Hands on a report that another walk of the same query made and held
    // (`path` as this walk would spell it) and counts it as emit() and a key
    // report would. Returns true when the walk would have stopped after it.
    bool pass_on(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                 std::optional<std::uint64_t> offset) {
        const bool stop = sink_.emit_search_match(path, text, kind, shape, offset);
        if (shape == MatchShape::Object) {
            ++match_count_;
            return stop;
        }
        count_report(path);
        return stop && shape != MatchShape::ObjectKey;
    }

    bool visitor_enter_array(std::uint64_t s) { return enter(s, false); }
    bool visitor_enter_object(std::uint64_t s) { return enter(s, true); }

    void visitor_array_element(std::uint32_t i) {
        path_.set_index(i);
        if (pattern_) progress_ = pattern_index_step(*pattern_, base_progress(), i);
        if (tracker_) tracker_->on_index(i);
    }

    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        return scan_member_key(c, [this](std::string_view key) { on_key(key); });
    }

    void on_key(std::string_view key) {
        path_.set_key(key);
        if (pattern_) progress_ = pattern_key_step(*pattern_, base_progress(), key);
        if (tracker_) tracker_->on_key(key);
        pending_key_match_ = false;

        if (complete() && !key_matcher_.is_none()) {
            if (const std::size_t o = key_find_.find(key); o != kNotFound) {
                if (emit_ == EmitMode::Value || emit_ == EmitMode::Assignment || key_and_value_) {
                    pending_key_match_ = true;
                    key_match_offset_ = o;
                } else if (limit_ && match_count_ >= *limit_) {
                    // Key reports never stop the walk; later ones are skipped.
                } else if (containers_mode_) {
                    record_in_innermost_object();
                } else {
                    sink_.emit_search_match(path_.text(), key, ScalarKind::String, MatchShape::ObjectKey, o);
                    count_report(path_.text());
                }
            }
        }
    }

    bool visitor_scalar(std::string_view v, ScalarKind k) {
        if (tracker_) tracker_->scalar(v, k);
        const bool pending = pending_key_match_;
        pending_key_match_ = false;
        if (filter_kind_ && *filter_kind_ != k) return false;
        if (!complete()) return false;
        const bool string_ok = k == ScalarKind::String || all_types_;
        std::optional<std::uint64_t> offset;
        if (pending) {
            if (key_and_value_) {
                if (!string_ok) return false;
                const std::size_t o = value_find_->find(v);
                if (o == kNotFound) return false;
                offset = o;
            } else {
                if (!string_ok) return false;
                offset = key_match_offset_;
            }
        } else if (key_and_value_) {
            return false;
        } else if (!value_matcher_.is_none()) {
            if (!string_ok) return false;
            const std::size_t o = value_find_->find(v);
            if (o == kNotFound) return false;
            offset = o;
        } else if (type_filter_ != TypeFilter::None && key_matcher_.is_none()) {
            // every scalar of the filtered kind
        } else if (type_filter_ == TypeFilter::None && key_matcher_.is_none() && !tracker_ && pattern_) {
            // every scalar at a complete position
        } else {
            return false;
        }
        return emit(v, k, offset);
    }

    bool visitor_exit_container(std::uint64_t e) {
        const ContainerFrame f = containers_.back();
        containers_.pop_back();
        bool verdict = true;
        if (tracker_) verdict = tracker_->exit_container();

        bool reported;
        if (selective_) {
            reported = containers_mode_ && f.is_object && f.holds_match && (!pattern_ || f.anchor) && verdict;
        } else if (pattern_) {
            reported = (containers_mode_ || tracker_) && f.is_object && f.anchor && verdict;
        } else {
            reported = (containers_mode_ || tracker_) && f.is_object && verdict;
        }

        path_.pop();
        if (pattern_) {
            if (progress_stack_.empty()) {
                progress_ = 0;
            } else {
                progress_ = progress_stack_.back();
                progress_stack_.pop_back();
            }
        }
        pending_key_match_ = false;
        if (!reported) return false;
        if (limit_ && match_count_ >= *limit_) return false;
        bool stop = sink_.emit_search_match(path_.text(), document_.substr(f.start, e - f.start), ScalarKind::String,
                                            MatchShape::Object, std::nullopt);
        ++match_count_;
        return stop || (limit_ && match_count_ >= *limit_);
    }

private:
    bool complete() const { return !pattern_ || progress_ >= pattern_->size(); }
    std::uint32_t base_progress() const { return progress_stack_.empty() ? 0 : progress_stack_.back(); }

    // Never stops: a container is reported when it closes.
    bool enter(std::uint64_t s, bool is_object) {
        bool anchor = false;
        if (pattern_) anchor = pattern_is_anchor(*pattern_, progress_, base_progress());
        if (is_object) path_.enter_object();
        else path_.enter_array();
        if (pattern_) progress_stack_.push_back(progress_);
        if (tracker_) {
            tracker_->on_container_value();
            tracker_->enter_container(is_object);
        }
        containers_.push_back({s, is_object, false, anchor});
        pending_key_match_ = false;
        return false;
    }

    void record_in_innermost_object() {
        for (auto it = containers_.rbegin(); it != containers_.rend(); ++it) {
            if (it->is_object) {
                it->holds_match = true;
                return;
            }
        }
    }

    // A key or scalar report at the path of the report just before it (a key
    // and then its value, or a repeated key) is one result to the sink, so it
    // does not count again towards the limit, a number of unique paths.
    // Counts a report at `path` unless the one before had the same path.
    void count_report(std::string_view path) {
        if (reported_.repeats(path)) return;
        reported_.record(path);
        ++match_count_;
    }

    bool emit(std::string_view v, ScalarKind k, std::optional<std::uint64_t> offset) {
        if (limit_ && match_count_ >= *limit_) return true;
        if (containers_mode_) {
            record_in_innermost_object();
            return false;
        }
        bool stop = sink_.emit_search_match(path_.text(), v, k, MatchShape::Scalar, offset);
        count_report(path_.text());
        if (stop) return true;
        return limit_ && match_count_ >= *limit_;
    }

    bool pending_key_match_ = false;
    std::uint64_t key_match_offset_ = 0;
    std::optional<std::uint64_t> limit_;
    const TextMatcher& key_matcher_;
    const TextMatcher& value_matcher_;
    DocumentMatcher key_find_;
    DocumentMatcher value_find_own_;
    DocumentMatcher* value_find_;  // key_find_ when both matchers look for the same text
    WhereTracker* tracker_;
    DeferredPath path_;  // spelled only for a report
    std::vector<ContainerFrame> containers_;
    std::vector<std::uint32_t> progress_stack_;
    const PathPattern* pattern_;
    std::uint32_t progress_ = 0;
    std::string_view document_;
    MatchSink& sink_;
    std::uint64_t match_count_ = 0;
    ReportedPath reported_;  // the last key or scalar report
    bool all_types_;
    bool key_and_value_;
    TypeFilter type_filter_;
    std::optional<ScalarKind> filter_kind_;  // the kind type_filter_ selects
    EmitMode emit_;
    bool containers_mode_ = false;
    bool selective_ = false;
};

// The sink of a slice walked ahead of its turn: keeps each report, its path
// without the leading record number (".[12].a" keeps 12 and ".a"), to be
// handed on once the slices before it are done. Past `cap` bytes it keeps
// nothing more and asks to stop: the slice is then walked again in turn.
class HoldingSink final : public MatchSink {
public:
    struct Held {
        std::uint32_t record;  // counted from the slice's first record
        std::size_t path_end;  // in paths(); the path starts where the previous one ends
        std::string_view text;
        std::optional<std::uint64_t> offset;
        ScalarKind kind;
        MatchShape shape;
    };

    explicit HoldingSink(std::size_t cap) : cap_(cap) {}

    // The record the walk is in now; its paths start ".[<record>]".
    void set_record(std::uint32_t record) {
        record_ = record;
        char digits[16];
        prefix_ = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, record).ptr - digits) + 3;
    }

    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                           std::optional<std::uint64_t> offset) override {
        if (full_) return true;
        paths_.append(path.substr(prefix_));
        held_.push_back({record_, paths_.size(), text, offset, kind, shape});
        full_ = held_.size() * sizeof(Held) + paths_.size() > cap_;
        return full_;
    }

    bool full() const { return full_; }
    const std::vector<Held>& held() const { return held_; }
    const std::string& paths() const { return paths_; }

private:
    std::size_t cap_;
    bool full_ = false;
    std::uint32_t record_ = 0;
    std::size_t prefix_ = 4;
    std::vector<Held> held_;
    std::string paths_;
};

// The most a slice holds (its reports and their paths) before it gives up.
// A rare or moderately frequent text holds far less; a query that reports
// nearly every value is bound by writing its output, not by the walk, so
// after the first slice that fills up the rest is walked in turn.
constexpr std::size_t kHeldBytes = std::size_t{1} << 20;

// Hands on the reports a slice held, numbered from `first`, through the walk
// in turn `v`; true when the walk would have stopped.
bool hand_on_reports(SearchVisitor& v, const HoldingSink& sink, std::uint32_t first, std::string& path) {
    std::size_t path_start = 0;
    for (const HoldingSink::Held& h : sink.held()) {
        path.assign(".[");
        char digits[16];
        const auto r = std::to_chars(digits, digits + sizeof digits, first + h.record);
        path.append(digits, r.ptr);
        path += ']';
        path.append(sink.paths(), path_start, h.path_end - path_start);
        path_start = h.path_end;
        if (v.pass_on(path, h.text, h.kind, h.shape, h.offset)) return true;
    }
    return false;
}

// What a query compiles to before any input is read, once per search: every
// walk of it (each slice) reads the same.
struct CompiledQuery {
    QueryMatchers matchers;
    std::optional<PathPattern> pattern;
    std::optional<WherePredicate> predicate;
};

platform::Result<CompiledQuery, SearchError> compile_query(const SearchQuery& query) {
    auto matchers = build_matchers(query);
    if (!matchers.ok()) return platform::Err{std::move(matchers).error()};
    CompiledQuery out{std::move(matchers).value(), std::nullopt, std::nullopt};
    if (query.path) {
        auto p = compile_path_pattern(*query.path);
        if (!p.ok()) return platform::Err{SearchError::path_pattern(std::move(p).error())};
        out.pattern = std::move(p).value();
    }
    if (query.where && !query.where->empty()) {
        auto pred = parse_where(*query.where);
        if (!pred.ok()) return platform::Err{SearchError::predicate(where_error_display(pred.error()))};
        out.predicate = std::move(pred).value();
    }
    return out;
}

}  // namespace

SearchError check_search_query(const SearchQuery& query) {
    auto compiled = compile_query(query);
    if (!compiled.ok()) return std::move(compiled).error();
    return SearchError::success(0);
}

SearchError run_in_memory_search(std::string_view document, const SearchQuery& query, MatchSink& sink) {
    // Slices of up to 8 MiB: a hand-off costs little beside a slice's walk.
    return run_in_memory_search_given(document, query, sink,
                                      platform::helper_thread_count(std::nullopt, platform::processor_count()),
                                      std::size_t{8} << 20);
}

SearchError run_in_memory_search_given(std::string_view document, const SearchQuery& query, MatchSink& sink,
                                       unsigned threads, std::size_t slice) {
    auto compiled = compile_query(query);
    if (!compiled.ok()) return std::move(compiled).error();
    CompiledQuery& plan = compiled.value();
    std::optional<WhereTracker> tracker;
    if (plan.predicate) tracker.emplace(*plan.predicate, 16);
    const PathPattern* pattern = plan.pattern ? &*plan.pattern : nullptr;
    SearchVisitor visitor(document, query, sink, plan.matchers, pattern, tracker ? &*tracker : nullptr);
    JsonCursor cursor = document_cursor(document);
    skip_whitespace(cursor);

    // The records of JSON Lines, or the elements of a document that is one
    // array, are the elements of the walk's top array, each reported with
    // its number first in its path. Their reports depend on the element alone,
    // unless a path pattern looks at the numbers or a limit ends the walk
    // early (a predicate's clauses start with a key, so its verdict on an
    // object rests on that object's members). Then they are walked in slices.
    // A slice's visitor starts with no state at all, and may: whatever the
    // walk keeps returns to the same at the end of each record (its
    // containers, the predicate's frames and a pending key match are closed
    // with it), and the repeated-path rule compares whole paths, which no
    // two records share.
    const bool in_slices = RoundPlan::worth_it(document.size(), threads, slice) && !pattern && !query.limit;
    bool array = false;
    std::uint64_t array_start = 0;
    std::string_view lead;
    if (!query.jsonl_in) {
        if (cursor.at_end()) return SearchError::parse(ParseError::unexpected_end());
        if (in_slices && cursor.peek() == '[') {
            lead = array_element_lead(document, cursor.pos);
            array = !lead.empty();
        }
        if (!array) {
            WalkOutcome outcome = walk_json_events(cursor, visitor);
            if (outcome.is_error()) return SearchError::parse(outcome.error());
            if (outcome.stopped()) return SearchError::success(visitor.match_count());
            skip_whitespace(cursor);
            if (!cursor.at_end()) return SearchError::parse(ParseError::multiple_top_level(cursor.pos));
            return SearchError::success(visitor.match_count());
        }
        array_start = cursor.pos;
        visitor.visitor_enter_array(array_start);
        ++cursor.pos;
    } else {
        // JSON Lines: the records are separated by whitespace only.
        if (cursor.at_end()) return SearchError::success(0);
        visitor.visitor_enter_array(0);
    }

    auto in_turn = [&](JsonCursor& cur, std::uint32_t& records, std::uint64_t until, ParseError& error) {
        return walk_records(
            cur,
            [&](JsonCursor& rc, std::uint32_t record) {
                visitor.visitor_array_element(record);
                return walk_json_events(rc, visitor);
            },
            records, until, array, error);
    };
    std::uint32_t records = 0;
    ParseError error;
    RecordsEnd how;
    if (!in_slices) {
        how = in_turn(cursor, records, document.size(), error);
    } else {
        // Matchers per thread, made once: threads that share a regex program contend for its lock.
        std::vector<QueryMatchers> slice_matchers(threads);
        for (QueryMatchers& m : slice_matchers) m = with_own_programs(plan.matchers);
        const RoundPlan rounds(document, array, lead, threads, slice);
        auto ahead = [&](HeldSlice<HoldingSink>& held_slice, unsigned i, JsonCursor& sc, std::uint64_t until) {
            HoldingSink& held = held_slice.held.emplace(std::min<std::size_t>(slice, kHeldBytes));
            std::optional<WhereTracker> slice_tracker;
            if (plan.predicate) slice_tracker.emplace(*plan.predicate, 16);
            SearchVisitor sv(document, query, held, slice_matchers[i], nullptr,
                             slice_tracker ? &*slice_tracker : nullptr);
            sv.visitor_enter_array(array_start);
            const RecordsEnd end = walk_records(
                sc,
                [&](JsonCursor& rc, std::uint32_t rec) {
                    held.set_record(rec);
                    sv.visitor_array_element(rec);
                    return walk_json_events(rc, sv);
                },
                held_slice.records, until, array, held_slice.error);
            held_slice.failed = held.full();
            return end;
        };
        std::string path;
        how = walk_record_rounds<HoldingSink>(
            rounds, cursor, records, error, in_turn, ahead, NoSettle{},
            [&](const HoldingSink& held, std::uint32_t first) { return hand_on_reports(visitor, held, first, path); });
    }
    if (how == RecordsEnd::Error) return SearchError::parse(error);
    // After a stop the sink gets no further call: closing the records'
    // containers here could only report an object cut off mid-way.
    if (how == RecordsEnd::Stopped) return SearchError::success(visitor.match_count());
    // The walk has read its last element: close the top array.
    if (!array) {
        visitor.visitor_exit_container(cursor.len);
        return SearchError::success(visitor.match_count());
    }
    ++cursor.pos;  // the "]"
    if (visitor.visitor_exit_container(cursor.pos)) return SearchError::success(visitor.match_count());
    skip_whitespace(cursor);
    if (!cursor.at_end()) return SearchError::parse(ParseError::multiple_top_level(cursor.pos));
    return SearchError::success(visitor.match_count());
}

}  // namespace rova_rudo
