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
#include "wordsift_matcher.hpp"
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
    static constexpr uint32_t kUnfilled = 1u << 25;  // every entry of a block not filled yet
    static constexpr int kRounds = 8;

    struct Block {
        std::array<uint32_t, 256> entry{};
        // The images of several units, encoded like single entries, one after
        // another, each after its length: a kMulti entry holds its offset.
        std::vector<uint32_t> multi;
    };

    explicit ImageTables(const UnicodeHelpers& py)
        : py_(py), blocks_(kBlocks), table_(kBlocks, &unfilled()) {}

    // A block for every code point: table()[c >> 8]->entry[c & 0xFF] is c's
    // entry, kUnfilled while its block is not filled, with no test on the way.
    const Block* const* table() const { return table_.data(); }

    // How normalise_ascii reads an ASCII code point: its image when that is
    // one ASCII word unit, else one of these.
    static constexpr uint8_t kAsciiSeparator = 0x80, kAsciiSpace = 0x81, kAsciiOther = 0x82;

    // The class of each byte (kAsciiOther from 0x80 on), or null while the first block is not filled.
    const uint8_t* ascii_classes() const { return blocks_[0] ? ascii_classes_.data() : nullptr; }
    // Whether the ASCII word units are exactly the letters and digits, a
    // letter's its lower case: then normalise_ascii copies words eight bytes
    // at a time.
    bool ascii_alnum_words() const { return ascii_alnum_words_; }

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
                block->entry[k] = kMulti | static_cast<uint32_t>(block->multi.size());
                block->multi.push_back(static_cast<uint32_t>(img.size()));
                block->multi.insert(block->multi.end(), img.begin(), img.end());
            }
        }
        step_memo_.clear();
        category_memo_.clear();
        if (blocks_[index]) return;  // a re-entrant fill came first
        if (index == 0) classify_ascii(*block);
        table_[index] = block.get();
        blocks_[index] = std::move(block);
    }

    void classify_ascii(const Block& first) {
        ascii_classes_.fill(kAsciiOther);
        for (uint32_t c = 0; c < 0x80; ++c) {
            uint32_t e = first.entry[c], unit = e & kUnit;
            auto kind = static_cast<Kind>((e >> kKindShift) & 3);
            ascii_classes_[c] = (e & (kRemoved | kMulti)) ? kAsciiOther
                                : kind == Kind::Space     ? kAsciiSpace
                                : kind == Kind::Separator ? kAsciiSeparator
                                : (kind == Kind::Cjk || unit >= 0x80) ? kAsciiOther  // CJK gaps follow other rules
                                                                      : static_cast<uint8_t>(unit);
        }
        ascii_alnum_words_ = true;
        for (uint32_t c = 0; c < 0x80; ++c) {
            bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
            uint8_t image = alnum && c >= 'A' ? static_cast<uint8_t>(c | 0x20) : static_cast<uint8_t>(c);
            if (alnum ? ascii_classes_[c] != image : ascii_classes_[c] < kAsciiSeparator) ascii_alnum_words_ = false;
        }
    }

    static constexpr size_t kBlocks = 0x110000 >> 8;
    static const Block& unfilled() {
        static const Block block = [] {
            Block b;
            b.entry.fill(kUnfilled);
            return b;
        }();
        return block;
    }

    UnicodeHelpers py_;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::vector<const Block*> table_;
    std::array<uint8_t, 0x100> ascii_classes_{};
    bool ascii_alnum_words_ = false;
    std::unordered_map<uint32_t, Units> step_memo_;
    std::unordered_map<uint32_t, std::pair<Py_UCS4, Py_UCS4>> category_memo_;
};

using ImageTablesPtr = std::shared_ptr<ImageTables>;

// What normalise made of a text: done, stopped by its sink, or it needs a
// block of the tables filled, or more room than its sink has.
enum class Outcome : uint8_t { Done, Stopped, NeedTables, NeedRoom };

