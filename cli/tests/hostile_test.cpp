// Hostile inputs and surroundings: documents nested a million levels deep, a
// 100 MiB string, files that hold no value, files that are not files, a file
// cut short while it is read, a reader that goes away, caps at their limits,
// a long predicate and bytes that are not UTF-8. Whatever happens, qm ends
// with an exit code of 0 to 4 and at most one clear message, never a signal
// or a hang, and what it prints is right.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.hpp"
#include "sanitizers.hpp"

namespace {

using e2e::QmCase;
using e2e::QmRun;
using e2e::run_qm;
using e2e::TempDir;

// Exit code 0 to 4, no signal, and standard error empty or one "qm: " line.
void expect_clean(const QmRun& r, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_GE(r.code, 0);
    EXPECT_LE(r.code, 4) << r.err;
    if (!r.err.empty()) {
        EXPECT_EQ(r.err.rfind("qm: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.back(), '\n') << r.err;
    }
}

std::string joined(const std::vector<std::string>& args) {
    std::string s;
    for (const auto& a : args) s += a + " ";
    return s;
}

struct Expect {
    std::vector<std::string> args;
    int code;
    std::string out;  // exact, unless `out_size` is set
    std::string err;
    std::size_t out_size = std::string::npos;  // check only the size of standard output
    std::vector<std::pair<std::string, std::string>> env = {};
};

void check(const Expect& x, const std::string& cwd, const std::string& stdin_data = "", int timeout_s = 120) {
    QmRun r = run_qm(x.args, stdin_data, x.env, cwd, timeout_s);
    const std::string what = joined(x.args);
    expect_clean(r, what);
    EXPECT_EQ(r.code, x.code) << what << r.err;
    EXPECT_EQ(r.err, x.err) << what;
    if (x.out_size != std::string::npos) {
        EXPECT_EQ(r.out.size(), x.out_size) << what;
    } else {
        EXPECT_EQ(r.out, x.out) << what;
    }
}

constexpr std::size_t kDeep = 1000000;

// Every command on a million levels of arrays and of objects, with questions
// whose answers stay small (a match at every level would print a path per
// level, which grows with the square of the depth). The output of schema,
// paths and keys used to hold every printed path at once: gigabytes here.
TEST(Hostile, MillionLevelsDeepForEveryCommand) {
    TempDir dir;
    const std::string arrays = std::string(kDeep, '[') + std::string(kDeep, ']');
    std::string objects;
    objects.reserve(kDeep * 6 + 1);
    for (std::size_t i = 0; i < kDeep; ++i) objects += "{\"a\":";
    objects += "1";
    objects += std::string(kDeep, '}');
    dir.write("arr.json", arrays);
    dir.write("obj.json", objects);
    const std::string deepest_a = [] {
        std::string p;
        p.reserve(kDeep * 2);
        for (std::size_t i = 0; i < kDeep; ++i) p += ".a";
        return p;
    }();
    const std::vector<std::pair<std::string, std::string>> streamed = {{"QUELLMOR_MMAP_THRESHOLD_MB", "0"}};
    const std::string schema_warning =
        "qm: schema: WARNING \xE2\x80\x94 exceeded max-paths (50); output may be truncated. Use --max-paths to raise "
        "the cap.\n";

    for (const char* f : {"arr.json", "obj.json"}) {
        const std::string file = f;
        const bool obj = file == "obj.json";
        const std::vector<Expect> cases = {
            {{"search", "zzz", file}, 1, "", ""},
            {{"search", "zzz", file}, 1, "", "", std::string::npos, streamed},
            {{"search", "--all-types", "zzz", file}, 1, "", ""},
            {{"search", "--where", ".zz exists", file}, 1, "", ""},
            {{"search", "--path", ".zz", file}, 1, "", ""},
            {{"search", "--emit", "object", "--format", "json", "zzz", file}, 1, "[]\n", ""},
            {{"search", "--exists", ".a", file}, obj ? 0 : 1, obj ? ".a\n" : "", ""},
            {{"find", "1", file}, obj ? 0 : 1, obj ? deepest_a + " = 1\n" : "", ""},
            {{"extract", ".zz", file}, 1, "", ""},
            {{"flatten", file}, 0, obj ? deepest_a + " = 1\n" : "", ""},
            // A million levels are far more paths than the default cap.
            {{"keys", file},
             0,
             obj ? "a\n" : "",
             "qm: keys: WARNING \xE2\x80\x94 exceeded max-paths (100000); output may be truncated. Use --max-paths to "
             "raise the cap.\n"},
        };
        for (const Expect& x : cases) check(x, dir.path());
        // Fifty rows, each path one segment longer than the last.
        for (const char* cmd : {"schema", "paths"}) {
            QmRun r = run_qm({cmd, "--max-paths", "50", file}, "", {}, dir.path(), 120);
            expect_clean(r, std::string(cmd) + " " + file);
            EXPECT_EQ(r.code, 0);
            EXPECT_EQ(r.err, schema_warning);
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 50);
            if (std::string(cmd) == "paths") {
                std::string want = ".\n", p;
                for (int i = 1; i < 50; ++i) {
                    p += obj ? ".a" : (i == 1 ? ".[*]" : "[*]");
                    want += p + "\n";
                }
                EXPECT_EQ(r.out, want);
            }
        }
        // The whole deep value comes back byte for byte from get.
        check({{"get", obj ? ".a" : ".[0]", file}, 0, "", "", (obj ? objects.size() - 6 : arrays.size() - 2) + 1},
              dir.path());
    }
    // Standard input takes the in-memory engine.
    check({{"search", "--all-types", "zzz"}, 1, "", ""}, dir.path(), objects);
}

// A 100 MiB string: found, cut, summarised and printed whole without copies
// that multiply it.
TEST(Hostile, HundredMebibyteString) {
    TempDir dir;
    const std::size_t n = 100u << 20;
    std::string doc = "{\"s\":\"";
    doc.append(n, 'x');
    doc += "needle\"}";
    dir.write("big.json", doc);
    const std::vector<Expect> cases = {
        {{"search", "needle", "big.json"}, 0, ".s\n", ""},
        {{"search", "--all-types", "--limit", "1", "needle", "big.json"}, 0, ".s\n", ""},
        {{"search", "--emit", "value", "--max-value-bytes", "4", "needle", "big.json"},
         0,
         "\"xxxx\xE2\x80\xA6\"\n",
         ""},
        {{"get", ".s", "big.json"}, 0, "", "", n + 6 + 2 + 1},
        {{"extract", ".s", "big.json"}, 0, "", "", n + 6 + 2 + 1},
        {{"keys", "big.json"}, 0, "s\n", ""},
        {{"flatten", "--max-value-bytes", "3", "big.json"}, 0, ".s = \"xxx\xE2\x80\xA6\"\n", ""},
    };
    for (const Expect& x : cases) check(x, dir.path());
    QmRun r = run_qm({"schema", "big.json"}, "", {}, dir.path(), 120);
    expect_clean(r, "schema");
    EXPECT_EQ(r.code, 0);
    EXPECT_LT(r.out.size(), 1000u);  // examples are cut to 80 bytes
}

// Three hundred thousand distinct examples at one path, all kept: each new
// one used to be compared with every stored one, minutes of work here.
TEST(Hostile, HundredsOfThousandsOfExamples) {
    TempDir dir;
    constexpr int kValues = 300000;
    std::string doc = "[", want = "{\"path\":\".\",\"type\":\"array\",\"count\":1}\n";
    want += "{\"path\":\".[*]\",\"type\":\"number\",\"count\":" + std::to_string(kValues + 2) + ",\"examples\":[";
    for (int i = 0; i < kValues; ++i) {
        doc += std::to_string(i) + ",";
        want += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    }
    doc += "0,299999]";  // repeats, stored once
    want += "]}\n";
    dir.write("many.json", doc);
    check({{"schema", "--examples", "1000000", "--format", "jsonl", "many.json"}, 0, want, ""}, dir.path(), "", 30);
}

// A long case-insensitive term over text made of one letter: nearly every
// position agrees with the term far before it ends (or matches, overlapping
// the last match), so checking each one in full cost the file size times the
// term length, minutes here. Both engines stay linear in the file.
TEST(Hostile, LongCaseInsensitiveTermOverRepetitiveText) {
    TempDir dir;
    const std::size_t n = 16u << 20;
    dir.write("a.json", "[\"" + std::string(n, 'a') + "\"]");
    std::string runs = "[\"";
    for (std::size_t i = 0; i < n / 4000; ++i) runs += std::string(3999, 'A') + "b";
    dir.write("runs.json", runs + "\"]");
    const std::string a10k(10001, 'a');
    const std::string a4k(4000, 'a');
    // A quadratic scan would take hours; the sanitizers on a busy machine
    // take a minute over what a release build does in seconds.
    const int limit = test_support::kSanitized ? 180 : 30;
    check({{"search", "--count", a10k, "a.json"}, 0, "1\n", ""}, dir.path(), "", limit);
    check({{"search", "--all-types", "--count", a10k, "a.json"}, 0, "1\n", ""}, dir.path(), "", limit);
    check({{"search", "--count", a4k, "runs.json"}, 1, "0\n", ""}, dir.path(), "", limit);
    check({{"search", "--all-types", "--count", a4k, "runs.json"}, 1, "0\n", ""}, dir.path(), "", limit);
}

// Files that hold no JSON value at all: every command fails cleanly or finds
// nothing; none claims a match.
TEST(Hostile, FilesWithoutAValue) {
    TempDir dir;
    dir.write("ws.json", " \n\t\r  ");
    dir.write("commas.json", ",,,,,,");
    dir.write("bom.json", "\xEF\xBB\xBF");
    dir.write("empty.json", "");
    const std::vector<std::vector<std::string>> commands = {
        {"search", "a"},
        {"search", "--all-types", "1"},
        {"search", "--where", ".a"},
        {"search", "--exists", ".a"},
        {"get", ".a"},
        {"get", "."},
        {"schema"},
        {"paths"},
        {"keys"},
        {"flatten"},
        {"find", "1"},
        {"extract", ".a"},
    };
    for (const char* f : {"ws.json", "commas.json", "bom.json", "empty.json"}) {
        for (auto args : commands) {
            args.push_back(f);
            QmRun r = run_qm(args, "", {}, dir.path(), 60);
            expect_clean(r, joined(args));
            EXPECT_TRUE(r.code == 1 || r.code == 3 || r.code == 4) << joined(args) << r.code;
            EXPECT_EQ(r.out, "") << joined(args);
        }
    }
    // The mark alone is skipped like whitespace: nothing follows it.
    check({{"get", ".a", "bom.json"}, 3, "", "qm: get: unexpected end of input\n"}, dir.path());
    check({{"keys", "commas.json"}, 3, "", "qm: keys: parse error: unexpected byte 0x2C (',') at offset 0\n"},
          dir.path());
}

// Names that are not readable files: a directory, a missing file, a FIFO fed
// by a writer, and (when not running as root) a file without read permission.
TEST(Hostile, DirectoriesFifosAndUnreadableFiles) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() + "/d.json");
    const std::vector<Expect> cases = {
        {{"search", "a", "d.json"}, 3, "", "qm: search: d.json: Is a directory (os error 21)\n"},
        {{"search", "--all-types", "a", "d.json"}, 3, "", "qm: search: d.json: Is a directory (os error 21)\n"},
        {{"get", ".a", "d.json"}, 3, "", "qm: get: d.json: Is a directory (os error 21)\n"},
        {{"schema", "d.json"}, 3, "", "qm: schema: d.json: Is a directory (os error 21)\n"},
        {{"keys", "d.json"}, 3, "", "qm: keys: d.json: Is a directory (os error 21)\n"},
        {{"flatten", "d.json"}, 3, "", "qm: flatten: d.json: Is a directory (os error 21)\n"},
        {{"search", "a", "no.json"}, 3, "", "qm: search: no.json: No such file or directory (os error 2)\n"},
        {{"get", ".a", "no.json"}, 3, "", "qm: get: no.json: No such file or directory (os error 2)\n"},
    };
    for (const Expect& x : cases) check(x, dir.path());

