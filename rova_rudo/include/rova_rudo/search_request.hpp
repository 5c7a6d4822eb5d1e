// The request that the front end hands to either search engine for one input,
// the outcome that comes back, and the sink through which the engines deliver
// every selected match while they search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rova_rudo/parser.hpp"

namespace rova_rudo {

// Only scalars of this kind are selected; None = no filter. There is no value
// for containers.
enum class TypeFilter : std::uint8_t { Null = 0, Boolean = 1, Number = 2, String = 3, None = 4 };

// What the front end will print. Path, Value and Assignment report keys and
// scalars as they are met; Object and Parent report enclosing containers.
enum class EmitMode : std::uint8_t { Path = 0, Value = 1, Assignment = 2, Object = 3, Parent = 4 };

// Kind of the text handed to the sink: true and false are both Boolean; key
// and container reports carry String.
enum class ScalarKind : std::uint8_t { Null = 0, Boolean = 1, Number = 2, String = 3 };

// The scalar kind a filter selects; nullopt for None (every kind passes).
// Spelled out rather than read off the enum numbers, which only happen to agree.
constexpr std::optional<ScalarKind> type_filter_kind(TypeFilter f) {
    switch (f) {
        case TypeFilter::Null: return ScalarKind::Null;
        case TypeFilter::Boolean: return ScalarKind::Boolean;
        case TypeFilter::Number: return ScalarKind::Number;
        case TypeFilter::String: return ScalarKind::String;
        case TypeFilter::None: break;
    }
    return std::nullopt;
}

// What a match is. Array exists for the sink's sake; no engine reports one.
enum class MatchShape : std::uint8_t { ObjectKey = 0, Scalar = 1, Object = 2, Array = 3 };

// One search request, the same for every input of a run.
struct SearchQuery {
    std::optional<std::uint64_t> limit;  // most matches handed to the sink per input
    std::optional<std::string> term;     // when present, key and value are ignored
    std::optional<std::string> key;      // empty counts as absent
    std::optional<std::string> value;    // empty counts as absent
    std::optional<std::string> path;     // path pattern as typed; empty is present (and invalid)
    std::optional<std::string> where;    // predicate text; empty counts as absent
    bool case_sensitive = false;
    bool regex = false;        // term, key and value are regular expressions
    bool keys_only = false;    // the term fills the key matcher only
    bool values_only = false;  // the term fills the value matcher only
    bool all_types = false;    // numbers, booleans and null may match, not only strings
    bool jsonl_in = false;     // the document is a sequence of JSON values
    TypeFilter type_filter = TypeFilter::None;
    EmitMode emit = EmitMode::Path;
};

enum class SearchErrorKind : std::uint64_t {
    Parse = 0,        // the document is not valid JSON (payload: ParseError)
    Message = 1,      // the input could not be opened, read or parsed (payload: text)
    Regex = 2,        // a search text is not a valid regular expression (payload: text)
    PathPattern = 3,  // the path pattern is invalid (payload: text)
    Predicate = 4,    // the predicate is invalid (payload: text)
    Success = 5,      // payload: number of matches handed to the sink
};

// The outcome of searching one input. Parse and Message concern that input
// alone; Regex, PathPattern and Predicate concern the request and are the
// same for every input.
class [[nodiscard]] SearchError {
public:
    static SearchError parse(ParseError e) { return SearchError(SearchErrorKind::Parse, e, {}, 0); }
    static SearchError message(std::string text) {
        return SearchError(SearchErrorKind::Message, {}, std::move(text), 0);
    }
    static SearchError regex(std::string text) { return SearchError(SearchErrorKind::Regex, {}, std::move(text), 0); }
    static SearchError path_pattern(std::string text) {
        return SearchError(SearchErrorKind::PathPattern, {}, std::move(text), 0);
    }
    static SearchError predicate(std::string text) {
        return SearchError(SearchErrorKind::Predicate, {}, std::move(text), 0);
    }
    static SearchError success(std::uint64_t matches) { return SearchError(SearchErrorKind::Success, {}, {}, matches); }

    SearchErrorKind kind() const { return kind_; }
    bool is_success() const { return kind_ == SearchErrorKind::Success; }
    // Regex, PathPattern and Predicate: a fault of the request, not of the input.
    bool is_request_error() const {
        return kind_ == SearchErrorKind::Regex || kind_ == SearchErrorKind::PathPattern ||
               kind_ == SearchErrorKind::Predicate;
    }
    // Kind Parse only.
    const ParseError& parse_error() const { return parse_; }
    // Kinds Message, Regex, PathPattern and Predicate.
    const std::string& text() const { return text_; }
    // Kind Success only.
    std::uint64_t matches() const { return matches_; }

    bool operator==(const SearchError&) const = default;

private:
    SearchError(SearchErrorKind k, ParseError p, std::string t, std::uint64_t n)
        : kind_(k), parse_(p), text_(std::move(t)), matches_(n) {}
    SearchErrorKind kind_;
    ParseError parse_;
    std::string text_;
    std::uint64_t matches_;
};

// One report per path: a key and then its value, or several hits at one
// path (a repeated key, several matches in one string), are one result. Both
// engines consult it so that such a repeat counts once towards the limit,
// and the result emitter so that it prints once. It holds the path of the
// last key or scalar report.
class ReportedPath {
public:
    // Whether `path` is the path of the last report.
    bool repeats(std::string_view path) const { return has_last_ && path == last_; }
    // `path` is the last report's now.
    void record(std::string_view path) {
        last_.assign(path);
        has_last_ = true;
    }
    // No report yet (a new input).
    void clear() {
        has_last_ = false;
        last_.clear();
    }
    void reserve(std::size_t n) { last_.reserve(n); }

private:
    std::string last_;
    bool has_last_ = false;
};

// Receives every selected match, in the order the engine decides them (a key
// or scalar when read, a container when it closes). All views are valid only
// during the call.
class MatchSink {
public:
    virtual ~MatchSink() = default;
    // path:   printed path of the match, e.g. ".users[0].email".
    // text:   raw bytes from the input: a key's or string's body between its
    //         quotes (escapes as written), a number's span, true/false/null,
    //         or a container's whole text from its opening to its closing bracket.
    // kind:   the scalar's kind; String for keys and containers.
    // offset: where the text match starts within `text` (for a value reported
    //         because its key matched: within the key); absent when no text
    //         match selected it, and for containers.
    // Returns true to stop searching this input. Every call counts as one match.
    virtual bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                                   std::optional<std::uint64_t> offset) = 0;
};

}  // namespace rova_rudo