// Room that normalise always has enough of: three units a code point (a
// waiting unit, a kept gap and the unit), and a multi-unit image checks for more.
inline size_t normalise_room(size_t n) { return 3 * n + 1; }

// Gives the normalised form of the text to sink.put(unit), which returns
// false to stop; sink.room(k) tells whether it can take k more units.
//
// A space gap before unit i is kept unless both neighbours are loose (CJK,
// or standing alone). Unit i-1 has a gap on its right (this one), so it is
// loose when CJK or when it had a gap on its left. Unit i is loose when CJK
// or followed by a gap, which is known only at the next unit: only then does
// a unit wait, and only when nothing else decides its gap.
template <class Sink>
Outcome normalise(const ImageTables& tables, const Py_UCS4* text, size_t n, Sink& sink) {
    enum : uint8_t { kNoGap = 0, kSeparatorGap = 1, kSpaceGap = 2 };
    // Entries of one unit, by kind: below kCjkEntry a word unit, below kSeparatorEntry a CJK one.
    constexpr uint32_t kCjkEntry = static_cast<uint32_t>(Kind::Cjk) << ImageTables::kKindShift;
    constexpr uint32_t kSeparatorEntry = static_cast<uint32_t>(Kind::Separator) << ImageTables::kKindShift;
    bool has_unit = false, last_cjk = false, last_gap_left = false, waiting = false;
    uint32_t waiting_unit = 0;
    uint8_t gap = kNoGap;
    auto feed = [&](uint32_t e) __attribute__((always_inline)) {
        uint32_t kind = (e >> ImageTables::kKindShift) & 3;
        if (kind == static_cast<uint32_t>(Kind::Space)) {
            gap = kSpaceGap;
            return true;
        }
        if (kind == static_cast<uint32_t>(Kind::Separator)) {
            if (gap == kNoGap) gap = kSeparatorGap;
            return true;
        }
        uint32_t u = e & ImageTables::kUnit;
        bool cjk = kind == static_cast<uint32_t>(Kind::Cjk);
        if (waiting) {
            waiting = false;
            if (gap == kNoGap && !sink.put(kGapMarker)) return false;  // it does not stand alone
            if (!sink.put(waiting_unit)) return false;
        }
        bool gap_left = !has_unit || gap != kNoGap;
        bool emit = true;
        if (gap == kSpaceGap && has_unit) {
            if (!(last_cjk || last_gap_left)) {
                if (!sink.put(kGapMarker)) return false;
            } else if (!cjk) {
                waiting = true;
                waiting_unit = u;
                emit = false;
            }
        }
        last_cjk = cjk;
        last_gap_left = gap_left;
        has_unit = true;
        gap = kNoGap;
        return !emit || sink.put(u);
    };
    const ImageTables::Block* const* table = tables.table();
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = text[i];
        const ImageTables::Block* block = table[c >> 8];
        uint32_t e = block->entry[c & 0xFF];
        if (!(e & (ImageTables::kRemoved | ImageTables::kMulti | ImageTables::kUnfilled))) [[likely]] {
            // Mostly a word unit right after another: no gap to weigh, no unit waiting.
            if (e < kSeparatorEntry && gap == kNoGap && has_unit && !waiting) [[likely]] {
                last_cjk = e >= kCjkEntry;
                last_gap_left = false;
                if (!sink.put(e & ImageTables::kUnit)) return Outcome::Stopped;
                continue;
            }
            if (!feed(e)) return Outcome::Stopped;
        } else if (e & ImageTables::kUnfilled) {
            return Outcome::NeedTables;
        } else if (e & ImageTables::kMulti) {
            const uint32_t* units = block->multi.data() + (e & ImageTables::kUnit);
            const uint32_t count = *units++;
            if (!sink.room(3 * (count + n - i) + 1)) return Outcome::NeedRoom;
            for (uint32_t k = 0; k < count; ++k)
                if (!feed(units[k])) return Outcome::Stopped;
        }
    }
    if (waiting && !sink.put(waiting_unit)) return Outcome::Stopped;  // at the end it stands alone
    return Outcome::Done;
}