    const std::string fifo = dir.path() + "/p.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& args :
         {std::vector<std::string>{"search", "b", "p.json"}, {"get", ".a", "p.json"}, {"keys", "p.json"}}) {
        std::thread writer([&] {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            if (fd < 0) return;
            const std::string doc = "{\"a\":\"b\"}";
            (void)!::write(fd, doc.data(), doc.size());
            ::close(fd);
        });
        QmRun r = run_qm(args, "", {}, dir.path(), 30);
        writer.join();
        expect_clean(r, joined(args));
        EXPECT_EQ(r.code, 0) << joined(args) << r.err;
        EXPECT_EQ(r.out, args[0] == "search" ? ".a\n" : args[0] == "get" ? "\"b\"\n" : "a\n");
    }

    if (::geteuid() != 0) {
        dir.write("locked.json", "{\"a\":1}");
        ASSERT_EQ(::chmod((dir.path() + "/locked.json").c_str(), 0), 0);
        check({{"get", ".a", "locked.json"}, 3, "", "qm: get: locked.json: Permission denied (os error 13)\n"},
              dir.path());
        check({{"search", "a", "locked.json"}, 3, "", "qm: search: locked.json: Permission denied (os error 13)\n"},
              dir.path());
    }
}

// What a glob matches beside its files: a FIFO nobody writes to, a socket,
// a device. Each fails alone with a message that says what it is, without
// waiting, and the files around it are searched. The FIFO used to block the
// run for ever, with the first file's match still unwritten.
TEST(Hostile, GlobMatchesThatAreNotFiles) {
    TempDir dir;
    dir.write("g/a.json", "{\"x\":\"needle\"}");
    dir.write("g/e.json", "[\"needle\"]");
    ASSERT_EQ(::mkfifo((dir.path() + "/g/b.json").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir.path() + "/g/c.json");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_path = dir.path() + "/g/d.json";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(sock);
    const std::string err =
        "qm: search: g/b.json: a FIFO with nothing to read (a glob does not wait for its writer)\n"
        "qm: search: g/c.json: a device, not a file (a glob reads only files)\n"
        "qm: search: g/d.json: a socket, not a file\n";
    const std::vector<Expect> cases = {
        {{"search", "needle", "g/*.json"}, 0, "g/a.json:.x\ng/e.json:.[0]\n", err},
        {{"search", "--all-types", "needle", "g/*.json"}, 0, "g/a.json:.x\ng/e.json:.[0]\n", err},
        {{"search", "--count", "needle", "g/[bcd].json"}, 3, "0\n", err},
    };
    for (const Expect& x : cases) {
        const QmRun r = run_qm(x.args, "", {}, dir.path(), 30);
        EXPECT_EQ(r.code, x.code) << joined(x.args) << r.err;
        EXPECT_EQ(r.out, x.out) << joined(x.args);
        EXPECT_EQ(r.err, x.err) << joined(x.args);
    }
}

// A file cut to a few bytes or deleted while qm reads it. Cutting a mapped
// file used to kill qm with a bus error; now the run ends with an error or,
// when the read was already done, with its answer.
TEST(Hostile, FileTruncatedOrDeletedWhileRead) {
    TempDir dir;
    std::string doc = "[";
    for (int i = 0; i < 1500000; ++i) doc += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(i) + ",\"n\":\"v\"}";
    doc += "]";
    const std::vector<std::vector<std::string>> commands = {
        {"search", "--limit", "5", "zzz", "v.json"},  // mapped
        {"get", ".[1499999].id", "v.json"},          {"search", "zzz", "v.json"},
        {"search", "--all-types", "zzz", "v.json"},  {"schema", "v.json"},
    };
    for (const bool remove : {false, true}) {
        for (const auto& args : commands) {
            dir.write("v.json", doc);
            const std::string path = dir.path() + "/v.json";
            std::thread cutter([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (remove) {
                    ::unlink(path.c_str());
                } else {
                    (void)!::truncate(path.c_str(), 100);
                }
            });
            QmRun r = run_qm(args, "", {}, dir.path(), 60);
            cutter.join();
            const std::string what = joined(args) + (remove ? "(deleted)" : "(truncated)");
            expect_clean(r, what);
            if (r.code == 3) {
                EXPECT_FALSE(r.err.empty()) << what;
            } else {
                EXPECT_TRUE(r.code == 0 || r.code == 1) << what << r.code;
            }
            // A deleted file stays readable through the open descriptor, unless
            // it was gone before qm opened it.
            if (remove && r.err.find("No such file or directory") == std::string::npos) {
                EXPECT_EQ(r.code, args[0] == "search" ? 1 : 0) << what << r.err;
            }
        }
    }
}

// Runs qm under shell resource limits (`ulimit` options such as "-n 4").
QmRun run_limited(const std::string& limits, const std::vector<std::string>& args, const TempDir& dir,
                  const std::string& env = "") {
    // Descriptors that the test runner leaves open are closed first, so that
    // a descriptor limit counts qm's own.
    std::string cmd = "cd '" + dir.path() +
                      "' && (exec >out.txt 2>err.txt; for fd in $(ls /proc/$BASHPID/fd); do "
                      "if [ $fd -gt 2 ] && [ $fd -ne 255 ]; then eval \"exec $fd>&-\"; fi; done 2>/dev/null; ulimit " +
                      limits + " && " + env + " exec '" + QM_BINARY + "'";
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += "); echo $?";
    dir.write("run.sh", cmd + "\n");
    std::FILE* p = ::popen(("bash '" + dir.path() + "/run.sh'").c_str(), "r");
    QmRun r;
    if (!p) return r;
    char buf[32] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, p);
    ::pclose(p);
    r.code = std::atoi(std::string(buf, n).c_str());
    auto slurp = [&](const char* name) {
        std::string s;
        if (std::FILE* f = std::fopen((dir.path() + "/" + name).c_str(), "rb")) {
            char b[4096];
            std::size_t k;
            while ((k = std::fread(b, 1, sizeof b, f)) > 0) s.append(b, k);
            std::fclose(f);
        }
        return s;
    };
    r.out = slurp("out.txt");
    r.err = slurp("err.txt");
    return r;
}

