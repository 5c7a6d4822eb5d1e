#include "rova_rudo/schema.hpp"

#include <algorithm>
#include <cstdint>

#include "platform/system.hpp"
#include "platform/utf8.hpp"
#include "rova_rudo/event_walker.hpp"
#include "rova_rudo/record_rounds.hpp"

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

// The id of key name `key`, a new one when it is new.
std::uint32_t schema_intern_key(SchemaBuilder& b, std::string_view key) {
    const auto next_id = static_cast<std::uint32_t>(b.key_names.size() + 1);
    auto [id, inserted] = b.key_map.try_emplace(key, next_id);
    if (inserted) b.key_names.emplace_back(key);
    return *id;
}

// The node of (parent, key), made when it is new and the path cap leaves
// room for it; 0 (and the tree marked truncated) when it does not.
std::uint32_t schema_node(SchemaBuilder& b, std::uint32_t parent, std::uint32_t key) {
    const std::pair<std::uint32_t, std::uint32_t> slot{parent, key};
    if (const std::uint32_t* found = b.node_map.find(slot)) return *found;
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
    const auto id = static_cast<std::uint32_t>(b.nodes.size());
    b.node_map.try_emplace(slot, id);
    return id;
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
        if (hinted != 0) {
            id = hinted;
        } else if (key == 0 && last != 0 && b.nodes[last - 1].key == 0) {
            id = last;  // every element of an array is the one node
        } else {
            id = schema_node(b, parent, key);
            if (id == 0) return 0;
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

void schema_key(SchemaBuilder& b, std::string_view key) {
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
    b.pending_key = schema_intern_key(b, key);
}

Result<Unit, ParseError> schema_scan_key(JsonCursor& c, SchemaBuilder& b) {
    // The key by reference: the map then reads the scanner's own view, no copy.
    auto e = scan_member_key(c, [&b](const std::string_view& key) { schema_key(b, key); });
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

namespace {

// The schema walk as a visitor of the event walker: every value is recorded
// at its path, every key becomes the pending key.
struct SchemaVisitor {
    SchemaBuilder& b;

    bool open(TypeMask bit) {
        b.parents.push_back(schema_record(b, bit, std::nullopt));
        b.last_member.push_back(0);
        return false;
    }
    bool visitor_enter_array(std::uint64_t) { return open(kTypeArray); }
    bool visitor_enter_object(std::uint64_t) { return open(kTypeObject); }
    void visitor_array_element(std::uint32_t) {}
    std::optional<ParseError> visitor_object_key(JsonCursor& c) {
        // The key by reference: the map then reads the scanner's own view, no copy.
        return scan_member_key(c, [this](const std::string_view& key) { schema_key(b, key); });
    }
    bool visitor_scalar(std::string_view v, ScalarKind k) {
        TypeMask bit = kTypeNull;
        switch (k) {
            case ScalarKind::String: bit = kTypeString; break;
            case ScalarKind::Number: bit = kTypeNumber; break;
            case ScalarKind::Boolean: bit = kTypeBoolean; break;
            case ScalarKind::Null: break;
        }
        schema_record(b, bit, v);
        return false;
    }
    bool visitor_exit_container(std::uint64_t) {
        b.parents.pop_back();
        b.last_member.pop_back();
        b.pending_key = 0;
        return false;
    }
};

// The records walked by `v` from the cursor, each as a value of the open top array.
RecordsEnd walk_schema_records(JsonCursor& c, SchemaVisitor& v, std::uint32_t& j, std::uint64_t until,
                               ParseError& error) {
    return walk_records(
        c, [&v](JsonCursor& rc, std::uint32_t) { return walk_json_events(rc, v); }, j, until, true, error);
}

SchemaTree finish_tree(SchemaBuilder& b) {
    SchemaTree tree;
    tree.nodes = std::move(b.nodes);
    tree.key_names = std::move(b.key_names);
    tree.truncated = b.truncated;
    return tree;
}

}  // namespace

void schema_merge_records(SchemaBuilder& into, const SchemaBuilder& from) {
    // Key ids first, in the order the slice met them, as the walk in turn
    // would have met those it had not seen yet.
    std::vector<std::uint32_t> keys(from.key_names.size() + 1, 0);
    for (std::size_t k = 0; k < from.key_names.size(); ++k) keys[k + 1] = schema_intern_key(into, from.key_names[k]);
    // Then the nodes in the slice's order of first occurrence, which parents
    // come before their children in.
    std::vector<std::uint32_t> ids(from.nodes.size() + 1, 0);
    ids[1] = 1;
    for (std::size_t i = 1; i < from.nodes.size(); ++i) {
        const SchemaNode& n = from.nodes[i];
        const std::uint32_t parent = ids[n.parent];
        if (parent == 0) continue;  // below a path the cap dropped
        const std::uint32_t id = schema_node(into, parent, keys[n.key]);
        ids[i + 1] = id;
        if (id == 0) continue;
        into.nodes[id - 1].types |= n.types;
        into.nodes[id - 1].count += n.count;
        for (const std::string& e : n.examples) {
            if (into.nodes[id - 1].examples.size() >= into.max_examples) break;
            add_example(into, id, e);
        }
    }
}

Result<SchemaTree, ParseError> build_schema(std::string_view bytes, const SchemaWalkOptions& opts) {
    // Slices of up to 8 MiB, as the in-memory search takes.
    return build_schema_given(bytes, opts, platform::helper_thread_count(std::nullopt, platform::processor_count()),
                              std::size_t{8} << 20);
}

Result<SchemaTree, ParseError> build_schema_given(std::string_view bytes, const SchemaWalkOptions& opts,
                                                  unsigned threads, std::size_t slice) {
    SchemaBuilder b = schema_builder_new(opts);
    SchemaVisitor v{b};
    JsonCursor c = document_cursor(bytes);
    skip_whitespace(c);
    if (c.at_end()) return Err{ParseError::unexpected_end()};
    std::string_view lead;
    if (RoundPlan::worth_it(bytes.size(), threads, slice) && c.peek() == '[') lead = array_element_lead(bytes, c.pos);
    if (lead.empty()) {
        WalkOutcome o = walk_json_events(c, v);
        if (o.is_error()) return Err{o.error()};
        skip_whitespace(c);
        if (!c.at_end()) return Err{ParseError::multiple_top_level(c.pos)};
        return finish_tree(b);
    }

    // A document that is one array of records: each slice's records make a
    // tree of their own, merged into the walk in turn's in document order. A
    // slice whose own tree reaches the path cap may have dropped a path the
    // walk in turn keeps, so it is walked again in turn.
    v.visitor_enter_array(c.pos);
    ++c.pos;
    RoundPlan rounds(bytes, true, lead, threads, slice);
    rounds.give_back_pages(opts.file_map ? bytes.data() : nullptr);  // a tree's examples are copies
    std::uint32_t j = 0;
    ParseError error;
    const RecordsEnd how = walk_record_rounds<SchemaBuilder>(
        rounds, c, j, error,
        [&](JsonCursor& cur, std::uint32_t& r, std::uint64_t until, ParseError& e) {
            return walk_schema_records(cur, v, r, until, e);
        },
        [&](HeldSlice<SchemaBuilder>& s, unsigned, JsonCursor& sc, std::uint64_t until) {
            SchemaBuilder& sb = s.held.emplace(schema_builder_new(opts));
            SchemaVisitor sv{sb};
            sv.visitor_enter_array(0);
            const RecordsEnd r = walk_schema_records(sc, sv, s.records, until, s.error);
            s.failed = sb.truncated;
            return r;
        },
        NoSettle{},
        [&](const SchemaBuilder& sb, std::uint32_t) {
            schema_merge_records(b, sb);
            return false;
        });
    if (how == RecordsEnd::Error) return Err{error};
    ++c.pos;  // the "]"
    v.visitor_exit_container(c.pos);
    skip_whitespace(c);
    if (!c.at_end()) return Err{ParseError::multiple_top_level(c.pos)};
    return finish_tree(b);
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
