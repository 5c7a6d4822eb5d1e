#include "rova_rudo/record_rounds.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "record_documents.hpp"
#include "refused_threads.hpp"
#include "rova_rudo/event_walker.hpp"
#include "rova_rudo/parser.hpp"

namespace rova_rudo {
namespace {

// Results that stop the walk once `stop_after` (0: never) have come.
struct Sink {
    std::vector<std::string> lines;
    std::size_t stop_after = 0;
    bool put(std::string line) {
        lines.push_back(std::move(line));
        return stop_after != 0 && lines.size() >= stop_after;
    }
};

// Reports every scalar's raw text; `emit` returns true to stop.
template <typename Emit>
struct ScalarVisitor {
    Emit emit;
    bool visitor_enter_array(std::uint64_t) { return false; }
    bool visitor_enter_object(std::uint64_t) { return false; }
    void visitor_array_element(std::uint32_t) {}
    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        return scan_member_key(c, [](std::string_view) {});
    }
    bool visitor_scalar(std::string_view raw, ScalarKind) { return emit(raw); }
    bool visitor_exit_container(std::uint64_t) { return false; }
};
template <typename Emit>
ScalarVisitor(Emit) -> ScalarVisitor<Emit>;

// A slice's scalars, each with its record's number within the slice, and
// the same with the records' numbers once settled.
struct Held {
    std::vector<std::pair<std::uint32_t, std::string>> items;
    std::vector<std::string> settled;
    std::uint32_t settled_first = 0;
    bool is_settled = false;
};

// How a walk went, as the caller of walk_record_rounds sees it.
struct Got {
    std::vector<std::string> lines;
    std::string end;  // how it ended, the error, the record number and the cursor
    bool operator==(const Got&) const = default;
};

std::string describe(RecordsEnd how, const ParseError& error, std::uint32_t j, std::uint64_t pos) {
    std::string s = std::to_string(static_cast<int>(how));
    if (how == RecordsEnd::Error) s += " " + parse_error_display(error);
    // After a stop neither walk says where it stood.
    if (how != RecordsEnd::Stopped) s += " record " + std::to_string(j) + " at " + std::to_string(pos);
    return s;
}

// Where the records start: after the "[" of an array, at the first record of JSON Lines.
JsonCursor records_cursor(std::string_view doc, bool lines) {
    JsonCursor c = document_cursor(doc);
    skip_whitespace(c);
    if (!lines) ++c.pos;
    return c;
}

template <typename OnRecord>
RecordsEnd walk_tokens(JsonCursor& c, std::uint32_t& j, std::uint64_t until, bool array, ParseError& error,
                       OnRecord&& on_token) {
    return walk_records(
        c,
        [&](JsonCursor& rc, std::uint32_t r) {
            ScalarVisitor v{[&](std::string_view t) { return on_token(r, t); }};
            return walk_json_events(rc, v);
        },
        j, until, array, error);
}

Got walk_in_turn(std::string_view doc, bool lines, std::size_t stop_after) {
    Sink sink{.stop_after = stop_after};
    JsonCursor c = records_cursor(doc, lines);
    std::uint32_t j = 0;
    ParseError error;
    const RecordsEnd how = walk_tokens(
        c, j, ~std::uint64_t{0}, !lines, error,
        [&](std::uint32_t r, std::string_view t) { return sink.put(std::to_string(r) + ":" + std::string(t)); });
    return {sink.lines, describe(how, error, j, c.pos)};
}

// What the threads of one sliced walk saw, checked after it.
struct Watch {
    std::mutex m;
    std::set<const void*> places;  // the HeldSlice objects walked into
    std::atomic<unsigned> reused{0};
    std::atomic<bool> shared_id{false};
    std::atomic<bool> bad_id{false};
    std::vector<std::atomic<bool>> busy;
    std::atomic<bool> met{false};  // two walks ahead were under way at once
    unsigned handed = 0;           // slices handed on (by the calling thread alone)
    explicit Watch(unsigned threads) : busy(threads) {}
};

struct Way {
    unsigned threads = 2;
    std::size_t slice = 250;
    bool settles = false;
    std::size_t stop_after = 0;
    std::size_t cap = 0;   // a slice that holds more scalars fails
    bool throws = false;   // some walks ahead and settles run out of memory
    bool dawdles = false;  // some walks ahead are slow, so that later slices finish first
    bool meets = false;    // the walk waits (a while at most) until two walks ahead are under way
};

template <bool kSettles>
Got walk_sliced(std::string_view doc, bool lines, const Way& way, Watch& watch) {
    Sink sink{.stop_after = way.stop_after};
    JsonCursor c = records_cursor(doc, lines);
    const std::string_view lead = lines ? std::string_view() : array_element_lead(doc, c.pos - 1);
    const RoundPlan plan(doc, !lines, lead, way.threads, way.slice);
    std::uint32_t j = 0;
    ParseError error;
    auto in_turn = [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError& e) {
        // The calling thread could walk a small document whole before any
        // other is scheduled: it first waits (a while at most) for two to meet.
        for (int waited = 0; way.meets && !watch.met && waited < 2000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return walk_tokens(cur, r, until, !lines, e, [&](std::uint32_t rec, std::string_view t) {
            return sink.put(std::to_string(rec) + ":" + std::string(t));
        });
    };
    auto ahead = [&](HeldSlice<Held>& s, unsigned i, JsonCursor& sc, std::uint64_t until) {
        if (i >= way.threads) watch.bad_id = true;
        if (i < watch.busy.size() && watch.busy[i].exchange(true)) watch.shared_id = true;
        {
            const std::lock_guard lock(watch.m);
            watch.places.insert(&s);
        }
        if (s.held) ++watch.reused;
        // On a loaded machine one thread may take every slice before another
        // is scheduled: waiting for a second makes two places certain.
        for (int waited = 0; way.meets && !watch.met && waited < 2000; ++waited) {
            unsigned under_way = 0;
            for (const auto& b : watch.busy) under_way += b.load();
            if (under_way >= 2) watch.met = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Held& h = s.held ? *s.held : s.held.emplace();
        h = Held{};
        if (way.dawdles && s.begin % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        const RecordsEnd r =
            walk_tokens(sc, s.records, until, !lines, s.error, [&](std::uint32_t rec, std::string_view t) {
                h.items.push_back({rec, std::string(t)});
                return way.cap != 0 && h.items.size() > way.cap;
            });
        s.failed = r == RecordsEnd::Stopped;
        if (i < watch.busy.size()) watch.busy[i] = false;
        if (way.throws && s.begin % 5 == 1) throw std::bad_alloc();
        return r;
    };
    auto put_held = [&](Held& h, std::uint32_t first) {
        // The place the first hand-on freed is planned again and taken by a
        // thread, unless the calling thread gets there first: it waits (a
        // while at most) for that.
        if (way.meets && ++watch.handed == 2)
            for (int waited = 0; watch.reused == 0 && waited < 2000; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (h.is_settled && h.settled_first != first)
            return sink.put("settled from " + std::to_string(h.settled_first) + ", handed on from " +
                            std::to_string(first));
        for (std::size_t k = 0; k < h.items.size(); ++k) {
            const std::string line =
                h.is_settled ? h.settled[k] : std::to_string(first + h.items[k].first) + ":" + h.items[k].second;
            if (sink.put(line)) return true;
        }
        return false;
    };
    RecordsEnd how;
    if constexpr (kSettles) {
        auto settle = [&](Held& h, std::uint32_t first) {
            if (way.throws && first % 4 == 1) throw std::bad_alloc();
            for (const auto& [rec, t] : h.items) h.settled.push_back(std::to_string(first + rec) + ":" + t);
            h.settled_first = first;
            h.is_settled = true;
        };
        how = walk_record_rounds<Held>(plan, c, j, error, in_turn, ahead, settle, put_held);
    } else {
        how = walk_record_rounds<Held>(plan, c, j, error, in_turn, ahead, NoSettle{}, put_held);
    }
    return {sink.lines, describe(how, error, j, c.pos)};
}

// Documents whose likely record starts mostly lie inside strings, with a
// record far larger than a slice, and with errors in late slices.
std::vector<test_support::RecordDocument> hostile_documents() {
    std::vector<std::string> records;
    for (int r = 0; r < 400; ++r) {
        switch (r % 5) {
            case 0: records.push_back(R"({"id":)" + std::to_string(r) + R"(,"s":"a,{\"id\":1,\n{\"id\":\"x"})"); break;
            case 1: records.push_back(R"({"id":")" + std::string(r % 3 ? 40 : 1200, 'q') + R"("})"); break;
            default: records.push_back(R"({"id":)" + std::to_string(r) + R"(,"v":[)" + std::to_string(r % 9) + "]}");
        }
    }
    std::string big = R"({"id":-1,"s":")";
    for (int k = 0; k < 600; ++k) big += R"(\n{\"id\":1},)";
    big += "\"}";
    records.insert(records.begin() + 100, big);
    std::string array = "[", lines;
    for (std::size_t k = 0; k < records.size(); ++k) {
        array += (k ? "," : "") + records[k];
        lines += records[k] + "\n";
    }
    array += "]";
    std::string late_error = array;
    late_error.insert(late_error.rfind(R"(,{"id":)"), ",");  // an empty element near the end
    std::string late_lines = lines;
    late_lines.insert(late_lines.rfind("\n{", late_lines.size() - 2) + 1, "{\"id\":}\n");
    return {{array, false}, {lines, true}, {late_error, false}, {late_lines, true}};
}

std::vector<test_support::RecordDocument> all_documents() {
    std::vector<test_support::RecordDocument> docs = test_support::record_documents();
    for (auto& d : hostile_documents()) docs.push_back(std::move(d));
    return docs;
}

template <bool kSettles>
void expect_walk_in_turn(const std::vector<test_support::RecordDocument>& docs, Way way) {
    for (std::size_t d = 0; d < docs.size(); ++d) {
        const auto& [doc, lines] = docs[d];
        const std::size_t stop_after = way.stop_after;
        way.stop_after = 0;
        const Got all = walk_in_turn(doc, lines, 0);
        std::vector<std::size_t> stops = {stop_after};
        if (stop_after == 1) stops = {1, all.lines.size() / 3 + 1, all.lines.size() * 9 / 10 + 1};
        for (const std::size_t stop : stops) {
            way.stop_after = stop;
            const Got want = walk_in_turn(doc, lines, stop);
            Watch watch(way.threads);
            const Got got = walk_sliced<kSettles>(doc, lines, way, watch);
            const std::string what = "doc " + std::to_string(d) + " threads " + std::to_string(way.threads) +
                                     " slice " + std::to_string(way.slice) + " stop " + std::to_string(stop);
            ASSERT_EQ(got.end, want.end) << what;
            ASSERT_EQ(got.lines, want.lines) << what;
            EXPECT_FALSE(watch.bad_id) << what;
            EXPECT_FALSE(watch.shared_id) << what;
            // The memory held at once is a window of slices, however long the document.
            EXPECT_LE(watch.places.size(), RoundPlan(doc, !lines, "", way.threads, way.slice).window()) << what;
        }
        way.stop_after = stop_after;
    }
}

// Every way of walking in slices gives the walk in turn: the same results in
// the same order, the same end, error, record count and cursor, whether the
// slices settle or not, when slices begin inside strings or records, when
// walks ahead finish out of order, when a late slice holds an error, when
// the hand-on stops while other slices are being walked, and when slices
// fail by holding too much or running out of memory.
TEST(RecordRounds, SlicesGiveTheWalkInTurn) {
    const auto docs = all_documents();
    for (const auto& [threads, slice] : test_support::kSliceWays) {
        expect_walk_in_turn<false>(docs, {.threads = threads, .slice = slice});
        expect_walk_in_turn<true>(docs, {.threads = threads, .slice = slice, .settles = true});
    }
    const Way odd[] = {
        {.threads = 4, .slice = 200, .dawdles = true},
        {.threads = 3, .slice = 300, .stop_after = 1},
        {.threads = 5, .slice = 200, .settles = true, .stop_after = 1, .dawdles = true},
        {.threads = 3, .slice = 400, .cap = 40},
        {.threads = 4, .slice = 250, .settles = true, .throws = true},
        {.threads = 4, .slice = 250, .throws = true, .dawdles = true},
        {.threads = 16, .slice = 100, .settles = true},
    };
    for (const Way& way : odd) {
        if (way.settles) {
            expect_walk_in_turn<true>(docs, way);
        } else {
            expect_walk_in_turn<false>(docs, way);
        }
    }
}

// Slices are walked ahead, on as many threads as the walk is given, and a
// slice's held memory is reused by later slices rather than made anew.
TEST(RecordRounds, ThreadsWalkAheadAndReuseHeldMemory) {
    const auto docs = hostile_documents();
    const auto& [array, lines] = docs[0];
    ASSERT_FALSE(lines);
    Watch watch(4);
    const Got got =
        walk_sliced<true>(array, false, {.threads = 4, .slice = 300, .settles = true, .meets = true}, watch);
    EXPECT_EQ(got, walk_in_turn(array, false, 0));
    EXPECT_GT(watch.places.size(), 1u);
    EXPECT_GT(watch.reused.load(), 0u);
}

// With no thread able to start, the calling thread walks everything itself.
TEST(RecordRounds, RefusedThreadsLeaveTheWalkToTheCaller) {
    const auto docs = all_documents();
    const int code = test_support::exit_code_without_threads([&] {
        for (const auto& [doc, lines] : docs) {
            for (const bool settles : {false, true}) {
                Watch watch(4);
                const Way way{.threads = 4, .slice = 250, .settles = settles};
                const Got got =
                    settles ? walk_sliced<true>(doc, lines, way, watch) : walk_sliced<false>(doc, lines, way, watch);
                if (!(got == walk_in_turn(doc, lines, 0))) return 13;
                if (!watch.places.empty()) return 14;
            }
        }
        return 0;
    });
    EXPECT_EQ(code, 0) << "10 setuid, 11 setrlimit, 12 a thread started, 13 wrong results, 14 a slice walked ahead";
}

}  // namespace
}  // namespace rova_rudo
