#include "cli/search_options.hpp"

#include <gtest/gtest.h>

#include <vector>

using cli::SearchOptions;
using rova_rudo::EmitMode;
using rova_rudo::TypeFilter;

namespace {

platform::Result<cli::ParsedSearchArgs, std::string> scan(std::vector<std::string> a) {
    return cli::parse_search_args(a);
}

SearchOptions ok(std::vector<std::string> a) {
    auto r = scan(a);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? r->options : SearchOptions{};
}

}  // namespace

TEST(SearchArgs, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-5", "x"}, "unknown flag '-5'"},
        {{"--"}, "unknown flag '--'"},
        {{"--bogus=1", "x"}, "unknown flag '--bogus'"},
        {{"-n=5", "foo"}, "unknown flag '-n=5'"},
        {{"--limit=", "foo"}, "--limit: '' is not a non-negative integer"},
        {{"foo", "--limit"}, "--limit requires a value"},
        {{"foo", "-n"}, "--limit requires a value"},
        {{"-n", "-3", "foo"}, "--limit: '-3' is not a non-negative integer"},
        {{"--limit", "18446744073709551616", "x"}, "--limit: '18446744073709551616' is not a non-negative integer"},
        {{"--limit", "+", "x"}, "--limit: '+' is not a non-negative integer"},
        {{"--max-results", "x", "x"}, "--max-results: 'x' is not a non-negative integer"},
        {{"--max-value-bytes", " 1", "x"}, "--max-value-bytes: ' 1' is not a non-negative integer"},
        {{"--max-output", " ", "x"}, "empty byte count"},
        {{"--max-output", "k", "x"}, "invalid byte count 'k'"},
        {{"--max-output", "5KB", "x"}, "invalid byte count '5KB'"},
        {{"--max-output", " 5 K", "x"}, "invalid byte count '5 K'"},
        {{"--max-output", "17179869184G", "x"}, "byte count '17179869184G' overflows usize"},
        {{"--type", "Array", "x"},
         "--type Array: object/array filters are not supported yet (use --emit object instead)"},
        {{"--type", "Foo", "x"}, "--type: unknown kind 'foo' (expected: string|number|boolean|null)"},
        {{"--type", "", "x"}, "--type: unknown kind '' (expected: string|number|boolean|null)"},
        {{"--emit", "Path", "x"}, "--emit: unknown mode 'Path'"},
        {{"--format", "JSON", "x"}, "--format: unknown value 'JSON'"},
        {{"--color", "yes", "x"}, "--color: unknown value 'yes'"},
        {{"--key", "k", "a", "b"},
         "unexpected positional argument 'b' (--key/--value/--exists/--missing take no <term>)"},
        {{"--exists", ".a", "foo", "f.json"},
         "unexpected positional argument 'f.json' (--key/--value/--exists/--missing take no <term>)"},
        {{"--keys-only", "--values-only", "--exists", ".a", "--missing", ".b"},
         "--keys-only and --values-only are mutually exclusive"},
        {{"--key", "k", "--values-only"}, "--keys-only/--values-only cannot be combined with --key/--value"},
        {{"--exists", ".a", "--missing", ".b"}, "--exists and --missing are mutually exclusive"},
        {{"--exists", ".a", "--where", ".b"},
         "--exists/--missing cannot be combined with <term>, --key/--value, --where, or --path"},
        {{},
         "missing search term (provide <term>, --key/--value, --type, --where, --path, --emit, --exists, or --missing)"},
        {{"--format", "xml", "-h"}, "--format: unknown value 'xml'"},
    };
    for (const Case& c : cases) {
        auto r = scan(c.args);
        ASSERT_FALSE(r.ok()) << c.message;
        EXPECT_EQ(r.error(), c.message);
    }
}

TEST(SearchArgs, HelpStopsTheScan) {
    for (std::vector<std::string> a : {std::vector<std::string>{"-h"}, {"foo", "--help=x", "--format", "xml"}}) {
        auto r = scan(a);
        ASSERT_TRUE(r.ok());
        EXPECT_TRUE(r->help);
    }
}

