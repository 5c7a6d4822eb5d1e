#include "cli/glob.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "e2e_harness.hpp"

namespace {

struct Tree {
    e2e::TempDir dir;
    Tree() {
        for (const char* f : {"a.json", "b.json", ".hidden.json", "c.txt", "B.JSON", "x]y.json", "sub/d.json",
                              "sub/deep/e.json", "sub/deep/f.txt", "other/g.json", "-.json"})
            dir.write(f, "{}");
    }
    std::vector<std::string> glob(const std::string& pat) const {
        auto r = cli::expand_glob(dir.path() + "/" + pat);
        EXPECT_TRUE(r.ok()) << pat;
        std::vector<std::string> out;
        if (!r) return out;
        for (auto& p : *r) out.push_back(p.substr(dir.path().size() + 1));
        return out;
    }
};

using V = std::vector<std::string>;

}  // namespace

TEST(Glob, MatchesComponentsInSortedOrder) {
    Tree t;
    struct Case {
        const char* pattern;
        V want;
    };
    const Case cases[] = {
        {"*.json", {"-.json", ".hidden.json", "a.json", "b.json", "x]y.json"}},
        {"?.json", {"-.json", "a.json", "b.json"}},
        {"[ab].json", {"a.json", "b.json"}},
        {"[!ab].json", {"-.json"}},
        {"[a-b].json", {"a.json", "b.json"}},
        {"[]x]]y.json", {"x]y.json"}},
        {"x[]]y.json", {"x]y.json"}},
        {"x[!]]y.json", {}},
        {"B.*", {"B.JSON"}},
        {"sub/*/*.json", {"sub/deep/e.json"}},
        {"*/d.json", {"sub/d.json"}},
        {"**/*.json",
         {"-.json", ".hidden.json", "a.json", "b.json", "other/g.json", "sub/d.json", "sub/deep/e.json", "x]y.json"}},
        {"sub/**/e.json", {"sub/deep/e.json"}},
        {"sub/**", {"sub/d.json", "sub/deep", "sub/deep/e.json", "sub/deep/f.txt"}},
        {"nomatch*", {}},
        {"sub/d.js?n", {"sub/d.json"}},
        {"missing/*.json", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(t.glob(c.pattern), c.want) << c.pattern;
}

TEST(Glob, RejectsMalformedPatternsWithPosition) {
    struct Case {
        const char* pattern;
        const char* text;
    };
    const Case cases[] = {
        {"a[.json", "Pattern syntax error near position 1: invalid range pattern"},
        {"[!", "Pattern syntax error near position 0: invalid range pattern"},
        {"d/***.json", "Pattern syntax error near position 4: wildcards are either regular `*` or recursive `**`"},
        {"a**/x", "Pattern syntax error near position 0: recursive wildcards must form a single path component"},
        {"**b", "Pattern syntax error near position 2: recursive wildcards must form a single path component"},
        {"é[", "Pattern syntax error near position 1: invalid range pattern"},
    };
    for (const Case& c : cases) {
        auto r = cli::expand_glob(c.pattern);
        ASSERT_FALSE(r.ok()) << c.pattern;
        EXPECT_EQ(r.error().text(), c.text) << c.pattern;
    }
}

TEST(Glob, RelativePatternsKeepTheirSpelling) {
    Tree t;
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(t.dir.path());
    auto a = cli::expand_glob("./sub/*.json");
    auto b = cli::expand_glob("sub/*.json");
    std::filesystem::current_path(old);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(*a, V{"./sub/d.json"});
    EXPECT_EQ(*b, V{"sub/d.json"});
}

// `**` follows linked directories, so nothing behind a link is lost, but
// stops at a link back into the directories it is already inside.
TEST(Glob, RecursionFollowsLinksButNotCycles) {
    Tree t;
    std::filesystem::create_directory_symlink(t.dir.path() + "/sub", t.dir.path() + "/sub/deep/loop");
    std::filesystem::create_directory_symlink(t.dir.path() + "/other", t.dir.path() + "/sub/linked");
    std::filesystem::create_directory_symlink(t.dir.path(), t.dir.path() + "/other/up");
    EXPECT_EQ(t.glob("sub/**/e.json"), (V{"sub/deep/e.json", "sub/linked/up/sub/deep/e.json"}));
    EXPECT_EQ(t.glob("sub/**/g.json"), (V{"sub/linked/g.json", "sub/linked/up/other/g.json"}));
}
