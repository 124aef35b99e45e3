// The fast first-hit test of vantry.wordsift: an Aho-Corasick matcher over
// the UTF-8 bytes of an engine's keys, answered in C++ without calling the
// engine, and the FastPath that ties one matcher to the one engine object it
// was built for.
//
// The matcher only ever answers Clean or Hit when the engine would say the
// same; a text it cannot decide exactly (case folding outside ASCII) is
// Unknown and goes to the engine.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pyglue.hpp"

namespace wordsift {

using namespace pyglue;

// ---- code points ------------------------------------------------------------------

// UTF-8 bit layout for any code point, lone surrogates included, so that
// substring matching over the bytes is substring matching over code points.
inline int encode(Py_UCS4 c, uint8_t* out) {
    if (c < 0x80) {
        out[0] = static_cast<uint8_t>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (c >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 4;
}

// The code points of a text, copied into a stack buffer or, for long texts, the heap.
class CodePoints {
public:
    explicit CodePoints(PyObject* text) {
        Py_ssize_t n = PyUnicode_GetLength(text);
        if (n < 0) throw_error();
        size_ = static_cast<size_t>(n);
        Py_UCS4* buf = small_;
        if (size_ > kSmall) {
            heap_.resize(size_);
            buf = heap_.data();
        }
        if (size_ && !PyUnicode_AsUCS4(text, buf, n, 0)) throw_error();
        data_ = buf;
    }
    const Py_UCS4* data() const { return data_; }
    size_t size() const { return size_; }
    Py_UCS4 operator[](size_t i) const { return data_[i]; }

private:
    static constexpr size_t kSmall = 512;
    Py_UCS4 small_[kSmall];
    std::vector<Py_UCS4> heap_;
    const Py_UCS4* data_ = nullptr;
    size_t size_ = 0;
};

// ---- case folding --------------------------------------------------------------------

// How the text (and the keys) are mapped before matching, one code point at a time.
enum class Fold : uint8_t {
    Exact,    // as they are: no ignore_case
    Lower,    // what str.lower() makes of the text: the automaton searches text.lower()
    Pattern,  // the equivalence under which a case-insensitive `re` pattern matches a literal
};

// The case tables of the running interpreter, filled a block of 256 code
// points at a time on first use, so they follow whatever Unicode version the
// host has. An entry is the code point's image plus flags.
//
// Lower: chr(c).lower(), which may be several code points (U+0130 lowers to
// two: Multi). Capital sigma lowers to σ or ς depending on its neighbours
// (Sigma: decided per lexicon, see Matcher::sigma_free); str.lower() has no
// other context rule.
//
// Pattern: a compiled IGNORECASE pattern (Unicode) matches a cased literal p
// at text code point t when tolower(t) is tolower(p) or one of its extra
// cases (re's table of equivalents such as i/ı, s/ſ, µ/μ), and matches a
// literal without case only by itself. The image is the smallest member of
// tolower(c)'s equivalence class, so "same image" is exactly "matches". A
// text code point whose lower-case form has no case of its own (tolower(t)
// != t, not cased) could stand for a caseless literal it does not match:
// Undecided. A key code point without case that belongs to a class cannot be
// mapped either (such a lexicon gets no fast path).
class CaseTables {
public:
    static constexpr uint32_t kImage = 0x1FFFFF;
    static constexpr uint32_t kUndecided = 1u << 31;
    static constexpr uint32_t kSigma = 1u << 30;     // Lower: capital sigma
    static constexpr uint32_t kCaseless = 1u << 29;  // Pattern: the code point has no case
    static constexpr uint32_t kInClass = 1u << 28;   // Pattern: it has extra cases
    static constexpr uint32_t kMulti = 1u << 27;     // Lower: the images are Block::multi[entry & kImage]

    // Immutable once published, so scans may read it without the GIL.
    struct Block {
        std::array<uint32_t, 256> entry{};
        std::vector<std::vector<uint32_t>> multi;
    };

    // Reads re's case rules; an interpreter without them gets an all
    // Undecided Pattern table, and case-insensitive patterns keep to the engine.
    // The Python objects used to fill the tables are kept (and traversed) by
    // the module state; filling happens only through the module's calls.
    static std::shared_ptr<CaseTables> create(StateBase& st) {
        auto t = std::make_shared<CaseTables>();
        t->lower_name_ = st.name("lower");
        t->read_pattern_rules(st);
        t->read_astral_class_rule();
        t->fill(Fold::Lower, 0);
        t->fill(Fold::Pattern, 0);
        return t;
    }

    // The block of `c` under `fold`, or null when it is not filled yet.
    const Block* block(Fold fold, Py_UCS4 c) const {
        return (fold == Fold::Lower ? lower_ : pattern_).at(c >> 8).load(std::memory_order_acquire);
    }
    const uint32_t* entry(Fold fold, Py_UCS4 c) const {
        const Block* b = block(fold, c);
        return b ? &b->entry[c & 0xFF] : nullptr;
    }

    // How a case-insensitive pattern treats a code point beyond U+FFFF that
    // ends up in a character class (the alternation of one-code-point words):
    // CPython 3.11 to 3.13 keep such a member as written and compare it with
    // the text's lower-case form, so a member with a lower case of its own
    // (U+10400, U+1E900...) matches nothing, not even itself.
    enum class AstralClass : uint8_t { Lowered, AsWritten, Unknown };
    AstralClass astral_class() const { return astral_class_; }

    // Fills every block the code points need (the GIL held).
    void prepare(Fold fold, const Py_UCS4* text, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (!entry(fold, text[i])) fill(fold, text[i] >> 8);
    }

private:
    static constexpr size_t kBlocks = 0x110000 >> 8;

    void read_pattern_rules(StateBase& st) {
        Ref sre = Ref::steal_or_null(PyImport_ImportModule("_sre"));
        Ref compiler = Ref::steal_or_null(PyImport_ImportModule("re._compiler"));
        Ref tolower, iscased;
        if (sre) {
            tolower = Ref::steal_or_null(PyObject_GetAttrString(sre.get(), "unicode_tolower"));
            iscased = Ref::steal_or_null(PyObject_GetAttrString(sre.get(), "unicode_iscased"));
        }
        Ref extra = compiler ? Ref::steal_or_null(PyObject_GetAttrString(compiler.get(), "_EXTRA_CASES")) : Ref();
        if (!tolower || !iscased || !extra || !PyDict_Check(extra.get())) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
            PyErr_Clear();  // the rules are unknown: Pattern stays Undecided
            return;
        }
        tolower_ = st.keep(std::move(tolower));
        iscased_ = st.keep(std::move(iscased));
        // lower-case form -> the smallest member of its class of extra cases
        bool known = true;
        for_each_item(extra.get(), [&](PyObject* key, PyObject* value) {
            long lo = known ? PyLong_AsLong(key) : -1;
            if (lo < 0 || !PyTuple_Check(value) || PyErr_Occurred()) {
                known = false;
                return;
            }
            uint32_t smallest = static_cast<uint32_t>(lo);
            for (Py_ssize_t i = 0; i < PyTuple_Size(value); ++i)
                smallest = std::min(smallest, static_cast<uint32_t>(PyLong_AsLong(PyTuple_GetItem(value, i))));
            class_of_[static_cast<uint32_t>(lo)] = smallest;
        });
        if (!known || PyErr_Occurred()) {
            PyErr_Clear();
            tolower_ = nullptr;
        }
    }

    // Asks re itself, once: does a case-insensitive class holding U+10400
    // match U+10400 and its lower case U+10428?
    void read_astral_class_rule() {
        Ref re = Ref::steal_or_null(PyImport_ImportModule("re"));
        Ref compiled = re ? Ref::steal_or_null(PyObject_CallMethod(re.get(), "compile", "si", "\U00010400|\x01",
                                                                   2 /* re.IGNORECASE */))
                          : Ref();
        Ref upper = compiled ? Ref::steal_or_null(PyObject_CallMethod(compiled.get(), "fullmatch", "s", "\U00010400"))
                             : Ref();
        Ref lower = upper ? Ref::steal_or_null(PyObject_CallMethod(compiled.get(), "fullmatch", "s", "\U00010428"))
                          : Ref();
        if (!lower) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
            PyErr_Clear();  // unknown: such lexicons keep to the engine
            return;
        }
        bool matches_upper = !is_none(upper.get()), matches_lower = !is_none(lower.get());
        if (matches_upper && matches_lower) astral_class_ = AstralClass::Lowered;
        if (!matches_upper && !matches_lower) astral_class_ = AstralClass::AsWritten;
    }

    long call_long(PyObject* fn, long arg) {
        Ref n = new_int(arg);
        Ref r = call(fn, n.get());
        long v = PyLong_AsLong(r.get());
        if (v == -1 && PyErr_Occurred()) throw_error();
        return v;
    }

    uint32_t lower_entry(Py_UCS4 c, Block& block) {
        Ref ch = check(PyUnicode_FromOrdinal(static_cast<int>(c)));
        Ref low = call_method(ch.get(), lower_name_);
        if (c == 0x3A3) return kSigma | 0x3C3;
        Py_ssize_t n = PyUnicode_GetLength(low.get());
        if (n == 1) return PyUnicode_ReadChar(low.get(), 0);
        if (n < 1) return kUndecided;
        std::vector<uint32_t> images;
        for (Py_ssize_t i = 0; i < n; ++i) images.push_back(PyUnicode_ReadChar(low.get(), i));
        block.multi.push_back(std::move(images));
        return kMulti | static_cast<uint32_t>(block.multi.size() - 1);
    }

    uint32_t pattern_entry(Py_UCS4 c) {
        if (!tolower_) return kUndecided;
        auto canonical = [&](uint32_t lo) {
            auto it = class_of_.find(lo);
            return it == class_of_.end() ? lo : it->second;
        };
        uint32_t lo = static_cast<uint32_t>(call_long(tolower_, static_cast<long>(c)));
        uint32_t e = canonical(lo);
        if (!call_long(iscased_, static_cast<long>(c))) e |= kCaseless;
        if (class_of_.count(c)) e |= kInClass;
        if (lo != c && !call_long(iscased_, static_cast<long>(lo))) e |= kUndecided;
        return e;
    }

    void fill(Fold fold, size_t block_index) {
        auto block = std::make_unique<Block>();
        Py_UCS4 first = static_cast<Py_UCS4>(block_index << 8);
        for (Py_UCS4 k = 0; k < 256; ++k)
            block->entry[k] = fold == Fold::Lower ? lower_entry(first + k, *block) : pattern_entry(first + k);
        // Published whole: a scan without the GIL that sees the pointer sees
        // the filled block. A block another thread published meanwhile (the
        // host code above may let it run) stays, since scans may be reading it.
        const Block* expected = nullptr;
        if ((fold == Fold::Lower ? lower_ : pattern_)
                .at(block_index)
                .compare_exchange_strong(expected, block.get(), std::memory_order_release, std::memory_order_relaxed))
            block.release();
    }

    // One slot per block of 256 code points; a slot owns the block it points to.
    class Slots {
    public:
        Slots() : slots_(new std::atomic<const Block*>[kBlocks]()) {}
        Slots(const Slots&) = delete;
        Slots& operator=(const Slots&) = delete;
        ~Slots() {
            for (size_t i = 0; i < kBlocks; ++i) delete slots_[i].load(std::memory_order_relaxed);
        }
        std::atomic<const Block*>& at(size_t i) const { return slots_[i]; }

    private:
        std::unique_ptr<std::atomic<const Block*>[]> slots_;
    };

    Slots lower_, pattern_;
    std::unordered_map<uint32_t, uint32_t> class_of_;
    PyObject* lower_name_ = nullptr;  // borrowed from the module state, like the two below
    PyObject* tolower_ = nullptr;     // _sre.unicode_tolower, or null when the rules are unknown
    PyObject* iscased_ = nullptr;
    AstralClass astral_class_ = AstralClass::Unknown;
};

using CaseTablesPtr = std::shared_ptr<CaseTables>;

// ---- matcher -----------------------------------------------------------------------------

// One key of a matcher: its code points and its position in the engine's
// word list (the first of equal keys wins, as the first alternative does).
struct Key {
    std::string bytes;    // encoded images of its code points
    uint32_t length = 0;  // in code points
    uint32_t id = 0;
    uint32_t first = 0;   // the image of its first code point
};

// Aho-Corasick over the UTF-8 bytes of the keys' images: a trie with failure
// links, a dense table at the root (where a clean text spends most of its
// time) and sorted edge lists below it. Immutable once built.
class Matcher {
public:
    enum class Result { Clean, Hit, Unknown, NeedTables };

