// Normalised screening of vantry.wordsift: the per-code-point image table, the
// normalised form of a text, and a matcher that finds every occurrence of the
// normalised lexicon words outside the allowed words' occurrences.
//
// One table maps each code point to its image (zero or more code points), for
// lexicon words, allow words and prompts alike. One step: compatibility forms
// (NFKC), case folding, canonical decomposition, then combining marks, format
// characters and the Hangul fillers dropped, look-alike letters and
// traditional characters mapped (the generated tables of data/normalize/). The
// image repeats the step over each resulting code point until nothing changes
// (at most kRounds times). Each code point of an image is a word unit (CJK or
// other), a separator (punctuation, symbols, controls) or a space.
//
// Between two units, a run of separators and spaces is a gap: one without a
// space is skipped; one with a space is skipped when each neighbouring unit is
// CJK or stands alone (a letter with a gap on both sides), else it becomes one
// space. Gaps at the ends are dropped. tests/oracles.py states the same in
// plain Python.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pyglue.hpp"
#include "wordsift_tables.inc"  // kLookalikes, kTraditionalSimplified: {from, to}, sorted

namespace wordsift::screen {

using namespace pyglue;

enum class Kind : uint32_t { Word = 0, Cjk = 1, Separator = 2, Space = 3 };

constexpr uint32_t kGapMarker = 0x20;  // a kept gap; spaces are never units, so it is unambiguous

inline bool is_cjk(uint32_t c) {
    static constexpr uint32_t ranges[][2] = {
        {0x2E80, 0x2FDF}, {0x3005, 0x3007}, {0x3021, 0x3029}, {0x3038, 0x303B}, {0x3040, 0x30FF}, {0x31F0, 0x31FF},
        {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xF900, 0xFAFF}, {0x1B000, 0x1B16F}, {0x20000, 0x3FFFD}};
    if (c < 0x2E80) return false;
    for (auto [lo, hi] : ranges)
        if (c >= lo && c <= hi) return true;
    return false;
}

template <size_t N>
uint32_t mapped(const uint32_t (&table)[N][2], uint32_t c) {
    auto at = std::lower_bound(std::begin(table), std::end(table), c,
                               [](const uint32_t(&pair)[2], uint32_t v) { return pair[0] < v; });
    return (at != std::end(table) && (*at)[0] == c) ? (*at)[1] : c;
}

// The Python helpers the table is computed with: unicodedata.normalize and
// category, str.casefold and str.isspace, the form names. Borrowed from the
// module state, which keeps and traverses them.
struct UnicodeHelpers {
    PyObject *normalize, *category, *casefold, *isspace, *nfkc, *nfd;
};

// The image table, filled a block of 256 code points at a time on first use
// (the GIL held), from the running interpreter's Unicode data. An entry is a
// unit and its kind, kRemoved, or kMulti with an index into the block's list.
class ImageTables {
public:
    static constexpr uint32_t kUnit = 0x1FFFFF;
    static constexpr int kKindShift = 21;
    static constexpr uint32_t kRemoved = 1u << 23;
    static constexpr uint32_t kMulti = 1u << 24;
    static constexpr int kRounds = 8;

    struct Block {
        std::array<uint32_t, 256> entry{};
        std::vector<std::vector<uint32_t>> multi;  // encoded like single entries
    };

    explicit ImageTables(const UnicodeHelpers& py) : py_(py), blocks_(0x110000 >> 8) {}

    const Block& block(uint32_t c) const { return *blocks_[c >> 8]; }

    // Fills every block the code points need.
    void prepare(const Py_UCS4* text, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (!blocks_[text[i] >> 8]) fill(text[i] >> 8);
    }

private:
    using Units = std::vector<uint32_t>;

    Ref text_of(uint32_t c) { return check(PyUnicode_FromOrdinal(static_cast<int>(c))); }

