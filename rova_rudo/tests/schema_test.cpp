#include "rova_rudo/schema.hpp"

#include <gtest/gtest.h>

#include "mapped_file.hpp"
#include "record_documents.hpp"

#include <algorithm>
#include <string>
#include <vector>

using namespace rova_rudo;

namespace {

// Each row as "path types count [examples separated by ';']".
std::vector<std::string> render(std::string_view doc, SchemaWalkOptions opts = {}) {
    auto tree = build_schema(doc, opts);
    if (!tree) return {"error " + parse_error_display(tree.error())};
    std::vector<std::string> out;
    for (const auto& row : schema_rows(*tree)) {
        std::string line = row.path + " " + type_mask_names(row.types) + " " + std::to_string(row.count);
        if (!row.examples.empty()) {
            line += " [";
            for (std::size_t i = 0; i < row.examples.size(); ++i) line += (i ? ";" : "") + row.examples[i];
            line += "]";
        }
        out.push_back(line);
    }
    if (tree->truncated) out.push_back("truncated");
    return out;
}

using Rows = std::vector<std::string>;

}  // namespace

TEST(Schema, RowsForDocuments) {
    const struct {
        std::string doc;
        Rows want;
    } cases[] = {
        {"42", {". number 1 [42]"}},
        {" [ ] ", {". array 1"}},
        {"{}", {". object 1"}},
        {R"([1, "a", null, [2]])", {". array 1", ".[*] array|string|number|null 4 [1;a;null]", ".[*][*] number 1 [2]"}},
        {R"([{"a":1},{"a":"x","b":true}])",
         {". array 1", ".[*] object 2", ".[*].a string|number 2 [1;x]", ".[*].b boolean 1 [true]"}},
        {"[1,1,1,2]", {". array 1", ".[*] number 4 [1;2]"}},
        // The first three distinct examples win; later distinct ones are ignored.
        {"[5,6,7,8,5]", {". array 1", ".[*] number 5 [5;6;7]"}},
        // Raw string bodies, escapes as written.
        {R"(["a\"b"])", {". array 1", R"(.[*] string 1 [a\"b])"}},
        // Both members of a repeated key land on one node; arrays at one path share "[*]".
        {R"({"a":1,"a":false})", {". object 1", ".a number|boolean 2 [1;false]"}},
        {R"({"x":[[1],[true]],"y":{"x":null}})",
         {". object 1", ".x array 1", ".x[*] array 2", ".x[*][*] number|boolean 2 [1;true]", ".y object 1",
          ".y.x null 1 [null]"}},
        // A later member revisits an earlier path and grows below it: its rows
        // come last but still spell their whole path.
        {R"([{"a":{"b":1}},{"c":2,"a":{"d":[3]}}])",
         {". array 1", ".[*] object 2", ".[*].a object 2", ".[*].a.b number 1 [1]", ".[*].c number 1 [2]",
          ".[*].a.d array 1", ".[*].a.d[*] number 1 [3]"}},
        // Members met in another order, a key that extends the one met there
        // last time, and a path that is an array in one place and an object in
        // another all land on their own nodes.
        {R"([{"a":1,"b":2},{"b":3,"a":4},{"a":5,"ab":6},{"a":7,"b":8}])",
         {". array 1", ".[*] object 4", ".[*].a number 4 [1;4;5]", ".[*].b number 3 [2;3;8]", ".[*].ab number 1 [6]"}},
        {R"([[1],{"a":2},[3],{"a":4,"":5}])",
         {". array 1", ".[*] object|array 4", ".[*][*] number 2 [1;3]", ".[*].a number 2 [2;4]", ".[*]. number 1 [5]"}},
        // Key names are printed raw: dots unquoted, the empty key prints like the root.
        {R"({"a.b":1})", {". object 1", ".a.b number 1 [1]"}},
        {R"({"":1})", {". object 1", ". number 1 [1]"}},
        {R"({"":{"a":[2]}})", {". object 1", ". object 1", "..a array 1", "..a[*] number 1 [2]"}},
        {R"({"\u0061":1,"a":2})", {". object 1", R"(.\u0061 number 1 [1])", ".a number 1 [2]"}},
        // Numbers are raw spans, never validated.
        {"[1.2.3,-]", {". array 1", ".[*] number 2 [1.2.3;-]"}},
        // Whitespace everywhere a token may stand.
        {" {\n\t\"k\" :\r [ 1 , 2 ] , \"m\" : { } }\n",
         {". object 1", ".k array 1", ".k[*] number 2 [1;2]", ".m object 1"}},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.doc), c.want) << c.doc;
}

