#include "rova_rudo/search.hpp"

#include <gtest/gtest.h>

#include "record_documents.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace rova_rudo {
namespace {

// Records every match as one line:
//   "K <path> <key> @<off>"            an object key
//   "S<kind> <path> <token>[ @<off>]"  a scalar (kind 0 null .. 3 string)
//   "O <path> <text>"                  an object
struct RecordingSink : MatchSink {
    std::vector<std::string> got;
    std::size_t stop_after = 0;  // answer stop on this call (1-based); 0 = never

    bool emit_search_match(std::string_view path, std::string_view text, ScalarKind kind, MatchShape shape,
                           std::optional<std::uint64_t> offset) override {
        std::string line;
        switch (shape) {
            case MatchShape::ObjectKey: line = "K "; break;
            case MatchShape::Scalar: line = "S" + std::to_string(static_cast<int>(kind)) + " "; break;
            case MatchShape::Object: line = "O "; break;
            case MatchShape::Array: line = "A "; break;
        }
        if (shape != MatchShape::Scalar) {
            EXPECT_EQ(kind, ScalarKind::String);
        }
        if (shape == MatchShape::Object) {
            EXPECT_FALSE(offset.has_value());
        }
        line += std::string(path) + " " + std::string(text);
        if (offset) line += " @" + std::to_string(*offset);
        got.push_back(line);
        return stop_after != 0 && got.size() == stop_after;
    }
};

std::string outcome(const SearchError& e) {
    switch (e.kind()) {
        case SearchErrorKind::Success: return "ok " + std::to_string(e.matches());
        case SearchErrorKind::Parse: {
            const ParseError& p = e.parse_error();
            return "parse " + std::to_string(static_cast<int>(p.code)) + " " + std::to_string(p.byte) + " " +
                   std::to_string(p.offset);
        }
        case SearchErrorKind::Message: return "message: " + e.text();
        case SearchErrorKind::Regex: return "regex: " + e.text();
        case SearchErrorKind::PathPattern: return "path: " + e.text();
        case SearchErrorKind::Predicate: return "where: " + e.text();
    }
    return "?";
}

struct Case {
    const char* name;
    std::string doc;
    SearchQuery q;
    std::vector<std::string> matches;
    std::string result;  // "" = "ok <number of matches>"
};

void run_cases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        RecordingSink sink;
        SearchError r = run_in_memory_search(c.doc, c.q, sink);
        EXPECT_EQ(sink.got, c.matches) << c.name;
        EXPECT_EQ(outcome(r), c.result.empty() ? "ok " + std::to_string(c.matches.size()) : c.result) << c.name;
    }
}

constexpr EmitMode kValue = EmitMode::Value;
constexpr EmitMode kObject = EmitMode::Object;
constexpr EmitMode kParent = EmitMode::Parent;

