#include "rova_rudo/where_expr/parser.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <cmath>
#include <string>
#include <vector>

namespace rova_rudo {
namespace {

// A compact rendering of a parsed predicate: the tree with clause leaves
// spelled out, e.g. "Or(a truthy, And(b truthy, c truthy))".
std::string render_path(const WhereClause& c) {
    std::string s;
    for (const auto& seg : c.path)
        s += seg.is_key() ? "." + seg.key_text() : "[" + std::to_string(seg.index_value()) + "]";
    return s;
}

std::string render_literal(const WhereLiteral& l) {
    if (auto d = std::get_if<double>(&l)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", *d);
        return buf;
    }
    if (auto b = std::get_if<bool>(&l)) return *b ? "true" : "false";
    if (std::holds_alternative<WhereNull>(l)) return "null";
    return "'" + std::get<std::string>(l) + "'";
}

std::string render_clause(const WhereClause& c) {
    static const char* ops[] = {"==", "!=", ">", ">=", "<", "<="};
    static const char* sops[] = {"contains", "startsWith", "endsWith"};
    std::string p = render_path(c);
    switch (c.kind) {
        case WhereClauseKind::Exists: return p + " exists";
        case WhereClauseKind::Missing: return p + " missing";
        case WhereClauseKind::Truthy: return p;
        case WhereClauseKind::Compare: return p + " " + ops[c.op] + " " + render_literal(c.literal);
        case WhereClauseKind::StringOp: return p + " " + sops[c.op] + " '" + c.text + "'";
        case WhereClauseKind::Matches: return p + " matches /" + c.regex->pattern() + "/";
        case WhereClauseKind::Length:
            return p + " | length " + ops[c.op] + " " + render_literal(WhereLiteral{c.number});
    }
    return "?";
}

std::string render(const WherePredicate& pr) {
    // Iterative post-order rendering (children precede parents).
    std::vector<std::string> out(pr.expr.nodes.size());
    for (std::size_t i = 0; i < pr.expr.nodes.size(); ++i) {
        const WhereNode& n = pr.expr.nodes[i];
        switch (n.tag) {
            case WhereNode::Tag::Leaf: out[i] = render_clause(pr.clauses[n.a]); break;
            case WhereNode::Tag::And: out[i] = "And(" + out[n.a] + ", " + out[n.b] + ")"; break;
            case WhereNode::Tag::Or: out[i] = "Or(" + out[n.a] + ", " + out[n.b] + ")"; break;
            case WhereNode::Tag::Not: out[i] = "Not(" + out[n.a] + ")"; break;
        }
    }
    return out[pr.expr.root];
}

std::string parse_text(std::string_view text) {
    auto r = parse_where(text);
    if (!r.ok())
        return "error " + std::to_string(static_cast<int>(r.error().code)) + ": " + where_error_display(r.error());
    return render(r.value());
}

struct Case {
    std::string text;
    std::string expected;
};

TEST(WhereParser, GrammarAndClauses) {
    const Case cases[] = {
        {".a", ".a"},
        {"  .a  ", ".a"},
        {".a && .b", "And(.a, .b)"},
        {"(.a)", ".a"},
        {".a or .b", "Or(.a, .b)"},
        {".a || .b && .c", "Or(.a, And(.b, .c))"},
        {".a || .b || .c", "Or(Or(.a, .b), .c)"},
        {".a and .b and .c", "And(And(.a, .b), .c)"},
        {"!.a && .b", "And(Not(.a), .b)"},
        {"!!.a", "Not(Not(.a))"},
        {"not not .a", "Not(Not(.a))"},
        {"not(.a)", "Not(.a)"},
        {"(.a || .b) && .c", "And(Or(.a, .b), .c)"},
        {".android && .notes", "And(.android, .notes)"},
        {".a != 1", ".a != 1"},
        {".a.b[2].c == \"x\"", ".a.b[2].c == 'x'"},
        {".a[007] == 1", ".a[7] == 1"},
        {".foo-bar exists", ".foo-bar exists"},
        {".0 missing", ".0 missing"},
        {".name == 'O\"Brien'", ".name == 'O\"Brien'"},
        {".s == ''", ".s == ''"},
        {".n > -1.5e3", ".n > -1500"},
        {".n>=2", ".n >= 2"},
        {".n <= 2 && .n < 3", "And(.n <= 2, .n < 3)"},
        {".b == true", ".b == true"},
        {".b != false", ".b != false"},
        {".x == null", ".x == null"},
        {".n > 1e999", ".n > inf"},
        {".n < -1e999", ".n < -inf"},
        {".s contains 'a\\b'", ".s contains 'a\\b'"},
        {".s startsWith\"ab\"", ".s startsWith 'ab'"},
        {".s endsWith 'z'", ".s endsWith 'z'"},
        {".s matches /a\\/b/i", ".s matches /a/b/"},
        {".s matches /a\\.b/", ".s matches /a\\.b/"},
        {".xs | length >= 2", ".xs | length >= 2"},
        {".xs|length==0", ".xs | length == 0"},
        {".a exists||.b missing", "Or(.a exists, .b missing)"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_text(c.text), c.expected) << c.text;
}

TEST(WhereParser, ErrorsWithTheirMessages) {
    const Case cases[] = {
        {"   ", "error 0: empty expression"},
        {".a and", "error 1: expected '.' before field name"},
        {"a == 1", "error 1: expected '.' before field name"},
        {"!= 1", "error 1: expected '.' before field name"},
        {".[0] == 1", "error 2: expected field name"},
        {". == 1", "error 2: expected field name"},
        {".a = 1", "error 3: expected operator"},
        {".a.0", "error 3: expected operator"},
        {".a ! 1", "error 3: expected operator"},
        {".a ==", "error 4: expected right-hand-side value"},
        {".a ==   ", "error 4: expected right-hand-side value"},
        {".s contains x", "error 5: expected string literal"},
        {".s matches x", "error 6: expected regex literal '/.../'"},
        {".xs | len > 2", "error 7: expected 'length' after '|', got 'len'"},
        {".xs | 2", "error 7: expected 'length' after '|', got ''"},
        {".xs | length 2", "error 8: expected comparison operator (==, !=, >, >=, <, <=)"},
        {".xs | length > x", "error 9: expected number"},
        {".n > -x", "error 9: expected number"},
        {"()", "error 10: expected expression"},
        {"( )", "error 10: expected expression"},
        {".a foo", "error 11: unknown clause keyword 'foo'"},
        {".a Exists", "error 11: unknown clause keyword 'Exists'"},
        {".n > 1e", "error 12: invalid right-hand side '1e'"},
        {".n > 1.2.3 && .b", "error 12: invalid right-hand side '1.2.3'"},
        {".n == 1-2", "error 12: invalid right-hand side '1-2'"},
        {".b == TRUE", "error 12: invalid right-hand side 'TRUE'"},
        {".b == truex || .c", "error 12: invalid right-hand side 'truex || .c'"},
        {".b == @x", "error 12: invalid right-hand side '@x'"},
        {".a[x] == 1", "error 13: invalid array index 'x] == 1'"},
        {".a[] == 1", "error 13: invalid array index '] == 1'"},
        {".a[99999999999]", "error 13: invalid array index '99999999999'"},
        {".s == 'abc", "error 14: unclosed string"},
        {".s contains \"", "error 14: unclosed string"},
        {".a[1 == 2", "error 15: unclosed '[' in path"},
        {"(.a", "error 16: unclosed '(' in expression"},
        {"(.a .b)", "error 3: expected operator"},
        {".s matches /ab", "error 17: unclosed regex literal"},
        {".s matches /a\nb/", "error 17: unclosed regex literal"},
        {".s matches /ab\\", "error 17: unclosed regex literal"},
        {".s matches /(/", "error 18: invalid regex: missing ): ("},
        {".s matches /\xff/", "error 18: invalid regex: regex body is not valid UTF-8"},
        {".s matches /ab/x", "error 19: unknown regex flag 'x'"},
        {".s matches /ab/i2", "error 20: unexpected trailing input '2'"},
        {".a exists .b exists", "error 20: unexpected trailing input '.b exists'"},
        {".a)", "error 20: unexpected trailing input ')'"},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_text(c.text), c.expected) << c.text;
}

TEST(WhereParser, RegexFlagsReachTheCompiledExpression) {
    auto r = parse_where(".s matches /^b.c$/ims");
    ASSERT_TRUE(r.ok());
    const re2::RE2& re = *r.value().clauses[0].regex;
    EXPECT_TRUE(re2::RE2::PartialMatch("a\nB\nC", re));  // i, m and s together
    auto plain = parse_where(".s matches /^b.c$/");
    ASSERT_TRUE(plain.ok());
    EXPECT_FALSE(re2::RE2::PartialMatch("a\nB\nC", *plain.value().clauses[0].regex));
    EXPECT_FALSE(re2::RE2::PartialMatch("b\nc", *plain.value().clauses[0].regex));
    EXPECT_TRUE(re2::RE2::PartialMatch("bxc", *plain.value().clauses[0].regex));
}

TEST(WhereParser, RegexSizeLimitIsTheSearchTextsLimit) {
    // Within the budget a search text's expression gets, though beyond the
    // regex library's own default.
    EXPECT_TRUE(parse_where(".s matches /\\pL{500}/").ok());
    EXPECT_TRUE(parse_where(".s matches /\\pL{500}/m").ok());
    EXPECT_EQ(parse_text(".s matches /\\pL{1000}/"),
              "error 18: invalid regex: Compiled regex exceeds size limit of 10485760 bytes.");
    EXPECT_EQ(parse_text(".s matches /\\pL{1000}/m"),
              "error 18: invalid regex: Compiled regex exceeds size limit of 10485760 bytes.");
}

TEST(WhereParser, ClauseIndicesFollowTheText) {
    auto r = parse_where("(.c || !.a) && .b exists");
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().clauses.size(), 3u);
    EXPECT_EQ(render_clause(r.value().clauses[0]), ".c");
    EXPECT_EQ(render_clause(r.value().clauses[1]), ".a");
    EXPECT_EQ(render_clause(r.value().clauses[2]), ".b exists");
}

TEST(WhereParser, NestingIsBounded) {
    auto nested = [](std::size_t n, const char* open, const char* close) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += open;
        s += ".a";
        for (std::size_t i = 0; i < n && *close; ++i) s += close;
        return s;
    };
    EXPECT_EQ(parse_text(nested(256, "(", ")")), ".a");
    EXPECT_EQ(parse_text(nested(257, "(", ")")),
              "error 21: expression nested too deeply (more than 256 parentheses or negations)");
    EXPECT_TRUE(parse_where(nested(128, "!(", ")")).ok());
    EXPECT_FALSE(parse_where(nested(129, "!(", ")")).ok());
    // Far beyond the bound, the parse still fails cleanly instead of
    // exhausting the stack.
    EXPECT_EQ(parse_where(nested(1000000, "!", "")).error().code, WhereErrorCode::TooDeep);
    EXPECT_EQ(parse_where(nested(1000000, "(", "")).error().code, WhereErrorCode::TooDeep);
    // Chains of connectors are loops, not nesting: any length parses.
    std::string chain = ".a";
    for (int i = 0; i < 100000; ++i) chain += " || .a";
    auto r = parse_where(chain);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().clauses.size(), 100001u);
}

TEST(ParseDecimal, AcceptsTheDecimalGrammarOnly) {
    struct N {
        const char* text;
        std::optional<double> value;
    };
    const N cases[] = {
        {"0", 0.0},   {"-0", -0.0},    {"1e2", 100.0},      {"1E+2", 100.0}, {"1.", 1.0}, {".5", 0.5}, {"+3", 3.0},
        {"007", 7.0}, {"1e-400", 0.0}, {"-1.5e3", -1500.0}, {"", {}},        {"-", {}},   {".", {}},   {"1e", {}},
        {"1e+", {}},  {"1-2", {}},     {"1.2.3", {}},       {"+-1", {}},     {"--1", {}}, {"e5", {}},
    };
    for (const auto& c : cases) {
        auto v = parse_decimal_f64(c.text);
        ASSERT_EQ(v.has_value(), c.value.has_value()) << c.text;
        if (v) {
            EXPECT_EQ(*v, *c.value) << c.text;
        }
    }
    EXPECT_EQ(parse_decimal_f64("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(parse_decimal_f64("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::signbit(*parse_decimal_f64("-0")));
}

}  // namespace
}  // namespace rova_rudo
