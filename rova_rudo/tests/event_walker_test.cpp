#include "rova_rudo/event_walker.hpp"

#include <gtest/gtest.h>

#include <string>

namespace rova_rudo {
namespace {

// Records every event as a short token: "[0" enter array at 0, "{6" enter
// object at 6, "#1" element 1, "k:a" key a, "s:x" / "n:1" / "b:true" / "z:null"
// scalars, "]8" exit with the offset past the closer.
struct Recorder {
    std::string log;
    int stop_at_scalar = -1;  // stop on the n-th scalar (0-based)
    int scalars = 0;

    bool add(const std::string& s) {
        if (!log.empty()) log += ' ';
        log += s;
        return false;
    }
    bool visitor_enter_array(std::uint64_t o) { return add("[" + std::to_string(o)); }
    bool visitor_enter_object(std::uint64_t o) { return add("{" + std::to_string(o)); }
    void visitor_array_element(std::uint32_t i) { add("#" + std::to_string(i)); }
    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        return scan_member_key(c, [this](std::string_view key) { add("k:" + std::string(key)); });
    }
    bool visitor_scalar(std::string_view v, ScalarKind k) {
        const char* tag = k == ScalarKind::String    ? "s:"
                          : k == ScalarKind::Number  ? "n:"
                          : k == ScalarKind::Boolean ? "b:"
                                                     : "z:";
        add(tag + std::string(v));
        return scalars++ == stop_at_scalar;
    }
    bool visitor_exit_container(std::uint64_t e) {
        add("]" + std::to_string(e));
        return false;
    }
};

struct WalkCase {
    std::string doc;
    std::string events;
    std::string outcome;  // "ok@<pos>", "stop@<pos>" or "err <code> <byte> <offset>"
};

std::string describe(const WalkOutcome& o, const JsonCursor& c) {
    if (!o.is_error()) return std::string(o.stopped() ? "stop@" : "ok@") + std::to_string(c.pos);
    ParseError e = o.error();
    return "err " + std::to_string(static_cast<int>(e.code)) + " " + std::to_string(e.byte) + " " +
           std::to_string(e.offset);
}

TEST(EventWalker, EventsAndOutcomes) {
    const WalkCase cases[] = {
        {"[]", "[0 ]2", "ok@2"},
        {" {} ", "{1 ]3", "ok@3"},
        {"[1,[2,{}]]", "[0 #0 n:1 #1 [3 #0 n:2 #1 {6 ]8 ]9 ]10", "ok@10"},
        {R"({"a": "x", "b" : [true,false,null]})", "{0 k:a s:x k:b [17 #0 b:true #1 b:false #2 z:null ]34 ]35",
         "ok@35"},
        {R"("a\"b")", R"(s:a\"b)", "ok@6"},
        {"- 1e+", "n:-", "ok@1"},  // number spans are not validated
        {"1 2", "n:1", "ok@1"},    // only the first value is read
        // Syntax errors, with what was reported before them.
        {"", "", "err 1 0 0"},
        {"   ", "", "err 1 0 0"},
        {"[", "[0 #0", "err 1 0 0"},
        {"[1", "[0 #0 n:1", "err 1 0 0"},
        {"\"abc", "", "err 2 0 0"},
        {"tru", "", "err 3 0 0"},
        {"[nul]", "[0 #0", "err 3 0 1"},
        {"[nullx]", "[0 #0 z:null", "err 0 120 5"},
        {"]", "", "err 0 93 0"},
        {"[1 2]", "[0 #0 n:1", "err 0 50 3"},
        {"[1,]", "[0 #0 n:1 #1", "err 0 93 3"},
        {"{\"a\":1,}", "{0 k:a n:1", "err 0 125 7"},
        {"{\"a\" 1}", "{0 k:a", "err 0 49 5"},
        {"{\"a\"", "{0 k:a", "err 0 0 4"},
        {"{\"a\":1]", "{0 k:a n:1", "err 0 93 6"},
        {"[:]", "[0 #0", "err 0 58 1"},
    };
    for (const auto& tc : cases) {
        Recorder r;
        JsonCursor c(tc.doc);
        WalkOutcome o = walk_json_events(c, r);
        EXPECT_EQ(r.log, tc.events) << tc.doc;
        EXPECT_EQ(describe(o, c), tc.outcome) << tc.doc;
    }
}

TEST(EventWalker, StopEndsTheWalkAfterTheToken) {
    Recorder r;
    r.stop_at_scalar = 0;
    JsonCursor c(std::string_view("[1,2]"));
    WalkOutcome o = walk_json_events(c, r);
    EXPECT_EQ(describe(o, c), "stop@2");
    EXPECT_EQ(r.log, "[0 #0 n:1");  // no exit call for the array
}

TEST(EventWalker, DeepNestingUsesNoRecursion) {
    const std::size_t depth = 200000;
    std::string doc(depth, '[');
    doc += "{\"k\":1}";
    doc.append(depth, ']');
    struct Counter {
        std::size_t enters = 0, exits = 0, elements = 0;
        bool visitor_enter_array(std::uint64_t) {
            ++enters;
            return false;
        }
        bool visitor_enter_object(std::uint64_t) {
            ++enters;
            return false;
        }
        void visitor_array_element(std::uint32_t) { ++elements; }
        std::optional<ParseError> visitor_object_key(JsonCursor& c) {
            c.pos += 4;  // "k":
            return std::nullopt;
        }
        bool visitor_scalar(std::string_view, ScalarKind) { return false; }
        bool visitor_exit_container(std::uint64_t) {
            ++exits;
            return false;
        }
    } v;
    JsonCursor c(doc);
    WalkOutcome o = walk_json_events(c, v);
    EXPECT_FALSE(o.is_error());
    EXPECT_EQ(c.pos, doc.size());
    EXPECT_EQ(v.enters, depth + 1);
    EXPECT_EQ(v.exits, depth + 1);
    EXPECT_EQ(v.elements, depth);
}

}  // namespace
}  // namespace rova_rudo
