// Runs the real qm program and checks standard output, standard error and the
// exit code. Each case runs in a fresh temporary directory (its working
// directory), so relative file names in the arguments name the case's files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cli/help.hpp"
#include "temp_dir.hpp"

namespace e2e {

struct QmRun {
    std::string out;
    std::string err;
    int code = -1;  // exit code, or 128 + signal number
};

struct QmCase {
    std::string name;
    std::vector<std::string> args;  // after the program name
    std::string stdin_data;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::vector<std::pair<std::string, std::string>> env;    // added to the environment
    std::string out;
    std::string err;
    int code = 0;
};

using test_support::TempDir;

// What a usage error writes to standard error after its own line.
inline std::string usage() {
    return std::string(cli::MAIN_USAGE) + "\n\n" + std::string(cli::SEARCH_HELP) + "\n\n" + std::string(cli::GET_HELP) +
           "\n\n" + std::string(cli::EXIT_CODES) + "\n";
}

// Runs qm with `args` in `cwd`, feeding `stdin_data`; kills it after `timeout_s`.
// With `hold_stdin` its standard input stays open (after the data) until it exits.
QmRun run_qm(const std::vector<std::string>& args, const std::string& stdin_data = "",
             const std::vector<std::pair<std::string, std::string>>& env = {}, const std::string& cwd = "",
             int timeout_s = 120, bool hold_stdin = false);

// Runs one case in a fresh temporary directory and checks all three results.
void check_case(const QmCase& c);

inline void check_cases(const std::vector<QmCase>& cases) {
    for (const auto& c : cases) check_case(c);
}

// The repository's own sources (for examples/ and fixtures).
inline std::string source_dir() { return QM_SOURCE_DIR; }

}  // namespace e2e
