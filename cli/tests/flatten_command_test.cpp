#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "cli/flatten.hpp"
#include "cli/help.hpp"
#include "e2e_harness.hpp"
#include "mapped_file.hpp"
#include "platform/pages.hpp"
#include "record_documents.hpp"
#include "resident_memory.hpp"
#include "rova_rudo/parser.hpp"

using e2e::QmCase;

namespace {

const std::string kDoc = R"({"users":[{"name":"alice","age":30}],"ok":true})";
const std::string kLines = ".users[0].name = \"alice\"\n.users[0].age = 30\n.ok = true\n";
const std::string kEllipsis = "\xE2\x80\xA6";

// Values around the output buffer's 8 KiB, so that lines fill it exactly,
// cross its end and exceed it; and the document and lines they give.
std::pair<std::string, std::string> long_lines() {
    std::string doc = "[", out;
    int i = 0;
    for (std::size_t n : {8180u, 8181u, 8182u, 8185u, 8192u, 9000u, 20000u, 3u, 8000u, 5000u, 1u}) {
        const std::string v(n, static_cast<char>('a' + i % 26));
        doc += (i ? ",\"" : "\"") + v + "\"";
        out += ".[" + std::to_string(i) + "] = \"" + v + "\"\n";
        ++i;
    }
    return {doc + "]", out};
}

}  // namespace

TEST(FlattenCommand, Lines) {
    e2e::check_cases({
        {.name = "file", .args = {"flatten", "d.json"}, .files = {{"d.json", kDoc}}, .out = kLines},
        {.name = "stdin", .args = {"flatten"}, .stdin_data = kDoc, .out = kLines},
        {.name = "objects too",
         .args = {"flatten", "--objects-too=no", "-"},
         .stdin_data = kDoc,
         .out = ". = {object}\n.users = [array]\n.users[0] = {object}\n" + kLines},
        {.name = "empty containers", .args = {"flatten"}, .stdin_data = R"({"a":[],"b":{}})"},
        {.name = "empty array", .args = {"flatten"}, .stdin_data = " [ ] "},
        {.name = "empty array objects too",
         .args = {"flatten", "--objects-too"},
         .stdin_data = "[]",
         .out = ". = [array]\n"},
        {.name = "empty object objects too",
         .args = {"flatten", "--objects-too"},
         .stdin_data = "{}",
         .out = ". = {object}\n"},
        {.name = "nested arrays",
         .args = {"flatten"},
         .stdin_data = "[1,[2],null,false]",
         .out = ".[0] = 1\n.[1][0] = 2\n.[2] = null\n.[3] = false\n"},
        {.name = "scalar", .args = {"flatten"}, .stdin_data = "42", .out = ". = 42\n"},
        {.name = "dotted and escaped keys",
         .args = {"flatten"},
         .stdin_data = R"({"a.b":1,"q\"k":{"x":"y\n"}})",
         .out = ".a.b = 1\n.q\\\"k.x = \"y\\n\"\n"},
        {.name = "whitespace",
         .args = {"flatten"},
         .stdin_data = " {\n  \"a\" :\t[ 1 ,\r\n 2 ] }\n",
         .out = ".a[0] = 1\n.a[1] = 2\n"},
        {.name = "lines around the buffer size",
         .args = {"flatten"},
         .stdin_data = long_lines().first,
         .out = long_lines().second},
    });
}

TEST(FlattenCommand, BudgetAndLimit) {
    e2e::check_cases({
        {.name = "budget",
         .args = {"flatten", "--max-value-bytes", "3"},
         .stdin_data = R"(["hello",12345,false,"abc",{"k":"ab"}])",
         .out = ".[0] = \"hel" + kEllipsis + "\"\n.[1] = 123" + kEllipsis + "\n.[2] = fal" + kEllipsis +
                "\n.[3] = \"abc\"\n.[4].k = \"ab\"\n"},
        {.name = "budget spares container words",
         .args = {"flatten", "--objects-too", "--max-value-bytes=1"},
         .stdin_data = "[[]]",
         .out = ". = [array]\n.[0] = [array]\n"},
        {.name = "limit stops before a fault",
         .args = {"flatten", "--limit", "2"},
         .stdin_data = "[1,2,3,4,5,@",
         .out = ".[0] = 1\n.[1] = 2\n"},
        {.name = "limit on a mapped file",
         .args = {"flatten", "--limit=+2", "d.json"},
         .files = {{"d.json", kDoc}},
         .out = ".users[0].name = \"alice\"\n.users[0].age = 30\n"},
        {.name = "limit counts container lines",
         .args = {"flatten", "--objects-too", "--limit", "2"},
         .stdin_data = kDoc,
         .out = ". = {object}\n.users = [array]\n"},
        {.name = "limit reached at a container stops before a fault",
         .args = {"flatten", "--objects-too", "--limit", "2"},
         .stdin_data = "[[@",
         .out = ". = [array]\n.[0] = [array]\n"},
        {.name = "limit 0", .args = {"flatten", "--limit", "0"}, .stdin_data = "[1]"},
        {.name = "limit above the lines",
         .args = {"flatten", "--limit", "9"},
         .stdin_data = "[1]",
         .out = ".[0] = 1\n"},
        // A limit that is reached skips the trailing-value check.
        {.name = "limit skips the second value",
         .args = {"flatten", "--limit", "1"},
         .stdin_data = "1 2",
         .out = ". = 1\n"},
    });
}