TEST(InMemorySearch, TermKeyValueAndTypeSelection) {
    run_cases({
        {"term matches keys and string values",
         R"({"a":"x","b":{"c":"x"},"x":1})",
         {.term = "x"},
         {"S3 .a x @0", "S3 .b.c x @0", "K .x x @0"}},
        {"keys only", R"({"a":"x","b":{"c":"x"}})", {.term = "b", .keys_only = true}, {"K .b b @0"}},
        {"values only", R"({"ab":"b","c":"abc"})", {.term = "b", .values_only = true}, {"S3 .ab b @0", "S3 .c abc @1"}},
        {"non-strings need all types", R"([1,"1",true,null])", {.term = "1"}, {"S3 .[1] 1 @0"}},
        {"all types",
         R"([1,"1",true,null,11])",
         {.term = "1", .all_types = true},
         {"S2 .[0] 1 @0", "S3 .[1] 1 @0", "S2 .[4] 11 @0"}},
        {"raw escaped text is matched", R"({"s":"a\u0062"})", {.term = "u0062"}, {"S3 .s a\\u0062 @2"}},
        {"value mode keys_only: container value drops the member",
         R"({"b":{"c":1},"bb":"v"})",
         {.term = "b", .keys_only = true, .emit = kValue},
         {"S3 .bb v @0"}},
        {"value mode keys_only all types",
         R"({"b":{"c":1},"bb":"v"})",
         {.term = "b", .keys_only = true, .all_types = true, .emit = kValue},
         {"S3 .bb v @0"}},
        {"value mode: number needs all types", R"({"b":5})", {.term = "b", .keys_only = true, .emit = kValue}, {}},
        {"value mode: number with all types",
         R"({"b":5})",
         {.term = "b", .keys_only = true, .all_types = true, .emit = kValue},
         {"S2 .b 5 @0"}},
        {"assignment mode reports the value of a matching key",
         R"({"xb":"1","c":{"xb":"v"}})",
         {.term = "b", .keys_only = true, .emit = EmitMode::Assignment},
         {"S3 .xb 1 @1", "S3 .c.xb v @1"}},
        {"key and value", R"({"name":"alice","nick":"al"})", {.key = "name", .value = "al"}, {"S3 .name alice @0"}},
        {"key and value, other member",
         R"({"name":"alice","nick":"al"})",
         {.key = "nick", .value = "al"},
         {"S3 .nick al @0"}},
        {"key and value need both on one member", R"({"name":"bob","x":"al"})", {.key = "name", .value = "al"}, {}},
        {"key alone", R"({"name":"alice","nick":"al"})", {.key = "nick"}, {"K .nick nick @0"}},
        {"empty key text is no filter", R"({"a":"al"})", {.key = "", .value = "l"}, {"S3 .a al @1"}},
        {"type number", R"([1,"2",true])", {.type_filter = TypeFilter::Number}, {"S2 .[0] 1"}},
        {"type null", R"({"a":null,"b":[null]})", {.type_filter = TypeFilter::Null}, {"S0 .a null", "S0 .b[0] null"}},
        {"type filter with a term that only numbers match",
         R"([1,"2",true])",
         {.term = "1", .type_filter = TypeFilter::Number},
         {}},
        {"type filter with a term and all types",
         R"([1,"2",true])",
         {.term = "1", .all_types = true, .type_filter = TypeFilter::Number},
         {"S2 .[0] 1 @0"}},
        {"type filter does not filter key matches",
         R"({"n":"s"})",
         {.term = "n", .type_filter = TypeFilter::Number},
         {"K .n n @0"}},
        {"key with a type filter selects nothing by the filter alone",
         R"({"k":1,"x":2})",
         {.key = "k", .type_filter = TypeFilter::Number},
         {"K .k k @0"}},
        {"case-insensitive by default",
         R"(["ERROR","error","eRrOr","err"])",
         {.term = "Error"},
         {"S3 .[0] ERROR @0", "S3 .[1] error @0", "S3 .[2] eRrOr @0"}},
        {"regex offsets", R"(["xxab","b"])", {.term = "a+b", .regex = true}, {"S3 .[0] xxab @2"}},
        {"bad regex", R"([])", {.term = "(", .regex = true}, {}, "regex: missing ): ("},
    });
}