    // Keys must be non-empty.
    // `keep_texts`: keep the keys' bytes, for key_text().
    static std::shared_ptr<const Matcher> build(std::vector<Key> keys, bool sigma_free, bool keep_texts) {
        auto m = std::make_shared<Matcher>();
        m->sigma_free_ = sigma_free;
        if (keep_texts) m->keep_texts(keys);
        for (const Key& k : keys) m->mark_start(k.first);
        m->make_trie(keys);
        m->link_failures();
        return m;
    }

    // Whether a key occurs in the text mapped by `fold`.
    Result scan(const Py_UCS4* text, size_t n, Fold fold, const CaseTables& tables) const {
        uint32_t s = 0;
        Result undecided = Result::Clean;
        bool ok = each_image(text, n, fold, tables, undecided, [&](size_t, uint32_t image) {
            if (s == 0 && !starts(image)) return true;  // most text: no key begins here
            s = step_code_point(s, image);
            return !hit_[s];
        });
        if (undecided != Result::Clean) return undecided;
        return ok ? Result::Clean : Result::Hit;
    }

    // The text of key `id` (kept only when asked for at build).
    Ref key_text(uint32_t id) const {
        const char* data = texts_.data() + text_start_[id];
        Py_ssize_t size = static_cast<Py_ssize_t>(text_start_[id + 1] - text_start_[id]);
        return check(PyUnicode_DecodeUTF8(data, size, "surrogatepass"));  // our layout for lone surrogates
    }