using test_support::kSanitized;

// Files that report size 0 (/proc) or refuse to be mapped (/sys) are read
// whole on every road that would map them, and give what they hold.
TEST(Hostile, FilesThatCannotBeMappedAreRead) {
    TempDir dir;
    std::vector<std::string> files = {"/proc/sys/kernel/pid_max"};
    if (std::filesystem::exists("/sys/devices/system/cpu/kernel_max")) {
        files.push_back("/sys/devices/system/cpu/kernel_max");
    } else {
        std::fprintf(stderr, "note: no /sys here; only /proc is tried\n");
    }
    for (const std::string& f : files) {
        std::FILE* in = std::fopen(f.c_str(), "rb");
        ASSERT_NE(in, nullptr) << f;
        char buf[64] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, in);
        std::fclose(in);
        std::string number(buf, n);
        while (!number.empty() && number.back() == '\n') number.pop_back();
        ASSERT_FALSE(number.empty()) << f;
        const std::string digit = number.substr(0, 1);
        const std::vector<Expect> cases = {
            {{"get", ".", f}, 0, number + "\n", ""},
            {{"search", "--exists", ".", f}, 0, ".\n", ""},
            {{"search", "--missing", ".", f}, 1, "", ""},
            {{"flatten", "--limit", "5", f}, 0, ". = " + number + "\n", ""},
            {{"search", "--all-types", "--limit", "1", digit, f}, 0, ".\n", ""},
            // The tape engine reads and parses the file; a plain term matches
            // string values only, so the number is no match.
            {{"search", digit, f}, 1, "", ""},
            {{"keys", f}, 0, "", ""},
        };
        for (const Expect& x : cases) check(x, dir.path());
    }
}

