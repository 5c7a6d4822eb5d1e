// Vectorised byte searches over raw input bytes: the search for either of two
// bytes that string scanning and case-insensitive matching build on, and the
// substring searches of literal matching and of the raw-byte prefilter.
//
// Every search returns the offset of the first (leftmost) hit in `hay`, or
// `kNotFound`, in time linear in `hay` and the needle. None reads outside
// `hay`, and none allocates except SubstringFinder's constructor and the
// case-insensitive searches on text that defeats their filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rova_rudo {

inline constexpr std::size_t kNotFound = std::string_view::npos;

// First byte of `hay` equal to `a` or to `b`.
std::size_t find_either_byte(std::string_view hay, char a, char b);

// First occurrence of `needle` in `hay`; an empty needle is found at 0.
std::size_t find_substring(std::string_view hay, std::string_view needle);

// First occurrence of `lowered` in `hay` when the letters A-Z count as
// their lower-case forms on both sides (no other byte is folded); `lowered`
// must have its A-Z lowered already. An empty needle is found at 0.
std::size_t find_ascii_nocase(std::string_view hay, std::string_view lowered);

// The needle position (at least 1) that find_ascii_nocase filters on besides
// the first byte, for a needle of two bytes or more; 0 for a shorter one.
std::size_t ascii_nocase_probe(std::string_view lowered);

// find_ascii_nocase with the probe chosen beforehand by ascii_nocase_probe,
// for a needle searched in many haystacks.
std::size_t find_ascii_nocase(std::string_view hay, std::string_view lowered, std::size_t probe);

// Appends to `out`, in ascending order, every start of `lowered` in `hay`
// under the same folding, overlapping occurrences included: the positions
// that find_ascii_nocase gives when each search resumes one byte past the
// last hit. Nothing for an empty needle.
void find_all_ascii_nocase(std::string_view hay, std::string_view lowered, std::size_t probe,
                           std::vector<std::uint64_t>& out);

// A substring search prepared once for one needle and run over many
// haystacks (the needle is copied, so the finder outlives its argument).
// Copies are independent and may be used from different threads.
class SubstringFinder {
public:
    SubstringFinder() = default;
    explicit SubstringFinder(std::string_view needle);

    std::string_view needle() const { return needle_; }
    // First occurrence of the needle in `hay`; an empty needle is found at 0.
    std::size_t find(std::string_view hay) const;

private:
    std::string needle_;
    std::size_t i1_ = 0, i2_ = 0;  // the needle bytes that candidates are filtered on
};

}  // namespace rova_rudo