    // The two letters of unicodedata.category(c), memoised per fill.
    std::pair<Py_UCS4, Py_UCS4> category(uint32_t c) {
        auto it = category_memo_.find(c);
        if (it != category_memo_.end()) return it->second;
        Ref ch = text_of(c);
        Ref cat = call(py_.category, ch.get());
        if (!PyUnicode_Check(cat.get()) || PyUnicode_GetLength(cat.get()) != 2)
            raise(PyExc_TypeError, "unicodedata.category gave no two-letter category");
        std::pair<Py_UCS4, Py_UCS4> v{PyUnicode_ReadChar(cat.get(), 0), PyUnicode_ReadChar(cat.get(), 1)};
        return category_memo_[c] = v;
    }

    bool removed(uint32_t c) {
        if (c == 0x115F || c == 0x1160 || c == 0x3164 || c == 0xFFA0) return true;  // Hangul fillers
        auto [major, minor] = category(c);
        return major == 'M' || (major == 'C' && minor == 'f');
    }

    Kind kind_of(uint32_t u) {
        Ref ch = text_of(u);
        if (truth(call(py_.isspace, ch.get()).get())) return Kind::Space;
        auto [major, minor] = category(u);
        if (major == 'P' || major == 'S' || (major == 'C' && minor == 'c')) return Kind::Separator;
        return is_cjk(u) ? Kind::Cjk : Kind::Word;
    }

    const Units& step(uint32_t c) {
        auto it = step_memo_.find(c);
        if (it != step_memo_.end()) return it->second;
        Ref ch = text_of(c);
        Ref compat = call(py_.normalize, py_.nfkc, ch.get());
        Ref folded = call(py_.casefold, compat.get());
        Ref split = call(py_.normalize, py_.nfd, folded.get());
        Units out;
        Py_ssize_t n = PyUnicode_GetLength(split.get());
        if (n < 0) throw_error();
        for (Py_ssize_t i = 0; i < n; ++i) {
            uint32_t y = PyUnicode_ReadChar(split.get(), i);
            if (removed(y)) continue;
            out.push_back(mapped(kTraditionalSimplified, mapped(kLookalikes, y)));
        }
        return step_memo_[c] = std::move(out);
    }

    Units image(uint32_t c) {
        Units s{c};
        for (int round = 0; round < kRounds; ++round) {
            Units t;
            for (uint32_t x : s) {
                const Units& part = step(x);
                t.insert(t.end(), part.begin(), part.end());
            }
            if (t == s) break;
            s = std::move(t);
        }
        return s;
    }

    uint32_t encode(uint32_t u) { return u | (static_cast<uint32_t>(kind_of(u)) << kKindShift); }

    void fill(size_t index) {
        auto block = std::make_unique<Block>();
        for (uint32_t k = 0; k < 256; ++k) {
            Units img = image(static_cast<uint32_t>(index << 8) + k);
            if (img.empty()) {
                block->entry[k] = kRemoved;
            } else if (img.size() == 1) {
                block->entry[k] = encode(img[0]);
            } else {
                for (uint32_t& u : img) u = encode(u);
                block->multi.push_back(std::move(img));
                block->entry[k] = kMulti | static_cast<uint32_t>(block->multi.size() - 1);
            }
        }
        step_memo_.clear();
        category_memo_.clear();
        if (!blocks_[index]) blocks_[index] = std::move(block);  // a re-entrant fill may have come first
    }