// A device given as the file, or standard input, is read up to the memory
// budget, not without bound; where memory runs out first, the input fails
// with the system's message and exit 3, the same for every command.
TEST(Hostile, EndlessDeviceFailsItsInput) {
    if (kSanitized) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
    TempDir dir;
    const std::string nomem = "Cannot allocate memory (os error 12)\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"search", "x", "/dev/zero"}, "qm: search: /dev/zero: "},
        {{"search", "--all-types", "x", "/dev/zero"}, "qm: search: /dev/zero: "},
        {{"search", "--exists", ".a", "/dev/zero"}, "qm: search: /dev/zero: "},
        {{"get", ".", "/dev/zero"}, "qm: get: /dev/zero: "},
        {{"schema", "/dev/zero"}, "qm: schema: /dev/zero: "},
        {{"flatten", "/dev/zero"}, "qm: flatten: /dev/zero: "},
    };
    for (const auto& [args, prefix] : cases) {
        QmRun r = run_limited("-v 400000", args, dir);
        expect_clean(r, joined(args));
        EXPECT_EQ(r.code, 3) << joined(args);
        EXPECT_EQ(r.err, prefix + nomem) << joined(args);
    }
    QmRun r = run_limited("-v 400000", {"get", "."}, dir, "</dev/zero");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "qm: get: stdin: " + nomem);
}

