// vantry.wordsift: screen prompt text against a lexicon of banned words.
//
// PromptBanChecker merges the built-in lexicon (vantry._lexivault), words given
// at run time and a user file into one list, longest word first, and builds
// one of two engines from it: a compiled alternation pattern for small
// lexicons, or a pyahocorasick automaton from _AC_THRESHOLD words on. Both
// engines stay real objects on the instance (`_ban_regex`, `_automaton`).
//
// The first-hit test that `check` runs on every prompt is answered in C++ by a
// byte-level Aho-Corasick matcher built from the same words, as long as the
// engine on the instance is still the one this module built; it only ever
// answers "clean" when the real engine would find nothing, and hands every
// case it cannot decide exactly back to the real engine.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pyglue.hpp"

using namespace pyglue;

namespace {

// ---- code points ------------------------------------------------------------------

bool is_ascii_space(Py_UCS4 c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }
Py_UCS4 ascii_lower(Py_UCS4 c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

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

bool is_caseless(Py_UCS4 c) {
    if (c >= 0x4E00 && c <= 0x9FFF) return true;  // the common case first
    for (auto [lo, hi] : kCaseless)
        if (c >= lo && c <= hi) return true;
    return false;
}

// Code points that are surely not whitespace, so strip() would not change a
// text that begins and ends with them.
bool surely_not_space(Py_UCS4 c) {
    if (c < 0x80) return !is_ascii_space(c);
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x3040 && c <= 0x30FF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0x20000 && c <= 0x323AF);
}

// UTF-8 bit layout for any code point, lone surrogates included, so that
// substring matching over the bytes is substring matching over code points.
int encode(Py_UCS4 c, uint8_t* out) {
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
    static std::shared_ptr<const Matcher> build(const std::vector<std::string>& keys) {
        auto m = std::make_shared<Matcher>();
        std::vector<std::vector<std::pair<uint8_t, uint32_t>>> kids(1);
        std::vector<uint8_t> hit(1, 0);
        auto child = [&](uint32_t s, uint8_t c) -> uint32_t {
            for (auto [b, t] : kids[s])
                if (b == c) return t;
            return 0;
        };
        for (const std::string& key : keys) {
            uint32_t s = 0;
            for (unsigned char c : key) {
                uint32_t t = child(s, c);
                if (!t) {
                    t = static_cast<uint32_t>(kids.size());
                    kids[s].emplace_back(c, t);
                    kids.emplace_back();
                    hit.push_back(0);
                }
                s = t;
            }
            hit[s] = 1;
        }
        for (auto& k : kids) std::sort(k.begin(), k.end());

        std::vector<uint32_t> fail(kids.size(), 0), queue;
        queue.reserve(kids.size());
        for (auto [c, t] : kids[0]) queue.push_back(t);
        for (size_t q = 0; q < queue.size(); ++q) {
            uint32_t u = queue[q];
            hit[u] |= hit[fail[u]];  // fail[u] is shallower, so already final
            for (auto [c, v] : kids[u]) {
                uint32_t f = fail[u];
                while (f && !child(f, c)) f = fail[f];
                fail[v] = child(f, c);
                queue.push_back(v);
            }
        }

        m->fail_ = std::move(fail);
        m->hit_ = std::move(hit);
        m->edge_start_.reserve(kids.size() + 1);
        for (auto& k : kids) {
            m->edge_start_.push_back(static_cast<uint32_t>(m->edge_byte_.size()));
            for (auto [c, t] : k) {
                m->edge_byte_.push_back(c);
                m->edge_to_.push_back(t);
            }
        }
        m->edge_start_.push_back(static_cast<uint32_t>(m->edge_byte_.size()));
        for (auto [c, t] : kids[0]) m->root_[c] = t;
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
std::string key_bytes(PyObject* key, bool fold) {
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

MatcherPtr build_matcher(const std::vector<Ref>& keys, bool fold) {
    std::vector<std::string> encoded;
    encoded.reserve(keys.size());
    for (const Ref& k : keys) {
        encoded.push_back(key_bytes(k.get(), fold));
        if (encoded.back().empty()) return nullptr;
    }
    return Matcher::build(encoded);
}

// Exact equality of two lists of text objects.
bool same_texts(const std::vector<Ref>& a, const std::vector<Ref>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        PyObject *x = a[i].get(), *y = b[i].get();
        if (x == y) continue;
        if (!PyUnicode_CheckExact(x) || !PyUnicode_CheckExact(y)) return false;
        int cmp = PyUnicode_Compare(x, y);
        if (cmp == -1 && PyErr_Occurred()) throw_error();
        if (cmp != 0) return false;
    }
    return true;
}

// ---- module state -------------------------------------------------------------------

// The engine this module built for one checker, with its matcher.
struct EngineEntry {
    Ref weakref;  // to the checker; its death drops the entry
    Ref engine;   // the pattern or automaton, compared by identity
    MatcherPtr matcher;
    bool automaton = false;
    bool fold = false;         // regex: the pattern ignores case
    Py_ssize_t size = 0;       // automaton: number of keys when built
    long kind = 0;             // automaton: its `kind` when built
};

// The last automaton built: an identical rebuild (a new checker with the
// default lexicon) is restored from the automaton's own pickle state instead
// of inserting every word again.
struct AutomatonCache {
    Ref automaton_type;
    std::vector<Ref> keys, values;
    Ref restore, restore_args;  // from __reduce__, taken at the second identical build
    MatcherPtr matcher;
};

struct RegexCache {
    std::vector<Ref> words;
    bool fold = false;
    MatcherPtr matcher;
};

struct State : StateBase {
    // imports
    PyObject *io_open, *BytesIO, *pickle_dump, *UnpicklingError, *re_module, *Pattern, *ignorecase;
    PyObject* Unpickler = nullptr;  // refuses every global lookup
    PyObject* forget = nullptr;     // weakref callback dropping an engine entry
    // names
    PyObject *ban_word_file, *ignore_case, *builtin_words, *use_default, *exclude_words, *banned_words;
    PyObject *ban_regex, *automaton, *ac_threshold, *has_ac, *ahocorasick, *load_default, *xor_name;
    PyObject *load_banned, *load_from_file, *build_engine, *build_automaton, *has_banned, *find_matched;
    PyObject *strip, *lower, *read_mode, *write_mode, *text_mode, *encoding, *utf8_sig, *close, *load, *path;
    PyObject *exists, *splitext, *pkl, *pickle_ext, *escape, *compile, *flags, *search, *findall, *iter;
    PyObject *add_word, *make_automaton, *reduce, *kind, *Automaton, *pattern_attr, *flags_attr, *os_name;
    PyObject *ban_error_name, *ek, *ed, *lexivault, *error_msg, *data, *comma, *ban_prefix, *missing_file, *zero;
    // our own entry points, to call them directly when not overridden
    PyMethodDef *load_banned_def, *from_file_def, *build_engine_def, *build_automaton_def;
    PyMethodDef *has_banned_def, *find_matched_def, *default_words_def, *xor_def;

    std::unordered_map<PyObject*, EngineEntry> engines;  // keyed by checker
    AutomatonCache ac_cache;
    RegexCache regex_cache;
};

// A global of this module, read at each use as Python code would.
Ref global(State& st, PyObject* name) { return module_global(PyModule_GetDict(st.module), name); }

// text.strip(), skipping the call when the ends are surely not whitespace.
Ref stripped(State& st, PyObject* item) {
    if (PyUnicode_CheckExact(item)) {
        Py_ssize_t n = PyUnicode_GetLength(item);
        if (n == 0 || (surely_not_space(PyUnicode_ReadChar(item, 0)) &&
                       surely_not_space(PyUnicode_ReadChar(item, n - 1))))
            return Ref::borrow(item);
    }
    return call_method(item, st.strip);
}

Ref lowered(State& st, PyObject* text) { return call_method(text, st.lower); }

// ---- repeating-key XOR ------------------------------------------------------------------

void xor_into(char* out, const char* data, size_t n, const char* key, size_t k) {
    // Repeat a short key to a block the compiler can run through in vector registers.
    std::vector<char> block;
    const char* pad = key;
    size_t span = k;
    if (k < 256) {
        span = k * ((256 + k - 1) / k);
        block.resize(span);
        for (size_t i = 0; i < span; ++i) block[i] = key[i % k];
        pad = block.data();
    }
    for (size_t start = 0; start < n; start += span) {
        size_t len = std::min(span, n - start);
        const char* src = data + start;
        char* dst = out + start;
        for (size_t j = 0; j < len; ++j) dst[j] = static_cast<char>(src[j] ^ pad[j]);
    }
}

constexpr Py_ssize_t kReleaseGilBytes = 64 * 1024;

Ref xor_bytes(State& st, PyObject* data, PyObject* key) {
    Py_ssize_t n = PyBytes_Size(data), k = PyBytes_Size(key);
    if (n == 0) return new_bytes("", 0);
    if (k == 0) check(PyNumber_Remainder(st.zero, st.zero));  // the host's own modulo-by-zero error
    Ref out = new_bytes(nullptr, n);
    char* dst = PyBytes_AsString(out.get());
    const char* src = PyBytes_AsString(data);
    const char* pad = PyBytes_AsString(key);
    if (n >= kReleaseGilBytes) {
        Py_BEGIN_ALLOW_THREADS
        xor_into(dst, src, static_cast<size_t>(n), pad, static_cast<size_t>(k));
        Py_END_ALLOW_THREADS
    } else {
        xor_into(dst, src, static_cast<size_t>(n), pad, static_cast<size_t>(k));
    }
    return out;
}

constexpr auto kXor = sig("_xor", "($module, data, key)",
                          "Repeating-key XOR: byte i of data XOR byte i % len(key) of key.",
                          Param{"data", Kind::Bytes, Required}, Param{"key", Kind::Bytes, Required});

Ref xor_entry(State& st, Args<2>& a) { return xor_bytes(st, a.obj(0), a.obj(1)); }

// ---- restricted unpickling -----------------------------------------------------------------

// find_class of the unpickler: a lexicon file holds texts and numbers only,
// so every global lookup (the way a pickle reaches code) is refused.
constexpr auto kFindClass = sig("_RestrictedUnpickler.find_class", "($module, module_name, global_name, /)",
                                "Refuse every global: word lists need none.",
                                Param{"module_name", Kind::Any, Required}, Param{"global_name", Kind::Any, Required});

Ref refuse_global(State& st, Args<2>& a) {
    Ref refused = check(PyUnicode_FromFormat("%S.%S", a.obj(0), a.obj(1)));
    Ref head = new_text("pickle 文件禁止引用全局对象: ");
    raise_object(st.UnpicklingError, concat({head.get(), refused.get()}).get());
}

Ref unpickle(State& st, PyObject* stream) {
    Ref unpickler = call(st.Unpickler, stream);
    return call_method(unpickler.get(), st.load);
}

// ---- built-in lexicon ----------------------------------------------------------------------

Ref decipher_default(State& st) {
    Ref fromlist = tuple_of({st.ek, st.ed});
    Ref globals = Ref::borrow(PyModule_GetDict(st.module));
    Ref vault = check(PyImport_ImportModuleLevelObject(st.lexivault, globals.get(), nullptr, fromlist.get(), 1));
    Ref ek = getattr(vault.get(), st.ek), ed = getattr(vault.get(), st.ed);
    Ref xor_fn = global(st, st.xor_name);
    Ref raw;
    if (is_builtin(xor_fn.get(), st.xor_def)) {
        if (!PyBytes_CheckExact(ed.get())) raise_arg_type("data", "bytes", ed.get());
        if (!PyBytes_CheckExact(ek.get())) raise_arg_type("key", "bytes", ek.get());
        raw = xor_bytes(st, ed.get(), ek.get());
    } else {
        raw = call(xor_fn.get(), ed.get(), ek.get());
    }
    Ref stream = call(st.BytesIO, raw.get());
    Ref words = unpickle(st, stream.get());
    if (!PyList_Check(words.get())) return new_list();
    return words;
}

// Any failure (missing module, corrupt data, a value that is no list) leaves
// the built-in source empty; only errors outside Exception pass.
Ref load_default_words(State& st) {
    try {
        return decipher_default(st);
    } catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return new_list();
    }
}

constexpr auto kLoadDefault = sig("_load_default_words", "($module)",
                                  "The built-in lexicon, deciphered; an empty list when it cannot be read.");

Ref load_default_entry(State& st, Args<0>&) { return load_default_words(st); }

// ---- user files ------------------------------------------------------------------------------

Ref open_file(State& st, PyObject* path, PyObject* mode, PyObject* encoding = nullptr) {
    if (!encoding) return call(st.io_open, path, mode);
    Ref args = tuple_of({path, mode});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.encoding, encoding);
    return call_kw(st.io_open, args.get(), kwargs.get());
}

Ref read_pickled_words(State& st, PyObject* path) {
    Ref file = open_file(st, path, st.read_mode);
    Closing guard(file.get(), st.close);
    Ref data = unpickle(st, file.get());
    guard.close();
    if (!PyList_Check(data.get())) {
        Ref head = new_text("pickle 文件内容必须是 list，当前类型: ");
        raise_object(PyExc_ValueError, concat({head.get(), type_name(data.get()).get()}).get());
    }
    Ref words = new_list();
    for_each(data.get(), [&](PyObject* item) { list_append(words.get(), check(PyObject_Str(item)).get()); });
    return words;
}

// Decoded as "utf-8-sig", so a byte-order mark written by an editor does not
// stick to the first word.
Ref read_text_words(State& st, PyObject* path) {
    Ref file = open_file(st, path, st.text_mode, st.utf8_sig);
    Closing guard(file.get(), st.close);
    Ref words = new_list();
    for_each(file.get(), [&](PyObject* line) { list_append(words.get(), stripped(st, line).get()); });
    guard.close();
    return words;
}

Ref load_from_file(State& st, PyObject* path) {
    Ref os = global(st, st.os_name);
    Ref os_path = getattr(os.get(), st.path);
    Ref parts = call_method(os_path.get(), st.splitext, path);
    Ref ext = lowered(st, check(PySequence_GetItem(parts.get(), 1)).get());
    if (equal(ext.get(), st.pkl) || equal(ext.get(), st.pickle_ext)) return read_pickled_words(st, path);
    return read_text_words(st, path);
}

constexpr auto kLoadFromFile = sig("PromptBanChecker._load_from_file", "($module, file_path)",
                                   "The words of a lexicon file: a pickled list for .pkl/.pickle, else one word a line.",
                                   Param{"file_path", Kind::Str, Required});

Ref load_from_file_entry(State& st, Args<1>& a) { return load_from_file(st, a.obj(0)); }

constexpr auto kCreatePickle = sig("PromptBanChecker.create_pickle_file", "($module, words, output_path)",
                                   "Write the stripped, non-empty words to output_path as a pickled list.",
                                   Param{"words", Kind::List, Required}, Param{"output_path", Kind::Str, Required});

Ref create_pickle_file(State& st, Args<2>& a) {
    Ref cleaned = new_list();
    for_each(a.obj(0), [&](PyObject* w) {
        if (!truth(w)) return;
        Ref s = stripped(st, w);
        if (truth(s.get())) list_append(cleaned.get(), s.get());
    });
    Ref file = open_file(st, a.obj(1), st.write_mode);
    Closing guard(file.get(), st.close);
    call(st.pickle_dump, cleaned.get(), file.get());
    guard.close();
    return none();
}

// ---- lexicon assembly --------------------------------------------------------------------------

// The merge routine: stripped, non-empty, first occurrence wins.
struct Merge {
    explicit Merge(State& state) : st(state), seen(check(PySet_New(nullptr))) {}

