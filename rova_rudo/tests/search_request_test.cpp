#include "rova_rudo/search_request.hpp"

#include <gtest/gtest.h>

using namespace rova_rudo;

namespace {

// The numeric values travel between the engines and the front end.
TEST(SearchRequest, EnumValues) {
    EXPECT_EQ(static_cast<int>(TypeFilter::None), 4);
    EXPECT_EQ(static_cast<int>(EmitMode::Parent), 4);
    EXPECT_EQ(static_cast<int>(ScalarKind::String), 3);
    EXPECT_EQ(static_cast<int>(MatchShape::Array), 3);
    EXPECT_EQ(static_cast<int>(SearchErrorKind::Success), 5);
}

TEST(SearchError, KindsAndPayloads) {
    const auto p = SearchError::parse(ParseError::invalid_literal(4));
    EXPECT_EQ(p.kind(), SearchErrorKind::Parse);
    EXPECT_EQ(p.parse_error(), ParseError::invalid_literal(4));
    EXPECT_FALSE(p.is_request_error());
    EXPECT_FALSE(SearchError::message("x").is_request_error());
    EXPECT_TRUE(SearchError::regex("bad").is_request_error());
    EXPECT_TRUE(SearchError::path_pattern("bad").is_request_error());
    EXPECT_TRUE(SearchError::predicate("bad").is_request_error());
    EXPECT_EQ(SearchError::predicate("bad").text(), "bad");
    const auto s = SearchError::success(0);
    EXPECT_TRUE(s.is_success());
    EXPECT_EQ(s.matches(), 0u);
    EXPECT_FALSE(s.is_request_error());
    EXPECT_NE(SearchError::regex("a"), SearchError::path_pattern("a"));
}

}  // namespace