// Memory that runs out during a walk (hundreds of thousands of distinct keys
// under an address-space limit the file itself fits in) is a runtime error
// with the system's message, not an abort.
TEST(Hostile, WalkOutOfMemoryFailsTheRun) {
    if (kSanitized) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
    TempDir dir;
    std::string doc = "{";
    for (int i = 0; i < 400000; ++i) {
        const std::string n = std::to_string(i);
        doc += (i ? ",\"k" : "\"k") + n + "\":[{\"x" + n + "\":" + n + "}]";
    }
    doc += "}";
    dir.write("many.json", doc);
    for (const char* cmd : {"schema", "keys", "paths"}) {
        QmRun r = run_limited("-v 60000", {cmd, "many.json"}, dir);
        expect_clean(r, cmd);
        EXPECT_EQ(r.code, 3) << cmd << r.err;
        const std::string tail = "Cannot allocate memory (os error 12)\n";
        EXPECT_EQ(r.err.rfind("qm: " + std::string(cmd) + ": ", 0), 0u) << r.err;
        EXPECT_TRUE(r.err.size() >= tail.size() && r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0)
            << r.err;
    }
}

// Memory that runs out while a file is parsed and the prefilter worker scans
// it (a deep document whose container stack grows past an address-space
// limit) fails that input; the worker is waited for on the way out rather
// than the process ending. One heap arena keeps the worker from reserving
// address space of its own, so the limits hit the parse every time.
TEST(Hostile, ParseOutOfMemoryWhileTheWorkerScans) {
    if (kSanitized) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
    TempDir dir;
    dir.write("deep.json", std::string(16u << 20, '['));
    for (const char* limit : {"-v 120000", "-v 200000"}) {
        QmRun r = run_limited(limit, {"search", "-c", "ab", "deep.json"}, dir, "MALLOC_ARENA_MAX=1");
        expect_clean(r, limit);
        EXPECT_EQ(r.code, 3) << limit;
        EXPECT_EQ(r.out, "0\n") << limit;
        EXPECT_EQ(r.err, "qm: search: deep.json: Cannot allocate memory (os error 12)\n") << limit;
    }
}

// A streamed file under an address-space limit that holds the tape and the
// map of the file, but not the map beside the tape's whole up-front
// reservation: the reservation the parse did not use goes back before the
// map is made again, and the search answers. Here the tape is one entry for
// a 64 MiB string, its reservation 1280 MiB (an entry per input byte), and
// the limit leaves room for half the map beside it; qm itself takes about
// 26 MiB more, with one malloc arena (each further one reserves 64 MiB).
TEST(Hostile, StreamedSearchMapsBesideTheTapeUnderAddressLimit) {
    if (kSanitized) GTEST_SKIP() << "address-space limits and sanitizers do not mix";
    TempDir dir;
    constexpr std::size_t kString = std::size_t{64} << 20;
    std::string doc = "[\"";
    doc.append(kString, 'a');
    dir.write("long.json", doc + "\",\"zz\"]");
    constexpr std::size_t kLimitKib = (1280 + 32 + 26) << 10;
    const std::string env = "MALLOC_ARENA_MAX=1 QUELLMOR_MMAP_THRESHOLD_MB=0 QUELLMOR_TAPE_RESERVE_DIV=1";
    const std::vector<Expect> cases = {
        {{"search", "zz", "long.json"}, 0, ".[1]\n", ""},
        {{"search", "-c", "a", "long.json"}, 0, "1\n", ""},
    };
    for (const Expect& x : cases) {
        const QmRun r = run_limited("-v " + std::to_string(kLimitKib), x.args, dir, env);
        expect_clean(r, joined(x.args));
        EXPECT_EQ(r.code, x.code) << joined(x.args) << r.err;
        EXPECT_EQ(r.out, x.out) << joined(x.args);
        EXPECT_EQ(r.err, x.err) << joined(x.args);
    }
}

