// The README's examples are run as written and must print what it shows.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.hpp"

namespace {

struct Example {
    std::string command;
    std::string expected;
};

std::vector<Example> readme_examples() {
    std::ifstream f(e2e::source_dir() + "/README.md");
    std::stringstream ss;
    ss << f.rdbuf();
    std::string text = ss.str();
    std::vector<Example> out;
    std::size_t pos = 0;
    while ((pos = text.find("```console\n", pos)) != std::string::npos) {
        pos += 11;
        std::size_t end = text.find("```", pos);
        std::istringstream block(text.substr(pos, end - pos));
        for (std::string line; std::getline(block, line);) {
            if (line.rfind("$ ", 0) == 0) {
                out.push_back({line.substr(2), ""});
            } else if (!out.empty()) {
                out.back().expected += line + "\n";
            }
        }
        pos = end;
    }
    return out;
}

std::string run_shell(const std::string& command) {
    // `qm` in the examples is the program just built; stderr shows before stdout.
    std::string script =
        "cd '" + e2e::source_dir() + "' && qm() { '" + std::string(QM_BINARY) + "' \"$@\"; }; " + command + " 2>&1";
    ::setenv("QM_README_SCRIPT", script.c_str(), 1);
    std::string out;
    FILE* p = ::popen("bash -c \"$QM_README_SCRIPT\"", "r");
    if (!p) return "popen failed";
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    ::pclose(p);
    return out;
}

TEST(Readme, ExamplesPrintWhatTheReadmeShows) {
    auto examples = readme_examples();
    ASSERT_GE(examples.size(), 10u);
    for (const auto& e : examples) {
        SCOPED_TRACE(e.command);
        EXPECT_EQ(run_shell(e.command), e.expected);
    }
}

}  // namespace
