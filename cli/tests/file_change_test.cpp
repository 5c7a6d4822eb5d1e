// A file written in place while a command reads it: every road that reads a
// file whole or maps it fails that input with "file changed while it was
// being read" and exit 3, instead of answering from bytes of two states. The
// commands run in this process, so that a hook changes the file at a chosen
// point of the read rather than at a moment a racing writer hopes to hit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "e2e_harness.hpp"
#include "platform/file_kind.hpp"

namespace {

using platform::FileUse;

struct Captured {
    int code = -1;
    std::string out, err;
};

std::string slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

// Runs `qm args...` in this process with standard output and error captured.
Captured run_here(std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), "qm");
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int saved_out = ::dup(1), saved_err = ::dup(2);
    const int saved_cwd = ::open(".", O_RDONLY | O_DIRECTORY);
    Captured c;
    if (out && err && saved_out >= 0 && saved_err >= 0 && saved_cwd >= 0 && ::chdir(cwd.c_str()) == 0) {
        ::dup2(::fileno(out), 1);
        ::dup2(::fileno(err), 2);
        c.code = cli::dispatch_subcommand(args);
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(saved_out, 1);
        ::dup2(saved_err, 2);
        (void)!::fchdir(saved_cwd);
        c.out = slurp(out);
        c.err = slurp(err);
    }
    for (int fd : {saved_out, saved_err, saved_cwd})
        if (fd >= 0) ::close(fd);
    if (out) std::fclose(out);
    if (err) std::fclose(err);
    return c;
}

// What the hook does when the read reaches `at` for the first time.
struct Change {
    FileUse at;
    std::string path;    // the file written in place
    std::string from;    // bytes replaced by as many others
    int directory = -1;  // when open: put in place of the reading descriptor instead
    bool done = false;
};

void change_file(FileUse at, int fd, void* context) {
    auto* c = static_cast<Change*>(context);
    if (c->done || at != c->at) return;
    c->done = true;
    if (c->directory >= 0) {
        // The next read of the descriptor fails, as on an I/O error.
        ASSERT_GE(::dup2(c->directory, fd), 0);
        return;
    }
    std::FILE* f = std::fopen(c->path.c_str(), "r+b");
    ASSERT_NE(f, nullptr) << c->path;
    std::string bytes;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    const std::size_t pos = bytes.find(c->from);
    ASSERT_NE(pos, std::string::npos);
    std::string other = c->from;
    other.back() = other.back() == 'x' ? 'y' : 'x';
    std::fseek(f, static_cast<long>(pos), SEEK_SET);
    std::fwrite(other.data(), 1, other.size(), f);
    std::fclose(f);
}

// Written long ago, so that a write now is seen however coarse the file
// system's clock.
void age(const std::string& path) {
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

const std::string kDoc = "{\"k\":\"Ruby\",\"n\":[1,2,3],\"o\":{\"Ruby\":true}}";
const std::string kChanged = "file changed while it was being read\n";

struct Road {
    std::vector<std::string> args;
    FileUse at;
};

TEST(FileChangedWhileRead, EveryRoadFailsThatInput) {
    const std::vector<Road> roads = {
        // Read whole, then walked in memory.
        {{"search", "--all-types", "Ruby", "v.json"}, FileUse::PartlyRead},
        {{"search", "Ruby", "v.jsonl"}, FileUse::PartlyRead},
        {{"find", "Ruby", "v.json"}, FileUse::PartlyRead},
        {{"extract", ".k", "v.json"}, FileUse::PartlyRead},
        // Mapped, then walked.
        {{"schema", "v.json"}, FileUse::Mapped},
        {{"paths", "v.json"}, FileUse::Mapped},
        {{"keys", "v.json"}, FileUse::Mapped},
        {{"flatten", "v.json"}, FileUse::Mapped},
        {{"search", "--all-types", "--limit", "1000000", "Ruby", "v.json"}, FileUse::Mapped},
        {{"search", "--exists", ".k", "v.json"}, FileUse::Mapped},
        {{"get", ".k", "v.json"}, FileUse::Mapped},
        {{"get", ".", "v.json"}, FileUse::Mapped},
        {{"flatten", "--limit", "3", "v.json"}, FileUse::Mapped},
        // Read whole and parsed while the prefilter worker scans the file on
        // its own, until it is joined.
        {{"search", "Ruby", "v.json"}, FileUse::PartlyRead},
        {{"search", "Ruby", "v.json"}, FileUse::Parsed},
        {{"search", "-S", "--count", "Ruby", "v.json"}, FileUse::Parsed},
    };
    for (const Road& road : roads) {
        std::string what;
        for (const auto& a : road.args) what += a + " ";
        SCOPED_TRACE(what + "changed at " + std::to_string(static_cast<int>(road.at)));
        e2e::TempDir dir;
        const std::string name = road.args.back();
        const std::string path = dir.write(name, kDoc);
        age(path);
        Change change{road.at, path, "Ruby"};
        platform::set_file_use_hook(change_file, &change);
        const Captured r = run_here(road.args, dir.path());
        platform::set_file_use_hook(nullptr, nullptr);
        EXPECT_TRUE(change.done);
        EXPECT_EQ(r.code, 3) << r.out;
        // find and extract are searches, paths is a schema.
        const std::string& command = road.args[0];
        const std::string shown = command == "find" || command == "extract" ? "search"
                                  : command == "paths"                      ? "schema"
                                                                            : command;
        EXPECT_EQ(r.err, "qm: " + shown + ": " + name + ": " + kChanged);
    }
}

// A glob goes on with its next file; the changed one is named and the run
// ends as one whose every other input answered.
TEST(FileChangedWhileRead, AGlobGoesOnWithItsNextFile) {
    for (const auto& args : {std::vector<std::string>{"search", "--all-types", "Ruby", "g/*.json"},
                             std::vector<std::string>{"search", "Ruby", "g/*.json"}}) {
        e2e::TempDir dir;
        const std::string first = dir.write("g/a.json", kDoc);
        dir.write("g/b.json", "{\"b\":\"Ruby\"}");
        age(first);
        Change change{FileUse::PartlyRead, first, "Ruby"};
        platform::set_file_use_hook(change_file, &change);
        const Captured r = run_here(args, dir.path());
        platform::set_file_use_hook(nullptr, nullptr);
        EXPECT_EQ(r.code, 0) << args[1];
        EXPECT_EQ(r.out, "g/b.json:.b\n") << args[1];
        EXPECT_EQ(r.err, "qm: search: g/a.json: " + kChanged) << args[1];
    }
}

// A whole read that fails part-way is that input's error, with the read's
// own message: it is not followed by a map of the file.
TEST(FileChangedWhileRead, AFailedWholeReadIsTheError) {
    e2e::TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"search", "--all-types", "Ruby", "v.json"}, {"search", "Ruby", "v.jsonl"}}) {
        const std::string path = dir.write(args.back(), kDoc);
        Change change{FileUse::PartlyRead, path, "Ruby"};
        change.directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(change.directory, 0);
        platform::set_file_use_hook(change_file, &change);
        const Captured r = run_here(args, dir.path());
        platform::set_file_use_hook(nullptr, nullptr);
        ::close(change.directory);
        EXPECT_TRUE(change.done) << args[0];
        EXPECT_EQ(r.code, 3) << args[0];
        EXPECT_EQ(r.err, "qm: search: " + args.back() + ": Is a directory (os error 21)\n") << args.back();
    }
}

}  // namespace
