// Helpers several fuzz targets share.
#pragma once

#include <cstddef>
#include <string_view>

namespace fuzz_support {

// In a strictly valid document: whether some string is empty or holds '.',
// '[' or ']', which would make a key print like fewer or more path segments,
// so printed paths cannot be compared segment for segment.
inline bool strings_hold_path_marks(std::string_view doc) {
    bool in = false;
    for (std::size_t i = 0; i < doc.size(); ++i) {
        const char c = doc[i];
        if (!in) {
            in = c == '"';
            if (in && i + 1 < doc.size() && doc[i + 1] == '"') return true;  // "" prints as no segment
        } else if (c == '\\') {
            ++i;
        } else if (c == '"') {
            in = false;
        } else if (c == '.' || c == '[' || c == ']') {
            return true;
        }
    }
    return false;
}

}  // namespace fuzz_support