    State& st;
    Ref seen;
    std::vector<Ref> words;

    void add(PyObject* iterable) {
        for_each(iterable, [&](PyObject* item) {
            Ref w = stripped(st, item);
            if (!truth(w.get()) || check_bool(PySet_Contains(seen.get(), w.get()))) return;
            check(PySet_Add(seen.get(), w.get()));
            words.push_back(std::move(w));
        });
    }
};

Ref call_static(State& st, PyObject* self, PyObject* name, PyMethodDef* def, PyObject* arg,
                Ref (*body)(State&, PyObject*)) {
    Ref fn = getattr(self, name);
    if (!is_builtin(fn.get(), def)) return call(fn.get(), arg);
    if (!PyUnicode_CheckExact(arg)) raise_arg_type("file_path", "str", arg);
    return body(st, arg);
}

void merge_file(State& st, PyObject* self, Merge& merge) {
    Ref path = getattr(self, st.ban_word_file);
    if (!truth(path.get())) return;
    Ref os = global(st, st.os_name);
    Ref os_path = getattr(os.get(), st.path);
    if (!truth(call_method(os_path.get(), st.exists, path.get()).get())) {
        Ref text = check(PyObject_Str(path.get()));
        raise_object(PyExc_FileNotFoundError, concat({st.missing_file, text.get()}).get());
    }
    Ref words = call_static(st, self, st.load_from_file, st.from_file_def, path.get(), load_from_file);
    merge.add(words.get());
}

std::vector<Ref> without_excluded(State& st, PyObject* self, std::vector<Ref> words) {
    Ref exclude = getattr(self, st.exclude_words);
    if (!truth(exclude.get())) return words;
    bool fold = truth(getattr(self, st.ignore_case).get());
    Ref excluded = check(PySet_New(nullptr));
    for_each(exclude.get(), [&](PyObject* item) {
        Ref s = stripped(st, item);
        if (!truth(s.get())) return;
        check(PySet_Add(excluded.get(), fold ? lowered(st, s.get()).get() : s.get()));
    });
    std::vector<Ref> kept;
    for (Ref& w : words) {
        Ref probe = fold ? lowered(st, w.get()) : w.copy();
        if (!check_bool(PySet_Contains(excluded.get(), probe.get()))) kept.push_back(std::move(w));
    }
    return kept;
}

// Longest first; a stable sort keeps the merge order among equal lengths.
Ref longest_first(std::vector<Ref> words) {
    std::vector<std::pair<Py_ssize_t, size_t>> order;
    order.reserve(words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        PyObject* w = words[i].get();
        Py_ssize_t len = PyUnicode_CheckExact(w) ? PyUnicode_GetLength(w) : PyObject_Size(w);
        if (len < 0) throw_error();
        order.emplace_back(len, i);
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    Ref list = new_list(static_cast<Py_ssize_t>(words.size()));
    for (size_t j = 0; j < order.size(); ++j)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(j), words[order[j].second].release());
    return list;
}

void build_engine(State& st, PyObject* self);

Ref load_banned_words(State& st, PyObject* self) {
    Merge merge(st);
    if (truth(getattr(self, st.use_default).get())) {
        Ref fn = global(st, st.load_default);
        Ref words = is_builtin(fn.get(), st.default_words_def) ? load_default_words(st) : call(fn.get());
        merge.add(words.get());
    }
    merge.add(getattr(self, st.builtin_words).get());
    merge_file(st, self, merge);
    Ref banned = longest_first(without_excluded(st, self, std::move(merge.words)));
    setattr(self, st.banned_words, banned.get());
    Ref fn = getattr(self, st.build_engine);
    if (is_builtin(fn.get(), st.build_engine_def))
        build_engine(st, self);
    else
        call(fn.get());
    return none();
}

constexpr auto kLoadBanned = sig("PromptBanChecker.load_banned_words", "($self)",
                                 "Re-read every source, rebuild banned_words and the matching engine.");

Ref load_banned_entry(State& st, PyObject* self, Args<0>&) { return load_banned_words(st, self); }

// ---- engines -------------------------------------------------------------------------------------

void forget_engine(State& st, PyObject* self) { st.engines.erase(self); }

// Records the engine just assigned to `self` with its matcher, so the
// first-hit test can use the matcher while the engine is still in place.
void remember_engine(State& st, PyObject* self, PyObject* engine, MatcherPtr matcher, bool automaton, bool fold) {
    if (!matcher) return forget_engine(st, self);
    EngineEntry entry;
    if (auto it = st.engines.find(self); it != st.engines.end()) entry.weakref = std::move(it->second.weakref);
    if (!entry.weakref) {
        entry.weakref = Ref::steal_or_null(PyWeakref_NewRef(self, st.forget));
        if (!entry.weakref) {  // not weak-referenceable: no fast path, no error
            PyErr_Clear();
            return forget_engine(st, self);
        }
    }
    entry.engine = Ref::borrow(engine);
    entry.matcher = std::move(matcher);
    entry.automaton = automaton;
    entry.fold = fold;
    if (automaton) {
        entry.size = PyObject_Size(engine);
        Ref kind = Ref::steal_or_null(PyObject_GetAttr(engine, st.kind));
        entry.kind = kind ? PyLong_AsLong(kind.get()) : -1;
        if (entry.size < 0 || !kind || (entry.kind == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return forget_engine(st, self);
        }
    }
    st.engines[self] = std::move(entry);
}

// Weakref callback with a capsule of the state as its self.
PyObject* forget_callback(PyObject* capsule, PyObject* ref) {
    auto* st = static_cast<State*>(PyCapsule_GetPointer(capsule, "vantry.wordsift.state"));
    if (!st) return nullptr;
    for (auto it = st->engines.begin(); it != st->engines.end(); ++it) {
        if (it->second.weakref.get() == ref) {
            EngineEntry gone = std::move(it->second);  // released after the erase
            st->engines.erase(it);
            break;
        }
    }
    Py_RETURN_NONE;
}

std::vector<Ref> list_items(PyObject* iterable) {
    std::vector<Ref> items;
    for_each(iterable, [&](PyObject* item) { items.push_back(Ref::borrow(item)); });
    return items;
}

struct BuiltAutomaton {
    Ref automaton;
    MatcherPtr matcher;
};

// Automaton(*args) from a __reduce__ of the form (Automaton, args).
bool take_restore(State& st, AutomatonCache& cache, PyObject* automaton) {
    Ref reduced = Ref::steal_or_null(PyObject_CallMethodObjArgs(automaton, st.reduce, nullptr));
    if (!reduced) {
        PyErr_Clear();
        return false;
    }
    if (!PyTuple_Check(reduced.get()) || PyTuple_Size(reduced.get()) != 2) return false;
    PyObject* fn = PyTuple_GetItem(reduced.get(), 0);
    PyObject* args = PyTuple_GetItem(reduced.get(), 1);
    if (fn != cache.automaton_type.get() || !PyTuple_Check(args)) return false;
    cache.restore = Ref::borrow(fn);
    cache.restore_args = Ref::borrow(args);
    return true;
}

BuiltAutomaton build_automaton(State& st, PyObject* self) {
    Ref module = global(st, st.ahocorasick);
    Ref automaton_type = getattr(module.get(), st.Automaton);
    std::vector<Ref> values = list_items(getattr(self, st.banned_words).get());
    bool fold = truth(getattr(self, st.ignore_case).get());
    std::vector<Ref> keys;
    keys.reserve(values.size());
    for (Ref& w : values) keys.push_back(fold ? lowered(st, w.get()) : w.copy());

    AutomatonCache& cache = st.ac_cache;
    bool same = cache.automaton_type.get() == automaton_type.get() && same_texts(cache.keys, keys) &&
                same_texts(cache.values, values);
    // Held here: the calls below may run code that builds another lexicon
    // and so replaces the cache.
    MatcherPtr same_matcher = same ? cache.matcher : nullptr;
    if (same && cache.restore) {
        Ref restore = cache.restore.copy(), restore_args = cache.restore_args.copy();
        Ref automaton = check(PyObject_CallObject(restore.get(), restore_args.get()));
        return {std::move(automaton), std::move(same_matcher)};
    }
    Ref automaton = call(automaton_type.get());
    for (size_t i = 0; i < keys.size(); ++i) call_method(automaton.get(), st.add_word, keys[i].get(), values[i].get());
    call_method(automaton.get(), st.make_automaton);
    if (same) {
        if (cache.matcher == same_matcher) take_restore(st, cache, automaton.get());
        return {std::move(automaton), std::move(same_matcher)};
    }
    AutomatonCache fresh;
    fresh.automaton_type = std::move(automaton_type);
    fresh.matcher = build_matcher(keys, false);
    fresh.keys = std::move(keys);
    fresh.values = std::move(values);
    cache = std::move(fresh);
    return {std::move(automaton), cache.matcher};
}

constexpr auto kBuildAutomaton = sig("PromptBanChecker._build_automaton", "($self)",
                                     "A ready ahocorasick.Automaton of banned_words (keys lower-cased with ignore_case).");

Ref build_automaton_entry(State& st, PyObject* self, Args<0>&) { return std::move(build_automaton(st, self).automaton); }

MatcherPtr regex_matcher(State& st, std::vector<Ref> words, bool fold) {
    RegexCache& cache = st.regex_cache;
    if (cache.fold == fold && same_texts(cache.words, words)) return cache.matcher;
    cache.matcher = build_matcher(words, fold);
    cache.words = std::move(words);
    cache.fold = fold;
    return cache.matcher;
}

// The alternation of the escaped words, in list order.
void build_regex(State& st, PyObject* self, PyObject* words) {
    std::vector<Ref> items = list_items(words);
    bool fold = truth(getattr(self, st.ignore_case).get());
    Ref escape = getattr(st.re_module, st.escape);
    Ref escaped = new_list();
    for (Ref& w : items) list_append(escaped.get(), call(escape.get(), w.get()).get());
    Ref bar = new_text("|");
    Ref pattern = check(PyUnicode_Join(bar.get(), escaped.get()));
    Ref args = tuple_of({pattern.get()});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.flags, fold ? st.ignorecase : st.zero);
    Ref regex = call_kw(getattr(st.re_module, st.compile).get(), args.get(), kwargs.get());
    setattr(self, st.ban_regex, regex.get());
    setattr(self, st.automaton, Py_None);
    // The matcher stands in for this pattern only if it really is the pattern of these words.
    if (Py_TYPE(regex.get()) != reinterpret_cast<PyTypeObject*>(st.Pattern)) return forget_engine(st, self);
    Ref source = getattr(regex.get(), st.pattern_attr);
    Ref pattern_flags = getattr(regex.get(), st.flags_attr);
    long bits = PyLong_AsLong(pattern_flags.get());
    long ignore_bit = PyLong_AsLong(st.ignorecase);
    if (PyErr_Occurred()) throw_error();
    if (!equal(source.get(), pattern.get()) || ((bits & ignore_bit) != 0) != fold) return forget_engine(st, self);
    remember_engine(st, self, regex.get(), regex_matcher(st, std::move(items), fold), false, fold);
}

// A new engine is assigned before the other attribute is cleared, so a check
// running meanwhile in another thread always finds one of them.
void build_engine(State& st, PyObject* self) {
    Ref words = getattr(self, st.banned_words);
    if (!truth(words.get())) {
        setattr(self, st.ban_regex, Py_None);
        setattr(self, st.automaton, Py_None);
        return forget_engine(st, self);
    }
    Py_ssize_t size = PyObject_Size(words.get());
    if (size < 0) throw_error();
    Ref count = new_int(size);
    Ref threshold = global(st, st.ac_threshold);
    if (check_bool(PyObject_RichCompareBool(count.get(), threshold.get(), Py_GE)) &&
        truth(global(st, st.has_ac).get())) {
        Ref fn = getattr(self, st.build_automaton);
        if (is_builtin(fn.get(), st.build_automaton_def)) {
            BuiltAutomaton built = build_automaton(st, self);
            setattr(self, st.automaton, built.automaton.get());
            setattr(self, st.ban_regex, Py_None);
            remember_engine(st, self, built.automaton.get(), built.matcher, true, false);
        } else {
            Ref automaton = call(fn.get());
            setattr(self, st.automaton, automaton.get());
            setattr(self, st.ban_regex, Py_None);
            forget_engine(st, self);
        }
        return;
    }
    build_regex(st, self, words.get());
}

constexpr auto kBuildEngine = sig("PromptBanChecker._build_engine", "($self)",
                                  "Build the pattern or, from _AC_THRESHOLD words with pyahocorasick, the automaton.");

Ref build_engine_entry(State& st, PyObject* self, Args<0>&) {
    build_engine(st, self);
    return none();
}

// ---- checks ------------------------------------------------------------------------------------

// The matcher's answer for `text`, or Unknown when it cannot stand in for `engine`.
Matcher::Result fast_scan(State& st, PyObject* self, PyObject* engine, PyObject* text, bool automaton, bool fold) {
    auto it = st.engines.find(self);
    if (it == st.engines.end()) return Matcher::Result::Unknown;
    const EngineEntry& entry = it->second;
    if (entry.engine.get() != engine || entry.automaton != automaton) return Matcher::Result::Unknown;
    // Copied before any call back into Python: an engine's len() or attribute
    // may run code that rebuilds or drops this very entry. The matcher copy
    // also keeps it alive without the GIL.
    MatcherPtr matcher = entry.matcher;
    const Py_ssize_t built_size = entry.size;
    const long built_kind = entry.kind;
    if (automaton) {  // an automaton changed in place no longer matches our keys
        if (PyObject_Size(engine) != built_size) return PyErr_Clear(), Matcher::Result::Unknown;
        Ref kind = Ref::steal_or_null(PyObject_GetAttr(engine, st.kind));
        if (!kind || PyLong_AsLong(kind.get()) != built_kind) return PyErr_Clear(), Matcher::Result::Unknown;
    } else {
        fold = entry.fold;
    }
    CodePoints cps(text);
    Matcher::Result result;
    if (cps.size() >= static_cast<size_t>(kReleaseGilBytes)) {
        Py_BEGIN_ALLOW_THREADS
        result = matcher->scan(cps.data(), cps.size(), fold);
        Py_END_ALLOW_THREADS
    } else {
        result = matcher->scan(cps.data(), cps.size(), fold);
    }
    if (result == Matcher::Result::Unknown && automaton) {
        // The automaton searches text.lower(): let the host lower-case it, then match exactly.
        Ref low = lowered(st, text);
        return fast_scan(st, self, engine, low.get(), true, false);
    }
    return result;
}

Ref first_item(PyObject* iterable) {
    Ref it = check(PyObject_GetIter(iterable));
    Ref item = Ref::steal_or_null(PyIter_Next(it.get()));
    if (!item && PyErr_Occurred()) throw_error();
    return item;
}

bool has_banned_word(State& st, PyObject* self, PyObject* text) {
    Ref automaton = getattr(self, st.automaton);
    if (truth(automaton.get())) {
        bool fold = truth(getattr(self, st.ignore_case).get());
        Matcher::Result r = fast_scan(st, self, automaton.get(), text, true, fold);
        if (r != Matcher::Result::Unknown) return r == Matcher::Result::Hit;
        Ref search = fold ? lowered(st, text) : Ref::borrow(text);
        Ref matches = call_method(automaton.get(), st.iter, search.get());
        return static_cast<bool>(first_item(matches.get()));
    }
    Ref regex = getattr(self, st.ban_regex);
    if (!truth(regex.get())) return false;
    Matcher::Result r = fast_scan(st, self, regex.get(), text, false, false);
    if (r != Matcher::Result::Unknown) return r == Matcher::Result::Hit;
    return truth(call_method(regex.get(), st.search, text).get());
}

constexpr auto kHasBanned = sig("PromptBanChecker._has_banned_word", "($self, text)",
                                "Whether any lexicon word occurs in text; stops at the first hit.",
                                Param{"text", Kind::Str, Required});

Ref has_banned_entry(State& st, PyObject* self, Args<1>& a) { return new_bool(has_banned_word(st, self, a.obj(0))); }

Ref find_matched_words(State& st, PyObject* self, PyObject* text) {
    Ref hits = check(PySet_New(nullptr));
    Ref automaton = getattr(self, st.automaton);
    if (truth(automaton.get())) {
        Ref search = truth(getattr(self, st.ignore_case).get()) ? lowered(st, text) : Ref::borrow(text);
        Ref matches = call_method(automaton.get(), st.iter, search.get());
        for_each(matches.get(), [&](PyObject* pair) {
            Ref word = check(PySequence_GetItem(pair, 1));
            check(PySet_Add(hits.get(), word.get()));
        });
        return check(PySequence_List(hits.get()));
    }
    Ref regex = getattr(self, st.ban_regex);
    if (!truth(regex.get())) return new_list();
    Ref found = call_method(regex.get(), st.findall, text);
    for_each(found.get(), [&](PyObject* word) { check(PySet_Add(hits.get(), word)); });
    return check(PySequence_List(hits.get()));
}

constexpr auto kFindMatched = sig("PromptBanChecker.find_matched_words", "($self, text)",
                                  "The lexicon words found in text, each once, in no defined order.",
                                  Param{"text", Kind::Str, Required});

Ref find_matched_entry(State& st, PyObject* self, Args<1>& a) { return find_matched_words(st, self, a.obj(0)); }

constexpr auto kCheck = sig("PromptBanChecker.check", "($self, prompt)",
                            "Return prompt itself when it holds no banned word, else raise PromptBanError.",
                            Param{"prompt", Kind::Str, Required});

Ref check_prompt(State& st, PyObject* self, Args<1>& a) {
    PyObject* prompt = a.obj(0);
    Ref has = getattr(self, st.has_banned);
    bool hit = is_builtin(has.get(), st.has_banned_def) ? has_banned_word(st, self, prompt)
                                                        : truth(call(has.get(), prompt).get());
    if (!hit) return Ref::borrow(prompt);
    Ref find = getattr(self, st.find_matched);
    Ref hit_words = is_builtin(find.get(), st.find_matched_def) ? find_matched_words(st, self, prompt)
                                                                : call(find.get(), prompt);
    Ref joined = check(PyUnicode_Join(st.comma, hit_words.get()));
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.error_msg, concat({st.ban_prefix, joined.get()}).get());
    dict_set(kwargs.get(), st.data, hit_words.get());
    Ref empty = tuple_of({});
    Ref error_type = global(st, st.ban_error_name);
    Ref error = call_kw(error_type.get(), empty.get(), kwargs.get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error();
}

// ---- constructor ---------------------------------------------------------------------------------

constexpr auto kInit = sig(
    "PromptBanChecker.__init__",
    "($self, ban_word_file=None, ignore_case=True, builtin_words=None, use_default=True, exclude_words=None)",
    "ban_word_file: a lexicon file (.pkl/.pickle: a pickled list; else one word a line), or None.\n"
    "ignore_case: match regardless of letter case.\n"
    "builtin_words: words added at run time (the list is kept, not copied).\n"
    "use_default: include the built-in lexicon.\n"
    "exclude_words: words removed from the merged lexicon (whole entries only).",
    Param{"ban_word_file", Kind::Str, NoneOk}, Param{"ignore_case", Kind::Truth, Optional},
    Param{"builtin_words", Kind::List, NoneOk}, Param{"use_default", Kind::Truth, Optional},
    Param{"exclude_words", Kind::List, NoneOk});

// `words or []`: the caller's non-empty list itself, else a new empty list.
Ref list_or_new(PyObject* words) {
    if (words && !is_none(words) && PyList_Size(words) > 0) return Ref::borrow(words);
    return new_list();
}

Ref init(State& st, PyObject* self, Args<5>& a) {
    setattr(self, st.ban_word_file, a.obj(0, Py_None));
    setattr(self, st.ignore_case, new_bool(a.truth(1, true)).get());
    setattr(self, st.builtin_words, list_or_new(a.obj(2)).get());
    setattr(self, st.use_default, new_bool(a.truth(3, true)).get());
    setattr(self, st.exclude_words, list_or_new(a.obj(4)).get());
    setattr(self, st.banned_words, new_list().get());
    setattr(self, st.ban_regex, Py_None);
    setattr(self, st.automaton, Py_None);
    Ref load = getattr(self, st.load_banned);
    if (is_builtin(load.get(), st.load_banned_def)) return load_banned_words(st, self);
    call(load.get());
    return none();
}

// ---- module ----------------------------------------------------------------------------------------

// `from .excode import PromptBanError`
Ref import_prompt_ban_error(PyObject* module) {
    Ref name = new_text("excode"), attr = new_text("PromptBanError");
    Ref fromlist = tuple_of({attr.get()});
    Ref excode = check(PyImport_ImportModuleLevelObject(name.get(), PyModule_GetDict(module), nullptr,
                                                        fromlist.get(), 1));
    Ref cls = Ref::steal_or_null(PyObject_GetAttr(excode.get(), attr.get()));
    if (!cls) {
        PyErr_Clear();
        Ref excode_name = getattr(excode.get(), "__name__");
        PyErr_Format(PyExc_ImportError, "cannot import name 'PromptBanError' from '%U'", excode_name.get());
        throw_error();
    }
    return cls;
}

// `try: import ahocorasick` - only ImportError means "not installed".
bool import_ahocorasick(PyObject* module) {
    Ref ac = Ref::steal_or_null(PyImport_ImportModule("ahocorasick"));
    if (!ac) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
        PyErr_Clear();
        return false;
    }
    add_object(module, "ahocorasick", ac.get());
    return true;
}

