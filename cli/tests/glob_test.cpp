#include "cli/glob.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <utility>

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
        // Two `**` reach a path several ways; it is found once.
        {"**/**/e.json", {"sub/deep/e.json"}},
        {"**/deep/**", {"sub/deep/e.json", "sub/deep/f.txt"}},
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

// A path the listing showed as a regular file is said to be one, so that
// the search may open it with no look at it first; a link, a directory, a
// FIFO and a name the pattern spelled out are not.
TEST(Glob, WalkTellsWhatTheListingShowedARegularFile) {
    Tree t;
    std::filesystem::create_symlink(t.dir.path() + "/a.json", t.dir.path() + "/sub/link.json");
    ASSERT_EQ(::mkfifo((t.dir.path() + "/sub/fifo.json").c_str(), 0600), 0);
    auto walked = [&](const std::string& pattern) {
        auto glob = cli::Glob::compile(t.dir.path() + "/" + pattern);
        EXPECT_TRUE(glob.ok()) << pattern;
        std::vector<std::pair<std::string, bool>> out;
        if (glob) {
            glob->walk([&](std::string path, bool regular) {
                out.emplace_back(path.substr(t.dir.path().size() + 1), regular);
            });
        }
        return out;
    };
    using W = std::vector<std::pair<std::string, bool>>;
    EXPECT_EQ(walked("sub/*"),
              (W{{"sub/d.json", true}, {"sub/deep", false}, {"sub/fifo.json", false}, {"sub/link.json", false}}));
    EXPECT_EQ(walked("s?b/**/*.json"),
              (W{{"sub/d.json", true}, {"sub/deep/e.json", true}, {"sub/fifo.json", false}, {"sub/link.json", false}}));
    EXPECT_EQ(walked("*/d.json"), (W{{"sub/d.json", false}}));
    EXPECT_EQ(walked("sub/deep/e.js[o]n"), (W{{"sub/deep/e.json", true}}));
    EXPECT_EQ(walked("s*/deep/e.json"), (W{{"sub/deep/e.json", false}}));
}

// A tree a thousand directories deep is walked whole, in order: the walk's
// depth is no limit of its own.
TEST(Glob, DeepTreesAreWalkedWhole) {
    Tree t;
    std::string deep = "sub";
    for (int i = 0; i < 1000; ++i) deep += "/d";
    t.dir.write(deep + "/z.json", "{}");
    t.dir.write(deep.substr(0, deep.size() / 2) + "/m.json", "{}");
    const V found = t.glob("sub/**/*.json");
    // "d" sorts before "d.json" and "m.json": each directory's "d" is walked first.
    EXPECT_EQ(found,
              (V{deep + "/z.json", deep.substr(0, deep.size() / 2) + "/m.json", "sub/d.json", "sub/deep/e.json"}));
}
