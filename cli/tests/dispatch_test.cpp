#include "e2e_harness.hpp"

using e2e::QmCase;

TEST(Entry, RejectsArgumentsThatAreNotUtf8) {
    e2e::check_cases({
        {.name = "invalid utf-8", .args = {"get", "\xFF"}, .err = "qm: argument 2 is not valid UTF-8\n", .code = 2},
    });
}