    // Ids of the keys occurring in the text, every occurrence by end position
    // and, at one end, longest first (the order of an automaton's iter), each
    // id once. Unknown or NeedTables when the text cannot be mapped.
    Result occurrences(const Py_UCS4* text, size_t n, Fold fold, const CaseTables& tables,
                       std::vector<uint32_t>& ids) const {
        std::unordered_set<uint32_t> seen;  // sized by the hits, not by the lexicon
        uint32_t s = 0;
        Result undecided = Result::Clean;
        each_image(text, n, fold, tables, undecided, [&](size_t, uint32_t image) {
            s = step_code_point(s, image);
            for (uint32_t t = s; t && hit_[t]; t = fail_[t]) {  // hit_: a key ends somewhere down the chain
                if (!term_[t]) continue;
                uint32_t id = term_[t] - 1;
                if (seen.insert(id).second) ids.push_back(id);
            }
            return true;
        });
        return undecided;
    }

    // The matches a regular expression's findall gives: at each position the
    // first key in list order that matches there, scanning on after it.
    // (start, length) pairs in code points.
    Result leftmost_matches(const Py_UCS4* text, size_t n, Fold fold, const CaseTables& tables,
                            std::vector<std::pair<size_t, size_t>>& found) const {
        std::vector<uint32_t> images(n);  // Exact and Pattern map a code point to one image
        Result undecided = Result::Clean;
        each_image(text, n, fold, tables, undecided, [&](size_t i, uint32_t image) {
            images[i] = image;
            return true;
        });
        if (undecided != Result::Clean) return undecided;
        for (size_t i = 0; i < n;) {
            uint32_t s = 0, best = 0;
            for (size_t j = i; j < n && (s = walk_code_point(s, images[j])); ++j)
                if (term_[s] && (!best || term_[s] < best)) best = term_[s];
            if (!best) {
                ++i;
                continue;
            }
            size_t length = key_length_[best - 1];
            found.emplace_back(i, length);
            i += length;
        }
        return Result::Clean;
    }

private:
    // Calls visit(index, image) for each code point of the text while it
    // returns true; false when a visit stopped it. `undecided` becomes
    // Unknown or NeedTables when a code point cannot be mapped.
    template <class Visit>
    bool each_image(const Py_UCS4* text, size_t n, Fold fold, const CaseTables& tables, Result& undecided,
                    Visit&& visit) const {
        for (size_t i = 0; i < n; ++i) {
            uint32_t image = text[i];
            if (fold != Fold::Exact) {
                const CaseTables::Block* block = tables.block(fold, image);
                if (!block) return undecided = Result::NeedTables, false;
                uint32_t e = block->entry[image & 0xFF];
                if ((e & CaseTables::kUndecided) || ((e & CaseTables::kSigma) && !sigma_free_))
                    return undecided = Result::Unknown, false;
                if (e & CaseTables::kMulti) {  // several code points where the text has one
                    for (uint32_t m : block->multi[e & CaseTables::kImage])
                        if (!visit(i, m)) return false;
                    continue;
                }
                image = e & CaseTables::kImage;
            }
            if (!visit(i, image)) return false;
        }
        return true;
    }

