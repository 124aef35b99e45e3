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
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pyglue.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VANTRY_AVX2_SKIP 1
#endif

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
            heap_.reset(new Py_UCS4[size_]);  // not zero-filled: every code point is written
            buf = heap_.get();
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
    std::unique_ptr<Py_UCS4[]> heap_;
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
        t->read_ascii_images();
        return t;
    }

    // The image of each ASCII code point under `fold` as one ASCII byte, or
    // null when some ASCII code point maps otherwise (then ASCII text goes
    // the general way too).
    const uint8_t* ascii_images(Fold fold) const {
        const AsciiImages& a = ascii_[static_cast<size_t>(fold)];
        return a.simple ? a.image.data() : nullptr;
    }
    // Whether that image is ASCII lower-casing, so that whole words of ASCII
    // text can be folded at once.
    bool ascii_lowers(Fold fold) const { return ascii_[static_cast<size_t>(fold)].lowers; }

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

    struct AsciiImages {
        std::array<uint8_t, 128> image{};
        bool simple = false, lowers = false;
    };

    void read_ascii_images() {
        for (Fold fold : {Fold::Exact, Fold::Lower, Fold::Pattern}) {
            AsciiImages& a = ascii_[static_cast<size_t>(fold)];
            a.simple = a.lowers = true;
            for (uint32_t c = 0; c < 128; ++c) {
                uint32_t image = c;
                if (fold != Fold::Exact) {
                    uint32_t e = *entry(fold, c);
                    if (e & (kUndecided | kSigma | kMulti)) a.simple = false;
                    image = e & kImage;
                }
                if (image >= 0x80) a.simple = false;
                a.image[c] = static_cast<uint8_t>(image);
                uint32_t lower = (c >= 'A' && c <= 'Z') ? c + 32 : c;
                a.lowers = a.lowers && image == lower;
            }
            a.lowers = a.lowers && a.simple;
        }
    }

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
        Slots& slots = fold == Fold::Lower ? lower_ : pattern_;
        const Block* expected = nullptr;
        if (slots.at(block_index)
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
    std::array<AsciiImages, 3> ascii_{};
};

using CaseTablesPtr = std::shared_ptr<CaseTables>;

// ---- matcher -----------------------------------------------------------------------------

// One key of a matcher: its code points and its position in the engine's
// word list (the first of equal keys wins, as the first alternative does).
struct Key {
    std::string bytes;    // encoded images of its code points
    uint32_t length = 0;  // in code points
    uint32_t id = 0;
};

// ---- prefilter ---------------------------------------------------------------------------

// Little-endian loads, so a window's bytes sit at the same bits on any CPU.
inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
inline uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The high bit of each byte of a word of ASCII bytes (all below 0x80, so
// no sum carries into the next byte) that lies within [lo, hi].
inline uint64_t ascii_within8(uint64_t w, uint8_t lo, uint8_t hi) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    return (w + kOnes * (0x80 - lo)) & ~(w + kOnes * (0x7F - hi)) & (kOnes * 0x80);
}

// ASCII lower-casing of each byte of a word of ASCII bytes.
inline uint64_t ascii_lower8(uint64_t w) { return w | (ascii_within8(w, 'A', 'Z') >> 2); }

// The same for one byte.
inline uint8_t ascii_lower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? static_cast<uint8_t>(b + 32) : b; }

