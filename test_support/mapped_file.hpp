// A document written to a file of its own and mapped read-only, as the
// commands map a large input, for tests of walks over file maps.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "platform/mmap.hpp"
#include "temp_dir.hpp"

namespace test_support {

class MappedDocument {
public:
    explicit MappedDocument(const std::string& content) : file_(content) {
        auto m = platform::map_path(file_.path());
        if (!m) std::abort();
        mapped_ = std::move(m.value());
    }

    std::string_view text() const { return {reinterpret_cast<const char*>(mapped_.map.data()), mapped_.map.size()}; }
    const void* data() const { return mapped_.map.data(); }

private:
    TempFile file_;
    platform::MappedFile mapped_;
};

}  // namespace test_support
