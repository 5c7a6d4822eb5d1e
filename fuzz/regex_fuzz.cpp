// Any pattern must translate and compile to an expression or an error text,
// never crash or loop; a compiled expression must run over a small subject.
// The first byte chooses the flags.
#include <re2/re2.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "rova_rudo/regex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const rova_rudo::RegexOptions opt{
        .case_insensitive = (data[0] & 1) != 0, .multi_line = (data[0] & 2) != 0, .dot_nl = (data[0] & 4) != 0};
    std::string_view pattern(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto re = rova_rudo::compile_regex(pattern, opt);
    if (!re) {
        if (re.error().empty()) std::abort();
        return 0;
    }
    if (!re->re->ok()) std::abort();
    (void)re2::RE2::PartialMatch("ab\xC3\xA9 \xD9\xA3_\n-K", *re->re);
    return 0;
}