// Few file descriptors or no threads to spare: the prefilter worker cannot
// have its own descriptor or cannot start, and the candidates come from the
// bytes read instead; never fewer matches without a word. A streamed file
// whose reader cannot start is read by the search's own thread, with the
// answers of a run without limits.
TEST(Hostile, LowLimitsKeepEveryMatch) {
    if (kSanitized) GTEST_SKIP() << "resource limits and sanitizers do not mix";
    TempDir dir;
    std::string doc = "[";
    for (int i = 0; i < 402; ++i) doc += (i ? ",\"Ruby" : "\"Ruby") + std::to_string(i) + "\"";
    doc += "]";
    dir.write("big.json", doc);
    for (int i = 0; i < 20; ++i) dir.write("g/f" + std::to_string(i) + ".json", "{\"a\":\"Ruby\"}");
    const std::vector<std::pair<std::string, Expect>> cases = {
        {"-n 4", {{"search", "-S", "--count", "Ruby", "big.json"}, 0, "402\n", ""}},
        {"-n 4", {{"search", "--count", "ruby", "big.json"}, 0, "402\n", ""}},
        {"-n 4", {{"search", "--regex", "--count", "Ru.y", "big.json"}, 0, "402\n", ""}},
        {"-n 4", {{"search", "--count", "Ruby", "g/*.json"}, 0, "20\n", ""}},
    };
    for (const auto& [limits, x] : cases) {
        for (const char* threshold : {"", "QUELLMOR_MMAP_THRESHOLD_MB=0"}) {
            QmRun r = run_limited(limits, x.args, dir, threshold);
            const std::string what = limits + " " + threshold + " " + joined(x.args);
            expect_clean(r, what);
            EXPECT_EQ(r.code, x.code) << what << r.err;
            EXPECT_EQ(r.out, x.out) << what;
            EXPECT_EQ(r.err, x.err) << what;
        }
    }
    // Thread stacks as large as the address space allows: no thread starts.
    const std::string no_threads = "-v 1500000 -s 1400000";
    QmRun r = run_limited(no_threads, {"search", "--count", "Ruby", "big.json"}, dir);
    expect_clean(r, "no threads, read whole");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "402\n");
    // Two chunks and more are read by a thread of their own, unless it
    // cannot start.
    std::string streamed = "[";
    for (int i = 0; streamed.size() < (3u << 20); ++i) streamed += i % 1000 == 7 ? "\"Ruby\"," : "\"Rubx\",";
    dir.write("s/a.json", streamed + "1]");
    dir.write("s/b.json", "{\"a\":\"Ruby\"}");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"search", "Ruby", "s/*.json"},
                                                 {"search", "-S", "--count", "Ruby", "s/a.json"},
                                                 {"search", "--regex", "--count", "Ru.y", "s/a.json"}}) {
        const QmRun free = run_qm(args, "", {{"QUELLMOR_MMAP_THRESHOLD_MB", "0"}}, dir.path());
        r = run_limited(no_threads, args, dir, "QUELLMOR_MMAP_THRESHOLD_MB=0");
        EXPECT_EQ(r.code, 0) << joined(args) << r.err;
        EXPECT_EQ(r.out, free.out) << joined(args);
        EXPECT_EQ(r.err, "") << joined(args);
    }
}

// No thread can start: a file large enough to be read by several threads
// is read whole by the command's own thread, with the answers of a run
// without limits.
TEST(Hostile, NoThreadsReadLargeFilesAlone) {
    if (kSanitized) GTEST_SKIP() << "resource limits and sanitizers do not mix";
    TempDir dir;
    std::string doc = "[";
    for (int i = 0; doc.size() < (9u << 20); ++i)
        doc += (i ? ",{\"k" : "{\"k") + std::to_string(i % 7) + "\":\"Ruby\"}";
    dir.write("wide.json", doc + "]");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"keys", "wide.json"},
                                                 {"search", "--all-types", "--count", "Ruby", "wide.json"},
                                                 {"flatten", "wide.json"}}) {
        const QmRun free = run_qm(args, "", {}, dir.path());
        const QmRun r = run_limited("-v 1500000 -s 1400000", args, dir);
        expect_clean(r, joined(args));
        EXPECT_EQ(r.code, 0) << joined(args) << r.err;
        EXPECT_EQ(r.code, free.code) << joined(args);
        EXPECT_TRUE(r.out == free.out) << joined(args);
        EXPECT_EQ(r.err, "") << joined(args);
    }
}