// Copies the run of letters and digits from text[i] on, lower-cased, to
// `p`, eight at a time while eight bytes are left; returns where it stopped
// (the run's end, or short of eight bytes before n). Writes 8 bytes where it
// keeps fewer, no further than it reads.
inline size_t copy_alnum_words(const uint8_t* text, size_t i, size_t n, uint8_t*& p) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = kOnes * 0x80;
    for (; i + 8 <= n; i += 8, p += 8) {
        uint64_t w = load_le64(text + i);
        uint64_t word = ascii_within8(w | kOnes * 0x20, 'a', 'z') | ascii_within8(w, '0', '9');
        store_le64(p, ascii_lower8(w));
        if (uint64_t other = ~word & kHigh) {
            size_t kept = static_cast<size_t>(__builtin_ctzll(other)) / 8;
            p += kept;
            return i + kept;
        }
    }
    return i;
}

// The normalised form of an ASCII text, a run at a time, through the
// tables' ASCII classes: what normalise gives when every code point has a
// one-unit ASCII image. Between runs of units, a gap with a space is kept
// unless both its neighbours stand alone: the unit before it when its run
// is one unit long, the unit after it when the code point after that is no
// unit. Writes at most n bytes to `out`; false, with `out` undefined, on a
// byte this cannot take. `alnum_words`: as ImageTables::ascii_alnum_words().
inline bool normalise_ascii(const uint8_t* classes, bool alnum_words, const uint8_t* text, size_t n, uint8_t* out,
                            size_t& size) {
    auto class_of = [&](size_t i) { return classes[text[i]]; };
    uint8_t* p = out;
    size_t i = 0;
    bool has_unit = false, last_alone = false;
    for (;;) {
        bool space = false;
        uint8_t v = 0;
        for (; i < n && (v = class_of(i)) >= ImageTables::kAsciiSeparator; ++i) {
            if (v == ImageTables::kAsciiOther) return false;
            space |= v == ImageTables::kAsciiSpace;
        }
        if (i == n) break;  // a gap at the end is dropped
        const size_t start = i;
        if (space && has_unit) {
            bool alone = i + 1 == n || class_of(i + 1) >= ImageTables::kAsciiSeparator;
            if (!(last_alone && alone)) *p++ = kGapMarker;
        }
        *p++ = v, ++i;
        if (alnum_words) i = copy_alnum_words(text, i, n, p);
        for (; i < n && (v = class_of(i)) < ImageTables::kAsciiSeparator; ++i) *p++ = v;
        last_alone = i - start == 1;
        has_unit = true;
    }
    size = static_cast<size_t>(p - out);
    return true;
}

// A sink that writes the units to an array.
struct BufferSink {
    uint32_t *p, *end;
    bool put(uint32_t u) {
        *p++ = u;
        return true;
    }
    bool room(size_t k) const { return static_cast<size_t>(end - p) >= k; }
};

// The normalised form of code points, filling the tables as needed (the GIL held).
class Normalised {
public:
    Normalised(ImageTables& tables, const Py_UCS4* text, size_t n) {
        size_t room = normalise_room(n);
        for (;;) {
            uint32_t* out = room <= kSmall ? small_ : (heap_.reset(new uint32_t[room]), heap_.get());
            BufferSink sink{out, out + room};
            Outcome outcome = normalise(tables, text, n, sink);
            if (outcome == Outcome::Done) {
                data_ = out;
                size_ = static_cast<size_t>(sink.p - out);
                return;
            }
            if (outcome == Outcome::NeedTables)
                tables.prepare(text, n);
            else
                room *= 2;
        }
    }
    const uint32_t* data() const { return data_; }
    size_t size() const { return size_; }
    std::vector<uint32_t> copy() const { return {data_, data_ + size_}; }

private:
    static constexpr size_t kSmall = 1536;
    uint32_t small_[kSmall];
    std::unique_ptr<uint32_t[]> heap_;
    const uint32_t* data_ = nullptr;
    size_t size_ = 0;
};