TEST(InMemorySearch, PathPatternSelection) {
    const std::string users = R"({"users":[{"n":"a"},{"n":"b"}],"n":"c"})";
    run_cases({
        {"wildcard elements: scalars below", users, {.path = ".users[*]"}, {"S3 .users[0].n a", "S3 .users[1].n b"}},
        {"wildcard elements: anchor objects",
         users,
         {.path = ".users[*]", .emit = kObject},
         {R"(O .users[0] {"n":"a"})", R"(O .users[1] {"n":"b"})"}},
        {"array anchor is never reported", users, {.path = ".users", .emit = kObject}, {}},
        {"index", users, {.path = "$.users[1].n"}, {"S3 .users[1].n b"}},
        {"printed digit segment is a key", R"({"users":["a"]})", {.path = ".users.0"}, {}},
        {"bare digit segment is an index", R"({"users":["a"]})", {.path = "users.0"}, {"S3 .users[0] a"}},
        {"pointer wildcard is a key wildcard", R"({"users":[{"email":"e"}]})", {.path = "/users/*/email"}, {}},
        {"gaps", R"({"x":{"a":"v"}})", {.path = ".a"}, {"S3 .x.a v"}},
        {"gaps at several levels",
         R"({"x":{"a":{"b":1}},"a":{"y":{"b":2}},"b":3})",
         {.path = ".a.b"},
         {"S2 .x.a.b 1", "S2 .a.y.b 2"}},
        {"siblings start from the same base", R"({"a":{"c":1},"b":{"c":2}})", {.path = ".b.c"}, {"S2 .b.c 2"}},
        {"escaped key needs the raw text", R"({"a\u0062":1,"ab":2})", {.path = ".a\\u0062"}, {"S2 .a\\u0062 1"}},
        {"empty pattern selects every scalar",
         R"({"a":[1,{"b":null}],"c":"s"})",
         {.path = "$"},
         {"S2 .a[0] 1", "S0 .a[1].b null", "S3 .c s"}},
        {"empty pattern has no anchor", R"({"a":{}})", {.path = "$", .emit = kObject}, {}},
        {"root scalar is complete for the empty pattern only", R"("s")", {.path = "."}, {"S3 . s"}},
        {"root scalar with a pattern", R"("s")", {.path = ".a"}, {}},
        {"term restricted to complete positions",
         R"({"a":{"k":"x"},"b":{"k":"x"}})",
         {.term = "x", .path = ".b"},
         {"S3 .b.k x @0"}},
        {"object mode with a term: the innermost holding object must be an anchor",
         R"({"u":[{"n":"x","d":{"m":"x"}}]})",
         {.term = "x", .path = ".u[*]", .emit = kObject},
         {R"(O .u[0] {"n":"x","d":{"m":"x"}})"}},
        {"object mode with a term: a match only below the anchor marks the inner object",
         R"({"u":[{"d":{"m":"x"}}]})",
         {.term = "x", .path = ".u[*]", .emit = kObject},
         {}},
        {"bad pattern", "{}", {.path = ".a["}, {}, "path: unclosed '[' in path"},
        {"empty pattern text", "{}", {.path = ""}, {}, "path: path is empty"},
    });
}

TEST(InMemorySearch, EmitObjectAndLimits) {
    run_cases({
        {"emit object alone selects every object",
         R"({"a":{"b":1},"c":[{}]})",
         {.emit = kObject},
         {R"(O .a {"b":1})", "O .c[0] {}", R"(O . {"a":{"b":1},"c":[{}]})"}},
        {"parent behaves like object",
         R"([{"k":[{"m":"a"}]}])",
         {.term = "a", .emit = kParent},
         {R"(O .[0].k[0] {"m":"a"})"}},
        {"a key match marks its own object",
         R"({"o":{"key":1}})",
         {.term = "key", .emit = kObject},
         {R"(O .o {"key":1})"}},
        {"no object open: nothing recorded", R"(["a",["a"]])", {.term = "a", .emit = kObject}, {}},
        {"container text keeps its whitespace",
         "{ \"o\" : { \"a\" : \"x\" } }",
         {.term = "x", .emit = kObject},
         {R"(O .o { "a" : "x" })"}},
        {"limit 1 stops after the first", R"(["x","x"])", {.limit = 1, .term = "x"}, {"S3 .[0] x @0"}},
        {"limit 0 reports nothing", R"(["x","x"])", {.limit = 0, .term = "x"}, {}},
        {"limit stops before a trailing value is seen", R"({"a":"x"} y)", {.limit = 1, .term = "x"}, {"S3 .a x @0"}},
        {"limit skips later keys without stopping",
         R"({"x":1,"xx":"x"})",
         {.limit = 1, .term = "x"},
         {"K .x x @0"},
         "ok 1"},
        // A key and its value share one path and count as one result.
        {"limit counts a key and its value once",
         R"({"x":"x","y":"x","z":"x"})",
         {.limit = 2, .term = "x"},
         {"K .x x @0", "S3 .x x @0", "S3 .y x @0"},
         "ok 2"},
        {"limit counts a repeated key once",
         R"({"a":"x","a":"x","b":"x"})",
         {.limit = 2, .term = "x"},
         {"S3 .a x @0", "S3 .a x @0", "S3 .b x @0"},
         "ok 2"},
        {"limit on objects", R"([{},{},{}])", {.limit = 2, .emit = kObject}, {"O .[0] {}", "O .[1] {}"}},
        {"limit 0 with object mode", R"([{"a":"x"}])", {.limit = 0, .term = "x", .emit = kObject}, {}},
    });
}