    void keep_texts(const std::vector<Key>& keys) {
        text_start_.assign(keys.size() + 1, 0);
        for (const Key& k : keys) text_start_[k.id + 1] = k.bytes.size();
        for (size_t i = 0; i < keys.size(); ++i) text_start_[i + 1] += text_start_[i];
        texts_.resize(text_start_.back());
        for (const Key& k : keys) std::copy(k.bytes.begin(), k.bytes.end(), texts_.begin() + text_start_[k.id]);
    }

    // The code points that begin a key, as a bitmap: at the root, any other
    // code point leads back to the root, without stepping through its bytes.
    void mark_start(uint32_t c) {
        if (c / 64 >= starts_.size()) starts_.resize(c / 64 + 1, 0);
        starts_[c / 64] |= uint64_t{1} << (c % 64);
    }
    bool starts(uint32_t c) const { return c / 64 < starts_.size() && (starts_[c / 64] >> (c % 64)) & 1; }

    uint32_t step_code_point(uint32_t s, uint32_t c) const {
        if (c < 0x80) return step(s, static_cast<uint8_t>(c));
        uint8_t bytes[4];
        int len = encode(c, bytes);
        for (int k = 0; k < len; ++k) s = step(s, bytes[k]);
        return s;
    }

    // Down the trie only (no failure links): the node for `c` below s, or 0.
    uint32_t walk_code_point(uint32_t s, uint32_t c) const {
        uint8_t bytes[4];
        int len = encode(c, bytes);
        for (int k = 0; k < len; ++k)
            if (!(s = child(s, bytes[k]))) return 0;
        return s;
    }

