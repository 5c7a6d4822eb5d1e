// Schema inference: one forward pass over a JSON document that records, for
// every distinct path (array elements collapsed to "[*]"), the set of types
// seen there, how many values were seen, and a few distinct example texts.
//
// No tree of the document is built: memory grows with the number of distinct
// paths (capped by max_paths) and with the nesting depth. Everything the
// result holds is copied out of the document, so the bytes may go away after
// build_schema returns. Keys and examples stay in their raw form (escapes as
// written); only printing converts them to text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.hpp"
#include "rova_rudo/fx_hash.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/parser.hpp"

namespace rova_rudo {

// A set of JSON types, one bit each.
using TypeMask = std::uint8_t;
inline constexpr TypeMask kTypeNull = 0x01;
inline constexpr TypeMask kTypeBoolean = 0x02;
inline constexpr TypeMask kTypeNumber = 0x04;
inline constexpr TypeMask kTypeString = 0x08;
inline constexpr TypeMask kTypeObject = 0x10;
inline constexpr TypeMask kTypeArray = 0x20;

// Examples are cut to this many bytes (a plain byte cut) before comparing.
inline constexpr std::size_t kSchemaExampleMaxBytes = 80;

struct SchemaWalkOptions {
    std::size_t max_examples = 3;    // 0 stores none
    std::size_t max_paths = 100000;  // a tree holds at most max(max_paths, 1) nodes
    bool collapse = true;            // carried only: elements always collapse to "[*]"
    bool file_map = false;           // the bytes are a read-only map of a file, given back as walked
};

// One distinct path. Node ids are 1-based arena positions (1 = the document's
// top-level value, 0 = no node); key id 0 is an array element (and the root),
// k >= 1 the k-th distinct key name.
struct SchemaNode {
    std::vector<std::string> examples;  // pairwise different, each <= 80 bytes
    std::uint64_t count = 0;
    std::uint32_t parent = 0;
    std::uint32_t key = 0;
    TypeMask types = 0;
};

// The result of a walk. nodes[0] is the root; paths appear in document order
// of first occurrence, parents before children.
struct SchemaTree {
    std::vector<SchemaNode> nodes;
    std::vector<std::string> key_names;  // key id k at position k - 1, raw bytes
    bool truncated = false;              // the path cap dropped at least one path
};

// One printable row. `examples` borrows from the tree it was made from.
struct SchemaRow {
    std::string path;
    std::uint64_t count = 0;
    TypeMask types = 0;
    std::span<const std::string> examples;
};

// A node's examples are checked for a repeat by a scan while the node holds
// at most this many; past it they are also indexed by hash, so that a large
// --examples costs each value one lookup instead of a comparison with every
// stored example.
inline constexpr std::size_t kSchemaExampleScanMax = 16;

namespace schema_detail {

// One indexed example: its node and its position in the node's list, with the
// hash of (node, text) kept so that the index never reads the text to grow.
struct ExampleRef {
    std::uint64_t hash = 0;
    std::uint32_t node = 0;
    std::uint32_t index = 0;
};
// A lookup: the text to find and the arena that holds the stored ones.
struct ExampleProbe {
    std::uint64_t hash;
    std::uint32_t node;
    std::string_view text;
    const std::vector<SchemaNode>* nodes;
};
struct ExampleHash {
    std::uint64_t operator()(const ExampleRef& r) const { return r.hash; }
    std::uint64_t operator()(const ExampleProbe& p) const { return p.hash; }
};
struct ExampleEq {
    bool operator()(const ExampleRef& a, const ExampleRef& b) const { return a.node == b.node && a.index == b.index; }
    bool operator()(const ExampleRef& a, const ExampleProbe& p) const {
        return a.hash == p.hash && a.node == p.node && (*p.nodes)[a.node - 1].examples[a.index] == p.text;
    }
};

}  // namespace schema_detail

// The state of one walk.
struct SchemaBuilder {
    std::vector<std::uint32_t> parents;  // node ids of the open containers (0 = dropped)
    std::vector<std::string> key_names;
    std::vector<SchemaNode> nodes;
    std::size_t max_examples = 0;
    std::size_t max_paths = 0;
    FxMap<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> node_map;  // (parent, key) -> node
    FxMap<std::string, std::uint32_t> key_map;                               // raw key -> key id
    // The examples of nodes that hold more than kSchemaExampleScanMax.
    FxMap<schema_detail::ExampleRef, bool, schema_detail::ExampleHash, schema_detail::ExampleEq> example_index;
    std::uint32_t pending_key = 0;  // set by schema_scan_key, consumed by schema_record
    bool truncated = false;
    // Documents repeat their shapes: the members of one path come in the same
    // order object after object. So the member that followed a node last
    // time is tried first, by comparing the key bytes, before any hashing.
    struct Hint {
        std::uint32_t first = 0;  // the node of the first member of the last object seen at this node
        std::uint32_t next = 0;   // the node of the member that followed this one last time
    };
    std::vector<Hint> hints;                 // by node id - 1
    std::vector<std::uint32_t> last_member;  // per open container: the member node recorded last (0 = none)
    std::uint32_t pending_node = 0;          // the pending key's node when the hint found it
};

SchemaBuilder schema_builder_new(const SchemaWalkOptions& opts);

// Records one value of type `bit` at the current position (the pending key
// under the innermost open container, or the root when none is open); returns
// its node id, or 0 when the path cap or a dropped container dropped it.
std::uint32_t schema_record(SchemaBuilder& b, TypeMask bit, std::optional<std::string_view> example);

// Interns the raw `key` (its body as written) and makes it the pending key.
void schema_key(SchemaBuilder& b, std::string_view key);

// With the cursor at an object key position (after "{" or ","): reads the key
// and its colon, interns the key and makes it the pending key.
platform::Result<platform::Unit, ParseError> schema_scan_key(JsonCursor& c, SchemaBuilder& b);

// Adds to `into` what `from` found, both having walked records of one top
// array from a root that stands for it (only its descendants are added),
// `from` the records after those of `into`: the tree, key names, counts and
// examples are then those of one walk over all the records, as long as
// `from` itself was not cut by the path cap.
void schema_merge_records(SchemaBuilder& into, const SchemaBuilder& from);

// "object|array|string|number|boolean|null" order, "|"-joined; "" for none.
std::string type_mask_names(TypeMask mask);

// Walks the whole document; a malformed one gives its first syntax error.
platform::Result<SchemaTree, ParseError> build_schema(std::string_view bytes, const SchemaWalkOptions& opts);

// build_schema with the elements of a document that is one array walked by
// `threads` threads in rounds of up to `slice` bytes per thread (1 thread:
// one walk in turn). build_schema is this with the machine's thread count
// and 8 MiB; the result is the same whatever the two are.
platform::Result<SchemaTree, ParseError> build_schema_given(std::string_view bytes, const SchemaWalkOptions& opts,
                                                            unsigned threads, std::size_t slice);

// One row per node, in arena order, with its printed path (".", ".users",
// ".users[*].email", ".[*]"); key names are written raw, invalid UTF-8
// replaced by U+FFFD.
std::vector<SchemaRow> schema_rows(const SchemaTree& tree);

// The same rows, handed over one at a time (the row is valid only during the
// call). Only the current path is held, so memory stays linear in the tree
// even when a deep document's paths together grow with the square of its
// depth. `row` answers whether to go on: false ends the walk there.
void for_each_schema_row(const SchemaTree& tree, const std::function<bool(const SchemaRow&)>& row);

// The text rule of schema rows, key names and examples alike: each maximal
// invalid subsequence becomes one U+FFFD, as the Unicode standard recommends.
inline constexpr auto& append_utf8_lossy = platform::append_replacing_invalid_sequences;

}  // namespace rova_rudo