// Aho-Corasick over sequences of units. Immutable once built.
class UnitMatcher {
public:
    // Non-empty keys; equal keys share one id, the smallest index among them
    // (id_of(index) tells which).
    static std::shared_ptr<const UnitMatcher> build(const std::vector<std::vector<uint32_t>>& keys) {
        auto m = std::make_shared<UnitMatcher>();
        m->make_trie(keys);
        m->link_failures();
        return m;
    }

    uint32_t id_of(size_t index) const { return id_of_[index]; }
    size_t length(uint32_t id) const { return length_[id]; }

    // The state after `c` from state `s`. A unit that no key holds leads
    // back to the root at once, without walking the failure chain.
    uint32_t step(uint32_t s, uint32_t c) const {
        if (!in_keys(c)) return 0;
        return s == 0 ? root(c) : step_inside(s, c);
    }

    // A sink for normalise that runs the matcher, stopping at the first hit.
    struct Scan {
        explicit Scan(const UnitMatcher& m)
            : matcher(m), alphabet(m.alphabet_.data()), words(m.alphabet_.size()), hits(m.hit_.data()) {}
        bool put(uint32_t c) {
            if (c / 64 >= words || !((alphabet[c / 64] >> (c % 64)) & 1)) {
                s = 0;  // no key holds it
                return true;
            }
            s = s == 0 ? matcher.root(c) : matcher.step_inside(s, c);
            return !hits[s];
        }
        bool room(size_t) const { return true; }

        const UnitMatcher& matcher;
        const uint64_t* alphabet;
        size_t words;
        const uint8_t* hits;
        uint32_t s = 0;
    };

    // Whether any key occurs.
    bool any(const uint32_t* text, size_t n) const {
        Scan scan(*this);
        for (size_t i = 0; i < n; ++i)
            if (!scan.put(text[i])) return true;
        return false;
    }

    // visit(end, id) for every occurrence, by end and, at one end, longest first.
    template <class Visit>
    void each(const uint32_t* text, size_t n, Visit&& visit) const {
        uint32_t s = 0;
        for (size_t i = 0; i < n; ++i) {
            s = step(s, text[i]);
            if (!hit_[s]) continue;
            for (uint32_t t = term_[s] ? s : out_[s]; t; t = out_[t]) visit(i + 1, term_[t] - 1);
        }
    }

private:
    static constexpr uint32_t kDenseRoot = 0x800;

