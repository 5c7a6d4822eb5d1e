#include "rova_rudo/schema.hpp"

#include <algorithm>
#include <cstdint>

#include "platform/utf8.hpp"

namespace rova_rudo {

using platform::Err;
using platform::Result;
using platform::Unit;

SchemaBuilder schema_builder_new(const SchemaWalkOptions& opts) {
    SchemaBuilder b;
    b.parents.reserve(16);
    b.last_member.reserve(16);
    b.nodes.emplace_back();  // the root
    b.hints.emplace_back();
    b.max_examples = opts.max_examples;
    b.max_paths = opts.max_paths;
    return b;
}

namespace {

std::uint64_t example_hash(std::uint32_t node, std::string_view text) {
    return fx_hash_pair(node, fx_hash_bytes(text));
}

// Stores `text` as an example of node `id` unless the node already holds it.
void add_example(SchemaBuilder& b, std::uint32_t id, std::string_view text) {
    auto& examples = b.nodes[id - 1].examples;
    if (examples.size() < kSchemaExampleScanMax) {
        if (std::find(examples.begin(), examples.end(), text) != examples.end()) return;
        examples.emplace_back(text);
        if (examples.size() == kSchemaExampleScanMax && b.max_examples > kSchemaExampleScanMax) {
            for (std::uint32_t i = 0; i < examples.size(); ++i)
                b.example_index.try_emplace(schema_detail::ExampleRef{example_hash(id, examples[i]), id, i}, true);
        }
        return;
    }
    if (examples.size() >= UINT32_MAX) return;  // positions are 32-bit, as node ids are
    const std::uint64_t h = example_hash(id, text);
    if (b.example_index.find(schema_detail::ExampleProbe{h, id, text, &b.nodes})) return;
    b.example_index.try_emplace(schema_detail::ExampleRef{h, id, static_cast<std::uint32_t>(examples.size())}, true);
    examples.emplace_back(text);
}

}  // namespace

std::uint32_t schema_record(SchemaBuilder& b, TypeMask bit, std::optional<std::string_view> example) {
    std::uint32_t id;
    if (b.parents.empty()) {
        b.pending_key = 0;
        id = 1;
    } else {
        const std::uint32_t parent = b.parents.back();
        const std::uint32_t key = b.pending_key;
        const std::uint32_t hinted = b.pending_node;
        b.pending_key = 0;
        b.pending_node = 0;
        if (parent == 0) return 0;
        std::uint32_t& last = b.last_member.back();
        const std::pair<std::uint32_t, std::uint32_t> slot{parent, key};
        if (hinted != 0) {
            id = hinted;
        } else if (key == 0 && last != 0 && b.nodes[last - 1].key == 0) {
            id = last;  // every element of an array is the one node
        } else if (const std::uint32_t* found = b.node_map.find(slot)) {
            id = *found;
        } else {
            // Node ids are 32-bit: a cap above that range still stops there.
            if (b.nodes.size() >= b.max_paths || b.nodes.size() >= UINT32_MAX) {
                b.truncated = true;
                return 0;
            }
            SchemaNode n;
            n.parent = parent;
            n.key = key;
            b.nodes.push_back(std::move(n));
            b.hints.emplace_back();
            id = static_cast<std::uint32_t>(b.nodes.size());
            b.node_map.try_emplace(slot, id);
        }
        (last == 0 ? b.hints[parent - 1].first : b.hints[last - 1].next) = id;
        last = id;
    }
    SchemaNode& node = b.nodes[id - 1];
    node.types |= bit;
    node.count += 1;
    if (example && node.examples.size() < b.max_examples)
        add_example(b, id, example->substr(0, kSchemaExampleMaxBytes));
    return id;
}

Result<Unit, ParseError> schema_scan_key(JsonCursor& c, SchemaBuilder& b) {
    // The key by reference: the map then reads the scanner's own view, no copy.
    auto e = scan_member_key(c, [&b](const std::string_view& key) {
        b.pending_node = 0;
        const std::uint32_t parent = b.parents.empty() ? 0 : b.parents.back();
        if (parent != 0) {
            const std::uint32_t last = b.last_member.back();
            const std::uint32_t guess = last == 0 ? b.hints[parent - 1].first : b.hints[last - 1].next;
            // A node that is both an array and an object has element and
            // member children: only a member (key id >= 1) can be the guess.
            if (guess != 0) {
                const std::uint32_t k = b.nodes[guess - 1].key;
                if (k != 0 && b.key_names[k - 1] == key) {
                    b.pending_key = k;
                    b.pending_node = guess;
                    return;
                }
            }
        }
        const auto next_id = static_cast<std::uint32_t>(b.key_names.size() + 1);
        auto [id, inserted] = b.key_map.try_emplace(key, next_id);
        if (inserted) b.key_names.emplace_back(key);
        b.pending_key = *id;
    });
    if (e) return Err{*e};
    return Unit{};
}

std::string type_mask_names(TypeMask mask) {
    static constexpr std::pair<TypeMask, std::string_view> order[] = {
        {kTypeObject, "object"}, {kTypeArray, "array"},     {kTypeString, "string"},
        {kTypeNumber, "number"}, {kTypeBoolean, "boolean"}, {kTypeNull, "null"},
    };
    std::string out;
    for (const auto& [bit, name] : order) {
        if (!(mask & bit)) continue;
        if (!out.empty()) out += '|';
        out += name;
    }
    return out;
}

Result<SchemaTree, ParseError> build_schema(std::string_view bytes, const SchemaWalkOptions& opts) {
    SchemaBuilder b = schema_builder_new(opts);
    JsonCursor c = document_cursor(bytes);
    skip_whitespace(c);
    if (c.at_end()) return Err{ParseError::unexpected_end()};
    std::vector<WalkFrame> stack;
    stack.reserve(32);

    for (;;) {
        // A value starts here.
        skip_whitespace(c);
        if (c.at_end()) return Err{ParseError::unexpected_end()};
        const std::uint8_t ch = c.peek();
        switch (ch) {
            case '"': {
                auto s = scan_string(c);
                if (!s) return Err{s.error()};
                schema_record(b, kTypeString, *s);
                break;
            }
            case 't':
            case 'f':
            case 'n': {
                const std::string_view word = ch == 't' ? "true" : ch == 'f' ? "false" : "null";
                auto lit = expect_literal(c, word);
                if (!lit) return Err{lit.error()};
                schema_record(b, ch == 'n' ? kTypeNull : kTypeBoolean, word);
                break;
            }
            case '[':
            case '{': {
                const bool is_array = ch == '[';
                b.parents.push_back(schema_record(b, is_array ? kTypeArray : kTypeObject, std::nullopt));
                b.last_member.push_back(0);
                ++c.pos;
                skip_whitespace(c);
                if (!c.at_end() && c.peek() == (is_array ? ']' : '}')) {
                    ++c.pos;
                    b.parents.pop_back();
                    b.last_member.pop_back();
                    break;
                }
                if (!is_array) {
                    auto k = schema_scan_key(c, b);
                    if (!k) return Err{k.error()};
                }
                stack.push_back(WalkFrame{is_array ? WalkFrame::kArray : WalkFrame::kObject, 0});
                continue;  // the first member's value
            }
            default:
                if (ch == '-' || (ch >= '0' && ch <= '9')) {
                    schema_record(b, kTypeNumber, scan_number_span(c));
                    break;
                }
                return Err{ParseError::unexpected_byte(ch, c.pos)};
        }

        // After a value: close containers until the next member starts, or
        // the top-level value is complete.
        for (;;) {
            if (stack.empty()) {
                skip_whitespace(c);
                if (!c.at_end()) return Err{ParseError::multiple_top_level(c.pos)};
                SchemaTree tree;
                tree.nodes = std::move(b.nodes);
                tree.key_names = std::move(b.key_names);
                tree.truncated = b.truncated;
                return tree;
            }
            skip_whitespace(c);
            if (c.at_end()) return Err{ParseError::unexpected_end()};
            const std::uint8_t d = c.peek();
            const bool in_object = stack.back().kind == WalkFrame::kObject;
            if (d == (in_object ? '}' : ']')) {
                ++c.pos;
                stack.pop_back();
                b.parents.pop_back();
                b.last_member.pop_back();
                b.pending_key = 0;
                continue;
            }
            if (d != ',') return Err{ParseError::unexpected_byte(d, c.pos)};
            ++c.pos;
            if (in_object) {
                skip_whitespace(c);
                auto k = schema_scan_key(c, b);
                if (!k) return Err{k.error()};
            }
            break;  // the next member's value
        }
    }
}

void for_each_schema_row(const SchemaTree& tree, const std::function<bool(const SchemaRow&)>& row_fn) {
    // Key names converted once: many rows share them.
    std::vector<std::string> names;
    names.reserve(tree.key_names.size());
    for (const auto& k : tree.key_names) {
        std::string t;
        platform::append_replacing_invalid_sequences(t, k);
        names.push_back(std::move(t));
    }
    const std::size_t n = tree.nodes.size();
    // Parents come before their children in the arena. `chain` holds the
    // ancestors whose segments `path` currently spells (chain[d] at depth d,
    // `ends[d]` the path length after it); a node's path extends the chain
    // from its deepest ancestor still on it. The root's own segment is never
    // written: its members start from the empty text.
    std::vector<std::uint32_t> depth(n, 0);
    std::vector<std::uint32_t> chain, climb;
    std::vector<std::size_t> ends;
    std::string path;
    SchemaRow row;
    for (std::size_t i = 0; i < n; ++i) {
        const SchemaNode& node = tree.nodes[i];
        row.count = node.count;
        row.types = node.types;
        row.examples = node.examples;
        if (i == 0) {
            chain.assign(1, 1);
            ends.assign(1, 0);
            path.clear();
            row.path.assign(1, '.');
            if (!row_fn(row)) return;
            continue;
        }
        depth[i] = depth[node.parent - 1] + 1;
        climb.assign(1, static_cast<std::uint32_t>(i + 1));
        std::uint32_t a = node.parent;
        while (!(depth[a - 1] < chain.size() && chain[depth[a - 1]] == a)) {
            climb.push_back(a);
            a = tree.nodes[a - 1].parent;
        }
        chain.resize(depth[a - 1] + 1);
        ends.resize(chain.size());
        path.resize(ends.back());
        for (std::size_t k = climb.size(); k-- > 0;) {
            const std::uint32_t id = climb[k];
            const SchemaNode& c = tree.nodes[id - 1];
            if (c.key == 0) {
                if (c.parent <= 1) path += '.';
                path += "[*]";
            } else {
                path += '.';
                path += names[c.key - 1];
            }
            chain.push_back(id);
            ends.push_back(path.size());
        }
        row.path = path;
        if (!row_fn(row)) return;
    }
}

std::vector<SchemaRow> schema_rows(const SchemaTree& tree) {
    std::vector<SchemaRow> rows;
    rows.reserve(tree.nodes.size());
    for_each_schema_row(tree, [&](const SchemaRow& r) {
        rows.push_back(r);
        return true;
    });
    return rows;
}

}  // namespace rova_rudo