TEST(FlattenCommand, ParseErrors) {
    const std::string p = "qm: flatten: parse error: ";
    e2e::check_cases({
        {.name = "empty", .args = {"flatten"}, .err = p + "unexpected end of input\n", .code = 3},
        {.name = "spaces",
         .args = {"flatten", "d.json"},
         .files = {{"d.json", "   "}},
         .err = p + "unexpected end of input\n",
         .code = 3},
        // Lines before the fault are kept.
        {.name = "second value",
         .args = {"flatten"},
         .stdin_data = "[1] [2]",
         .out = ".[0] = 1\n",
         .err = p + "multiple top-level values (JSONL) detected at offset 4 \xE2\x80\x94 not supported by rova_rudo\n",
         .code = 3},
        {.name = "value missing",
         .args = {"flatten"},
         .stdin_data = R"({"a":)",
         .err = p + "unexpected end of input\n",
         .code = 3},
        {.name = "colon missing at end",
         .args = {"flatten"},
         .stdin_data = R"({"a")",
         .err = p + "unexpected byte 0x00 ('\\x00') at offset 4\n",
         .code = 3},
        {.name = "colon missing",
         .args = {"flatten"},
         .stdin_data = R"({"a" 1})",
         .err = p + "unexpected byte 0x31 ('1') at offset 5\n",
         .code = 3},
        {.name = "trailing comma",
         .args = {"flatten"},
         .stdin_data = "[1,]",
         .out = ".[0] = 1\n",
         .err = p + "unexpected byte 0x5D (']') at offset 3\n",
         .code = 3},
        {.name = "bad literal",
         .args = {"flatten"},
         .stdin_data = "[nul]",
         .err = p + "invalid literal at offset 1\n",
         .code = 3},
        {.name = "unclosed", .args = {"flatten"}, .stdin_data = R"(["ab)", .err = p + "unclosed string\n", .code = 3},
        {.name = "mismatched closer",
         .args = {"flatten"},
         .stdin_data = "{\"a\":1]",
         .out = ".a = 1\n",
         .err = p + "unexpected byte 0x5D (']') at offset 6\n",
         .code = 3},
    });
}

TEST(FlattenCommand, Arguments) {
    const std::string help = std::string(cli::FLATTEN_HELP) + "\n\n" + std::string(cli::EXIT_CODES) + "\n";
    const std::string f = "qm: flatten: ";
    e2e::check_cases({
        {.name = "help", .args = {"flatten", "--help"}, .out = help},
        {.name = "help after positionals", .args = {"flatten", "x", "y", "-h"}, .out = help},
        {.name = "help=x", .args = {"flatten", "--help=x"}, .out = help},
        {.name = "error before help",
         .args = {"flatten", "--bogus", "-h"},
         .err = f + "unknown flag '--bogus'\n",
         .code = 2},
        {.name = "unknown flag names the part before =",
         .args = {"flatten", "--foo=1"},
         .err = f + "unknown flag '--foo'\n",
         .code = 2},
        {.name = "two files",
         .args = {"flatten", "a.json", "b.json"},
         .err = f + "unexpected positional argument 'b.json'\n",
         .code = 2},
        {.name = "limit needs a value",
         .args = {"flatten", "--limit"},
         .err = f + "--limit requires a value\n",
         .code = 2},
        {.name = "empty limit",
         .args = {"flatten", "--limit="},
         .err = f + "--limit: '' is not a non-negative integer\n",
         .code = 2},
        {.name = "limit eats -h",
         .args = {"flatten", "--limit", "-h"},
         .err = f + "--limit: '-h' is not a non-negative integer\n",
         .code = 2},
        {.name = "negative budget",
         .args = {"flatten", "--max-value-bytes", "-1"},
         .err = f + "--max-value-bytes: '-1' is not a non-negative integer\n",
         .code = 2},
        {.name = "overflow",
         .args = {"flatten", "--limit", "18446744073709551616"},
         .err = f + "--limit: '18446744073709551616' is not a non-negative integer\n",
         .code = 2},
        {.name = "-x is a file",
         .args = {"flatten", "-x"},
         .err = f + "-x: No such file or directory (os error 2)\n",
         .code = 3},
        {.name = "missing file with limit",
         .args = {"flatten", "--limit", "1", "nope"},
         .err = f + "nope: No such file or directory (os error 2)\n",
         .code = 3},
    });
}