    // The trie from the keys in sorted order: each key adds nodes only past
    // its common prefix with the previous one, so every node's children come
    // out in increasing order, ready for the flat edge arrays.
    void make_trie(const std::vector<std::vector<uint32_t>>& keys) {
        // Sorted on the first three units packed into one integer (a unit has 21
        // bits), the rest only on a tie: most comparisons are one integer compare.
        std::vector<std::pair<uint64_t, uint32_t>> order(keys.size());
        size_t total = 1, longest = 0;
        uint32_t largest = 0;
        for (uint32_t i = 0; i < keys.size(); ++i) {
            longest = std::max(longest, keys[i].size());
            for (uint32_t c : keys[i]) largest = std::max(largest, c);
            uint64_t prefix = 0;
            for (size_t k = 0; k < 3; ++k) prefix = (prefix << 21) | (k < keys[i].size() ? keys[i][k] + 1 : 0);
            order[i] = {prefix, i};
            total += keys[i].size();
        }
        std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
            if (a.first != b.first) return a.first < b.first;
            const auto &ka = keys[a.second], &kb = keys[b.second];
            if (ka.size() > 3 || kb.size() > 3) {
                auto [ia, ib] = std::mismatch(ka.begin() + 3, ka.end(), kb.begin() + 3, kb.end());
                if (ia != ka.end() || ib != kb.end()) return ib != kb.end() && (ia == ka.end() || *ia < *ib);
            }
            return a.second < b.second;
        });
        std::vector<uint32_t> parent(1, 0), unit(1, 0), path;
        parent.reserve(total);
        path.reserve(longest);
        alphabet_.assign(largest / 64 + 1, 0);
        unit.reserve(total);
        term_.reserve(total);
        term_.assign(1, 0);
        id_of_.assign(keys.size(), 0);
        length_.assign(keys.size(), 0);
        const std::vector<uint32_t>* prev = nullptr;
        for (auto [prefix, k] : order) {
            const std::vector<uint32_t>& key = keys[k];
            size_t common = 0;
            if (prev)
                while (common < prev->size() && common < key.size() && (*prev)[common] == key[common]) ++common;
            path.resize(common);
            uint32_t s = common ? path[common - 1] : 0;
            for (size_t d = common; d < key.size(); ++d) {
                uint32_t t = static_cast<uint32_t>(parent.size());
                parent.push_back(s);
                unit.push_back(key[d]);
                alphabet_[key[d] / 64] |= uint64_t{1} << (key[d] % 64);
                term_.push_back(0);
                path.push_back(t);
                s = t;
            }
            if (!term_[s]) term_[s] = k + 1;  // equal keys: the smallest index came first
            id_of_[k] = term_[s] - 1;
            length_[k] = key.size();
            prev = &key;
        }
        const size_t nodes = parent.size();
        edge_start_.assign(nodes + 1, 0);
        for (size_t v = 1; v < nodes; ++v) ++edge_start_[parent[v] + 1];
        for (size_t u = 0; u < nodes; ++u) edge_start_[u + 1] += edge_start_[u];
        edge_unit_.resize(nodes - 1);
        edge_to_.resize(nodes - 1);
        std::vector<uint32_t> fill(edge_start_.begin(), edge_start_.end() - 1);
        for (size_t v = 1; v < nodes; ++v) {  // children in creation order, which is unit order
            uint32_t at = fill[parent[v]]++;
            edge_unit_[at] = unit[v];
            edge_to_[at] = static_cast<uint32_t>(v);
            if (parent[v] == 0 && unit[v] < kDenseRoot) dense_root_[unit[v]] = static_cast<uint32_t>(v);
        }
    }

    uint32_t child(uint32_t s, uint32_t c) const {
        const uint32_t* first = edge_unit_.data() + edge_start_[s];
        const uint32_t* last = edge_unit_.data() + edge_start_[s + 1];
        const uint32_t* at = (last - first > 8) ? std::lower_bound(first, last, c) : first;
        while (at < last && *at < c) ++at;
        return (at < last && *at == c) ? edge_to_[static_cast<size_t>(at - edge_unit_.data())] : 0;
    }

    // From a state below the root, for a unit some key holds.
    uint32_t step_inside(uint32_t s, uint32_t c) const {
        for (;;) {
            if (uint32_t t = child(s, c)) return t;
            s = fail_[s];
            if (s == 0) return root(c);
        }
    }

    uint32_t root(uint32_t c) const { return c < kDenseRoot ? dense_root_[c] : child(0, c); }

    bool in_keys(uint32_t c) const { return c / 64 < alphabet_.size() && (alphabet_[c / 64] >> (c % 64)) & 1; }

    // Breadth first; out_[u]: the nearest node down u's failure chain where a
    // key ends; hit_[u]: a key ends at u or down its chain.
    void link_failures() {
        const size_t nodes = term_.size();
        fail_.assign(nodes, 0);
        out_.assign(nodes, 0);
        hit_.assign(nodes, 0);
        std::vector<uint32_t> queue;
        queue.reserve(nodes);
        queue.push_back(0);
        for (size_t q = 0; q < queue.size(); ++q) {
            uint32_t u = queue[q];
            for (uint32_t e = edge_start_[u]; e < edge_start_[u + 1]; ++e) {
                uint32_t v = edge_to_[e];
                fail_[v] = u == 0 ? 0 : step(fail_[u], edge_unit_[e]);
                out_[v] = term_[fail_[v]] ? fail_[v] : out_[fail_[v]];
                hit_[v] = term_[v] || out_[v];
                queue.push_back(v);
            }
        }
    }

    std::array<uint32_t, kDenseRoot> dense_root_{};
    std::vector<uint32_t> term_, fail_, out_, edge_start_, edge_unit_, edge_to_, id_of_;
    std::vector<size_t> length_;
    std::vector<uint8_t> hit_;
    std::vector<uint64_t> alphabet_;  // the units that occur in some key
};