    // The trie from the keys in sorted byte order: each key adds nodes only
    // past its common prefix with the previous key, so nodes and edges come
    // out with every node's children in increasing byte order, ready for the
    // flat edge arrays, without a container per node.
    void make_trie(const std::vector<Key>& keys) {
        // Sorted on the first eight bytes as one big-endian integer, the
        // rest only on a tie: most comparisons are one integer compare.
        std::vector<std::pair<uint64_t, uint32_t>> order(keys.size());
        size_t total = 0;
        for (uint32_t i = 0; i < keys.size(); ++i) {
            const std::string& b = keys[i].bytes;
            uint64_t prefix = 0;
            for (size_t k = 0; k < 8; ++k) prefix = (prefix << 8) | (k < b.size() ? static_cast<uint8_t>(b[k]) : 0);
            order[i] = {prefix, i};
            total += b.size();
        }
        std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
            if (a.first != b.first) return a.first < b.first;
            int c = keys[a.second].bytes.compare(keys[b.second].bytes);  // char_traits<char>: bytes unsigned
            return c < 0 || (c == 0 && keys[a.second].id < keys[b.second].id);
        });
        key_length_.assign(keys.size(), 0);
        std::vector<uint32_t> parent(1, 0), path;
        std::vector<uint8_t> byte(1, 0);
        term_.assign(1, 0);
        parent.reserve(total + 1);
        byte.reserve(total + 1);
        term_.reserve(total + 1);
        const std::string* prev = nullptr;
        for (auto [prefix, k] : order) {
            const std::string& key = keys[k].bytes;
            size_t common = 0;
            if (prev)
                while (common < prev->size() && common < key.size() && (*prev)[common] == key[common]) ++common;
            path.resize(common);
            uint32_t s = common ? path[common - 1] : 0;
            for (size_t d = common; d < key.size(); ++d) {
                uint32_t t = static_cast<uint32_t>(parent.size());
                parent.push_back(s);
                byte.push_back(static_cast<uint8_t>(key[d]));
                term_.push_back(0);
                path.push_back(t);
                s = t;
            }
            uint32_t id = keys[k].id;
            if (id >= key_length_.size()) key_length_.resize(id + 1, 0);
            key_length_[id] = keys[k].length;
            if (!term_[s]) term_[s] = id + 1;  // equal keys: the smallest id came first
            prev = &key;
        }
        const size_t nodes = parent.size();
        edge_start_.assign(nodes + 1, 0);
        for (size_t v = 1; v < nodes; ++v) ++edge_start_[parent[v] + 1];
        for (size_t u = 0; u < nodes; ++u) edge_start_[u + 1] += edge_start_[u];
        edge_byte_.resize(nodes - 1);
        edge_to_.resize(nodes - 1);
        std::vector<uint32_t> fill(edge_start_.begin(), edge_start_.end() - 1);
        for (size_t v = 1; v < nodes; ++v) {  // children in creation order, which is byte order
            uint32_t at = fill[parent[v]]++;
            edge_byte_[at] = byte[v];
            edge_to_[at] = static_cast<uint32_t>(v);
            if (parent[v] == 0) root_[byte[v]] = static_cast<uint32_t>(v);
        }
    }

    // The child of `s` by byte `b`, or 0.
    uint32_t child(uint32_t s, uint8_t b) const {
        if (s == 0) return root_[b];
        const uint8_t* first = edge_byte_.data() + edge_start_[s];
        const uint8_t* last = edge_byte_.data() + edge_start_[s + 1];
        const uint8_t* at = (last - first > 8) ? std::lower_bound(first, last, b) : first;
        while (at < last && *at < b) ++at;
        return (at < last && *at == b) ? edge_to_[static_cast<size_t>(at - edge_byte_.data())] : 0;
    }

    // Failure links breadth first; hit_[u]: whether a key ends at u or at any
    // node of its failure chain.
    void link_failures() {
        const size_t nodes = term_.size();
        fail_.assign(nodes, 0);
        hit_.assign(nodes, 0);
        std::vector<uint32_t> queue;
        queue.reserve(nodes);
        for (uint32_t e = edge_start_[0]; e < edge_start_[1]; ++e) queue.push_back(edge_to_[e]);
        for (size_t q = 0; q < queue.size(); ++q) {
            uint32_t u = queue[q];
            hit_[u] = term_[u] || hit_[fail_[u]];  // fail_[u] is shallower, so already final
            for (uint32_t e = edge_start_[u]; e < edge_start_[u + 1]; ++e) {
                uint8_t c = edge_byte_[e];
                uint32_t v = edge_to_[e], f = fail_[u];
                while (f && !child(f, c)) f = fail_[f];
                fail_[v] = child(f, c);
                queue.push_back(v);
            }
        }
    }

    uint32_t step(uint32_t s, uint8_t b) const {
        while (s) {
            const uint8_t* first = edge_byte_.data() + edge_start_[s];
            const uint8_t* last = edge_byte_.data() + edge_start_[s + 1];
            const uint8_t* at = (last - first > 8) ? std::lower_bound(first, last, b) : first;
            while (at < last && *at < b) ++at;
            if (at < last && *at == b) return edge_to_[static_cast<size_t>(at - edge_byte_.data())];
            s = fail_[s];
        }
        return root_[b];
    }

    std::array<uint32_t, 256> root_{};
    std::vector<uint32_t> fail_, edge_start_, edge_to_, term_, key_length_;
    std::string texts_;
    std::vector<size_t> text_start_;
    std::vector<uint8_t> edge_byte_, hit_;
    std::vector<uint64_t> starts_;
    bool sigma_free_ = true;  // no key holds σ or ς, so capital sigma may stand for either
};