inline void store_le32(uint8_t* p, uint32_t v) {
    for (unsigned k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}
inline void store_le64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

// The eight code points at `text` as eight bytes (the first lowest), when
// they are all ASCII.
inline bool pack_ascii8(const Py_UCS4* text, uint64_t& packed) {
    uint32_t any = 0;
    uint64_t w = 0;
    for (unsigned k = 0; k < 8; ++k) {
        any |= text[k];
        w |= uint64_t{text[k]} << (8 * k);
    }
    packed = w;
    return any < 0x80;
}

// Whether scans may use AVX2: the CPU has it, and VANTRY_SIMD=0 (which
// tests use to run the portable path) does not turn it off.
inline bool avx2_allowed() {
#ifdef VANTRY_AVX2_SKIP
    static const bool allowed = [] {
        __builtin_cpu_init();
        const char* simd = std::getenv("VANTRY_SIMD");
        return __builtin_cpu_supports("avx2") && !(simd && std::strcmp(simd, "0") == 0);
    }();
    return allowed;
#else
    return false;
#endif
}

// Which text positions may begin a key, from the first four bytes there: a
// hashed table of the keys' first four bytes, and for the rare keys shorter
// than that a bitmap of their first three bytes (hashed) or two bytes
// (exact; a one-byte key marks every pair it begins). A position it lets
// through is tested again by the keys that may begin there: on its first
// eight bytes for keys of eight bytes or more (a common word shares its
// first four bytes with a key more often than its first eight), on its
// fifth byte for keys of five to seven, on its exact four or three bytes
// (hashed again, so a collision of the first table does not pass) for keys
// of four or three. A position it rejects begins no key; one it accepts is
// confirmed by the trie.
class Prefilter {
public:
    static constexpr size_t kWindow = 4;

    // Keys shorter than a window, up to this many, of three bytes mark
    // every window they begin in the four-byte bitmap, so the scan tests one
    // bitmap; beyond it they get their own.
    static constexpr size_t kSpreadThreeByteKeys = 16;

    void build(const std::vector<Key>& keys) {
        size_t three_byte_keys = 0;
        for (const Key& k : keys) three_byte_keys += k.bytes.size() == 3;
        bool spread = three_byte_keys <= kSpreadThreeByteKeys;
        for (const Key& k : keys) {
            uint8_t w[kWindow] = {};
            std::memcpy(w, k.bytes.data(), std::min(k.bytes.size(), kWindow));
            uint32_t window = load_le32(w);
            const auto* bytes = reinterpret_cast<const uint8_t*>(k.bytes.data());
            if (k.bytes.size() >= 8) {
                four_[slot(window)] |= kLongKey;
                set(eight_, hash8(window, load_le32(bytes + 4)));
            } else if (k.bytes.size() >= 5) {
                four_[slot(window)] |= kMidKey;
                set(five_, hash8(window, bytes[4]));
            } else if (k.bytes.size() == 4) {
                four_[slot(window)] |= kShortKey;
                set(four_keys_, hash8(window, 0));
            } else if (k.bytes.size() == 3 && spread) {
                for (uint32_t next = 0; next < 256; ++next) four_[slot(window | next << 24)] |= kThreeKey;
                set(three_, hash(window & 0xFFFFFF));
            } else if (k.bytes.size() == 3) {
                set(three_, hash(window & 0xFFFFFF));
                short_keys_ = true;
            } else if (k.bytes.size() == 2) {
                set(two_, window & 0xFFFF);
                short_keys_ = true;
            } else {  // one byte: it begins every pair it leads
                for (uint32_t next = 0; next < 256; ++next) set(two_, (window & 0xFF) | next << 8);
                short_keys_ = true;
            }
        }
    }
    bool short_keys() const { return short_keys_; }

    // Nonzero when a key may begin at the window; the first test alone can
    // be OR-ed over several windows without a branch.
    uint8_t may_start_long(uint32_t window) const { return four_[slot(window)]; }

#ifdef VANTRY_AVX2_SKIP
    // The first test over sixteen windows a step, from i while i + 24 <= n
    // (without short keys): the windows are shuffled out of the text, case
    // folded and hashed eight to a vector, and the table bytes are read one
    // by one (a gather instruction is slow on many CPUs); a position it lets
    // through takes the second test (worth_walking) at once. True with `at`
    // the first position both let through; else false with `at` where the
    // steps stopped. Only where the CPU has AVX2.
    template <bool kLower>
    __attribute__((target("avx2"))) bool first_pass_avx2(const uint8_t* p, size_t n, size_t& at) const {
        const __m256i windows = _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,  //
                                                 4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10);
        const __m256i multiplier = _mm256_set1_epi32(static_cast<int>(kMultiplier));
        alignas(32) uint32_t slots[16];
        size_t i = at;
        for (; i + 24 <= n; i += 16) {
            for (size_t half = 0; half < 2; ++half) {
                __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 8 * half));
                __m256i t = _mm256_broadcastsi128_si256(bytes);
                if (kLower) {
                    __m256i upper = _mm256_and_si256(_mm256_cmpgt_epi8(t, _mm256_set1_epi8('A' - 1)),
                                                     _mm256_cmpgt_epi8(_mm256_set1_epi8('Z' + 1), t));
                    t = _mm256_or_si256(t, _mm256_and_si256(upper, _mm256_set1_epi8(0x20)));
                }
                __m256i hashed = _mm256_mullo_epi32(_mm256_shuffle_epi8(t, windows), multiplier);
                _mm256_store_si256(reinterpret_cast<__m256i*>(slots + 8 * half),
                                   _mm256_srli_epi32(hashed, 32 - kFourBits));
            }
            uint32_t may = 0;
            for (uint32_t slot : slots) may |= four_[slot];
            if (!may) continue;
            for (size_t k = 0; k < 16; ++k)
                if (four_[slots[k]] && second_test<kLower>(p + i + k)) return at = i + k, true;
        }
        return at = i, false;
    }

#endif

    // worth_walking at `p`, eight bytes there, lower-cased when kLower.
    template <bool kLower>
    bool second_test(const uint8_t* p) const {
        uint64_t bytes = load_le64(p);
        if (kLower) bytes = ascii_lower8(bytes);
        uint32_t next = static_cast<uint32_t>(bytes >> 32);
        return worth_walking(static_cast<uint32_t>(bytes), &next);
    }
    template <bool kShort>
    bool may_start(uint32_t window) const {
        if (may_start_long(window)) return true;
        return kShort && (test(three_, hash(window & 0xFFFFFF)) || test(two_, window & 0xFFFF));
    }

    // The second test of a position the first let through: `window` its
    // first four bytes, `next` the four after them, when the text has them.
    // Keys of five bytes and more are tested on their fifth byte or on all
    // eight; one of four bytes, or shorter, kept in its own bitmaps, may
    // begin there too.
    bool worth_walking(uint32_t window, const uint32_t* next) const {
        uint8_t kinds = four_[slot(window)];
        if (!next) return true;
        if ((kinds & kShortKey) && test(four_keys_, hash8(window, 0))) return true;
        if ((kinds & kThreeKey) && test(three_, hash(window & 0xFFFFFF))) return true;
        if ((kinds & kLongKey) && test(eight_, hash8(window, *next))) return true;
        if ((kinds & kMidKey) && test(five_, hash8(window, *next & 0xFF))) return true;
        return short_keys_ && (test(three_, hash(window & 0xFFFFFF)) || test(two_, window & 0xFFFF));
    }

