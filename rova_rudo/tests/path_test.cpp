#include "rova_rudo/path.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace rova_rudo;

namespace {

TEST(PathBuilder, WalkSequence) {
    PathBuilder b = new_root_path_dot();
    EXPECT_EQ(b.text, ".");
    path_mark_segment(b);
    path_set_key(b, "a");
    EXPECT_EQ(b.text, ".a");
    path_enter_array(b);
    EXPECT_EQ(b.text, ".a[0]");
    path_set_index(b, 3);
    EXPECT_EQ(b.text, ".a[3]");
    path_mark_segment(b);  // object inside the array
    path_set_key(b, "email");
    EXPECT_EQ(b.text, ".a[3].email");
    path_set_key(b, "name");
    EXPECT_EQ(b.text, ".a[3].name");
    path_pop(b);
    EXPECT_EQ(b.text, ".a[3]");
    path_set_index(b, 4294967295u);
    EXPECT_EQ(b.text, ".a[4294967295]");
    path_pop(b);
    EXPECT_EQ(b.text, ".a");
    path_set_key(b, "b");
    EXPECT_EQ(b.text, ".b");
    path_pop(b);
    EXPECT_EQ(b.text, ".");
    EXPECT_TRUE(b.starts.empty());
}

TEST(PathBuilder, TopLevelArrayAndEmptyContainers) {
    PathBuilder b = new_root_path_dot();
    path_enter_array(b);
    EXPECT_EQ(b.text, ".[0]");
    path_set_index(b, 10);
    path_enter_array(b);  // empty nested array
    path_pop(b);
    EXPECT_EQ(b.text, ".[10]");
    path_mark_segment(b);  // empty nested object
    path_pop(b);
    EXPECT_EQ(b.text, ".[10]");
    path_pop(b);
    EXPECT_EQ(b.text, ".");
}

TEST(PathBuilder, KeysEndingInDotAndEmptyKeys) {
    PathBuilder b = new_root_path_dot();
    path_mark_segment(b);
    path_set_key(b, "");
    EXPECT_EQ(b.text, ".");
    path_set_key(b, "c");
    EXPECT_EQ(b.text, ".c");
    path_set_key(b, "x.");
    path_mark_segment(b);
    path_set_key(b, "y");
    EXPECT_EQ(b.text, ".x.y");
}

TEST(PathBuilder, GuardedOperationsOnRoot) {
    PathBuilder b = new_root_path_dot();
    path_set_index(b, 3);
    EXPECT_EQ(b.text, ".");
    path_pop(b);
    EXPECT_EQ(b.text, ".");
    EXPECT_TRUE(b.starts.empty());
}

TEST(PathPushKey, InvalidUtf8Rule) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\xFF"
         "b",
         ".a\xEF\xBF\xBD"
         "b"},
        {"\xC3\xA9", ".\xC3\xA9"},
        {"\xC3\xA9\xFF", ".\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC3", ".\xEF\xBF\xBD"},
        {"a\\u00e9", ".a\\u00e9"},
    };
    for (const auto& [key, want] : cases) {
        std::string text = ".";
        path_push_key(text, key);
        EXPECT_EQ(text, want);
    }
    std::string empty;
    path_push_key(empty, "k");
    EXPECT_EQ(empty, ".k");
    std::string nested = ".a";
    path_push_key(nested, "b");
    EXPECT_EQ(nested, ".a.b");
}

}  // namespace

// The deferred path spells what a builder given the same steps holds, however
// seldom its text is asked for in between.
// The ASCII test reads a key in overlapping words: a byte of 0x80 or above at
// any place of a key of any length is seen.
TEST(PathPushKey, ByteAboveAsciiAtAnyPlaceIsSeen) {
    for (std::size_t n = 1; n <= 24; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            std::string key(n, 'k');
            key[at] = '\xFF';
            std::string want = "." + std::string(at, 'k') + "\xEF\xBF\xBD" + std::string(n - at - 1, 'k');
            std::string text = ".";
            path_push_key(text, key);
            ASSERT_EQ(text, want) << "length " << n << " at " << at;
        }
    }
}

TEST(DeferredPath, SpellsWhatTheBuilderHolds) {
    enum Op { Arr, Obj, Index, Key, Pop };
    const std::vector<std::pair<Op, std::string>> steps = {
        {Obj, ""},
        {Key, "users"},
        {Arr, ""},
        {Index, "3"},
        {Obj, ""},
        {Key, "e"},
        {Key, "na.me"},
        {Obj, ""},
        {Key, ""},
        {Key, "x."},
        {Obj, ""},
        {Key, "y"},
        {Pop, ""},
        {Pop, ""},
        {Key,
         "a\xFF"
         "b"},
        {Arr, ""},
        {Pop, ""},
        {Pop, ""},
        {Index, "4294967295"},
        {Arr, ""},
        {Index, "7"},
        {Pop, ""},
        {Pop, ""},
        {Key, "z"},
        {Pop, ""},
        {Key, "late"},
        {Pop, ""},
        {Index, "1"},
    };
    for (std::size_t every : {1u, 2u, 3u, 5u, 100u}) {
        PathBuilder b = new_root_path_dot();
        DeferredPath d;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const auto& [op, arg] = steps[i];
            switch (op) {
                case Arr:
                    path_enter_array(b);
                    d.enter_array();
                    break;
                case Obj:
                    path_mark_segment(b);
                    d.enter_object();
                    break;
                case Index:
                    path_set_index(b, static_cast<std::uint32_t>(std::stoul(arg)));
                    d.set_index(static_cast<std::uint32_t>(std::stoul(arg)));
                    break;
                case Key:
                    if (!b.starts.empty()) path_set_key(b, arg);
                    d.set_key(arg);
                    break;
                case Pop:
                    path_pop(b);
                    d.pop();
                    break;
            }
            if (i % every == 0 || i + 1 == steps.size()) {
                EXPECT_EQ(d.text(), b.text) << "step " << i << " every " << every;
            }
        }
    }
}