TEST(InMemorySearch, SinkStopEndsTheWalk) {
    RecordingSink sink;
    sink.stop_after = 1;
    SearchQuery q{.term = "x"};
    SearchError r = run_in_memory_search(R"(["x","x","x"] trailing)", q, sink);
    EXPECT_EQ(sink.got, std::vector<std::string>{"S3 .[0] x @0"});
    EXPECT_EQ(outcome(r), "ok 1");

    // A stop inside a JSON Lines record ends the search there: the record
    // still open is not reported (its text would be cut off at the stop).
    RecordingSink objects;
    objects.stop_after = 1;
    SearchQuery all{.where = ".zz missing", .jsonl_in = true};
    r = run_in_memory_search("{\"o\":{}}\n{}", all, objects);
    EXPECT_EQ(objects.got, std::vector<std::string>{"O .[0].o {}"});
    EXPECT_EQ(outcome(r), "ok 1");
}

TEST(InMemorySearch, DocumentErrorsAndJsonLines) {
    run_cases({
        {"second top-level value", R"({"a":"x"} y)", {.term = "x"}, {"S3 .a x @0"}, "parse 4 0 10"},
        {"empty document", "", {.term = "x"}, {}, "parse 1 0 0"},
        {"whitespace document", " \n ", {.term = "x"}, {}, "parse 1 0 0"},
        {"unclosed object", R"({"a":1)", {.term = "a"}, {"K .a a @0"}, "parse 1 0 0"},
        {"key at the end", R"({"a")", {.term = "a"}, {"K .a a @0"}, "parse 0 0 4"},
        {"no colon", R"({"a" 1})", {.term = "x"}, {}, "parse 0 49 5"},
        {"key without quote", R"({a:1})", {.term = "x"}, {}, "parse 0 97 1"},
        {"unclosed key", R"({"a)", {.term = "x"}, {}, "parse 2 0 0"},
        {"jsonl records",
         "{\"a\":\"x\"}\n{\"a\":\"x\"}\n",
         {.term = "x", .jsonl_in = true},
         {"S3 .[0].a x @0", "S3 .[1].a x @0"}},
        {"jsonl records need no line feed",
         "1 2{}",
         {.jsonl_in = true, .type_filter = TypeFilter::Number},
         {"S2 .[0] 1", "S2 .[1] 2"}},
        {"jsonl empty", "", {.term = "x", .jsonl_in = true}, {}},
        {"jsonl blank lines", "\n\n  \n", {.term = "x", .jsonl_in = true}, {}},
        {"jsonl comma between records", R"({"a":1},{"a":2})", {.term = "x", .jsonl_in = true}, {}, "parse 0 44 7"},
        {"jsonl pattern matches in every record",
         "{\"name\":\"a\"}\n{\"x\":{\"name\":\"b\"}}",
         {.path = ".name", .jsonl_in = true},
         {"S3 .[0].name a", "S3 .[1].x.name b"}},
        {"jsonl record index pattern", "\"a\" \"b\" \"c\"", {.path = ".[1]", .jsonl_in = true}, {"S3 .[1] b"}},
        {"jsonl objects",
         "{\"n\":1}\n[{\"n\":2}]",
         {.jsonl_in = true, .emit = kObject},
         {R"(O .[0] {"n":1})", R"(O .[1][0] {"n":2})"}},
        {"jsonl limit",
         "\"x\"\n\"x\"\n\"x\"",
         {.limit = 2, .term = "x", .jsonl_in = true},
         {"S3 .[0] x @0", "S3 .[1] x @0"}},
        {"jsonl where", "{\"n\":1}\n{\"n\":2}", {.where = ".n > 1", .jsonl_in = true}, {R"(O .[1] {"n":2})"}},
    });
}

