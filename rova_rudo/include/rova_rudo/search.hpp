// The in-memory search engine: one forward pass over a document held in
// memory, reporting every match that the query selects to the sink as it is
// decided (a key or scalar when read, an object when it closes). No tree is
// built; every reported text is a span of `document`.
#pragma once

#include <cstddef>
#include <string_view>

#include "rova_rudo/search_request.hpp"

namespace rova_rudo {

// Searches `document` (a single JSON value, or JSON Lines when
// `query.jsonl_in` is set: records separated by whitespace, seen as the
// elements of one top-level array) for `query`. Returns Success with the
// number of sink calls, Parse for a syntax fault (matches reported before it
// stay reported), or Regex, PathPattern or Predicate for a bad request, found
// before the document is read. Keeps no reference to `document` or `sink`
// after it returns.
SearchError run_in_memory_search(std::string_view document, const SearchQuery& query, MatchSink& sink);

// Compiles the query's expressions, path pattern and predicate as either
// engine would: Success, or the Regex, PathPattern or Predicate error that a
// search of any input gives. Checked before any input is opened, so that a
// bad request is reported at once, whatever the input is or when it ends.
SearchError check_search_query(const SearchQuery& query);

// run_in_memory_search with the records of JSON Lines, or the elements of a
// document that is one array, walked by `threads` threads in rounds of up to
// `slice` bytes per thread (1 thread: one walk in turn). run_in_memory_search
// is this with the machine's thread count and 8 MiB; the result and every
// sink call are the same whatever the two are.
SearchError run_in_memory_search_given(std::string_view document, const SearchQuery& query, MatchSink& sink,
                                       unsigned threads, std::size_t slice);

}  // namespace rova_rudo
