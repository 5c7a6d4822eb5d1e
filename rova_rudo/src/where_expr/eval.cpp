#include "rova_rudo/where_expr/eval.hpp"

#include <re2/re2.h>

#include <cstdio>
#include <cstdlib>

namespace rova_rudo {

namespace {

bool literal_equals(const WhereLiteral& lit, std::string_view raw, ScalarKind kind) {
    switch (kind) {
        case ScalarKind::Null: return std::holds_alternative<WhereNull>(lit);
        case ScalarKind::Boolean:
            if (const bool* b = std::get_if<bool>(&lit)) return raw == (*b ? "true" : "false");
            return false;
        case ScalarKind::Number:
            if (const double* d = std::get_if<double>(&lit)) {
                auto v = parse_decimal_f64(raw);
                return v && *v == *d;
            }
            return false;
        case ScalarKind::String:
            if (const std::string* s = std::get_if<std::string>(&lit)) return raw == *s;
            return false;
    }
    return false;
}

bool compare_numbers(double a, ComparisonOp op, double b) {
    switch (op) {
        case ComparisonOp::Eq: return a == b;
        case ComparisonOp::Ne: return a != b;
        case ComparisonOp::Gt: return a > b;
        case ComparisonOp::Ge: return a >= b;
        case ComparisonOp::Lt: return a < b;
        case ComparisonOp::Le: return a <= b;
        case ComparisonOp::None: return false;
    }
    return false;
}

// A saved position with this bit was reached at consecutive levels.
constexpr std::uint32_t kSavedExact = std::uint32_t{1} << 31;

}  // namespace

bool where_clause_test_scalar(const WhereClause& c, std::string_view raw, ScalarKind kind) {
    switch (c.kind) {
        case WhereClauseKind::Exists: return true;
        case WhereClauseKind::Missing: return false;
        case WhereClauseKind::Truthy:
            if (kind == ScalarKind::Null) return false;
            return !(kind == ScalarKind::Boolean && raw == "false");
        case WhereClauseKind::Compare: {
            auto op = static_cast<ComparisonOp>(c.op);
            if (op == ComparisonOp::Eq) return literal_equals(c.literal, raw, kind);
            if (op == ComparisonOp::Ne) return !literal_equals(c.literal, raw, kind);
            const double* d = std::get_if<double>(&c.literal);
            if (kind != ScalarKind::Number || d == nullptr) return false;
            auto v = parse_decimal_f64(raw);
            return v && compare_numbers(*v, op, *d);
        }
        case WhereClauseKind::StringOp: {
            if (kind != ScalarKind::String) return false;
            const std::string& lit = c.text;
            switch (static_cast<StringOp>(c.op)) {
                case StringOp::Contains: return raw.find(lit) != std::string_view::npos;
                case StringOp::StartsWith: return raw.size() >= lit.size() && raw.substr(0, lit.size()) == lit;
                case StringOp::EndsWith: return raw.size() >= lit.size() && raw.substr(raw.size() - lit.size()) == lit;
            }
            return false;
        }
        case WhereClauseKind::Matches:
            if (kind != ScalarKind::String || !c.regex) return false;
            return re2::RE2::PartialMatch(re2::StringPiece(raw.data(), raw.size()), *c.regex);
        case WhereClauseKind::Length: return false;
    }
    return false;
}

WhereTracker::WhereTracker(WherePredicate predicate, std::size_t depth_hint)
    : pred_(std::move(predicate)), n_(pred_.clauses.size()), cursors_(n_) {
    const std::size_t per = n_ > 0 ? n_ : 1;
    frames_.reserve(depth_hint);
    saved_.reserve(depth_hint * per);
    cells_.reserve(depth_hint * per);
    results_.resize(n_);
    node_values_.resize(pred_.expr.nodes.size());
}

void WhereTracker::record(ClauseCell& cell, bool exact, std::uint8_t present, std::uint8_t value) {
    cell.present = present;
    cell.value = value;
    if (exact) {
        cell.exact_present = 1;
        cell.exact_value = value;
    }
}

void WhereTracker::on_container_value() {
    if (n_ == 0 || (n_ <= 64 && mask_ == 0)) return;
    for (std::size_t i = 0; i < n_; ++i) {
        ClauseCursor& cur = cursors_[i];
        if (!cur.complete || !cur.anchored) continue;
        const WhereClause& cl = pred_.clauses[i];
        if (cl.kind == WhereClauseKind::Length) {
            cur.pending_length = 1;
            continue;
        }
        // An object or array exists and is truthy, but equals no literal and
        // is no string.
        record(cells_[cur.anchor * n_ + i], cur.exact, 1,
               (cl.kind == WhereClauseKind::Exists || cl.kind == WhereClauseKind::Truthy) ? 1 : 0);
    }
}

void WhereTracker::enter_container(bool is_object) {
    const std::size_t k = frames_.size();
    for (std::size_t i = 0; i < n_; ++i) saved_.push_back(cursors_[i].position | (cursors_[i].exact ? kSavedExact : 0));
    cells_.resize(cells_.size() + n_);
    std::uint32_t counting = 0;
    for (std::size_t i = 0; i < n_; ++i) {
        ClauseCursor& cur = cursors_[i];
        if (cur.pending_length) {
            cur.pending_length = 0;
            cells_[k * n_ + i].counting = 1;
            cells_[k * n_ + i].counting_exact = cur.exact;
            ++counting;
        }
        cur.complete = 0;
    }
    mask_ = 0;
    frames_.push_back({counting, static_cast<std::uint8_t>(is_object ? 1 : 0)});
}

template <typename Match>
void WhereTracker::on_member(Match&& seg_matches) {
    const std::size_t k = frames_.size() - 1;
    ClauseCell* frame_cells = cells_.data() + k * n_;
    if (frames_[k].counting_cells != 0) {
        for (std::size_t i = 0; i < n_; ++i)
            if (frame_cells[i].counting) ++frame_cells[i].counter;
    }
    mask_ = 0;
    const std::uint32_t* base = saved_.data() + k * n_;
    for (std::size_t i = 0; i < n_; ++i) {
        ClauseCursor& cur = cursors_[i];
        cur.complete = 0;
        cur.position = base[i] & ~kSavedExact;
        // A member that does not match carries the position deeper as a gap.
        cur.exact = 0;
        const auto& path = pred_.clauses[i].path;
        if (cur.position >= path.size() || !seg_matches(path[cur.position])) continue;
        if (cur.position == 0) {
            frame_cells[i].seen = 1;
            cur.anchored = 1;
            cur.anchor = k;
        }
        cur.exact = cur.position == 0 || (base[i] & kSavedExact) != 0;
        ++cur.position;
        if (cur.position == path.size()) {
            cur.complete = 1;
            if (i < 64) mask_ |= std::uint64_t{1} << i;
        }
    }
}

void WhereTracker::on_key(std::string_view raw_key) {
    if (frames_.empty()) return;
    on_member([&](const PathSegment& s) { return s.is_key() && s.key_text() == raw_key; });
}

void WhereTracker::on_index(std::uint32_t index) {
    if (frames_.empty()) return;
    on_member([&](const PathSegment& s) { return s.is_index() && s.index_value() == index; });
}

void WhereTracker::scalar(std::string_view raw, ScalarKind kind) {
    if (!scalar_step_needed()) return;
    mask_ = 0;
    for (std::size_t i = 0; i < n_; ++i) {
        ClauseCursor& cur = cursors_[i];
        if (!cur.complete) continue;
        cur.complete = 0;
        if (!cur.anchored) continue;
        const WhereClause& cl = pred_.clauses[i];
        ClauseCell& cell = cells_[cur.anchor * n_ + i];
        if (cl.kind == WhereClauseKind::Length) {
            // A scalar has no length; at the exact path it makes the clause false.
            record(cell, cur.exact, 0, 0);
        } else {
            record(cell, cur.exact, 1, where_clause_test_scalar(cl, raw, kind) ? 1 : 0);
        }
    }
}

bool WhereTracker::exit_container() {
    if (frames_.empty()) {
        std::fputs("exit_container without enter\n", stderr);
        std::abort();
    }
    const std::size_t k = frames_.size() - 1;
    const WhereFrame f = frames_.back();
    frames_.pop_back();
    ClauseCell* frame_cells = cells_.data() + k * n_;
    if (f.counting_cells != 0) {
        for (std::size_t i = 0; i < n_; ++i) {
            const ClauseCursor& cur = cursors_[i];
            if (!frame_cells[i].counting || !cur.anchored || cur.anchor >= k) continue;
            const WhereClause& cl = pred_.clauses[i];
            record(cells_[cur.anchor * n_ + i], frame_cells[i].counting_exact != 0, 1,
                   compare_numbers(static_cast<double>(frame_cells[i].counter), static_cast<ComparisonOp>(cl.op),
                                   cl.number)
                       ? 1
                       : 0);
        }
    }
    const std::uint32_t* base = saved_.data() + k * n_;
    for (std::size_t i = 0; i < n_; ++i) {
        ClauseCursor& cur = cursors_[i];
        cur.position = base[i] & ~kSavedExact;
        cur.exact = (base[i] & kSavedExact) != 0;
        if (cur.anchored && cur.anchor == k) cur.anchored = 0;
    }
    for (std::size_t i = 0; i < n_; ++i) results_[i] = frame_cells[i];
    cells_.resize(k * n_);
    saved_.resize(k * n_);
    return f.is_object ? where_eval() : false;
}

bool WhereTracker::where_eval() const {
    // Children precede their parents in the node store, so one pass in order
    // evaluates the whole tree without recursion.
    const auto& nodes = pred_.expr.nodes;
    if (nodes.empty()) return true;
    for (std::size_t j = 0; j <= pred_.expr.root; ++j) {
        const WhereNode& nd = nodes[j];
        std::uint8_t v = 0;
        switch (nd.tag) {
            case WhereNode::Tag::Leaf: {
                const ClauseCell& cell = results_[nd.a];
                const bool missing = pred_.clauses[nd.a].kind == WhereClauseKind::Missing;
                if (!cell.seen) v = missing;
                else if (missing) v = !cell.present;
                else if (cell.exact_present) v = cell.exact_value;
                else v = cell.present && cell.value;
                break;
            }
            case WhereNode::Tag::And: v = node_values_[nd.a] && node_values_[nd.b]; break;
            case WhereNode::Tag::Or: v = node_values_[nd.a] || node_values_[nd.b]; break;
            case WhereNode::Tag::Not: v = !node_values_[nd.a]; break;
        }
        node_values_[j] = v;
    }
    return node_values_[pred_.expr.root] != 0;
}

}  // namespace rova_rudo