// The objects a predicate alone selects, by path.
std::vector<std::string> where_select(std::string_view doc, std::string_view where) {
    RecordingSink sink;
    SearchQuery q{.where = std::string(where)};
    SearchError r = run_in_memory_search(doc, q, sink);
    std::vector<std::string> paths;
    if (!r.is_success()) {
        paths.push_back(outcome(r));
        return paths;
    }
    for (const auto& line : sink.got) {
        EXPECT_EQ(line.substr(0, 2), "O ");
        paths.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    return paths;
}

using Paths = std::vector<std::string>;

TEST(InMemorySearch, WhereVerdicts) {
    struct W {
        std::string doc;
        std::string where;
        Paths selected;
    };
    const W cases[] = {
        {R"({"users":[{"age":40},{"age":20}]})", ".age > 30", {".users[0]"}},
        {R"({"a":{"b":1}})", ".x missing", {".a", "."}},
        {R"({"a":5})", ".a.b missing", {"."}},
        {R"({"a":5})", ".a.b exists", {}},
        {R"({"tags":["a","b"]})", ".tags | length >= 2", {"."}},
        {R"({"tags":"ab"})", ".tags | length >= 2", {}},
        {R"({"tags":[]})", ".tags | length >= 2", {}},
        {R"({"tags":[]})", ".tags | length == 0", {"."}},
        {R"({"m":{"a":1,"b":[2,3],"c":{}}})", ".m | length == 3", {"."}},
        {R"({"t":[[1,2],[3]]})", ".t | length == 2", {"."}},  // nested members are not counted
        {R"({"n":1.0})", ".n == 1", {"."}},
        {R"({"n":1e0})", ".n == 1", {"."}},
        {R"({"n":"1"})", ".n == 1", {}},
        {R"({"n":"1"})", ".n != 1", {"."}},
        {R"({"n":1-2})", ".n == 1", {}},  // a number text that does not parse equals nothing
        {R"({"n":1-2})", ".n != 1", {"."}},
        {R"({"n":1e999})", ".n > 1e308", {"."}},
        {R"({"n":2})", ".n >= 2 && .n <= 2 && !(.n < 2) && !(.n > 2)", {"."}},
        {R"({"n":"5"})", ".n > 1", {}},
        {R"({"s":"a\"b"})", R"(.s contains '\"')", {"."}},
        {R"({"s":"a\"b"})", R"(.s == 'a"b')", {}},
        {R"({"s":"hello"})", ".s startsWith 'he' && .s endsWith 'lo' && .s contains ''", {"."}},
        {R"({"s":"lo"})", ".s startsWith 'hello'", {}},
        {R"({"s":5})", ".s contains '5'", {}},
        {R"({"s":"Hello"})", ".s matches /^hel/i", {"."}},
        {R"({"s":"Hello"})", ".s matches /^hel/", {}},
        {R"({"s":"a\nb"})", ".s matches /a.b/", {}},  // the raw body holds a backslash, not a line feed
        {R"({"ok":false})", ".ok", {}},
        {R"({"ok":null})", ".ok", {}},
        {R"({"ok":0})", ".ok", {"."}},
        {R"({"ok":""})", ".ok", {"."}},
        {R"({"ok":[]})", ".ok", {"."}},
        {R"({"ok":true})", "!.ok", {}},
        {R"({"a":{"a":1}})", ".a == 1", {}},
        {R"({"a":{"x":{"b":1}}})", ".a.b == 1", {"."}},
        {R"({"a":{"b":1},"c":{"b":2}})", ".b == 2", {".c"}},
        {R"({"o":{"k":1}})", ".o exists && .o", {"."}},
        {R"({"o":{"k":1}})", ".o == 1", {}},
        {R"({"a":[{"b":1},{"b":2}]})", ".a[1].b == 2", {"."}},
        {R"({"a":[{"b":1},{"b":2}]})", ".a[0].b == 2", {}},
        {R"({"b":true})", ".b == true && .b != false", {"."}},
        {R"({"b":true})", ".b == 1", {}},
        {R"({"z":null})", ".z == null && .z exists && !.z", {"."}},
        {R"({"v":2,"v":1})", ".v == 1", {"."}},  // the last value reached decides
        {R"([{"k":1},{"j":1}])", ".k exists || .j exists", {".[0]", ".[1]"}},
    };
    for (const auto& c : cases) EXPECT_EQ(where_select(c.doc, c.where), c.selected) << c.where << " on " << c.doc;
}

