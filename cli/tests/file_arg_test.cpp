#include "cli/file_arg.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_harness.hpp"

namespace cli {
namespace {

TEST(LooksLikeFileArg, NamesPatternsAndTheFileSystem) {
    e2e::TempDir dir;
    const std::string file = dir.write("plain", "{}");
    const std::string sub = dir.write("sub/x", "1");
    const std::string sub_dir = sub.substr(0, sub.rfind('/'));
    struct Row {
        std::string arg;
        bool want;
    };
    const std::vector<Row> rows = {
        {"-", true},         {"*", true},          {"a*b", true},           {"what?", true},    {"data.json", true},
        {"DATA.JSON", true}, {"x.JsonL", true},    {"x.ndjson", true},      {"x.json5", false}, {"[ab]", false},
        {"", false},         {".users[0]", false}, {"no-such-file", false}, {file, true},       {sub_dir, false},
        {"/dev/null", true},
    };
    for (const auto& r : rows) EXPECT_EQ(looks_like_file_arg(r.arg), r.want) << "'" << r.arg << "'";
}

TEST(ArgumentOrderHint, OnlyWhenTheFileComesFirst) {
    using V = std::vector<std::string>;
    EXPECT_EQ(argument_order_hint("search", V{"data.json", "alice"}, "pattern").value(),
              "argument order changed \xe2\x80\x94 pattern now comes before file.\n"
              "try: qm search \"alice\" data.json\n"
              "(got: qm search data.json alice)");
    EXPECT_EQ(argument_order_hint("get", V{"-", ".a"}, "path").value(),
              "argument order changed \xe2\x80\x94 path now comes before file.\n"
              "try: qm get .a -\n"
              "(got: qm get - .a)");
    EXPECT_FALSE(argument_order_hint("get", V{".a", "data.json"}, "path"));
    EXPECT_FALSE(argument_order_hint("get", V{"a.json", "b.json"}, "path"));
    EXPECT_FALSE(argument_order_hint("get", V{"a.json"}, "path"));
    EXPECT_FALSE(argument_order_hint("get", V{"a.json", ".x", "y"}, "path"));
}

}  // namespace
}  // namespace cli