namespace {

// The lines of `doc` walked by `threads` threads in slices of `slice` bytes,
// and its first error after them.
std::string flattened(std::string_view doc, const cli::FlattenOptions& o, unsigned threads, std::size_t slice,
                      bool file_map = false) {
    std::string out;
    {
        cli::BufferedWriter w(&out);
        auto r = cli::flatten_document_given(doc, o, w, threads, slice, file_map);
        w.flush();
        if (!r) out += "error " + rova_rudo::parse_error_display(r.error());
    }
    return out;
}

}  // namespace

// The elements of an array walked in slices on several threads give the lines
// of one walk in turn, byte for byte, and the same first error after them.
TEST(FlattenCommand, RecordsInSlicesGiveTheWalkInTurn) {
    const cli::FlattenOptions options[] = {{}, {.objects_too = true}, {.truncation = 2, .objects_too = true}};
    for (const auto& [doc, is_lines] : test_support::record_documents()) {
        for (const cli::FlattenOptions& o : options) {
            const std::string want = flattened(doc, o, 1, 0);
            for (const auto& [threads, slice] : test_support::kSliceWays)
                ASSERT_EQ(flattened(doc, o, threads, slice), want) << "threads " << threads << " slice " << slice;
        }
    }
}

// A slice numbers its records before it knows where they start, from how
// many records the bytes before it held: records whose size changes along
// the array make that number too low or too high, across the widths of 10,
// 100 and 1000, and the lines must come out as the walk in turn gives them.
TEST(FlattenCommand, RecordNumbersGuessedWrongAreSettled) {
    auto array = [](auto size_of) {
        std::string a = "[";
        for (int r = 0; r < 1500; ++r)
            a += std::string(r ? "," : "") + "{\"id\":" + std::to_string(r) + ",\"v\":\"" +
                 std::string(size_of(r), 'x') + "\",\"k\":[1,{\"z\":2}]}";
        return a + "]";
    };
    const std::string docs[] = {
        array([](int r) { return r < 700 ? 300 : 2; }),  // later records smaller: guesses too low
        array([](int r) { return r < 700 ? 2 : 300; }),  // later records larger: guesses too high
        array([](int r) { return (r * 37) % 200; }),
    };
    const cli::FlattenOptions options[] = {{}, {.objects_too = true}};
    for (const std::string& doc : docs) {
        for (const cli::FlattenOptions& o : options) {
            const std::string want = flattened(doc, o, 1, 0);
            for (const auto& [threads, slice] : {std::pair{3u, 2000}, {8u, 4000}, {5u, 9000}})
                ASSERT_EQ(flattened(doc, o, threads, slice), want) << "threads " << threads << " slice " << slice;
        }
    }
}

// A walk in slices over a map of a file gives each slice's pages back once
// it is walked: little of the document stays resident, and the lines are
// still those of the walk in turn (a page given back reads the file again).
TEST(FlattenCommand, SlicesOfAFileMapGiveTheirPagesBack) {
    const std::string doc = test_support::large_record_array(std::size_t{64} << 20);
    const test_support::MappedDocument m(doc);
    const std::string_view mapped = m.text();
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    // What one walk leaves resident of the map.
    auto held_after = [&](bool file_map) {
        cli::BufferedWriter w(null);
        EXPECT_TRUE(cli::flatten_document_given(mapped, {}, w, 4, std::size_t{1} << 20, file_map).ok());
        w.flush();
        return test_support::resident_bytes_of_map(m.data());
    };
    EXPECT_LT(held_after(true), doc.size() / 16);
    EXPECT_GT(held_after(false), doc.size() / 2);  // the measure sees the pages a walk keeps
    ::close(null);
    platform::release_read_pages(mapped.data(), mapped.size());
    EXPECT_EQ(flattened(mapped, {}, 4, std::size_t{64} << 10, true), flattened(doc, {}, 1, 0));
}
