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
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pyglue.hpp"

namespace wordsift {

using namespace pyglue;

// ---- code points ------------------------------------------------------------------

inline bool is_ascii_space(Py_UCS4 c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }
inline Py_UCS4 ascii_lower(Py_UCS4 c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Non-ASCII code points without case: str.lower() and str.upper() leave them
// alone, and a case-insensitive pattern matches them only by themselves
// (CJK, kana, Hangul, punctuation, symbols and emoji). The tests check every
// one of them against the running interpreter.
constexpr std::pair<Py_UCS4, Py_UCS4> kCaseless[] = {
    {0x00A0, 0x00A9}, {0x00AB, 0x00B4}, {0x00B6, 0x00B9}, {0x00BB, 0x00BF}, {0x00D7, 0x00D7},
    {0x00F7, 0x00F7}, {0x2000, 0x206F}, {0x2190, 0x23FF}, {0x2500, 0x27BF}, {0x2900, 0x2BFF},
    {0x3000, 0x30FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F}, {0xFF01, 0xFF20}, {0xFF3B, 0xFF40}, {0xFF5B, 0xFF65}, {0x1F000, 0x1FAFF},
    {0x20000, 0x323AF},
};

inline bool is_caseless(Py_UCS4 c) {
    if (c >= 0x4E00 && c <= 0x9FFF) return true;  // the common case first
    for (auto [lo, hi] : kCaseless)
        if (c >= lo && c <= hi) return true;
    return false;
}

// Code points that are surely not whitespace, so strip() would not change a
// text that begins and ends with them.
inline bool surely_not_space(Py_UCS4 c) {
    if (c < 0x80) return !is_ascii_space(c);
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x3040 && c <= 0x30FF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0x20000 && c <= 0x323AF);
}

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

// ---- first-hit matcher ---------------------------------------------------------------

// Aho-Corasick over the UTF-8 bytes of the keys: a trie with failure links,
// a dense table at the root (where a clean text spends most of its time) and
// sorted edge lists below it. Immutable once built, so checkers that build the
// same lexicon share one.
class Matcher {
public:
    enum class Result { Clean, Hit, Unknown };

    // Keys as encoded bytes; none may be empty.
    static std::shared_ptr<const Matcher> build(std::vector<std::string> keys) {
        auto m = std::make_shared<Matcher>();
        m->make_trie(std::move(keys));
        m->link_failures();
        return m;
    }

    // Whether a key occurs in the text. With `fold`, ASCII letters of the
    // text are lower-cased and any other code point with case makes the
    // answer Unknown (unless a hit came first).
    Result scan(const Py_UCS4* text, size_t n, bool fold) const {
        uint32_t s = 0;
        uint8_t bytes[4];
        for (size_t i = 0; i < n; ++i) {
            Py_UCS4 c = text[i];
            if (c < 0x80) {
                s = step(s, static_cast<uint8_t>(fold ? ascii_lower(c) : c));
                if (hit_[s]) return Result::Hit;
                continue;
            }
            if (fold && !is_caseless(c)) return Result::Unknown;
            int len = encode(c, bytes);
            for (int k = 0; k < len; ++k) {
                s = step(s, bytes[k]);
                if (hit_[s]) return Result::Hit;
            }
        }
        return Result::Clean;
    }

private:
    // The trie from the keys in sorted byte order: each key adds nodes only
    // past its common prefix with the previous key, so nodes and edges come
    // out with every node's children in increasing byte order, ready for the
    // flat edge arrays, without a container per node.
    void make_trie(std::vector<std::string> keys) {
        std::sort(keys.begin(), keys.end());  // char_traits<char> compares bytes unsigned
        std::vector<uint32_t> parent(1, 0), path;
        std::vector<uint8_t> byte(1, 0);
        hit_.assign(1, 0);
        const std::string* prev = nullptr;
        for (const std::string& key : keys) {
            size_t common = 0;
            if (prev)
                while (common < prev->size() && common < key.size() && (*prev)[common] == key[common]) ++common;
            path.resize(common);
            uint32_t s = common ? path[common - 1] : 0;
            for (size_t d = common; d < key.size(); ++d) {
                uint32_t t = static_cast<uint32_t>(parent.size());
                parent.push_back(s);
                byte.push_back(static_cast<uint8_t>(key[d]));
                hit_.push_back(0);
                path.push_back(t);
                s = t;
            }
            hit_[s] = 1;
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
        const uint8_t* at = std::lower_bound(first, last, b);
        return (at < last && *at == b) ? edge_to_[static_cast<size_t>(at - edge_byte_.data())] : 0;
    }

    // Failure links breadth first; a node is a hit when a key ends at it or
    // at any node on its failure chain.
    void link_failures() {
        fail_.assign(hit_.size(), 0);
        std::vector<uint32_t> queue;
        queue.reserve(hit_.size());
        for (uint32_t e = edge_start_[0]; e < edge_start_[1]; ++e) queue.push_back(edge_to_[e]);
        for (size_t q = 0; q < queue.size(); ++q) {
            uint32_t u = queue[q];
            hit_[u] |= hit_[fail_[u]];  // fail_[u] is shallower, so already final
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
    std::vector<uint32_t> fail_, edge_start_, edge_to_;
    std::vector<uint8_t> edge_byte_, hit_;
};

using MatcherPtr = std::shared_ptr<const Matcher>;

// The encoded bytes of a key, ASCII lower-cased when `fold`; empty when the
// key cannot be matched exactly this way (empty, not text, or a code point
// with case outside ASCII under `fold`).
inline std::string key_bytes(PyObject* key, bool fold) {
    std::string out;
    if (!PyUnicode_CheckExact(key)) return out;
    CodePoints cps(key);
    uint8_t bytes[4];
    for (size_t i = 0; i < cps.size(); ++i) {
        Py_UCS4 c = cps[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(fold ? ascii_lower(c) : c));
        } else if (fold && !is_caseless(c)) {
            return {};
        } else {
            out.append(reinterpret_cast<char*>(bytes), static_cast<size_t>(encode(c, bytes)));
        }
    }
    return out;
}

inline MatcherPtr build_matcher(const std::vector<Ref>& keys, bool fold) {
    std::vector<std::string> encoded;
    encoded.reserve(keys.size());
    for (const Ref& k : keys) {
        encoded.push_back(key_bytes(k.get(), fold));
        if (encoded.back().empty()) return nullptr;
    }
    return Matcher::build(std::move(encoded));
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
    MatcherPtr matcher;
    bool automaton = false;
    bool fold = false;  // pattern: compiled with IGNORECASE

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(engine.get());
        Py_VISIT(probe.get());
        return 0;
    }
    void clear() {
        Ref old_engine = std::move(engine), old_probe = std::move(probe);  // released after both are empty
    }
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