TEST(Schema, ExampleOptions) {
    EXPECT_EQ(render("[1,2,3,4,5,6]", {.max_examples = 5}), (Rows{". array 1", ".[*] number 6 [1;2;3;4;5]"}));
    EXPECT_EQ(render("[1,2]", {.max_examples = 0}), (Rows{". array 1", ".[*] number 2"}));
    // Examples are cut to 80 bytes before comparing, so these two are one example.
    const std::string a80(80, 'a');
    const std::string doc = "[\"" + a80 + "x\",\"" + a80 + "y\",\"" + std::string(100, 'b') + "\"]";
    EXPECT_EQ(render(doc), (Rows{". array 1", ".[*] string 3 [" + a80 + ";" + std::string(80, 'b') + "]"}));
    // The collapse flag is carried but the walk always collapses.
    EXPECT_EQ(render("[1,[2]]", {.collapse = false}),
              (Rows{". array 1", ".[*] array|number 2 [1]", ".[*][*] number 1 [2]"}));
}

// Past the first few, a node's examples are found again by hash: the result
// is still the first N distinct texts (cut to 80 bytes) in document order,
// for each node on its own, with repeats from before and after that point.
TEST(Schema, ManyExamplesKeepTheFirstDistinctInOrder) {
    std::vector<std::string> a_vals, b_vals;
    for (int i = 0; i < 300; ++i) {
        a_vals.push_back("v" + std::to_string(i % 97 * 7 % 131));  // repeats throughout
        // 81 bytes: the cut drops the last one, so x and y make one example.
        b_vals.push_back(std::string(78, 'p') + (i % 40 < 10 ? "0" : "") + std::to_string(i % 40) +
                         (i % 3 ? "x" : "y"));
        if (i % 5 == 0) b_vals.push_back("w" + std::to_string(i));
    }
    std::string doc = "[";
    for (std::size_t i = 0; i < a_vals.size(); ++i) doc += (i ? ",{\"a\":\"" : "{\"a\":\"") + a_vals[i] + "\"}";
    for (const auto& v : b_vals) doc += ",{\"b\":\"" + v + "\"}";
    doc += "]";
    for (const std::size_t cap : {std::size_t{16}, std::size_t{17}, std::size_t{50}, std::size_t{1000}}) {
        const auto first_distinct = [&](const std::vector<std::string>& vals) {
            std::vector<std::string> kept;
            for (const auto& v : vals) {
                const std::string cut = v.substr(0, kSchemaExampleMaxBytes);
                if (kept.size() < cap && std::find(kept.begin(), kept.end(), cut) == kept.end()) kept.push_back(cut);
            }
            return kept;
        };
        auto tree = build_schema(doc, {.max_examples = cap});
        ASSERT_TRUE(tree);
        ASSERT_EQ(tree->nodes.size(), 4u);
        EXPECT_EQ(tree->nodes[2].examples, first_distinct(a_vals)) << cap;
        EXPECT_EQ(tree->nodes[3].examples, first_distinct(b_vals)) << cap;
    }
}

TEST(Schema, PathCap) {
    EXPECT_EQ(render(R"({"a":1,"b":2,"a":3})", {.max_paths = 2}),
              (Rows{". object 1", ".a number 2 [1;3]", "truncated"}));
    EXPECT_EQ(render(R"([{"a":1,"b":2,"c":3},{"a":4,"b":5,"c":6}])", {.max_paths = 3}),
              (Rows{". array 1", ".[*] object 2", ".[*].a number 2 [1;4]", "truncated"}));
    for (std::size_t cap : {0u, 1u})
        EXPECT_EQ(render(R"({"a":1})", {.max_paths = cap}), (Rows{". object 1", "truncated"})) << cap;
    // Everything inside a dropped container is counted nowhere.
    EXPECT_EQ(render(R"({"a":[1,2],"b":{"c":3}})", {.max_paths = 1}), (Rows{". object 1", "truncated"}));
    EXPECT_EQ(render("[[1],[2]]", {.max_paths = 2}), (Rows{". array 1", ".[*] array 2", "truncated"}));
    EXPECT_EQ(render("7", {.max_paths = 0}), (Rows{". number 1 [7]"}));
}

TEST(Schema, SyntaxErrors) {
    const struct {
        std::string doc;
        ParseError want;
    } cases[] = {
        {"", ParseError::unexpected_end()},
        {"   ", ParseError::unexpected_end()},
        {"[1,]", ParseError::unexpected_byte(']', 3)},
        {R"({"a":1,})", ParseError::unexpected_byte('}', 7)},
        {R"({"a" 1})", ParseError::unexpected_byte('1', 5)},
        {R"({"a")", ParseError::unexpected_byte(0, 4)},
        {"{", ParseError::unexpected_byte(0, 1)},
        {"{1:2}", ParseError::unexpected_byte('1', 1)},
        {"[tru]", ParseError::invalid_literal(1)},
        {"nul", ParseError::invalid_literal(0)},
        {"1 2", ParseError::multiple_top_level(2)},
        {"1x", ParseError::multiple_top_level(1)},
        {"{\"a\":1}\n{\"a\":2}\n", ParseError::multiple_top_level(8)},
        {"[1x]", ParseError::unexpected_byte('x', 2)},
        {"[1", ParseError::unexpected_end()},
        {R"({"a":)", ParseError::unexpected_end()},
        {R"({"a":1)", ParseError::unexpected_end()},
        {"[", ParseError::unexpected_end()},
        {R"(["abc)", ParseError::unclosed_string()},
        {R"({"ab)", ParseError::unclosed_string()},
        {"]", ParseError::unexpected_byte(']', 0)},
        {"[1}", ParseError::unexpected_byte('}', 2)},
        // One leading byte order mark is skipped, a second is not; offsets count both.
        {"\xEF\xBB\xBF\xEF\xBB\xBF{}", ParseError::unexpected_byte(0xEF, 3)},
        {"\xEF\xBB\xBF[1 2]", ParseError::unexpected_byte('2', 6)},
    };
    for (const auto& c : cases) {
        auto r = build_schema(c.doc, {});
        ASSERT_FALSE(r.ok()) << c.doc;
        EXPECT_EQ(r.error(), c.want) << c.doc << ": " << parse_error_display(r.error());
    }
}