TEST(InMemorySearch, WhereWithOtherSelectors) {
    run_cases({
        {"path and where: anchor objects with a true verdict",
         R"({"u":[{"n":1},{"n":2}],"n":2})",
         {.path = ".u[*]", .where = ".n == 2"},
         {R"(O .u[1] {"n":2})"}},
        {"term with where: where has no effect on scalar reports",
         R"([{"n":1,"s":"x"},{"n":2,"s":"x"}])",
         {.term = "x", .where = ".n == 2"},
         {"S3 .[0].s x @0", "S3 .[1].s x @0"}},
        {"term with where, object mode: restricted by the verdict",
         R"([{"n":1,"s":"x"},{"n":2,"s":"x"}])",
         {.term = "x", .where = ".n == 2", .emit = kObject},
         {R"(O .[1] {"n":2,"s":"x"})"}},
        {"type with where, object mode",
         R"([{"n":1},{"n":"2"}])",
         {.where = ".n exists", .type_filter = TypeFilter::String, .emit = kObject},
         {R"(O .[1] {"n":"2"})"}},
        {"where with a pattern disables the every-scalar rule",
         R"({"a":{"n":1}})",
         {.path = ".a", .where = ".n == 1", .emit = kValue},
         {R"(O .a {"n":1})"}},
        {"empty where text is no predicate", R"({"a":"x"})", {.term = "x", .where = ""}, {"S3 .a x @0"}},
        {"whitespace where text", "{}", {.where = "  \t"}, {}, "where: empty expression"},
        {"trailing input", "{}", {.where = ".a ) "}, {}, "where: unexpected trailing input ') '"},
        {"where errors come after path errors", "{}", {.path = "", .where = "  "}, {}, "path: path is empty"},
        {"path errors come after regex errors",
         "{}",
         {.term = "[", .path = "", .regex = true},
         {},
         "regex: missing ]: ["},
    });
}

TEST(InMemorySearch, WhereWithManyClausesGivesTheSameVerdicts) {
    // 70 clauses exceed what the completion mask covers; each verdict must
    // equal the one of the same clause evaluated alone.
    const std::string doc =
        R"([{"k0":1,"k5":"x","k64":[1,2],"k66":{"z":1},"k69":true},{"k1":null,"k65":"x","k68":[]},{}])";
    std::vector<std::string> clauses;
    for (int i = 0; i < 70; ++i) {
        std::string k = ".k" + std::to_string(i);
        switch (i % 5) {
            case 0: clauses.push_back(k + " exists"); break;
            case 1: clauses.push_back(k + " missing"); break;
            case 2: clauses.push_back(k + " | length == 2"); break;
            case 3: clauses.push_back(k + " == 1"); break;
            case 4: clauses.push_back(k); break;
        }
    }
    for (int target = 0; target < 70; ++target) {
        // The target clause decides; 69 others are present but neutral:
        // target && (x || !x) for each other clause x.
        // The target once as clause 0 and once as the last of 139 clauses,
        // beyond what the completion mask covers.
        std::string neutral;
        for (int i = 0; i < 70; ++i)
            if (i != target) neutral += "(" + clauses[i] + " || !" + clauses[i] + ") && ";
        const Paths alone = where_select(doc, clauses[target]);
        EXPECT_EQ(where_select(doc, "(" + clauses[target] + ") && " + neutral + ".q missing"), alone)
            << clauses[target];
        EXPECT_EQ(where_select(doc, neutral + "(" + clauses[target] + ")"), alone) << clauses[target];
    }
    // Seventy real clauses at once against fewer than 65 at a time.
    std::string all_or, low_or, high_or;
    for (int i = 0; i < 70; ++i) {
        std::string& part = i < 35 ? low_or : high_or;
        for (std::string* s : {&all_or, &part}) {
            if (!s->empty()) *s += " || ";
            *s += clauses[i];
        }
    }
    Paths low = where_select(doc, low_or), high = where_select(doc, high_or), all = where_select(doc, all_or);
    Paths either = low;
    either.insert(either.end(), high.begin(), high.end());
    std::sort(either.begin(), either.end());
    either.erase(std::unique(either.begin(), either.end()), either.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, either);
}