private:
    // four_ entries: keys of 8 bytes and more, of 4, of 5 to 7, of 3 (spread)
    static constexpr uint8_t kLongKey = 1, kShortKey = 2, kMidKey = 4, kThreeKey = 8;
    using Bits = std::array<uint64_t, 1024>;  // 2^16 bits
    static constexpr uint32_t kMultiplier = 0x9E3779B1u;
    static uint32_t hash(uint32_t window) { return (window * kMultiplier) >> 16; }
    static uint32_t slot(uint32_t window) { return (window * kMultiplier) >> (32 - kFourBits); }
    static uint32_t hash8(uint32_t window, uint32_t next) {
        return static_cast<uint32_t>(((uint64_t{next} << 32 | window) * 0x9E3779B97F4A7C15ull) >> 48);
    }
    static void set(Bits& bits, uint32_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }
    static bool test(const Bits& bits, uint32_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }

    // 2^17 entries: with a lexicon of a thousand keys about 1 % of them are
    // taken, so few windows of a clean text pass by a collision alone.
    static constexpr unsigned kFourBits = 17;
    std::array<uint8_t, 1 << kFourBits> four_{};  // kLongKey | kShortKey | kMidKey | kThreeKey: one load a test
    Bits three_{}, two_{}, five_{}, eight_{}, four_keys_{};
    bool short_keys_ = false;
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
        m->prefilter_.build(keys);
        m->avx2_ = avx2_allowed();
        m->mark_images_in_keys(keys);
        m->make_trie(keys);
        m->link_failures();
        return m;
    }

    // Whether a key occurs in the text mapped by `fold`: the bytes of its
    // images gathered a buffer at a time and run through the byte scan. Up
    // to a code point that cannot be mapped, what comes before it is decided.
    Result scan(const Py_UCS4* text, size_t n, Fold fold, const CaseTables& tables) const {
        uint8_t buf[kScanBuffer];
        size_t kept = 0, i = 0;  // kept: bytes the byte scan needs again, at the buffer's start
        uint32_t s = 0;
        for (;;) {
            uint8_t* out = buf + kept;
            Result undecided = Result::Clean;
            i = fold == Fold::Exact ? gather<false>(text, i, n, fold, tables, out, buf + kScanBuffer, undecided)
                                    : gather<true>(text, i, n, fold, tables, out, buf + kScanBuffer, undecided);
            bool last = i == n && undecided == Result::Clean;
            size_t size = static_cast<size_t>(out - buf), done = 0;
            if (scan_bytes<false>(buf, size, last, s, done)) return Result::Hit;
            if (last) return Result::Clean;
            if (undecided != Result::Clean) return undecided;
            kept = size - done;
            std::memmove(buf, buf + done, kept);
        }
    }

    // The first-hit scan fed one code point at a time, each its own image (as
    // scan() maps Fold::Exact text): put() writes its bytes into a buffer,
    // and a full buffer runs through the byte scan, its state carried on.
    // put() is false at a hit; finish() tells whether one is in what is left.
    class ExactFeed {
    public:
        explicit ExactFeed(const Matcher& m) : matcher_(m), key_bits_(m.in_keys_.data()), key_words_(m.in_keys_.size()) {}

        [[gnu::always_inline]] bool put(uint32_t c) {
            uint8_t* out = out_;  // a local: the byte stores may alias any member
            out += put_image(key_bits_, key_words_, out, c);
            out_ = out;
            return out < buf_ + kFull || scan(false);
        }
        bool room(size_t) const { return true; }
        bool finish() { return !scan(true); }

    private:
        static constexpr size_t kBuffer = 4096;
        static constexpr size_t kFull = kBuffer - 4;  // room left for one more code point's bytes

        // The buffer through the byte scan, the bytes it needs again kept; false at a hit.
        bool scan(bool last) {
            size_t size = static_cast<size_t>(out_ - buf_), done = 0;
            if (matcher_.scan_bytes<false>(buf_, size, last, s_, done)) return false;
            size_t kept = size - done;
            std::memmove(buf_, buf_ + done, kept);
            out_ = buf_ + kept;
            return true;
        }

        const Matcher& matcher_;
        const uint64_t* key_bits_;
        size_t key_words_;
        uint32_t s_ = 0;
        uint8_t* out_ = buf_;
        uint8_t buf_[kBuffer];
    };

    // The same over ASCII text read in place; `lower`: its image is its ASCII lower case.
    Result scan_ascii(const uint8_t* text, size_t n, bool lower) const {
        uint32_t s = 0;
        size_t done = 0;
        bool hit = lower ? scan_bytes<true>(text, n, true, s, done) : scan_bytes<false>(text, n, true, s, done);
        return hit ? Result::Hit : Result::Clean;
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
        ImageBytes bytes;
        size_t size = 0, i = 0;
        Result undecided = Result::Clean;
        while (i < n && undecided == Result::Clean) {  // most code points give at most four bytes
            size_t room = 4 * (n - i) + kGatherRoom;
            uint8_t* start = bytes.room(size, room);
            uint8_t* out = start + size;
            i = fold == Fold::Exact ? gather<false>(text, i, n, fold, tables, out, out + room, undecided)
                                    : gather<true>(text, i, n, fold, tables, out, out + room, undecided);
            size = static_cast<size_t>(out - start);
        }
        if (undecided != Result::Clean) return undecided;
        occurrences_in(bytes.finish(size), size, ids);
        return Result::Clean;
    }

    // The same over ASCII text read in place; `lower`: its image is its ASCII lower case.
    void occurrences_ascii(const uint8_t* text, size_t n, bool lower, std::vector<uint32_t>& ids) const {
        ImageBytes bytes;
        uint8_t* out = bytes.room(0, n);
        size_t i = 0;
        if (lower) {
            for (; i + 8 <= n; i += 8) {
                uint64_t w = ascii_lower8(load_le64(text + i));
                for (unsigned k = 0; k < 8; ++k) out[i + k] = static_cast<uint8_t>(w >> (8 * k));
            }
        }
        for (; i < n; ++i) out[i] = lower ? ascii_lower(text[i]) : text[i];
        occurrences_in(bytes.finish(n), n, ids);
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

    ~Matcher() {
        for (auto& blocks : scan_blocks_)
            for (auto& block : blocks) delete block.load(std::memory_order_relaxed);
    }

private:
    static constexpr size_t kScanBuffer = 4096;
    // Room gather needs ahead of it: the bytes of one code point's images, and then some.
    static constexpr size_t kGatherRoom = 16;
    // No UTF-8 sequence holds this byte, so no key does.
    static constexpr uint8_t kNoKeyByte = 0xFF;

    // Writes the bytes of an image as the scan lays them out: an ASCII image
    // as itself, one no key holds (not in the bitmap `key_bits`) as
    // kNoKeyByte, any other in UTF-8. Returns how many.
    static uint32_t put_image(const uint64_t* key_bits, size_t key_words, uint8_t* out, uint32_t image) {
        if (image < 0x80) return *out = static_cast<uint8_t>(image), 1;
        if (image / 64 >= key_words || !((key_bits[image / 64] >> (image % 64)) & 1))
            return *out = kNoKeyByte, 1;  // it cannot be part of an occurrence, nor can this byte
        return static_cast<uint32_t>(encode(image, out));
    }

    // What gather writes for each code point of a block of 256 in the
    // basic plane under one fold: its image bytes (at most three, the first
    // lowest) and their count in the top byte, or 0 for a code point to be
    // taken the long way (several images, or none decided). Filled from the
    // case tables on first use, by whichever scan gets there first; the
    // matcher's answers never depend on it.
    struct ScanBlock {
        uint32_t entry[256];
    };
    static constexpr size_t kPlaneBlocks = 256;
    using ScanBlocks = std::array<std::atomic<const ScanBlock*>, kPlaneBlocks>;

    // The scan block of `c` (below 0x10000) under `fold`, made now if its
    // case table block is filled; null if it is not.
    const ScanBlock* scan_block(Fold fold, uint32_t c, const CaseTables& tables) const {
        std::atomic<const ScanBlock*>& slot = scan_blocks_[static_cast<size_t>(fold)][c >> 8];
        if (const ScanBlock* block = slot.load(std::memory_order_acquire)) return block;
        auto made = std::make_unique<ScanBlock>();
        if (!fill_scan_block(fold, c >> 8, tables, *made)) return nullptr;
        const ScanBlock* expected = nullptr;
        if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
        return expected;  // another thread's, equal to ours
    }
    bool fill_scan_block(Fold fold, uint32_t block_index, const CaseTables& tables, ScanBlock& out) const {
        const CaseTables::Block* cases = fold == Fold::Exact ? nullptr : tables.block(fold, block_index << 8);
        if (fold != Fold::Exact && !cases) return false;
        const uint8_t* ascii = fold == Fold::Exact ? nullptr : tables.ascii_images(fold);
        const uint32_t special = CaseTables::kUndecided | CaseTables::kMulti | (sigma_free_ ? 0 : CaseTables::kSigma);
        for (uint32_t k = 0; k < 256; ++k) {
            uint32_t image = block_index << 8 | k;
            out.entry[k] = 0;
            if (cases && !(image < 0x80 && ascii)) {
                uint32_t e = cases->entry[k];
                if (e & special) continue;
                image = e & CaseTables::kImage;
            } else if (ascii) {
                image = ascii[image];
            }
            uint8_t bytes[4] = {};
            uint32_t count = put_image(in_keys_.data(), in_keys_.size(), bytes, image);
            if (count > 3) continue;
            out.entry[k] = load_le32(bytes) | count << 24;
        }
        return true;
    }

    // The non-ASCII images the keys hold, as a bitmap: the bytes of any
    // other one are left out of the scan (one kNoKeyByte stands for it).
    void mark_images_in_keys(const std::vector<Key>& keys) {
        for (const Key& k : keys) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(k.bytes.data());
            for (const uint8_t* end = p + k.bytes.size(); p < end;) {
                uint32_t c = decode(p);
                if (c < 0x80) continue;
                if (c / 64 >= in_keys_.size()) in_keys_.resize(c / 64 + 1, 0);
                in_keys_[c / 64] |= uint64_t{1} << (c % 64);
            }
        }
    }
    // The code point of our UTF-8 layout at p (lone surrogates too); p moves past it.
    static uint32_t decode(const uint8_t*& p) {
        uint32_t c = *p++;
        if (c < 0x80) return c;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        c &= 0x3Fu >> more;
        while (more--) c = (c << 6) | (*p++ & 0x3Fu);
        return c;
    }

    // The bytes occurrences() searches: the images as scan() lays them out
    // (kNoKeyByte for one no key holds), followed by kNoKeyByte padding so
    // that every position of the text has two prefilter windows to read.
    class ImageBytes {
    public:
        static constexpr size_t kPadding = 2 * Prefilter::kWindow;

        // The buffer, its first `used` bytes kept, with room for `more` after them.
        uint8_t* room(size_t used, size_t more) {
            size_t need = used + more + kPadding;
            if (need > capacity_) {
                heap_.resize(std::max(need, 2 * capacity_));
                if (data_ == small_) std::memcpy(heap_.data(), small_, used);
                data_ = heap_.data();
                capacity_ = heap_.size();
            }
            return data_;
        }
        // The first `size` bytes padded; the buffer to search.
        const uint8_t* finish(size_t size) {
            std::memset(room(size, 0) + size, kNoKeyByte, kPadding);
            return data_;
        }
    private:
        uint8_t small_[kScanBuffer];
        std::vector<uint8_t> heap_;
        uint8_t* data_ = small_;
        size_t capacity_ = kScanBuffer;
    };

    // One occurrence in the image bytes, ordered as an automaton reports them.
    struct Occurrence {
        size_t end;
        size_t length;  // in bytes
        uint32_t id;
        bool operator<(const Occurrence& o) const { return end != o.end ? end < o.end : length > o.length; }
    };

    // Every occurrence in the image bytes, in order, each id once.
    // p[0, n) padded as ImageBytes::finish leaves it.
    void occurrences_in(const uint8_t* p, size_t n, std::vector<uint32_t>& ids) const {
        std::vector<Occurrence> found;
        bool walked = prefilter_.short_keys() ? walk_from_starts<true>(p, n, found) : walk_from_starts<false>(p, n, found);
        if (walked) {
            std::sort(found.begin(), found.end());
        } else {
            found.clear();
            run_automaton(p, n, found);  // already in order
        }
        first_ids(found, ids);
    }

    // A walk down the trie from a position longer than this gives up on the
    // walks: the text goes through the automaton instead, so a text of many
    // long near-keys costs no more than a bounded walk per byte.
    static constexpr size_t kDeepestWalk = 32;

    // Every occurrence, by walking the trie from each position of p[0, n)
    // the prefilter lets a key begin at (p padded as ImageBytes does); false
    // when a walk went deeper than kDeepestWalk.
    template <bool kShort>
    bool walk_from_starts(const uint8_t* p, size_t n, std::vector<Occurrence>& found) const {
        const size_t padded = n + ImageBytes::kPadding;
        for (size_t i = skip<false, kShort>(p, padded, 0); i < n; i = skip<false, kShort>(p, padded, i + 1)) {
            if (!worth_walking<false>(p, padded, i)) continue;
            uint32_t u = 0;
            for (size_t j = i; (u = child(u, p[j]));) {  // the padding holds no key byte: the walk stops there
                if (++j - i > kDeepestWalk) return false;
                if (term_[u]) found.push_back({j, j - i, term_[u] - 1});
            }
        }
        return true;
    }

    // Every occurrence through the automaton, in end order and, at one end,
    // longest first down the failure chain.
    void run_automaton(const uint8_t* p, size_t n, std::vector<Occurrence>& found) const {
        uint32_t s = 0;
        for (size_t j = 0; j < n; ++j) {
            s = step(s, p[j]);
            for (uint32_t t = s; t && hit_[t]; t = fail_[t])  // hit_: a key ends somewhere down the chain
                if (term_[t]) found.push_back({j + 1, 0, term_[t] - 1});
        }
    }

    // The ids of occurrences in order, each the first time it occurs. Hits
    // are few: a linear look-up, and a set only past a handful of ids.
    static void first_ids(const std::vector<Occurrence>& found, std::vector<uint32_t>& ids) {
        constexpr size_t kLinear = 16;
        std::unordered_set<uint32_t> seen;
        for (const Occurrence& o : found) {
            if (ids.size() < kLinear) {
                if (std::find(ids.begin(), ids.end(), o.id) == ids.end()) ids.push_back(o.id);
                continue;
            }
            if (seen.empty()) seen.insert(ids.begin(), ids.end());
            if (seen.insert(o.id).second) ids.push_back(o.id);
        }
    }

    // The first-hit scan over image bytes p[0, n), on from automaton state
    // `s`; true at a hit. `last`: the text ends at n; else the scan stops at
    // `done`, short of n by the few bytes it needs again ahead of the next
    // ones (a window's tail, or a walk still going), with `s` to go on from.
    // kLower: p is ASCII text, lower-cased on the way.
    template <bool kLower>
    bool scan_bytes(const uint8_t* p, size_t n, bool last, uint32_t& s, size_t& done) const {
        return prefilter_.short_keys() ? scan_bytes_as<kLower, true>(p, n, last, s, done)
                                       : scan_bytes_as<kLower, false>(p, n, last, s, done);
    }

    // Positions the prefilter rejects are skipped eight at a time. From one
    // it lets a key begin at, the trie is walked down (most such walks end
    // within a few bytes); hit_ tells of every key ending there that begins
    // there or later. A walk this deep goes on as the automaton, whose state
    // depth tells where the earliest live match begins: once that is
    // shallow, the scan skips on from there.
    static constexpr size_t kWalk = 16;

    template <bool kLower, bool kShort>
    bool scan_bytes_as(const uint8_t* p, size_t n, bool last, uint32_t& s, size_t& done) const {
        auto byte = [&](size_t i) -> uint8_t {
            uint8_t b = p[i];
            return kLower ? ascii_lower(b) : b;
        };
        size_t i = 0;
        for (;;) {
            while (s != 0) {  // the automaton, after a deep walk
                if (i == n) return done = n, false;
                if (hit_[s = step(s, byte(i++))]) return true;
                if (depth_[s] < Prefilter::kWindow && depth_[s] <= i) {
                    i -= depth_[s];
                    s = 0;
                }
            }
            i = skip<kLower, kShort>(p, n, i);
            if (i + Prefilter::kWindow > n) break;
            if (!worth_walking<kLower>(p, n, i)) {
                ++i;
                continue;
            }
            uint32_t u = 0;
            size_t j = i;
            while (j < n && j - i < kWalk && (u = child(u, byte(j++))))
                if (hit_[u]) return true;
            if (u && j - i == kWalk) {
                s = u;
                i = j;
            } else if (u && !last) {  // at the end of the bytes, still going
                return done = i, false;
            } else {
                ++i;
            }
        }
        if (!last) return done = i, false;
        // The text's last bytes, too few for a window: only a key shorter than
        // one can begin there, and the prefilter tells of those from the
        // window padded with zeros (a short key marks every byte after it).
        for (; i < n; ++i) {
            uint8_t w[Prefilter::kWindow] = {};
            for (size_t j = i; j < n; ++j) w[j - i] = byte(j);
            if (!prefilter_.may_start<true>(load_le32(w))) continue;
            uint32_t u = 0;
            for (size_t j = i; j < n && (u = child(u, byte(j))); ++j)
                if (hit_[u]) return true;
        }
        return done = n, false;
    }

    template <bool kLower>
    bool worth_walking(const uint8_t* p, size_t n, size_t i) const {
        if (i + 2 * Prefilter::kWindow <= n) return prefilter_.second_test<kLower>(p + i);
        uint32_t w = load_le32(p + i);
        return prefilter_.worth_walking(kLower ? static_cast<uint32_t>(ascii_lower8(w)) : w, nullptr);
    }

    // The first position from i on where the prefilter lets a key begin (by
    // its first test, or by both where AVX2 takes the steps), or one with
    // fewer than a window's bytes left.
    template <bool kLower, bool kShort>
    size_t skip(const uint8_t* p, size_t n, size_t i) const {
#ifdef VANTRY_AVX2_SKIP
        if (!kShort && avx2_ && prefilter_.first_pass_avx2<kLower>(p, n, i)) return i;
#endif
        for (; i + 12 <= n; i += 8) {  // the windows at i..i+7 lie in two overlapping words
            uint64_t a = load_le64(p + i), b = load_le64(p + i + 4);
            if (kLower) a = ascii_lower8(a), b = ascii_lower8(b);
            uint32_t may = 0;
            for (unsigned j = 0; j < 32; j += 8)
                may |= prefilter_.may_start_long(static_cast<uint32_t>(a >> j)) |
                       prefilter_.may_start_long(static_cast<uint32_t>(b >> j));
            if (!may && !kShort) continue;
            for (unsigned j = 0; j < 8; ++j) {
                uint64_t word = j < 4 ? a : b;
                if (prefilter_.may_start<kShort>(static_cast<uint32_t>(word >> (8 * (j & 3))))) return i + j;
            }
        }
        for (; i + Prefilter::kWindow <= n; ++i) {
            uint32_t w = load_le32(p + i);
            if (kLower) w = static_cast<uint32_t>(ascii_lower8(w));
            if (prefilter_.may_start<kShort>(w)) return i;
        }
        return i;
    }

    // The image bytes of text[i...] (as put_image lays them out) written at
    // `out` while they fit before `end`: runs of ASCII many at a time, a
    // code point of the basic plane from its scan block, others the long
    // way (gather_one). Returns where it stopped; `undecided` becomes
    // Unknown or NeedTables at a code point that cannot be mapped. One loop
    // over few locals: a byte store may alias any member, so none is read
    // in it, and the rare cases live out of line.
    template <bool kFolded>
    size_t gather(const Py_UCS4* text, size_t i, size_t n, Fold fold, const CaseTables& tables, uint8_t*& out_at,
                  uint8_t* end, Result& undecided) const {
        uint8_t* out = out_at;
        const bool bulk_ascii = !kFolded || tables.ascii_lowers(fold);
        const ScanBlocks& blocks = scan_blocks_[static_cast<size_t>(fold)];
        uint8_t* const last_room = end - kGatherRoom;  // out may grow while it is at most this
        while (i < n && out <= last_room) {
            uint32_t c = text[i];
            // A run of ASCII, most of many texts, from four code points on: the
            // basic plane's loop takes fewer between others (the ", " of CJK
            // text) for less, and this test stays predictable in such text.
            if (bulk_ascii && i + 4 <= n && (c | text[i + 1] | text[i + 2] | text[i + 3]) < 0x80) {
                i = copy_ascii_run<kFolded>(text, i, n, out, last_room);
                if (i == n || out > last_room) break;
                c = text[i];
            }
            if (c < 0x10000) [[likely]] {  // one table entry gives the bytes
                const ScanBlock* block = blocks[c >> 8].load(std::memory_order_acquire);
                uint32_t e = block ? block->entry[c & 0xFF] : 0;
                if (e) [[likely]] {
                    store_le32(out, e);
                    out += e >> 24;
                    ++i;
                    continue;
                }
            }
            if (!gather_one<kFolded>(c, fold, tables, out, undecided)) break;
            ++i;
        }
        out_at = out;
        return i;
    }

    // The ASCII code points from text[i] on, as their images, at `out`
    // while out stays at most `last_room`: sixteen at a time where SSE2 is
    // there, else eight. Returns where the run (or the room) ends.
    template <bool kFolded>
    static size_t copy_ascii_run(const Py_UCS4* text, size_t i, size_t n, uint8_t*& out, uint8_t* last_room) {
#ifdef __SSE2__
        for (; i + 16 <= n && out + 16 <= last_room; i += 16, out += 16) {
            auto at = [&](size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + k)); };
            // saturating packs: a code point from 0x80 up becomes a byte from 0x80 up
            __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(at(0), at(4)), _mm_packs_epi32(at(8), at(12)));
            if (kFolded) {  // bytes from 0x80 up compare as negative: never upper case
                __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('A' - 1)),
                                              _mm_cmplt_epi8(bytes, _mm_set1_epi8('Z' + 1)));
                bytes = _mm_or_si128(bytes, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
            if (int beyond = _mm_movemask_epi8(bytes)) {  // the run ends inside these sixteen
                size_t kept = static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(beyond)));
                out += kept;
                return i + kept;
            }
        }