PyObject* make_unpickler_class(State& st, PyObject* pickle) {
    Ref base = getattr(pickle, "Unpickler");
    Ref modname = check(PyModule_GetNameObject(st.module));
    PyMethodDef* find_class_def = function_def<State, kFindClass, refuse_global>();
    Ref find_class = check(PyCFunction_NewEx(find_class_def, st.module, modname.get()));
    Ref ns = new_dict();
    dict_set(ns.get(), "__module__", modname.get());
    dict_set(ns.get(), "__qualname__", new_text("_RestrictedUnpickler").get());
    dict_set(ns.get(), "__doc__", new_text("An unpickler that refuses every global lookup.").get());
    dict_set(ns.get(), "find_class", find_class.get());  // a plain function: called as find_class(module, name)
    Ref name = new_text("_RestrictedUnpickler");
    Ref bases = tuple_of({base.get()});
    return st.keep(call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get()));
}

void intern_names(State& st) {
    for (auto [slot, text] : {
             std::pair{&st.ban_word_file, "ban_word_file"}, {&st.ignore_case, "ignore_case"},
             {&st.builtin_words, "builtin_words"}, {&st.use_default, "use_default"},
             {&st.exclude_words, "exclude_words"}, {&st.banned_words, "banned_words"}, {&st.ban_regex, "_ban_regex"},
             {&st.automaton, "_automaton"}, {&st.ac_threshold, "_AC_THRESHOLD"}, {&st.has_ac, "_HAS_AC"},
             {&st.ahocorasick, "ahocorasick"}, {&st.load_default, "_load_default_words"}, {&st.xor_name, "_xor"},
             {&st.load_banned, "load_banned_words"}, {&st.load_from_file, "_load_from_file"},
             {&st.build_engine, "_build_engine"}, {&st.build_automaton, "_build_automaton"},
             {&st.has_banned, "_has_banned_word"}, {&st.find_matched, "find_matched_words"}, {&st.strip, "strip"},
             {&st.lower, "lower"}, {&st.read_mode, "rb"}, {&st.write_mode, "wb"}, {&st.text_mode, "r"},
             {&st.encoding, "encoding"}, {&st.utf8_sig, "utf-8-sig"}, {&st.close, "close"}, {&st.load, "load"},
             {&st.path, "path"}, {&st.exists, "exists"}, {&st.splitext, "splitext"}, {&st.pkl, ".pkl"},
             {&st.pickle_ext, ".pickle"}, {&st.escape, "escape"}, {&st.compile, "compile"}, {&st.flags, "flags"},
             {&st.search, "search"}, {&st.findall, "findall"}, {&st.iter, "iter"}, {&st.add_word, "add_word"},
             {&st.make_automaton, "make_automaton"}, {&st.reduce, "__reduce__"}, {&st.kind, "kind"},
             {&st.Automaton, "Automaton"}, {&st.pattern_attr, "pattern"}, {&st.flags_attr, "flags"},
             {&st.os_name, "os"}, {&st.ek, "_EK"}, {&st.ed, "_ED"}, {&st.lexivault, "_lexivault"},
             {&st.error_msg, "error_msg"}, {&st.data, "data"}, {&st.comma, ","}, {&st.ban_error_name, "PromptBanError"}})
        *slot = st.name(text);
    st.ban_prefix = st.keep(new_text("违禁词: "));
    st.missing_file = st.keep(new_text("违禁词文件不存在: "));
    st.zero = st.keep(new_int(0));
}