using MatcherPtr = std::shared_ptr<const Matcher>;

// The matcher of a list of keys mapped by `fold` (Exact or Pattern; the
// automaton's keys are taken as they are). Null when a key cannot be taken:
// empty, not exact text, or a code point without an image.
// A key taken exactly, from the text's UTF-8 form (no copy for ASCII text);
// false for text that has none (lone surrogates), which goes code point by
// code point instead.
inline bool exact_key_from_utf8(PyObject* key, Key& out, bool& sigma_free) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    out.bytes.assign(data, static_cast<size_t>(size));
    out.length = static_cast<uint32_t>(PyUnicode_GetLength(key));
    out.first = PyUnicode_ReadChar(key, 0);
    // σ is CF 83 and ς CF 82 in UTF-8; CF only ever leads a character
    sigma_free = sigma_free && out.bytes.find("\xCF\x83") == std::string::npos &&
                 out.bytes.find("\xCF\x82") == std::string::npos;
    return true;
}

// Whether re compiles the alternation of `keys` (in this order) with their
// last code points as one character class: its parser moves the prefix all
// items share out of the alternation and turns an alternation of single code
// points into a class. So: two keys or more, of one length, equal up to
// their last code point.
inline bool last_code_points_form_a_class(const std::vector<Ref>& keys) {
    if (keys.size() < 2) return false;
    PyObject* first = keys[0].get();
    Py_ssize_t length = PyUnicode_GetLength(first);
    for (const Ref& key : keys) {
        if (PyUnicode_GetLength(key.get()) != length) return false;
        for (Py_ssize_t i = 0; i + 1 < length; ++i)
            if (PyUnicode_ReadChar(key.get(), i) != PyUnicode_ReadChar(first, i)) return false;
    }
    return true;
}