// A sparse 10 GiB file of zeros: the tape search fails it at its first byte,
// without ending the process for the tape it would need, and without
// waiting for the worker to read ten gibibytes it no longer needs.
TEST(Hostile, SparseTenGibibyteFile) {
    TempDir dir;
    const std::string path = dir.write("sparse.json", "");
    ASSERT_EQ(::truncate(path.c_str(), off_t{10} << 30), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"search", "x", "sparse.json"}, {"search", "-S", "--regex", "x+", "sparse.json"}}) {
        QmRun r = run_qm(args, "", {}, dir.path(), 120);
        expect_clean(r, joined(args));
        EXPECT_EQ(r.code, 3);
        EXPECT_EQ(r.err, "qm: search: sparse.json: Unexpected character '\\x00' at position 0\n");
    }
}

// A mapped input cut while it is searched fails alone: its message, and the
// next file of the glob is still searched. The search of the first file takes
// about 0.1 s; the cut comes early in it, and a cut before qm opens the file
// fails that input too (as a document cut short), so the test never depends
// on the search being slower than the cut.
TEST(Hostile, ShrinkingMappedInputEndsOnlyThatInput) {
    TempDir dir;
    std::string doc = "[";
    for (int i = 0; i < 4000000; ++i) doc += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(i) + ",\"n\":\"v\"}";
    doc += "]";
    dir.write("g/a.json", doc);
    dir.write("g/b.json", "{\"k\":\"zzzz\"}");
    const std::string path = dir.path() + "/g/a.json";
    std::thread cutter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        (void)!::truncate(path.c_str(), 4096);
    });
    QmRun r = run_qm({"search", "--limit", "5", "zzzz", "g/*.json"}, "", {}, dir.path(), 60);
    cutter.join();
    expect_clean(r, "search --limit 5 zzzz g/*.json");
    EXPECT_EQ(r.out, "g/b.json:.k\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.rfind("qm: search: g/a.json: ", 0), 0u) << r.err;
}

// A reader that stops after one byte: qm neither dies of the broken pipe nor
// reports an error, and still answers with its exit code.
TEST(Hostile, OutputToAClosedPipe) {
    TempDir dir;
    std::string doc = "[";
    for (int i = 0; i < 200000; ++i) doc += (i ? ",\"a" : "\"a") + std::to_string(i) + "\"";
    doc += "]";
    dir.write("m.json", doc);
    const std::string qm = QM_BINARY;
    for (const std::string cmd : {"search a", "search --all-types --emit value a", "flatten", "paths --no-collapse",
                                  "get .", "search --format json a"}) {
        dir.write("pipe.sh", "cd '" + dir.path() + "' && '" + qm + "' " + cmd +
                                 " m.json 2>err.txt | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}\n");
        std::FILE* p = ::popen(("bash '" + dir.path() + "/pipe.sh'").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[64] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, p);
        ::pclose(p);
        EXPECT_EQ(std::string(buf, n), "0\n") << cmd;
        std::FILE* e = std::fopen((dir.path() + "/err.txt").c_str(), "rb");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::fgetc(e), EOF) << cmd << ": standard error is not empty";
        std::fclose(e);
    }
}

// Once the reader has gone, the work stops at the next write, exit 0 and
// nothing said. Had it gone on, each command here would have run for
// minutes, blocked on a FIFO that no one writes, or met the syntax error at
// the end of its document.
TEST(Hostile, WorkStopsWhenTheReaderGoes) {
    TempDir dir;
    // A million levels: the paths of all the rows together are 10^12 bytes.
    std::string deep;
    deep.reserve(kDeep * 6 + 1);
    for (std::size_t i = 0; i < kDeep; ++i) deep += "{\"a\":";
    deep += "1";
    deep += std::string(kDeep, '}');
    dir.write("deep.json", deep);
    // Megabytes of output, then a syntax error.
    std::string bad = "[";
    for (int i = 0; i < 200000; ++i) bad += "\"match\",";
    dir.write("bad.json", bad + "]");
    // A megabyte of matches, then a file that would block the next open.
    dir.write("g/a.json", bad + "\"match\"]");
    ASSERT_EQ(::mkfifo((dir.path() + "/g/b.json").c_str(), 0600), 0);

    const std::string qm = QM_BINARY;
    for (const std::string cmd :
         {"schema --max-paths 2000000 deep.json", "schema --max-paths 2000000 --format json deep.json",
          "flatten bad.json", "search --all-types match bad.json", "search match 'g/*.json'",
          "search --all-types match 'g/*.json'"}) {
        dir.write("pipe.sh", "cd '" + dir.path() + "' && timeout 30 '" + qm + "' " + cmd +
                                 " 2>err.txt | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}\n");
        std::FILE* p = ::popen(("bash '" + dir.path() + "/pipe.sh'").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[64] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, p);
        ::pclose(p);
        EXPECT_EQ(std::string(buf, n), "0\n") << cmd;  // 124: still at work after 30 s
        std::FILE* e = std::fopen((dir.path() + "/err.txt").c_str(), "rb");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::fgetc(e), EOF) << cmd << ": standard error is not empty";
        std::fclose(e);
    }
}