TEST(InMemorySearch, DeepPredicateAndDocumentDoNotExhaustTheStack) {
    // A long chain of connectors builds a deep tree; evaluating it must not
    // recurse.
    std::string chain = ".a == 1";
    for (int i = 0; i < 50000; ++i) chain += " || .a == 1";
    EXPECT_EQ(where_select(R"([{"a":1},{"a":2}])", chain), Paths{".[0]"});
    // Too many nested parentheses is a predicate error, not a crash.
    std::string deep(300, '(');
    deep += ".a";
    deep += std::string(300, ')');
    EXPECT_EQ(where_select("{}", deep),
              Paths{"where: expression nested too deeply (more than 256 parentheses or negations)"});
    // Deep documents are walked with explicit stacks.
    std::string doc;
    for (int i = 0; i < 100000; ++i) doc += "{\"a\":";
    doc += "\"x\"";
    doc += std::string(100000, '}');
    RecordingSink sink;
    SearchQuery q{.term = "x", .where = ".zz missing", .emit = kObject};
    SearchError r = run_in_memory_search(doc, q, sink);
    EXPECT_EQ(outcome(r), "ok 1");
}

// JSON Lines, and a document that is one array, walked in slices on several
// threads must give every sink call and the result of one walk in turn: for
// A clause path present at consecutive levels takes its value from there,
// whatever matches with gaps come before or after it; only a record without
// it is decided by the gaps, the last value reached deciding. Each case is
// also one record of an array walked in slices.
TEST(InMemorySearch, WhereExactPathDecides) {
    struct W {
        std::string record;
        std::string where;
        bool selected;
    };
    const std::string de = R"({"name":{"common":"Germany","native":{"deu":{"common":"Deutschland"}}}})";
    const std::string de_late = R"({"name":{"native":{"deu":{"common":"Deutschland"}},"common":"Germany"}})";
    const W cases[] = {
        {de, R"(.name.common == "Germany")", true},
        {de, R"(.name.common == "Deutschland")", false},
        {de_late, R"(.name.common == "Germany")", true},
        {de_late, R"(.name.common == "Deutschland")", false},
        {de, R"(.name.common != "Germany")", false},
        {de, ".name.common exists", true},
        {R"({"name":{"x":{"common":"Deutschland"}}})", R"(.name.common == "Deutschland")", true},  // gap only
        {R"({"a":{"x":{"b":1},"y":{"b":2}}})", ".a.b == 2", true},  // gaps only: the last value decides
        {R"({"a":{"b":[1,2],"x":{"b":[1]}}})", ".a.b | length == 2", true},
        {R"({"a":{"x":{"b":[1]},"b":[1,2]}})", ".a.b | length == 1", false},
        {R"({"a":{"b":"s","x":{"b":[1]}}})", ".a.b | length == 1", false},  // the exact value has no length
        {R"({"a":{"b":{"c":1},"x":{"b":{"c":2}}}})", ".a.b.c == 1", true},
        {R"({"a":{"b":{"c":1},"x":{"b":{"c":2}}}})", ".a.b.c == 2", false},
        {R"({"a":[{"b":1}],"z":{"a":{"b":2}}})", ".a[0].b == 1", true},
        {R"({"a":{"b":{"k":1},"x":{"b":null}}})", ".a.b", true},
    };
    std::string array = "[";
    for (const W& c : cases) {
        EXPECT_EQ(where_select(c.record, c.where), c.selected ? Paths{"."} : Paths{}) << c.where << " on " << c.record;
        array += (array.size() > 1 ? ",\n" : "") + c.record;
    }
    array += "]";
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const W& c = cases[k];
        SearchQuery q{.where = c.where};
        RecordingSink in_turn, sliced;
        ASSERT_TRUE(run_in_memory_search_given(array, q, in_turn, 1, 0).is_success());
        ASSERT_TRUE(run_in_memory_search_given(array, q, sliced, 3, 64).is_success());
        EXPECT_EQ(sliced.got, in_turn.got) << c.where;
        const std::string record = "O .[" + std::to_string(k) + "] ";
        const bool found = std::any_of(in_turn.got.begin(), in_turn.got.end(),
                                       [&](const std::string& g) { return g.rfind(record, 0) == 0; });
        EXPECT_EQ(found, c.selected) << c.where << " in the array";
    }
}

