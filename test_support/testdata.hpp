// The sample documents the tests read, under testdata/ in the source tree.
// CMake passes the folder in as QM_TESTDATA_DIR, so a test finds them from
// any working directory. testdata/MANIFEST lists every document with its size:
// a test walks the list, not the folder, so a document that went missing (or
// a manifest that did) fails the test instead of shrinking it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#ifndef QM_TESTDATA_DIR
#error "QM_TESTDATA_DIR must name the testdata folder"
#endif

namespace testdata {

struct Document {
    std::filesystem::path path;
    std::uintmax_t size = 0;
};

// Names a document in test output (and in parameterised test listings).
inline void PrintTo(const Document& d, std::ostream* os) { *os << d.path.string(); }

inline std::filesystem::path dir() { return QM_TESTDATA_DIR; }

// The documents of one set ("real" or "jsontestsuite") in the manifest's
// order; empty when the manifest cannot be read.
inline std::vector<Document> documents(std::string_view set) {
    std::vector<Document> out;
    std::ifstream manifest(dir() / "MANIFEST");
    std::string name;
    std::uintmax_t size = 0;
    while (manifest >> name >> size) {
        if (name.size() > set.size() && name.compare(0, set.size(), set) == 0 && name[set.size()] == '/') {
            out.push_back({dir() / name, size});
        }
    }
    return out;
}

// Reads a listed document whole into `text`. Fails the current test (and
// returns false) when it is missing, unreadable or not the listed size.
inline bool read(const Document& d, std::string& text) {
    text.clear();
    std::FILE* f = std::fopen(d.path.c_str(), "rb");
    if (f == nullptr) {
        ADD_FAILURE() << "missing test document " << d.path;
        return false;
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || text.size() != d.size) {
        ADD_FAILURE() << "test document " << d.path << " read " << text.size() << " bytes, listed " << d.size;
        return false;
    }
    return true;
}

}  // namespace testdata