    UnicodeHelpers py_;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::unordered_map<uint32_t, Units> step_memo_;
    std::unordered_map<uint32_t, std::pair<Py_UCS4, Py_UCS4>> category_memo_;
};

using ImageTablesPtr = std::shared_ptr<ImageTables>;

// The normalised form of code points whose blocks are prepared, appended to `out`.
// A gap's fate depends on whether the unit after it stands alone, which is
// known one unit later: each unit waits in `pending` until then.
inline void normalise(const ImageTables& tables, const Py_UCS4* text, size_t n, std::vector<uint32_t>& out) {
    enum : uint8_t { kNoGap = 0, kSeparatorGap = 1, kSpaceGap = 2 };
    struct Pending {
        uint32_t unit;
        bool cjk, gap_left;
        uint8_t gap_before;
    } pending{};
    bool has_pending = false, prev_loose = false;
    uint8_t gap = kNoGap;
    auto emit = [&](bool gap_right) {
        bool loose = pending.cjk || (pending.gap_left && gap_right);
        if (pending.gap_before == kSpaceGap && !(prev_loose && loose)) out.push_back(kGapMarker);
        out.push_back(pending.unit);
        prev_loose = loose;
    };
    auto feed = [&](uint32_t e) {
        Kind kind = static_cast<Kind>((e >> ImageTables::kKindShift) & 3);
        if (kind == Kind::Space) {
            gap = kSpaceGap;
        } else if (kind == Kind::Separator) {
            if (gap == kNoGap) gap = kSeparatorGap;
        } else {
            if (has_pending) emit(gap != kNoGap);
            pending = {e & ImageTables::kUnit, kind == Kind::Cjk, !has_pending || gap != kNoGap,
                       has_pending ? gap : uint8_t{kNoGap}};
            has_pending = true;
            gap = kNoGap;
        }
    };
    out.reserve(out.size() + n);
    for (size_t i = 0; i < n; ++i) {
        const ImageTables::Block& block = tables.block(text[i]);
        uint32_t e = block.entry[text[i] & 0xFF];
        if (e & ImageTables::kRemoved) continue;
        if (e & ImageTables::kMulti) {
            for (uint32_t m : block.multi[e & ImageTables::kUnit]) feed(m);
        } else {
            feed(e);
        }
    }
    if (has_pending) emit(true);
}

// Aho-Corasick over sequences of units. Immutable once built.
class UnitMatcher {
public:
    // Distinct, non-empty keys; a key's id is its index.
    static std::shared_ptr<const UnitMatcher> build(const std::vector<std::vector<uint32_t>>& keys) {
        auto m = std::make_shared<UnitMatcher>();
        m->make_trie(keys);
        m->link_failures();
        return m;
    }

    size_t length(uint32_t id) const { return length_[id]; }

    // Whether any key occurs.
    bool any(const uint32_t* text, size_t n) const {
        uint32_t s = 0;
        for (size_t i = 0; i < n; ++i) {
            if (s == 0 && !starts(text[i])) continue;
            s = next(s, text[i]);
            if (term_[s] || out_[s]) return true;
        }
        return false;
    }

    // visit(end, id) for every occurrence, by end and, at one end, longest first.
    template <class Visit>
    void each(const uint32_t* text, size_t n, Visit&& visit) const {
        uint32_t s = 0;
        for (size_t i = 0; i < n; ++i) {
            if (s == 0 && !starts(text[i])) continue;
            s = next(s, text[i]);
            for (uint32_t t = term_[s] ? s : out_[s]; t; t = out_[t]) visit(i + 1, term_[t] - 1);
        }
    }

private:
    void make_trie(const std::vector<std::vector<uint32_t>>& keys) {
        std::vector<std::map<uint32_t, uint32_t>> children(1);
        term_.assign(1, 0);
        length_.resize(keys.size());
        for (uint32_t id = 0; id < keys.size(); ++id) {
            uint32_t s = 0;
            for (uint32_t c : keys[id]) {
                auto it = children[s].find(c);
                if (it == children[s].end()) {
                    uint32_t t = static_cast<uint32_t>(children.size());
                    children[s][c] = t;
                    children.emplace_back();
                    term_.push_back(0);
                    s = t;
                } else {
                    s = it->second;
                }
            }
            term_[s] = id + 1;
            length_[id] = keys[id].size();
            uint32_t first = keys[id][0];
            if (first / 64 >= starts_.size()) starts_.resize(first / 64 + 1, 0);
            starts_[first / 64] |= uint64_t{1} << (first % 64);
        }
        edge_start_.assign(children.size() + 1, 0);
        for (size_t u = 0; u < children.size(); ++u) {
            edge_start_[u + 1] = edge_start_[u] + static_cast<uint32_t>(children[u].size());
            for (auto [c, v] : children[u]) {
                edge_unit_.push_back(c);
                edge_to_.push_back(v);
            }
        }
    }