// records of every shape (pretty records, strings holding a line feed and
// "{" where a slice may begin in the middle of a record, several records on
// one line, scalars), elements whose opening deeper objects repeat, reports
// that fill a slice's holding, syntax errors late in the document, and a
// sink that stops on a key, a scalar or an object report.
TEST(InMemorySearch, RecordsInSlicesGiveTheWalkInTurn) {
    const std::vector<SearchQuery> queries = {
        {.term = "x"},
        {.term = "zzz"},
        {.term = "X", .case_sensitive = true, .all_types = true},
        {.term = "x[0-9]+", .regex = true},
        {.key = "x", .value = "y"},
        {.term = "x", .emit = kObject},
        {.term = "d", .keys_only = true, .emit = kParent},
        {.term = "1", .all_types = true, .emit = EmitMode::Assignment},
        {.type_filter = TypeFilter::Number},
        {.where = ".id > 5"},
        {.where = ".k[2].x exists || .deep.x == 'Y' || .k[1] == 'xb'"},
        {.where = ".k | length == 3"},
        {.term = "q", .where = ".v exists", .emit = kObject},
        {.where = ".name startsWith 'n1' && .x.v matches /q{5}/"},
    };
    for (const auto& [d, lines] : test_support::record_documents()) {
        for (SearchQuery q : queries) {
            q.jsonl_in = lines;
            RecordingSink all;
            (void)run_in_memory_search_given(d, q, all, 1, 0);
            // The sink stops at one call in thirteen with the first query, and
            // half-way with the others.
            std::vector<std::size_t> stops = {0};
            if (q.term == "x" && q.emit == EmitMode::Path) {
                for (std::size_t k = 1; k <= all.got.size(); k += 13) stops.push_back(k);
            } else {
                stops.push_back(all.got.size() / 2);
            }
            for (std::size_t stop_after : stops) {
                RecordingSink one;
                one.stop_after = stop_after;
                const std::string want = outcome(run_in_memory_search_given(d, q, one, 1, 0));
                for (const auto& [threads, slice] : test_support::kSliceWays) {
                    if (stop_after != 0 && threads != 2) continue;  // one way suffices for the stops
                    RecordingSink many;
                    many.stop_after = stop_after;
                    const std::string got = outcome(run_in_memory_search_given(d, q, many, threads, slice));
                    const std::string what = (q.term ? *q.term : "-") + " threads " + std::to_string(threads) +
                                             " slice " + std::to_string(slice) + " stop " + std::to_string(stop_after) +
                                             " doc " + std::to_string(d.size());
                    ASSERT_EQ(got, want) << what;
                    ASSERT_EQ(many.got, one.got) << what;
                }
            }
        }
    }
}

}  // namespace
}  // namespace rova_rudo
