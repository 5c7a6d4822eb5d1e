// A large array of records checked and written in slices on several threads
// gives what the check and the write in turn give: the same text, the same
// rejections, nothing written before a late fault is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "record_documents.hpp"
#include "resident_memory.hpp"
#include "rova_rudo/json_value.hpp"
#include "mapped_file.hpp"

namespace rova_rudo {
namespace {

// What a reformat leaves: everything drained and then what stayed in the
// output, or "<rejected>" (and then the output must be as it was and
// nothing drained). Checked in slices `checked` times as large as those
// written, so that the two walks cut the records in other places.
std::string reformatted(std::string_view doc, JsonStyle style, bool drained, unsigned threads, std::size_t slice,
                        std::size_t checked = 1) {
    std::string out = "kept:", got;
    int drains = 0;
    const std::function<void(std::string&)> drain = [&](std::string& chunk) {
        ++drains;
        got += chunk;
        chunk.clear();
    };
    const std::function<void(std::string&)> none;
    const bool ok = threads == 0 ? reformat_json(doc, style, out, drained ? drain : none)
                                 : reformat_json_given(doc, style, out, drained ? drain : none, {}, threads,
                                                       checked * slice, slice);
    if (!ok) {
        EXPECT_EQ(out, "kept:");
        EXPECT_EQ(drains, 0);
        return "<rejected>";
    }
    return got + out;
}

// Where two long texts part, with a little of each from there: a readable
// failure message.
std::string parting(const std::string& a, const std::string& b) {
    if (a == b) return "same";
    const auto at = static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
    const std::size_t from = at < 40 ? 0 : at - 40;
    return "offset " + std::to_string(at) + " of " + std::to_string(a.size()) + "/" + std::to_string(b.size()) + ":\n" +
           a.substr(from, 100) + "\n--- instead of ---\n" + b.substr(from, 100);
}

// Records whose elements open as the first does, with faults, repeated
// keys and nesting at the limit placed late, where a slice walked ahead
// meets them.
std::vector<std::string> late_trouble() {
    using Odd = std::vector<std::pair<int, std::string>>;  // (record number, its text)
    auto array = [](const Odd& odd) {
        std::string a = "[";
        for (int r = 0; r < 150; ++r) {
            if (r) a += r % 3 ? "," : " ,\n ";
            std::string e = "{\"id\":" + std::to_string(r) + ",\"s\":\"x,{\\\"id\\\":1}\\n\\u00e9\\/" +
                            std::string(r % 40, 'q') + "\",\"n\":[" + std::to_string(r) +
                            ".50,1E2,-0,{}],\"o\":{\"id\":" + std::to_string(r) + "}}";
            for (const auto& [at, text] : odd)
                if (at == r) e = text;
            a += e;
        }
        return a + "]";
    };
    const std::string repeated = R"({"id":1,"a":1,"a":2})";
    const std::string fault = R"({"id":1,"x":01})";
    const std::string deep_ok = std::string(125, '[') + std::string(125, ']');
    const std::string too_deep = std::string(126, '[') + std::string(126, ']');
    std::string wide = "[";  // a record whose written text is far larger than its slice
    for (int k = 0; k < 20000; ++k) wide += (k ? "," : "") + std::to_string(k);
    wide += "]";
    const std::string plain = array({});
    // A lead that ends inside a key (`{":`) also matches where a key holds
    // ",{": a slice would begin inside a string of valid text.
    // Written from there, the text reads as the record after record that
    // it is not, up to the end, where the last string would never close.
    std::string inside_key = "[{\":k\":0}";
    for (int r = 0; r < 300; ++r) inside_key += ",{\"a,{\":\"x\"}";
    inside_key += "]";
    return {
        inside_key,
        plain,
        array({{120, R"({"id":120,"a":1,"b":{"c":2,"c":3},"a":4})"}}),
        array({{120, repeated}}) + " ",
        array({{120, repeated}, {140, fault}}),
        array({{100, fault}, {140, repeated}}),
        array({{120, "{\"id\":120,\"d\":" + deep_ok + "}"}}),
        array({{120, "{\"id\":120,\"d\":" + too_deep + "}"}}),
        array({{120, "{\"id\":120,\"d\":\"\\q\"}"}}),
        array({{120, "{\"id\":120,\"d\":\"\xC3\"}"}}),
        array({{120, "{\"id\":120,\"d\":1e999}"}}),
        array({{60, "{\"id\":60,\"w\":" + wide + "}"}}),
        array({{140, "{\"id\":140,\"w\":" + wide + "}"}, {145, repeated}}),
        plain + "\n \t",
        plain + "[]",
        plain.substr(0, plain.size() - 1),
    };
}

TEST(ReformatRounds, SlicesGiveTheCheckAndWriteInTurn) {
    std::vector<std::string> docs;
    for (const auto& d : test_support::record_documents())
        if (!d.lines) docs.push_back(d.text);
    for (std::string& d : late_trouble()) docs.push_back(std::move(d));
    int rejected = 0, written = 0;
    for (const std::string& doc : docs) {
        for (JsonStyle style : {JsonStyle::Pretty, JsonStyle::Compact}) {
            for (bool drained : {true, false}) {
                const std::string want = reformatted(doc, style, drained, 0, 0);
                (want == "<rejected>" ? rejected : written) += 1;
                for (const auto& [threads, slice] : test_support::kSliceWays)
                    for (std::size_t checked : {1, 7})
                        ASSERT_EQ(parting(reformatted(doc, style, drained, threads, slice, checked), want), "same")
                            << "threads " << threads << " slice " << slice << " checked " << checked << " style "
                            << static_cast<int>(style) << " drained " << drained << " doc " << doc.substr(0, 80);
            }
        }
    }
    // Both roads are taken: documents written, and documents rejected late.
    EXPECT_GE(rejected, 4 * 8);
    EXPECT_GE(written, 4 * 8);
}

// The deepest nesting the reader takes is the same inside a slice, where the
// array around a record counts as one level.
TEST(ReformatRounds, NestingLimitCountsTheArrayAround) {
    auto doc = [](int depth) {
        std::string a = "[";
        for (int r = 0; r < 100; ++r) a += (r ? "," : "") + std::string("{\"id\":") + std::to_string(r) + "}";
        return a + ",{\"id\":0,\"d\":" + std::string(depth, '[') + std::string(depth, ']') + "}]";
    };
    std::string out;
    EXPECT_TRUE(reformat_json_given(doc(125), JsonStyle::Pretty, out, {}, {}, 3, 250, 250));
    out.clear();
    EXPECT_FALSE(reformat_json_given(doc(126), JsonStyle::Pretty, out, {}, {}, 3, 250, 250));
    EXPECT_TRUE(out.empty());
}

// A reader that has gone ends the writing: what was drained is a prefix of
// the whole text, and the rest is not made.
TEST(ReformatRounds, StopEndsTheWriting) {
    std::string doc = "[";
    for (int r = 0; r < 20000; ++r)
        doc += (r ? "," : "") + std::string("{\"id\":") + std::to_string(r) + ",\"v\":[1,2]}";
    doc += "]";
    std::string whole;
    ASSERT_TRUE(reformat_json(doc, JsonStyle::Pretty, whole));
    for (const auto& [threads, slice] : test_support::kSliceWays) {
        std::string drained, out;
        int drains = 0;
        EXPECT_TRUE(reformat_json_given(
            doc, JsonStyle::Pretty, out,
            [&](std::string& chunk) {
                ++drains;
                drained += chunk;
                chunk.clear();
            },
            [&] { return drains >= 3; }, threads, slice, slice));
        EXPECT_EQ(drains, 3);
        EXPECT_LT(drained.size() + out.size(), whole.size() / 2);
        EXPECT_EQ(whole.compare(0, drained.size(), drained), 0);
    }
}

// A map of a file checked and written in slices gives each slice's pages
// back as it passes them, and the same text: little of the document stays
// resident, also for an array given from where it starts inside the map
// (the pages around a slice are found from the map's start). A text read
// whole in turn (one object) has its pages mapped first and gives the same
// text too.
TEST(ReformatRounds, AFileMapIsGivenBackAsTheSlicesPassIt) {
    const std::string array = test_support::large_record_array(std::size_t{32} << 20);
    struct Case {
        std::string doc;
        std::size_t value_at;  // the value reformatted runs from here to the document's last byte but `value_cut`
        std::size_t value_cut;
        bool sliced;
    };
    const Case cases[] = {
        {array, 0, 0, true},
        {"{\"all\":" + array + "}", 7, 1, true},
        {"{\"all\":" + test_support::large_record_array(std::size_t{3} << 20) + "}", 0, 0, false},
    };
    for (const Case& c : cases) {
        const test_support::MappedDocument mapped(c.doc);
        const std::string_view value = mapped.text().substr(c.value_at, c.doc.size() - c.value_at - c.value_cut);
        std::string want, got;
        ASSERT_TRUE(reformat_json(value, JsonStyle::Pretty, want));
        ASSERT_TRUE(reformat_json_given(value, JsonStyle::Pretty, got, {}, {}, 4, std::size_t{1} << 20,
                                        std::size_t{1} << 18, mapped.data()));
        EXPECT_EQ(parting(got, want), "same");
        if (c.sliced) {
            EXPECT_LT(test_support::resident_bytes_of_map(mapped.data()), c.doc.size() / 16) << c.value_at;
        }
    }
}

}  // namespace
}  // namespace rova_rudo
