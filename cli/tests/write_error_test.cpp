// Output that cannot be written must not pass for success; a reader that
// closes the pipe early is not an error.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "e2e_harness.hpp"

namespace {

struct ShellRun {
    std::string err;
    int code;
};

// Runs `qm <args> > target` through the shell, keeping standard error.
ShellRun run_redirected(const std::string& args, const std::string& target) {
    std::string cmd = "cd '" + e2e::source_dir() + "' && '" + std::string(QM_BINARY) + "' " + args + " 2>&1 >" + target;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return {"popen failed", -1};
    std::string err;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) err.append(buf.data(), n);
    int status = ::pclose(p);
    return {err, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(WriteError, FullDiskIsARuntimeError) {
    struct Case {
        std::string args;
        std::string err;
        int code;
    };
    const Case cases[] = {
        {"get . examples/people.json", "qm: get: write error: No space left on device (os error 28)\n", 3},
        {"search a examples/people.json", "qm: search: write error: No space left on device (os error 28)\n", 3},
        {"flatten examples/people.json", "qm: flatten: write error: No space left on device (os error 28)\n", 3},
        {"search nobody-here examples/people.json", "", 1},  // nothing to write, nothing failed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        ShellRun r = run_redirected(c.args, "/dev/full");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.code, c.code);
    }
}

// Help is these commands' output: when it cannot be written, the run fails
// as for any other output, whichever stream it goes to.
TEST(WriteError, HelpThatCannotBeWrittenIsARuntimeError) {
    const std::string full = ": write error: No space left on device (os error 28)\n";
    for (const std::string cmd : {"help", "help search", "-h", "schema -h", "shape --help", "paths -h", "keys -h",
                                  "flatten -h", "find -h", "extract -h"}) {
        SCOPED_TRACE(cmd);
        ShellRun r = run_redirected(cmd, "/dev/full");
        EXPECT_EQ(r.err, "qm: " + cmd.substr(0, cmd.find(' ')) + full);
        EXPECT_EQ(r.code, 3);
    }
    // search and get write their help on standard error, which is the full
    // one here: the message is lost, the exit code still tells.
    for (const std::string cmd : {"search -h", "get --help"}) {
        SCOPED_TRACE(cmd);
        const int status = std::system(("'" + std::string(QM_BINARY) + "' " + cmd + " 2>/dev/full >/dev/null").c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
}

TEST(WriteError, ClosedPipeIsNotAnError) {
    // Far more output than a pipe holds, so the writer meets the closed end.
    e2e::TempDir dir;
    std::string doc = "[";
    for (int i = 0; i < 200000; ++i) doc += "1,";
    doc += "1]";
    const std::string file = dir.write("big.json", doc);
    const std::string cmd = "'" + std::string(QM_BINARY) + "' flatten '" + file + "' 2>'" + dir.path() +
                            "/err' | head -c 1 >/dev/null; rc=${PIPESTATUS[0]}; cat '" + dir.path() + "/err'; exit $rc";
    ::setenv("QM_PIPE_SCRIPT", cmd.c_str(), 1);
    FILE* p = ::popen("bash -c \"$QM_PIPE_SCRIPT\"", "r");
    ASSERT_NE(p, nullptr);
    std::string err;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) err.append(buf.data(), n);
    int status = ::pclose(p);
    EXPECT_EQ(err, "");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
