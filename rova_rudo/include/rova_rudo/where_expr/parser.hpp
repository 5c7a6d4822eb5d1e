// The predicate language of `search --where`: a boolean combination of
// clauses, each about the value at a path relative to the object being
// tested. The parser turns the text into a flat vector of clauses (in textual
// order, so the evaluator can keep per-clause state in parallel arrays) and a
// tree whose leaves refer to clauses by index.
//
//   expr    := and ( ("||" | "or") and )*
//   and     := unary ( ("&&" | "and") unary )*
//   unary   := ("!" | "not") unary | primary
//   primary := "(" expr ")" | clause
//   clause  := PATH [ "exists" | "missing" | OP VALUE | "| length" OP NUMBER
//                   | ("contains" | "startsWith" | "endsWith") STRING
//                   | "matches" /PATTERN/[ims] ]
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/result.hpp"
#include "rova_rudo/path_canonical.hpp"

namespace re2 {
class RE2;
}

namespace rova_rudo {

enum class WhereClauseKind : std::uint8_t {
    Exists = 0,
    Missing = 1,
    Truthy = 2,
    Compare = 3,
    StringOp = 4,
    Matches = 5,
    Length = 6,
};

// "==" 0, "!=" 1, ">" 2, ">=" 3, "<" 4, "<=" 5; None never reaches a clause.
enum class ComparisonOp : std::uint8_t { Eq = 0, Ne = 1, Gt = 2, Ge = 3, Lt = 4, Le = 5, None = 6 };

enum class StringOp : std::uint8_t { Contains = 0, StartsWith = 1, EndsWith = 2 };

struct WhereNull {
    bool operator==(const WhereNull&) const = default;
};

// A right-hand side: Number, Bool, Null or String (the bytes between the
// quotes, taken literally: there are no escapes).
using WhereLiteral = std::variant<double, bool, WhereNull, std::string>;

struct WhereClause {
    std::vector<PathSegment> path;  // at least one segment; the first is a key
    WhereClauseKind kind = WhereClauseKind::Truthy;
    std::uint8_t op = 0;  // ComparisonOp for Compare and Length, StringOp for StringOp, else 0

    // By kind: Compare → literal; StringOp → text; Matches → regex;
    // Length → number; the others → nothing.
    WhereLiteral literal;
    std::string text;
    std::shared_ptr<const re2::RE2> regex;
    double number = 0;
};

// The tree, stored flat: every node's children precede it, and the root is
// the last node. A flat store keeps destruction and evaluation free of
// recursion however long an and/or chain is.
struct WhereNode {
    enum class Tag : std::uint8_t { Leaf = 0, And = 1, Or = 2, Not = 3 };
    Tag tag = Tag::Leaf;
    std::uint32_t a = 0;  // Leaf: clause index; And/Or/Not: left (or only) child node
    std::uint32_t b = 0;  // And/Or: right child node
};

struct WhereExpr {
    std::vector<WhereNode> nodes;
    std::uint32_t root = 0;
};

// Codes 0 to 20 are the language's own; 21 guards the parser's stack.
enum class WhereErrorCode : std::uint8_t {
    EmptyExpression = 0,
    ExpectedDot = 1,
    ExpectedFieldName = 2,
    ExpectedOperator = 3,
    ExpectedRhs = 4,
    ExpectedString = 5,
    ExpectedRegex = 6,
    ExpectedLength = 7,  // payload: the word found (may be empty)
    ExpectedComparison = 8,
    ExpectedNumber = 9,
    ExpectedExpression = 10,
    UnknownKeyword = 11,  // payload: the word
    InvalidRhs = 12,      // payload: the offending text
    InvalidIndex = 13,    // payload: the offending text
    UnclosedString = 14,
    UnclosedBracket = 15,
    UnclosedParen = 16,
    UnclosedRegex = 17,
    InvalidRegex = 18,      // payload: the reason
    UnknownRegexFlag = 19,  // payload: the letter
    TrailingInput = 20,     // payload: the rest of the text
    TooDeep = 21,
};

struct WhereParseError {
    WhereErrorCode code = WhereErrorCode::EmptyExpression;
    std::string payload;
    bool operator==(const WhereParseError&) const = default;
};

// The message, e.g. "unknown clause keyword 'foo'".
std::string where_error_display(const WhereParseError& e);

// More parentheses or negations nested than this fail with TooDeep, so that
// neither the parser nor anything walking its result can exhaust the stack.
inline constexpr std::uint32_t kWhereMaxNesting = 256;

// The state of one parse: the clauses are appended in textual order.
struct WhereParser {
    std::string_view text;
    std::size_t position = 0;
    std::vector<WhereClause> clauses;
    WhereExpr expr;           // nodes built so far
    std::uint32_t depth = 0;  // open parentheses and negations
};

// Parses the or-expression that starts at `p.position` (on its first
// non-whitespace byte) and returns the index of its node in `p.expr.nodes`;
// stops at the first byte that cannot continue it, without checking that the
// whole text was used.
platform::Result<std::uint32_t, WhereParseError> where_parse_or(WhereParser& p);

// A whole predicate: the tree and its clauses.
struct WherePredicate {
    WhereExpr expr;
    std::vector<WhereClause> clauses;
};

// Parses a whole `--where` text: only whitespace fails with EmptyExpression,
// and bytes left after the expression fail with TrailingInput. (An empty text
// means no predicate at all; callers check for it before calling.)
platform::Result<WherePredicate, WhereParseError> parse_where(std::string_view text);

// Parses a decimal 64-bit float the way the language and its evaluator read
// numbers: optional sign, digits with an optional fraction and exponent, the
// whole text consumed; values beyond the range become infinities.
[[nodiscard]] std::optional<double> parse_decimal_f64(std::string_view text);

}  // namespace rova_rudo