    uint32_t child(uint32_t s, uint32_t c) const {
        auto first = edge_unit_.begin() + edge_start_[s], last = edge_unit_.begin() + edge_start_[s + 1];
        auto at = std::lower_bound(first, last, c);
        return (at != last && *at == c) ? edge_to_[static_cast<size_t>(at - edge_unit_.begin())] : 0;
    }

    uint32_t next(uint32_t s, uint32_t c) const {
        for (;;) {
            if (uint32_t t = child(s, c)) return t;
            if (s == 0) return 0;
            s = fail_[s];
        }
    }

    bool starts(uint32_t c) const { return c / 64 < starts_.size() && (starts_[c / 64] >> (c % 64)) & 1; }

    // Breadth first; out_[u]: the nearest node down u's failure chain where a key ends.
    void link_failures() {
        const size_t nodes = term_.size();
        fail_.assign(nodes, 0);
        out_.assign(nodes, 0);
        std::vector<uint32_t> queue;
        queue.reserve(nodes);
        queue.push_back(0);
        for (size_t q = 0; q < queue.size(); ++q) {
            uint32_t u = queue[q];
            for (uint32_t e = edge_start_[u]; e < edge_start_[u + 1]; ++e) {
                uint32_t v = edge_to_[e];
                fail_[v] = u == 0 ? 0 : next(fail_[u], edge_unit_[e]);
                out_[v] = term_[fail_[v]] ? fail_[v] : out_[fail_[v]];
                queue.push_back(v);
            }
        }
    }

    std::vector<uint32_t> term_, fail_, out_, edge_start_, edge_unit_, edge_to_;
    std::vector<size_t> length_;
    std::vector<uint64_t> starts_;
};

using UnitMatcherPtr = std::shared_ptr<const UnitMatcher>;

// How a screen maps texts: normalised, or as the automaton would search them.
enum class Mode : uint8_t { Normalize, Lower, Exact };

// A checker's screen: its lexicon's normalised keys, the allowed words' keys,
// and which entries each key stands for. Held by the checker in a private slot.
struct Screen {
    Ref entries;  // the lexicon as it was at the build
    Mode mode = Mode::Normalize;
    UnitMatcherPtr banned, allowed;         // allowed: null without allowed words
    std::vector<std::vector<uint32_t>> entries_of_key;  // key id -> entry indices, lexicon order

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(entries.get());
        return 0;
    }
    void clear() { Ref old = std::move(entries); }

    // The key ids of the occurrences outside every allowed occurrence, each
    // once, in the order described by UnitMatcher::each. `first_only`: stop at one.
    std::vector<uint32_t> unmasked(const std::vector<uint32_t>& text, bool first_only) const {
        const size_t n = text.size();
        std::vector<uint32_t> ids;
        std::vector<size_t> allowed_from;  // [e]: the smallest start of an allowed occurrence ending at e or later
        if (allowed) {
            allowed_from.assign(n + 2, n + 1);
            allowed->each(text.data(), n, [&](size_t end, uint32_t id) {
                allowed_from[end] = std::min(allowed_from[end], end - allowed->length(id));
            });
            for (size_t e = n; e-- > 0;) allowed_from[e] = std::min(allowed_from[e], allowed_from[e + 1]);
        }
        std::unordered_set<uint32_t> seen;  // sized by the hits, not by the lexicon
        bool done = false;
        banned->each(text.data(), n, [&](size_t end, uint32_t id) {
            if (done || seen.count(id)) return;
            if (allowed && allowed_from[end] <= end - banned->length(id)) return;  // masked
            seen.insert(id);
            ids.push_back(id);
            done = first_only;
        });
        return ids;
    }
};

using ScreenBox = NativeBox<Screen>;

}  // namespace wordsift::screen
