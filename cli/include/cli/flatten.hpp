// The flatten walk: one "path = value" line per scalar of a document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "cli/emitter.hpp"
#include "platform/result.hpp"
#include "rova_rudo/parser.hpp"
#include "rova_rudo/util.hpp"

namespace cli {

using FlattenOptions = rova_rudo::FlattenOptions;

// Writes the lines of `doc` to `writer`; a malformed document gives its first
// syntax error after the lines before it. The elements of a document that is
// one array are walked by `threads` threads in rounds of up to `slice` bytes
// per thread (1 thread: one walk in turn); the lines are the same whatever
// the two are. `file_map`: `doc` is a read-only map of a file, whose pages
// the walk gives back as it passes them.
platform::Result<platform::Unit, rova_rudo::ParseError> flatten_document_given(std::string_view doc,
                                                                               const FlattenOptions& options,
                                                                               BufferedWriter& writer, unsigned threads,
                                                                               std::size_t slice,
                                                                               bool file_map = false);

}  // namespace cli