TEST(Schema, DeepNestingNeedsNoRecursion) {
    const std::size_t depth = 1000000;
    std::string doc(depth, '[');
    doc += std::string(depth, ']');
    auto capped = build_schema(doc, {.max_paths = 10});
    ASSERT_TRUE(capped.ok());
    EXPECT_EQ(capped->nodes.size(), 10u);
    EXPECT_TRUE(capped->truncated);

    const std::size_t shallow = 3000;
    auto r = build_schema(std::string(shallow, '[') + std::string(shallow, ']'), {});
    ASSERT_TRUE(r.ok());
    auto rows = schema_rows(*r);
    ASSERT_EQ(rows.size(), shallow);
    EXPECT_EQ(rows.back().path.size(), 1 + 3 * (shallow - 1));
    EXPECT_EQ(rows.back().types, 0x20);
}

TEST(Schema, TypeMaskNames) {
    EXPECT_EQ(type_mask_names(0), "");
    EXPECT_EQ(type_mask_names(0x09), "string|null");
    EXPECT_EQ(type_mask_names(0x30), "object|array");
    EXPECT_EQ(type_mask_names(0x3F), "object|array|string|number|boolean|null");
}

TEST(Schema, Utf8LossyReplacesEachMaximalInvalidSequence) {
    const struct {
        std::string in, want;
    } cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        // A truncated 3-byte sequence is one fault; a lone continuation byte is one each.
        {"\xE2\x82"
         "x",
         "\xEF\xBF\xBDx"},
        {"\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        // Overlong lead, surrogate, above U+10FFFF: the lead byte alone is the fault.
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
        {"\xF0\x9F\x98\x80\xF0", "\xF0\x9F\x98\x80\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        std::string out;
        append_utf8_lossy(out, c.in);
        EXPECT_EQ(out, c.want);
    }
    // Key names in paths go through the same rule.
    EXPECT_EQ(render("{\"k\xFF\":1}"), (Rows{". object 1", ".k\xEF\xBF\xBD number 1 [1]"}));
}

// The elements of an array walked in slices on several threads give the tree
// of one walk in turn: the same rows in the same order, counts, examples, key
// names and truncation, also when the path cap is reached inside a slice, and
// the same first error.
TEST(Schema, RecordsInSlicesGiveTheWalkInTurn) {
    auto full = [](std::string_view doc, const SchemaWalkOptions& opts, unsigned threads, std::size_t slice) {
        auto tree = build_schema_given(doc, opts, threads, slice);
        if (!tree) return Rows{"error " + parse_error_display(tree.error())};
        Rows out;
        for (const auto& row : schema_rows(*tree)) {
            std::string line = row.path + " " + type_mask_names(row.types) + " " + std::to_string(row.count);
            for (const std::string& e : row.examples) line += " [" + e + "]";
            out.push_back(line);
        }
        for (const std::string& k : tree->key_names) out.push_back("key " + k);
        if (tree->truncated) out.push_back("truncated");
        return out;
    };
    std::vector<SchemaWalkOptions> options;
    for (std::size_t examples : {0, 3, 20})
        for (std::size_t paths : {100000, 4, 9, 25, 60}) options.push_back({examples, paths, true});
    for (const auto& [doc, lines] : test_support::record_documents()) {
        for (const SchemaWalkOptions& opts : options) {
            const Rows want = full(doc, opts, 1, 0);
            for (const auto& [threads, slice] : test_support::kSliceWays)
                ASSERT_EQ(full(doc, opts, threads, slice), want)
                    << "threads " << threads << " slice " << slice << " examples " << opts.max_examples << " paths "
                    << opts.max_paths << " doc " << doc.size();
        }
    }
    // Over a map of a file whose pages each slice gives back once walked.
    const std::string large = test_support::large_record_array(std::size_t{4} << 20);
    const test_support::MappedDocument mapped(large);
    SchemaWalkOptions opts;
    const Rows want = full(large, opts, 1, 0);
    opts.file_map = true;
    EXPECT_EQ(full(mapped.text(), opts, 4, std::size_t{64} << 10), want);
}