#endif
        uint64_t packed;
        for (; i + 8 <= n && out + 8 <= last_room && pack_ascii8(text + i, packed); i += 8, out += 8)
            store_le64(out, kFolded ? ascii_lower8(packed) : packed);
        for (; i < n && out <= last_room && text[i] < 0x80; ++i) {
            uint8_t b = static_cast<uint8_t>(text[i]);
            *out++ = kFolded ? ascii_lower(b) : b;
        }
        return i;
    }

    // The bytes of code point c the long way: its scan block made first, an
    // astral one or one without an entry through the case tables. False
    // when it cannot be mapped (`undecided` then tells why).
    template <bool kFolded>
    [[gnu::noinline]] bool gather_one(uint32_t c, Fold fold, const CaseTables& tables, uint8_t*& out,
                                      Result& undecided) const {
        if (c < 0x10000) {
            const ScanBlock* block = scan_block(fold, c, tables);
            if (uint32_t e = block ? block->entry[c & 0xFF] : 0) {
                store_le32(out, e);
                out += e >> 24;
                return true;
            }
        }
        uint32_t image = c;
        if constexpr (kFolded) {
            if (const uint8_t* ascii = tables.ascii_images(fold); ascii && c < 0x80) {
                *out++ = ascii[c];
                return true;
            }
            const CaseTables::Block* block = tables.block(fold, c);
            if (!block) return undecided = Result::NeedTables, false;
            const uint32_t special =
                CaseTables::kUndecided | CaseTables::kMulti | (sigma_free_ ? 0 : CaseTables::kSigma);
            uint32_t e = block->entry[c & 0xFF];
            if (e & special) [[unlikely]] {
                const std::vector<uint32_t>* several =
                    (e & special & ~CaseTables::kMulti) ? nullptr : &block->multi[e & CaseTables::kImage];
                if (!several || several->size() * 4 > kGatherRoom) return undecided = Result::Unknown, false;
                for (uint32_t m : *several)  // several where the text has one
                    out += put_image(in_keys_.data(), in_keys_.size(), out, m);
                return true;
            }
            image = e & CaseTables::kImage;
        }
        out += put_image(in_keys_.data(), in_keys_.size(), out, image);
        return true;
    }

    // Calls visit(index, image) for each code point of the text while it
    // returns true; false when a visit stopped it. `undecided` becomes
    // Unknown or NeedTables when a code point cannot be mapped.
    template <class Visit>
    bool each_image(const Py_UCS4* text, size_t n, Fold fold, const CaseTables& tables, Result& undecided,
                    Visit&& visit) const {
        if (fold == Fold::Exact) {
            for (size_t i = 0; i < n; ++i)
                if (!visit(i, text[i])) return false;
            return true;
        }
        const uint8_t* ascii = tables.ascii_images(fold);
        // one test for every entry that is not simply an image
        const uint32_t special = CaseTables::kUndecided | CaseTables::kMulti | (sigma_free_ ? 0 : CaseTables::kSigma);
        const CaseTables::Block* block = nullptr;
        uint32_t block_of = ~0u;  // the block last looked up: neighbours mostly share one
        for (size_t i = 0; i < n; ++i) {
            uint32_t image = text[i];
            if (ascii && image < 0x80) {
                image = ascii[image];
            } else {
                if (image >> 8 != block_of) {
                    if (!(block = tables.block(fold, image))) return undecided = Result::NeedTables, false;
                    block_of = image >> 8;
                }
                uint32_t e = block->entry[image & 0xFF];
                if (e & special) {
                    if (e & special & ~CaseTables::kMulti) return undecided = Result::Unknown, false;
                    for (uint32_t m : block->multi[e & CaseTables::kImage])  // several where the text has one
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
        depth_.assign(1, 0);
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
                depth_.push_back(static_cast<uint8_t>(std::min<size_t>(d + 1, 255)));
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
    std::vector<uint8_t> edge_byte_, hit_, depth_;  // depth_: in bytes, at most 255
    Prefilter prefilter_;
    bool avx2_ = false;  // the first test may take sixteen windows a step
    std::vector<uint64_t> in_keys_;
    mutable std::array<ScanBlocks, 3> scan_blocks_{};  // by Fold
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
            if (c < 0x80) {
                out.bytes.push_back(static_cast<char>(c));
            } else {
                out.bytes.append(reinterpret_cast<char*>(bytes), static_cast<size_t>(encode(c, bytes)));
            }
        }
    }
    return Matcher::build(std::move(encoded), sigma_free, keep_texts);
}

// Texts from this many code points on are scanned without the GIL.
constexpr size_t kScanWithoutGil = 64 * 1024;
// Texts shorter than this are not asked whether they are ASCII: their copy costs less.
constexpr Py_ssize_t kAskAsciiFrom = 16;

// str.isascii(s), asked before a text is read in place because the UTF-8
// form of a non-ASCII str is a copy cached on the object. The bound method
// of a str is a builtin taking no arguments: its C function is called the
// way the interpreter calls it, (s, NULL), which spares the call machinery
// (most of the cost of asking). Where the running Python makes it some
// other way, the unbound method is called.
class AsciiTest {
public:
    // `unbound`: str.isascii, kept alive by the caller.
    explicit AsciiTest(PyObject* unbound) : unbound_(unbound) {
        Ref sample = check(PyUnicode_FromString("a"));
        Ref bound = check(PyObject_GetAttrString(sample.get(), "isascii"));
        if (PyCFunction_Check(bound.get()) && PyCFunction_GetFlags(bound.get()) == METH_NOARGS &&
            PyCFunction_GetSelf(bound.get()) == sample.get())
            direct_ = PyCFunction_GetFunction(bound.get());
    }
    AsciiTest() = default;

    bool operator()(PyObject* s) const {
        Ref answer = direct_ && PyUnicode_Check(s) ? check(direct_(s, nullptr)) : call(unbound_, s);
        return truth(answer.get());
    }

private:
    PyObject* unbound_ = nullptr;
    PyCFunction direct_ = nullptr;
};

// The bytes of an ASCII text whose image under `fold` is itself or its
// ASCII lower case, read in place (its UTF-8 form is its own storage), or
// null for text to be read as code points.
inline const uint8_t* ascii_in_place(PyObject* text, Fold fold, const CaseTables& tables, const AsciiTest& isascii,
                                     size_t& size) {
    Py_ssize_t length = PyUnicode_GetLength(text);
    if (length < 0) throw_error();
    if (length < kAskAsciiFrom || (fold != Fold::Exact && !tables.ascii_lowers(fold)) || !isascii(text))
        return nullptr;
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
    if (!utf8) throw_error();
    size = static_cast<size_t>(n);
    return reinterpret_cast<const uint8_t*>(utf8);
}

// The first-hit test of `text` (a str) under `fold`, the one way in for
// every caller: ASCII text in place, other text as code points. Case tables
// that code points need are filled (the GIL held) and the scan run again.
inline Matcher::Result first_hit(const Matcher& matcher, PyObject* text, Fold fold, const CaseTablesPtr& shared,
                                 const AsciiTest& isascii) {
    CaseTables& tables = *shared;
    bool lower = fold != Fold::Exact;
    size_t size = 0;
    if (const uint8_t* bytes = ascii_in_place(text, fold, tables, isascii, size)) {
        if (size < kScanWithoutGil) return matcher.scan_ascii(bytes, size, lower);
        WithoutGil unlocked;
        return matcher.scan_ascii(bytes, size, lower);
    }
    CodePoints cps(text);
    auto run = [&] {
        if (cps.size() < kScanWithoutGil) return matcher.scan(cps.data(), cps.size(), fold, tables);
        CaseTablesPtr kept = shared;  // alive while the GIL is released
        WithoutGil unlocked;
        return matcher.scan(cps.data(), cps.size(), fold, *kept);
    };
    Matcher::Result result = run();
    if (result != Matcher::Result::NeedTables) return result;
    tables.prepare(fold, cps.data(), cps.size());
    return run();
}

// Every key occurring in `text` (a str) under `fold`, as Matcher::occurrences
// gives them, read the way first_hit reads the text: ASCII in place when its
// image allows. Case tables that code points need are filled and the search
// run again.
inline Matcher::Result all_occurrences(const Matcher& matcher, PyObject* text, Fold fold, CaseTables& tables,
                                       const AsciiTest& isascii, std::vector<uint32_t>& ids) {
    size_t size = 0;
    if (const uint8_t* bytes = ascii_in_place(text, fold, tables, isascii, size)) {
        matcher.occurrences_ascii(bytes, size, fold != Fold::Exact, ids);
        return Matcher::Result::Clean;
    }
    CodePoints cps(text);
    Matcher::Result result = matcher.occurrences(cps.data(), cps.size(), fold, tables, ids);
    if (result != Matcher::Result::NeedTables) return result;
    tables.prepare(fold, cps.data(), cps.size());
    ids.clear();
    return matcher.occurrences(cps.data(), cps.size(), fold, tables, ids);
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