// An image no text code point has: a key holding it never matches.
constexpr uint32_t kNoMatch = 0x110000;

// The image under Pattern of a key's code point c that stands in a character
// class (see CaseTables::AstralClass), given its usual image; false when it
// cannot be told.
inline bool class_member_image(const CaseTables& tables, uint32_t c, uint32_t& image) {
    if (c <= 0xFFFF) return true;
    switch (tables.astral_class()) {
        case CaseTables::AstralClass::Lowered: return true;
        case CaseTables::AstralClass::AsWritten:
            if (image != c) image = kNoMatch;  // compared with lower-case forms, which it is not
            return true;
        default: return false;
    }
}

// The matcher of a list of keys mapped by `fold` (Exact or Pattern; the
// automaton's keys are taken as they are). Null when a key cannot be taken:
// empty, not exact text, or a code point without an image.
inline MatcherPtr build_matcher(const std::vector<Ref>& keys, Fold fold, CaseTables& tables, bool keep_texts) {
    std::vector<Key> encoded(keys.size());
    bool sigma_free = true;
    uint8_t bytes[4];
    for (const Ref& key : keys)
        if (!PyUnicode_CheckExact(key.get()) || PyUnicode_GetLength(key.get()) == 0) return nullptr;
    bool last_in_class = fold == Fold::Pattern && last_code_points_form_a_class(keys);
    for (size_t i = 0; i < keys.size(); ++i) {
        PyObject* key = keys[i].get();
        Key& out = encoded[i];
        out.id = static_cast<uint32_t>(i);
        if (fold == Fold::Exact && exact_key_from_utf8(key, out, sigma_free)) continue;
        CodePoints cps(key);
        if (fold != Fold::Exact) tables.prepare(fold, cps.data(), cps.size());
        out.length = static_cast<uint32_t>(cps.size());
        out.bytes.reserve(cps.size());
        for (size_t k = 0; k < cps.size(); ++k) {
            uint32_t c = cps[k];
            if (fold == Fold::Pattern) {
                uint32_t e = *tables.entry(fold, c);
                if ((e & CaseTables::kUndecided) || ((e & CaseTables::kCaseless) && (e & CaseTables::kInClass)))
                    return nullptr;
                uint32_t image = (e & CaseTables::kCaseless) ? c : (e & CaseTables::kImage);
                if (last_in_class && k + 1 == cps.size() && !class_member_image(tables, c, image)) return nullptr;
                c = image;
            }
            sigma_free = sigma_free && c != 0x3C3 && c != 0x3C2;
            if (k == 0) out.first = c;
            if (c < 0x80) {
                out.bytes.push_back(static_cast<char>(c));
            } else {
                out.bytes.append(reinterpret_cast<char*>(bytes), static_cast<size_t>(encode(c, bytes)));
            }
        }
    }
    return Matcher::build(std::move(encoded), sigma_free, keep_texts);
}

