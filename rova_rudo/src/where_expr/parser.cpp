#include "rova_rudo/where_expr/parser.hpp"

#include <re2/re2.h>

#include <charconv>
#include <cstdlib>
#include <string>

#include "platform/utf8.hpp"
#include "rova_rudo/regex.hpp"

namespace rova_rudo {

namespace {

using ParseResult = platform::Result<std::uint32_t, WhereParseError>;

platform::Err<WhereParseError> fail(WhereErrorCode code, std::string payload = {}) {
    return platform::Err{WhereParseError{code, std::move(payload)}};
}

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) { return is_alpha(c) || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }
bool is_field_char(char c) { return is_ident_char(c) || c == '-'; }
bool is_number_char(char c) { return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'; }

struct Lexer {
    WhereParser& p;

    bool at_end() const { return p.position >= p.text.size(); }
    char peek(std::size_t ahead = 0) const {
        std::size_t i = p.position + ahead;
        return i < p.text.size() ? p.text[i] : '\0';
    }
    bool has(std::size_t ahead) const { return p.position + ahead < p.text.size(); }
    void skip_ws() {
        while (!at_end() && is_ws(p.text[p.position])) ++p.position;
    }
    std::string_view rest() const { return p.text.substr(p.position); }
    bool starts_with(std::string_view s) const { return rest().substr(0, s.size()) == s; }

    // The whole identifier at the position, without consuming it ("" when none).
    std::string_view peek_identifier() const {
        if (at_end() || !is_ident_start(p.text[p.position])) return {};
        std::size_t e = p.position + 1;
        while (e < p.text.size() && is_ident_char(p.text[e])) ++e;
        return p.text.substr(p.position, e - p.position);
    }
    std::string_view read_identifier() {
        std::string_view id = peek_identifier();
        p.position += id.size();
        return id;
    }
    std::string_view read_field_name() {
        std::size_t s = p.position;
        while (!at_end() && is_field_char(p.text[p.position])) ++p.position;
        return p.text.substr(s, p.position - s);
    }

    ComparisonOp read_comparison_op() {
        char c = peek();
        if ((c == '=' || c == '!') && has(1) && peek(1) == '=') {
            p.position += 2;
            return c == '=' ? ComparisonOp::Eq : ComparisonOp::Ne;
        }
        if (c == '>' || c == '<') {
            bool eq = has(1) && peek(1) == '=';
            p.position += eq ? 2 : 1;
            if (c == '>') return eq ? ComparisonOp::Ge : ComparisonOp::Gt;
            return eq ? ComparisonOp::Le : ComparisonOp::Lt;
        }
        return ComparisonOp::None;
    }

    platform::Result<std::string, WhereParseError> read_string_literal() {
        skip_ws();
        char q = peek();
        if (at_end() || (q != '"' && q != '\'')) return fail(WhereErrorCode::ExpectedString);
        std::size_t body = p.position + 1;
        std::size_t close = p.text.find(q, body);
        if (close == std::string_view::npos) return fail(WhereErrorCode::UnclosedString);
        p.position = close + 1;
        return std::string(p.text.substr(body, close - body));
    }

    platform::Result<double, WhereParseError> read_number_literal() {
        std::size_t s = p.position;
        if (peek() == '-' && !at_end()) ++p.position;
        std::size_t run = p.position;
        bool digit = false;
        while (!at_end() && is_number_char(p.text[p.position])) {
            digit = digit || is_digit(p.text[p.position]);
            ++p.position;
        }
        if (!digit) {
            p.position = run;
            return fail(WhereErrorCode::ExpectedNumber);
        }
        std::string_view t = p.text.substr(s, p.position - s);
        auto v = parse_decimal_f64(t);
        if (!v) return fail(WhereErrorCode::InvalidRhs, std::string(t));
        return *v;
    }

    platform::Result<std::shared_ptr<const re2::RE2>, WhereParseError> read_regex_literal() {
        if (peek() != '/' || at_end()) return fail(WhereErrorCode::ExpectedRegex);
        ++p.position;
        std::string body;
        for (;;) {
            if (at_end()) return fail(WhereErrorCode::UnclosedRegex);
            char c = p.text[p.position];
            if (c == '\n' || c == '\r') return fail(WhereErrorCode::UnclosedRegex);
            if (c == '/') {
                ++p.position;
                break;
            }
            if (c == '\\' && has(1)) {
                char n = p.text[p.position + 1];
                if (n != '/') body += '\\';
                body += n;
                p.position += 2;
                continue;
            }
            // A backslash at the very end is an ordinary byte; the end of the
            // text then leaves the literal unclosed.
            body += c;
            ++p.position;
        }
        bool fold = false, multi = false, dot_nl = false;
        while (!at_end() && is_alpha(p.text[p.position])) {
            char f = p.text[p.position];
            if (f == 'i') fold = true;
            else if (f == 'm') multi = true;
            else if (f == 's') dot_nl = true;
            else return fail(WhereErrorCode::UnknownRegexFlag, std::string(1, f));
            ++p.position;
        }
        if (!platform::is_valid_utf8(body)) return fail(WhereErrorCode::InvalidRegex, "regex body is not valid UTF-8");
        return compile_body(body, fold, multi, dot_nl);
    }

    static platform::Result<std::shared_ptr<const re2::RE2>, WhereParseError> compile_body(const std::string& body,
                                                                                           bool fold, bool multi,
                                                                                           bool dot_nl) {
        // The same translation and budget as a search text's expression: a
        // pattern that `--regex` accepts is accepted here too.
        auto re = rova_rudo::shared_regex(
            body, RegexOptions{.case_insensitive = fold, .multi_line = multi, .dot_nl = dot_nl});
        if (!re) return fail(WhereErrorCode::InvalidRegex, std::move(re).error());
        return std::move(re->re);
    }
};

std::uint32_t push_node(WhereParser& p, WhereNode::Tag tag, std::uint32_t a, std::uint32_t b = 0) {
    p.expr.nodes.push_back({tag, a, b});
    return static_cast<std::uint32_t>(p.expr.nodes.size() - 1);
}

std::uint32_t where_push_clause(WhereParser& p, WhereClause c) {
    p.clauses.push_back(std::move(c));
    std::uint32_t idx = static_cast<std::uint32_t>(p.clauses.size() - 1);
    return push_node(p, WhereNode::Tag::Leaf, idx);
}

bool is_connector(const Lexer& lx) {
    if (lx.starts_with("||") || lx.starts_with("&&")) return true;
    std::string_view id = lx.peek_identifier();
    return id == "or" || id == "and";
}

// After the leading ".": the segments of a clause path.
platform::Result<std::vector<PathSegment>, WhereParseError> read_clause_path(Lexer& lx) {
    std::vector<PathSegment> path;
    std::string_view first = lx.read_field_name();
    if (first.empty()) return fail(WhereErrorCode::ExpectedFieldName);
    path.push_back(PathSegment::key(std::string(first)));
    for (;;) {
        char c = lx.peek();
        if (lx.at_end()) break;
        if (c == '[') {
            ++lx.p.position;
            std::size_t s = lx.p.position;
            while (!lx.at_end() && is_digit(lx.p.text[lx.p.position])) ++lx.p.position;
            std::string_view digits = lx.p.text.substr(s, lx.p.position - s);
            if (digits.empty()) return fail(WhereErrorCode::InvalidIndex, std::string(lx.p.text.substr(s)));
            std::uint32_t idx = 0;
            auto r = std::from_chars(digits.data(), digits.data() + digits.size(), idx);
            if (r.ec != std::errc() || r.ptr != digits.data() + digits.size())
                return fail(WhereErrorCode::InvalidIndex, std::string(digits));
            if (lx.at_end() || lx.p.text[lx.p.position] != ']') return fail(WhereErrorCode::UnclosedBracket);
            ++lx.p.position;
            path.push_back(PathSegment::index(idx));
        } else if (c == '.' && lx.has(1) && is_ident_start(lx.peek(1))) {
            ++lx.p.position;
            path.push_back(PathSegment::key(std::string(lx.read_field_name())));
        } else {
            break;
        }
    }
    return path;
}

// After the path: what the clause says about it.
ParseResult parse_clause(WhereParser& p, Lexer& lx) {
    auto path = read_clause_path(lx);
    if (!path.ok()) return platform::Err{std::move(path).error()};
    WhereClause cl;
    cl.path = std::move(path).value();

    lx.skip_ws();
    if (lx.at_end() || lx.peek() == ')' || is_connector(lx)) {
        cl.kind = WhereClauseKind::Truthy;
        return where_push_clause(p, std::move(cl));
    }
    if (lx.peek() == '|') {
        ++p.position;
        lx.skip_ws();
        std::string_view word = lx.read_identifier();
        if (word != "length") return fail(WhereErrorCode::ExpectedLength, std::string(word));
        lx.skip_ws();
        ComparisonOp op = lx.read_comparison_op();
        if (op == ComparisonOp::None) return fail(WhereErrorCode::ExpectedComparison);
        lx.skip_ws();
        auto n = lx.read_number_literal();
        if (!n.ok()) return platform::Err{std::move(n).error()};
        cl.kind = WhereClauseKind::Length;
        cl.op = static_cast<std::uint8_t>(op);
        cl.number = n.value();
        return where_push_clause(p, std::move(cl));
    }
    ComparisonOp op = lx.read_comparison_op();
    if (op != ComparisonOp::None) {
        lx.skip_ws();
        if (lx.at_end()) return fail(WhereErrorCode::ExpectedRhs);
        char c = lx.peek();
        cl.kind = WhereClauseKind::Compare;
        cl.op = static_cast<std::uint8_t>(op);
        if (c == '"' || c == '\'') {
            auto s = lx.read_string_literal();
            if (!s.ok()) return platform::Err{std::move(s).error()};
            cl.literal = std::move(s).value();
        } else if (c == 't' || c == 'f' || c == 'n') {
            std::string_view rest = lx.rest();
            std::string_view word = lx.peek_identifier();
            if (word == "true" || word == "false") cl.literal = (word == "true");
            else if (word == "null") cl.literal = WhereNull{};
            else return fail(WhereErrorCode::InvalidRhs, std::string(rest));
            p.position += word.size();
        } else if (c == '-' || is_digit(c)) {
            auto n = lx.read_number_literal();
            if (!n.ok()) return platform::Err{std::move(n).error()};
            cl.literal = n.value();
        } else {
            return fail(WhereErrorCode::InvalidRhs, std::string(lx.rest()));
        }
        return where_push_clause(p, std::move(cl));
    }
    std::string_view word = lx.read_identifier();
    if (word.empty()) return fail(WhereErrorCode::ExpectedOperator);
    if (word == "exists" || word == "missing") {
        cl.kind = word == "exists" ? WhereClauseKind::Exists : WhereClauseKind::Missing;
    } else if (word == "contains" || word == "startsWith" || word == "endsWith") {
        cl.kind = WhereClauseKind::StringOp;
        cl.op = static_cast<std::uint8_t>(word == "contains"     ? StringOp::Contains
                                          : word == "startsWith" ? StringOp::StartsWith
                                                                 : StringOp::EndsWith);
        auto s = lx.read_string_literal();
        if (!s.ok()) return platform::Err{std::move(s).error()};
        cl.text = std::move(s).value();
    } else if (word == "matches") {
        lx.skip_ws();
        auto re = lx.read_regex_literal();
        if (!re.ok()) return platform::Err{std::move(re).error()};
        cl.kind = WhereClauseKind::Matches;
        cl.regex = std::move(re).value();
    } else {
        return fail(WhereErrorCode::UnknownKeyword, std::string(word));
    }
    return where_push_clause(p, std::move(cl));
}

ParseResult where_parse_unary_or_clause(WhereParser& p);

ParseResult where_parse_and(WhereParser& p) {
    Lexer lx{p};
    auto left = where_parse_unary_or_clause(p);
    if (!left.ok()) return left;
    std::uint32_t acc = left.value();
    for (;;) {
        lx.skip_ws();
        std::size_t len = lx.starts_with("&&") ? 2 : lx.peek_identifier() == "and" ? 3 : 0;
        if (len == 0) return acc;
        p.position += len;
        auto right = where_parse_unary_or_clause(p);
        if (!right.ok()) return right;
        acc = push_node(p, WhereNode::Tag::And, acc, right.value());
    }
}

// Nesting (parentheses, negations) recurses; a bound on it keeps an
// adversarial argument from exhausting the stack.
struct DepthGuard {
    WhereParser& p;
    bool ok;
    explicit DepthGuard(WhereParser& pp) : p(pp), ok(++pp.depth <= kWhereMaxNesting) {}
    ~DepthGuard() { --p.depth; }
};

ParseResult where_parse_unary_or_clause(WhereParser& p) {
    Lexer lx{p};
    lx.skip_ws();
    std::size_t neg = 0;
    if (lx.peek() == '!' && !lx.at_end() && !(lx.has(1) && lx.peek(1) == '=')) neg = 1;
    else if (lx.peek_identifier() == "not") neg = 3;
    if (neg != 0) {
        DepthGuard g(p);
        if (!g.ok) return fail(WhereErrorCode::TooDeep);
        p.position += neg;
        auto inner = where_parse_unary_or_clause(p);
        if (!inner.ok()) return inner;
        return push_node(p, WhereNode::Tag::Not, inner.value());
    }
    if (lx.at_end()) return fail(WhereErrorCode::ExpectedDot);
    char c = lx.peek();
    if (c == '(') {
        DepthGuard g(p);
        if (!g.ok) return fail(WhereErrorCode::TooDeep);
        ++p.position;
        lx.skip_ws();
        if (!lx.at_end() && lx.peek() == ')') return fail(WhereErrorCode::ExpectedExpression);
        auto inner = where_parse_or(p);
        if (!inner.ok()) return inner;
        lx.skip_ws();
        if (lx.at_end() || lx.peek() != ')') return fail(WhereErrorCode::UnclosedParen);
        ++p.position;
        return inner;
    }
    if (c == '.') {
        ++p.position;
        return parse_clause(p, lx);
    }
    return fail(WhereErrorCode::ExpectedDot);
}

}  // namespace

ParseResult where_parse_or(WhereParser& p) {
    Lexer lx{p};
    auto left = where_parse_and(p);
    if (!left.ok()) return left;
    std::uint32_t acc = left.value();
    for (;;) {
        lx.skip_ws();
        std::size_t len = lx.starts_with("||") || lx.peek_identifier() == "or" ? 2 : 0;
        if (len == 0) return acc;
        p.position += len;
        auto right = where_parse_and(p);
        if (!right.ok()) return right;
        acc = push_node(p, WhereNode::Tag::Or, acc, right.value());
    }
}

platform::Result<WherePredicate, WhereParseError> parse_where(std::string_view text) {
    WhereParser p;
    p.text = text;
    Lexer lx{p};
    lx.skip_ws();
    if (lx.at_end()) return fail(WhereErrorCode::EmptyExpression);
    auto root = where_parse_or(p);
    if (!root.ok()) return platform::Err{std::move(root).error()};
    lx.skip_ws();
    if (!lx.at_end()) return fail(WhereErrorCode::TrailingInput, std::string(lx.rest()));
    WherePredicate out;
    out.expr = std::move(p.expr);
    out.expr.root = root.value();
    out.clauses = std::move(p.clauses);
    return out;
}

std::string where_error_display(const WhereParseError& e) {
    auto quoted = [&](const char* head, const char* tail) { return std::string(head) + e.payload + tail; };
    switch (e.code) {
        case WhereErrorCode::EmptyExpression: return "empty expression";
        case WhereErrorCode::ExpectedDot: return "expected '.' before field name";
        case WhereErrorCode::ExpectedFieldName: return "expected field name";
        case WhereErrorCode::ExpectedOperator: return "expected operator";
        case WhereErrorCode::ExpectedRhs: return "expected right-hand-side value";
        case WhereErrorCode::ExpectedString: return "expected string literal";
        case WhereErrorCode::ExpectedRegex: return "expected regex literal '/.../'";
        case WhereErrorCode::ExpectedLength: return quoted("expected 'length' after '|', got '", "'");
        case WhereErrorCode::ExpectedComparison: return "expected comparison operator (==, !=, >, >=, <, <=)";
        case WhereErrorCode::ExpectedNumber: return "expected number";
        case WhereErrorCode::ExpectedExpression: return "expected expression";
        case WhereErrorCode::UnknownKeyword: return quoted("unknown clause keyword '", "'");
        case WhereErrorCode::InvalidRhs: return quoted("invalid right-hand side '", "'");
        case WhereErrorCode::InvalidIndex: return quoted("invalid array index '", "'");
        case WhereErrorCode::UnclosedString: return "unclosed string";
        case WhereErrorCode::UnclosedBracket: return "unclosed '[' in path";
        case WhereErrorCode::UnclosedParen: return "unclosed '(' in expression";
        case WhereErrorCode::UnclosedRegex: return "unclosed regex literal";
        case WhereErrorCode::InvalidRegex: return quoted("invalid regex: ", "");
        case WhereErrorCode::UnknownRegexFlag: return quoted("unknown regex flag '", "'");
        case WhereErrorCode::TrailingInput: return quoted("unexpected trailing input '", "'");
        case WhereErrorCode::TooDeep:
            return "expression nested too deeply (more than " + std::to_string(kWhereMaxNesting) +
                   " parentheses or negations)";
    }
    return {};
}

std::optional<double> parse_decimal_f64(std::string_view t) {
    // Grammar check first: sign? (digits | digits "." digits? | "." digits)
    // ([eE] sign? digits)?, the whole text.
    std::size_t i = 0, n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t mant = 0;
    while (i < n && is_digit(t[i])) ++i, ++mant;
    if (i < n && t[i] == '.') {
        ++i;
        while (i < n && is_digit(t[i])) ++i, ++mant;
    }
    if (mant == 0) return std::nullopt;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < n && is_digit(t[i])) ++i, ++exp;
        if (exp == 0) return std::nullopt;
    }
    if (i != n) return std::nullopt;

    // from_chars takes no leading "+".
    std::string_view body = t[0] == '+' ? t.substr(1) : t;
    double v = 0;
    auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == body.data() + body.size()) return v;
    // Out of range: from_chars reports it without a value, while strtod gives
    // the nearest representable one (an infinity, or zero/subnormal).
    std::string copy(body);
    return std::strtod(copy.c_str(), nullptr);
}

}  // namespace rova_rudo