void exec(PyObject* module, State& st) {
    intern_names(st);
    Ref os = import("os"), pickle = import("pickle"), re = import("re"), io = import("io");
    add_object(module, "os", os.get());
    add_object(module, "pickle", pickle.get());
    add_object(module, "re", re.get());
    add_object(module, "PromptBanError", import_prompt_ban_error(module).get());
    add_object(module, "_AC_THRESHOLD", new_int(50).get());
    bool has_ac = import_ahocorasick(module);
    add_object(module, "_HAS_AC", new_bool(has_ac).get());

    st.io_open = st.keep(getattr(io.get(), "open"));
    st.BytesIO = st.keep(getattr(io.get(), "BytesIO"));
    st.pickle_dump = st.keep(getattr(pickle.get(), "dump"));
    st.UnpicklingError = st.keep(getattr(pickle.get(), "UnpicklingError"));
    st.re_module = st.keep(re.copy());
    st.Pattern = st.keep(getattr(re.get(), "Pattern"));
    st.ignorecase = st.keep(check(PyNumber_Long(getattr(re.get(), "IGNORECASE").get())));
    st.Unpickler = make_unpickler_class(st, pickle.get());

    static PyMethodDef forget_def = {"_forget_engine", forget_callback, METH_O, nullptr};
    Ref capsule = check(PyCapsule_New(&st, "vantry.wordsift.state", nullptr));
    st.forget = st.keep(check(PyCFunction_NewEx(&forget_def, capsule.get(), nullptr)));

    st.xor_def = function_def<State, kXor, xor_entry>();
    st.default_words_def = function_def<State, kLoadDefault, load_default_entry>();
    add_function(module, st.xor_def);
    add_function(module, st.default_words_def);

    st.load_banned_def = method_def<State, kLoadBanned, load_banned_entry>();
    st.from_file_def = function_def<State, kLoadFromFile, load_from_file_entry>();
    st.build_engine_def = method_def<State, kBuildEngine, build_engine_entry>();
    st.build_automaton_def = method_def<State, kBuildAutomaton, build_automaton_entry>();
    st.find_matched_def = method_def<State, kFindMatched, find_matched_entry>();
    st.has_banned_def = method_def<State, kHasBanned, has_banned_entry>();
    ClassBuilder(st, "PromptBanChecker",
                 "Screen prompts against a lexicon of banned words.\n\n"
                 "The lexicon merges the built-in words, builtin_words and ban_word_file, drops\n"
                 "exclude_words and is matched longest word first; check() returns a clean prompt\n"
                 "unchanged and raises PromptBanError for one that holds banned words.")
        .create()
        .method(method_def<State, kInit, init>())
        .method(st.load_banned_def)
        .static_method(st.from_file_def)
        .method(st.build_engine_def)
        .method(st.build_automaton_def)
        .method(st.find_matched_def)
        .method(st.has_banned_def)
        .method(method_def<State, kCheck, check_prompt>())
        .static_method(function_def<State, kCreatePickle, create_pickle_file>())
        .finish();
}

}  // namespace

PyMODINIT_FUNC PyInit_wordsift() {
    return Module<State, exec>::init("vantry.wordsift", "Screen prompt text against a lexicon of banned words.");
}
