// Files the tests write for the code under test to read: a directory of the
// test's own under the system's temporary directory, removed with everything
// in it when the fixture goes, so that tests running at once never meet.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace test_support {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qm-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = std::move(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

    // Writes `content` to `name` (relative to the directory; parents made)
    // and returns the file's path.
    std::string write(const std::string& name, const std::string& content) const {
        const std::filesystem::path full = std::filesystem::path(path_) / name;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
        return full.string();
    }

private:
    std::string path_;
};

// One file with `content`, in a directory of its own.
class TempFile {
public:
    explicit TempFile(const std::string& content, const std::string& name = "file.json")
        : path_(dir_.write(name, content)) {}
    const std::string& path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace test_support