TEST(SearchArgs, ValuesAndPositionals) {
    SearchOptions o = ok({"-10", "data.json"});
    EXPECT_EQ(o.term, "-10");
    EXPECT_EQ(o.file, "data.json");

    o = ok({"-1", "foo"});
    EXPECT_EQ(o.limit, 1u);
    EXPECT_EQ(o.term, "foo");
    EXPECT_EQ(o.file, "-");

    o = ok({"-"});
    EXPECT_EQ(o.term, "-");

    EXPECT_EQ(ok({"--limit=5", "foo"}).limit, 5u);
    EXPECT_EQ(ok({"--limit", "+007", "foo"}).limit, 7u);
    EXPECT_EQ(ok({"--limit", "18446744073709551615", "foo"}).limit, UINT64_MAX);
    EXPECT_TRUE(ok({"--regex=no", "foo"}).regex);
    EXPECT_EQ(ok({"--where=.a == 1", "f.json"}).where, ".a == 1");
    EXPECT_EQ(ok({"--key="}).key, "");

    o = ok({"--key", "--value"});
    EXPECT_EQ(o.key, "--value");
    EXPECT_FALSE(o.value);
    EXPECT_EQ(o.file, "-");

    EXPECT_EQ(ok({"--max-output", "1m", "x"}).max_output, 1048576u);
    EXPECT_EQ(ok({"--max-output",
                  "\xE2\x80\x83"
                  "2k\t",
                  "x"})
                  .max_output,
              2048u);
    EXPECT_EQ(ok({"--max-output", "0", "x"}).max_output, 0u);
    EXPECT_EQ(ok({"--type", "STRING", "x"}).type_filter, TypeFilter::String);
    EXPECT_EQ(ok({"-t", "bool", "x"}).type_filter, TypeFilter::Boolean);
    EXPECT_EQ(ok({"--emit", "value"}).emit, EmitMode::Value);
    EXPECT_EQ(ok({"--no-color", "x"}).color, cli::ColorMode::Never);
    EXPECT_TRUE(ok({"--jsonl-in", "x"}).jsonl_in);
    EXPECT_EQ(ok({"--where", ".a > 1", "data.json"}).file, "data.json");
    EXPECT_EQ(ok({"--where", ".a > 1", "data.json"}).term, std::nullopt);

    // Every positional after the term is a file, in order.
    o = ok({"a", "b", "c", "d"});
    EXPECT_EQ(o.term, "a");
    EXPECT_EQ(o.file, "b");
    EXPECT_EQ(o.more_files, (std::vector<std::string>{"c", "d"}));
    o = ok({"--key", "k", "x.json", "y.json"});
    EXPECT_EQ(o.term, std::nullopt);
    EXPECT_EQ(o.file, "x.json");
    EXPECT_EQ(o.more_files, (std::vector<std::string>{"y.json"}));
}

TEST(SearchArgs, AiDefaultsApplyWhenScanned) {
    SearchOptions o = ok({"--ai", "x"});
    EXPECT_EQ(o.format, cli::OutputFormat::JsonLines);
    EXPECT_TRUE(o.envelope);
    EXPECT_EQ(o.max_output, 1048576u);
    EXPECT_EQ(o.max_value_bytes, 256u);

    EXPECT_EQ(ok({"--ai", "--format", "json", "x"}).format, cli::OutputFormat::Json);
    EXPECT_EQ(ok({"--format", "json", "--ai", "x"}).format, cli::OutputFormat::Json);
    EXPECT_EQ(ok({"--format", "plain", "--ai", "x"}).format, cli::OutputFormat::JsonLines);
    EXPECT_EQ(ok({"--ai", "--max-output", "5", "x"}).max_output, 5u);
    EXPECT_EQ(ok({"--max-output", "5", "--ai", "x"}).max_output, 5u);
    EXPECT_EQ(ok({"--max-value-bytes", "9", "--ai", "x"}).max_value_bytes, 9u);
}