using UnitMatcherPtr = std::shared_ptr<const UnitMatcher>;

// How a screen maps texts: normalised, or as the automaton would search them.
enum class Mode : uint8_t { Normalize, Lower, Exact };

// The plain matcher of normalised keys (units), matched exactly.
inline MatcherPtr plain_matcher(const std::vector<std::vector<uint32_t>>& keys) {
    std::vector<Key> encoded(keys.size());
    uint8_t bytes[4];
    for (size_t i = 0; i < keys.size(); ++i) {
        Key& out = encoded[i];
        out.id = static_cast<uint32_t>(i);
        out.length = static_cast<uint32_t>(keys[i].size());
        for (uint32_t u : keys[i]) out.bytes.append(reinterpret_cast<char*>(bytes), static_cast<size_t>(encode(u, bytes)));
    }
    return Matcher::build(std::move(encoded), true, false);
}

// A checker's screen: its lexicon's normalised keys, the allowed words' keys,
// and which entries each key stands for. Held by the checker in a private slot.
// The matchers are built from the keys on first use (the GIL held, no host
// code involved), so building a checker costs its keys, as a plain checker's
// costs its engine.
struct Screen {
    Ref entries;  // the lexicon as it was at the build
    Mode mode = Mode::Normalize;
    std::vector<std::vector<uint32_t>> banned_keys, allowed_keys;
    std::vector<uint32_t> banned_index;  // banned key -> the entry it came from

    bool bans() const { return !banned_keys.empty(); }
    const UnitMatcher& banned() const {
        if (!banned_) build_banned();
        return *banned_;
    }
    // Null without allowed words.
    const UnitMatcher* allowed() const {
        if (!allowed_ && !allowed_keys.empty()) allowed_ = UnitMatcher::build(allowed_keys);
        return allowed_.get();
    }
    // Normalize: the banned keys for the plain first-hit scan.
    const Matcher& plain() const {
        if (!plain_) plain_ = plain_matcher(banned_keys);
        return *plain_;
    }
    // The entry indices of banned key `id`, in lexicon order.
    const std::vector<uint32_t>& entries_of(uint32_t id) const { return (banned(), entries_of_key_[id]); }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(entries.get());
        return 0;
    }
    void clear() { Ref old = std::move(entries); }

    // The key ids of the occurrences outside every allowed occurrence, each
    // once, in the order described by UnitMatcher::each. `first_only`: stop at one.
    std::vector<uint32_t> unmasked(const std::vector<uint32_t>& text, bool first_only) const {
        const size_t n = text.size();
        const UnitMatcher* allowed = this->allowed();
        const UnitMatcher* banned = &this->banned();
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

private:
    void build_banned() const {
        UnitMatcherPtr m = UnitMatcher::build(banned_keys);
        std::vector<std::vector<uint32_t>> of_key(banned_keys.size());
        for (size_t k = 0; k < banned_keys.size(); ++k) of_key[m->id_of(k)].push_back(banned_index[k]);
        entries_of_key_ = std::move(of_key);
        banned_ = std::move(m);
    }

    mutable UnitMatcherPtr banned_, allowed_;
    mutable MatcherPtr plain_;
    mutable std::vector<std::vector<uint32_t>> entries_of_key_;
};

using ScreenBox = NativeBox<Screen>;

}  // namespace wordsift::screen