// What a checker's fast first-hit test needs, held by the checker itself.
// `engine` is compared by identity with the engine found on the checker at
// each check. An automaton can be changed in place (add_word, remove_word,
// clear...): `probe` is an iterator of it over the empty text, exhausted at
// build. pyahocorasick invalidates every iterator of an automaton whose keys
// change, so the probe's next() raising instead of ending tells exactly that
// the matcher no longer stands for it. A compiled pattern is immutable and
// needs no probe.
struct FastPath {
    Ref engine, probe;
    Ref keys;  // pattern: its words, list index = key id (an automaton's come from its keys())
    bool automaton = false;
    Fold fold = Fold::Exact;  // pattern: Pattern when compiled with IGNORECASE
    // Built from `keys` on first use, so building a checker costs what
    // building its engine costs; null again only if the keys cannot be taken.
    mutable MatcherPtr matcher;
    mutable bool unmatchable = false;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(engine.get());
        Py_VISIT(probe.get());
        Py_VISIT(keys.get());
        return 0;
    }
    void clear() {
        Ref old_engine = std::move(engine), old_probe = std::move(probe), old_keys = std::move(keys);
    }  // released after all are empty
};

using FastPathBox = NativeBox<FastPath>;

// Whether the automaton behind `probe` is unchanged since the probe was made.
// Any outcome but a clean end (a change, or an error) answers no.
inline bool probe_unchanged(PyObject* probe) {
    Ref item = Ref::steal_or_null(PyIter_Next(probe));
    if (!item && !PyErr_Occurred()) return true;
    if (!item && !PyErr_ExceptionMatches(PyExc_Exception)) throw_error();  // KeyboardInterrupt and the like
    PyErr_Clear();
    return false;
}

}  // namespace wordsift