// --max-output 0 prints no record but still decides the exit code; the
// largest --limit is no limit, and one beyond it is refused.
TEST(Hostile, CapsAtTheirLimits) {
    const std::string doc = R"([{"a":"x1"},{"a":"x2"},{"b":"x3"}])";
    e2e::check_cases({
        {.name = "no output, still a match",
         .args = {"search", "--max-output", "0", "x", "d.json"},
         .files = {{"d.json", doc}},
         .code = 0},
        {.name = "no output, JSON framing stays",
         .args = {"search", "--max-output", "0", "--format", "json", "x", "d.json"},
         .files = {{"d.json", doc}},
         .out = "[]\n",
         .code = 0},
        {.name = "no output, the count is not a record",
         .args = {"search", "--max-output", "0", "--count", "x", "d.json"},
         .files = {{"d.json", doc}},
         .out = "3\n",
         .code = 0},
        {.name = "largest limit",
         .args = {"search", "--limit", "18446744073709551615", "x", "d.json"},
         .files = {{"d.json", doc}},
         .out = ".[0].a\n.[1].a\n.[2].b\n",
         .code = 0},
        {.name = "largest limit, in-memory engine",
         .args = {"search", "--all-types", "--limit", "18446744073709551615", "x", "d.json"},
         .files = {{"d.json", doc}},
         .out = ".[0].a\n.[1].a\n.[2].b\n",
         .code = 0},
        {.name = "limit beyond 64 bits",
         .args = {"search", "--limit", "18446744073709551616", "x", "d.json"},
         .files = {{"d.json", doc}},
         .err = "qm: search: --limit: '18446744073709551616' is not a non-negative integer\n",
         .code = 2},
    });
}

// Seventy clauses: beyond every per-clause mask word, with the deciding
// clause last in an and-chain and in an or-chain.
TEST(Hostile, SeventyClausePredicate) {
    std::string doc = "[";
    for (int obj = 0; obj < 3; ++obj) {
        doc += obj ? ",{" : "{";
        for (int k = 0; k < 70; ++k) {
            doc += (k ? ",\"k" : "\"k") + std::to_string(k) + "\":" + std::to_string(k == 69 ? 69 + obj : k);
        }
        doc += "}";
    }
    doc += "]";
    std::string all, any;
    for (int k = 0; k < 69; ++k) {
        all += ".k" + std::to_string(k) + " exists && ";
        any += ".k" + std::to_string(k) + " == -1 || ";
    }
    all += ".k69 == 70";
    any += ".k69 == 71";
    e2e::check_cases({
        {.name = "and-chain",
         .args = {"search", "--where", all, "d.json"},
         .files = {{"d.json", doc}},
         .out = ".[1]\n",
         .code = 0},
        {.name = "or-chain",
         .args = {"search", "--where", any, "d.json"},
         .files = {{"d.json", doc}},
         .out = ".[2]\n",
         .code = 0},
        {.name = "negated and-chain",
         .args = {"search", "--where", "!(" + all + ")", "d.json"},
         .files = {{"d.json", doc}},
         .out = ".[0]\n.[2]\n",
         .code = 0},
    });
}

// Bytes that are not UTF-8: in keys and values they are matched as bytes and
// printed as U+FFFD in paths; in arguments they are refused; in file names
// found by a glob they print as U+FFFD.
TEST(Hostile, InvalidUtf8) {
    const std::string doc = "{\"k\xFF\":\"v\xC3\x28\",\"a\xED\xA0\x80\":1}";
    const std::string r = "\xEF\xBF\xBD";
    e2e::check_cases({
        {.name = "key path, tape engine",
         .args = {"search", "v", "d.json"},
         .files = {{"d.json", doc}},
         .out = ".k" + r + "\n",
         .code = 0},
        {.name = "key path, in-memory engine",
         .args = {"search", "--all-types", "1", "d.json"},
         .files = {{"d.json", doc}},
         .out = ".a" + r + r + r + "\n",
         .code = 0},
        {.name = "JSON output stays valid UTF-8",
         .args = {"search", "--format", "json", "v", "d.json"},
         .files = {{"d.json", doc}},
         .out = "[\".k" + r + "\"]\n",
         .code = 0},
        {.name = "keys",
         .args = {"keys", "d.json"},
         .files = {{"d.json", doc}},
         .out = "a" + r + r + r + "\nk" + r + "\n",
         .code = 0},
        {.name = "term",
         .args = {"search", "\xFF", "d.json"},
         .files = {{"d.json", doc}},
         .err = "qm: argument 2 is not valid UTF-8\n",
         .code = 2},
        {.name = "file name",
         .args = {"get", ".a", "d\xFF.json"},
         .files = {{"d\xFF.json", doc}},
         .err = "qm: argument 3 is not valid UTF-8\n",
         .code = 2},
        {.name = "file names from a glob",
         .args = {"search", "v", "*.json"},
         .files = {{"a.json", doc}, {"b\xFF.json", doc}},
         .out = "a.json:.k" + r + "\nb" + r + ".json:.k" + r + "\n",
         .code = 0},
    });
}

}  // namespace
