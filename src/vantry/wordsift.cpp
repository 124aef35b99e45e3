// vantry.wordsift: screen prompt text against a lexicon of banned words.
//
// PromptBanChecker merges the built-in lexicon (vantry._lexivault), words given
// at run time and a user file into one list, longest word first, and builds
// one of two engines from it: a compiled alternation pattern for small
// lexicons, or a pyahocorasick automaton from _AC_THRESHOLD words on. Both
// engines stay real objects on the instance (`_ban_regex`, `_automaton`).
//
// The first-hit test that `check` runs on every prompt is answered in C++ by
// a matcher built with the engine (wordsift_matcher.hpp), held by the checker
// itself next to that engine, and used only while the engine on the instance
// is still that very object, unchanged.
//
// With normalize=True or allow words, the checks go through a screen instead
// (wordsift_normalize.hpp): every occurrence of a normalised lexicon word
// outside the allowed words' occurrences, reported as lexicon entries.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "errors.hpp"
#include "pyglue.hpp"
#include "wordsift_batch.hpp"
#include "wordsift_matcher.hpp"
#include "wordsift_normalize.hpp"

using namespace pyglue;
using namespace wordsift;

namespace {

// ---- module state -------------------------------------------------------------------

struct State : StateBase {
    // imports
    PyObject *io_open, *BytesIO, *pickle_dump, *UnpicklingError, *re_module, *Pattern, *ignorecase;
    PyObject* Unpickler = nullptr;     // refuses every global lookup
    // pyahocorasick's own Automaton, whose iterators tell of changes (FastPath)
    PyObject* real_automaton_type = nullptr;
    PyObject* fast_path_type = nullptr;  // FastPathBox
    // names
    PyObject *ban_word_file, *ignore_case, *builtin_words, *use_default, *exclude_words, *banned_words;
    PyObject *ban_regex, *automaton, *ac_threshold, *has_ac, *ahocorasick, *load_default, *xor_name;
    PyObject *load_banned, *load_from_file, *build_engine, *build_automaton, *has_banned, *find_matched;
    PyObject *strip, *lower, *read_mode, *write_mode, *text_mode, *encoding, *utf8_sig, *close, *load, *path;
    PyObject *exists, *splitext, *pkl, *pickle_ext, *escape, *compile, *flags, *search, *findall, *iter;
    PyObject *add_word, *make_automaton, *Automaton, *pattern_attr, *flags_attr, *os_name;
    PyObject *ban_error_name, *ek, *ed, *lexivault, *error_msg, *data, *comma, *ban_prefix, *missing_file, *zero;
    PyObject *fast_path, *empty_text, *get, *keys, *read, *chunk_size, *bit_length;
    CaseTablesPtr tables;  // the interpreter's case rules, shared by every checker
    PyObject* str_lower = nullptr;
    AsciiTest str_isascii;
    // our own entry points, to call them directly when not overridden
    PyMethodDef *load_banned_def, *from_file_def, *build_engine_def, *build_automaton_def;
    PyMethodDef *has_banned_def, *find_matched_def, *default_words_def, *xor_def;
    PyObject *has_banned_descr = nullptr, *find_matched_descr = nullptr;  // their descriptors in the class
    // how many CPUs this process may use: os.process_cpu_count, else the
    // size of os.sched_getaffinity(0), else os.cpu_count
    PyObject* usable_cpus = nullptr;
    enum class CpuCount : uint8_t { Count, Affinity } cpu_count_kind = CpuCount::Count;
    // normalised screening
    PyObject *normalize_name, *allow_words_name, *builtin_allow_name, *screen_slot;
    PyObject* screen_type = nullptr;  // screen::ScreenBox
    screen::UnicodeHelpers unicode{};
    screen::ImageTablesPtr image_tables;  // filled on first use, shared by every checker
};

// A global of this module, read at each use as Python code would.
Ref global(State& st, PyObject* name) { return module_global(PyModule_GetDict(st.module), name); }

bool is_ascii_space(Py_UCS4 c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

// Code points that are surely not whitespace, so strip() would not change a
// text that begins and ends with them.
bool surely_not_space(Py_UCS4 c) {
    if (c < 0x80) return !is_ascii_space(c);
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x3040 && c <= 0x30FF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0x20000 && c <= 0x323AF);
}

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

// text.lower(); for an exact str through str.lower itself, without looking
// the method up on every word.
Ref lowered(State& st, PyObject* text) {
    if (PyUnicode_CheckExact(text)) return call(st.str_lower, text);
    return call_method(text, st.lower);
}

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
        WithoutGil unlocked;
        xor_into(dst, src, static_cast<size_t>(n), pad, static_cast<size_t>(k));
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

// The unpickler allocates what a pickle declares before it reads it: a memo
// array as long as the largest memo index, the buffer of a byte string or
// bytearray as long as its count. A scan of the opcodes first reads the
// pickle up to its STOP (in chunks, never by a declared size) and refuses one
// that declares more than it holds, so a pickle of n bytes costs memory in
// proportion to n whatever it says.
class PickleScan {
public:
    PickleScan(State& st, PyObject* stream) : st_(st), stream_(stream) {}

    // The pickle's bytes up to its STOP, or up to where it breaks off (the
    // unpickler then reports the fault as usual); refused with
    // UnpicklingError when a count or memo index exceeds what it holds.
    Ref bytes() {
        while (step()) {
        }
        end_ = std::max(end_, frame_end_);  // the unpickler reads a frame whole, also past a STOP in it
        if (memo_needed_ > std::max<uint64_t>(end_, kFreeMemo))
            refuse("memo index %llu in a pickle of %llu bytes", memo_needed_ - 1, end_);
        return new_bytes(data_.data(), static_cast<Py_ssize_t>(end_));
    }

private:
    enum class Arg : uint8_t { Bad, None, Fixed, Line, TwoLines, Counted };
    struct Op {
        Arg arg = Arg::Bad;
        uint8_t width = 0;     // Fixed: argument bytes; Counted: bytes of the count
        bool memo_put = false;  // the argument is a memo index that the op stores into
        bool frame = false;     // Counted, but the counted bytes are opcodes of their own
        bool signed_count = false;
    };

    static constexpr uint64_t kFreeMemo = 1024;  // memo indices below it cost 16 KiB at most

    static const std::array<Op, 256>& ops() {
        static const std::array<Op, 256> table = [] {
            std::array<Op, 256> t{};
            for (char c : std::string_view("(.012Nabd}elo]Rst)u\x81\x85\x86\x87\x88\x89\x8f\x90\x91\x92\x93\x94"
                                           "\x97\x98Q"))
                t[static_cast<uint8_t>(c)].arg = Arg::None;
            for (auto [c, width] : {std::pair{'h', 1}, {'K', 1}, {'\x80', 1}, {'\x82', 1}, {'M', 2}, {'\x83', 2},
                                    {'J', 4}, {'j', 4}, {'\x84', 4}, {'G', 8}})
                t[static_cast<uint8_t>(c)] = Op{Arg::Fixed, static_cast<uint8_t>(width)};
            t['q'] = Op{Arg::Fixed, 1, true};
            t['r'] = Op{Arg::Fixed, 4, true};
            for (char c : std::string_view("ILFgPSV")) t[static_cast<uint8_t>(c)].arg = Arg::Line;
            t['p'] = Op{Arg::Line, 0, true};
            t['c'].arg = t['i'].arg = Arg::TwoLines;
            for (auto [c, width] : {std::pair{'U', 1}, {'\x8c', 1}, {'C', 1}, {'\x8a', 1}, {'X', 4}, {'B', 4},
                                    {'\x8d', 8}, {'\x8e', 8}, {'\x96', 8}})
                t[static_cast<uint8_t>(c)] = Op{Arg::Counted, static_cast<uint8_t>(width)};
            t['T'] = t[0x8b] = Op{Arg::Counted, 4, false, false, true};
            t[0x95] = Op{Arg::Counted, 8, false, true};
            return t;
        }();
        return table;
    }

    // Whether `n` bytes from `pos_` are there, reading more as needed.
    bool have(size_t n) {
        while (data_.size() - pos_ < n) {
            if (at_eof_) return false;
            Ref chunk = call_method(stream_, st_.read, st_.chunk_size);
            char* buffer;
            Py_ssize_t size;
            if (PyBytes_AsStringAndSize(chunk.get(), &buffer, &size) < 0) throw_error();
            if (size == 0) at_eof_ = true;
            data_.append(buffer, static_cast<size_t>(size));
        }
        return true;
    }

    // The offset of the next line end from `pos_`, reading on; npos at the end.
    size_t line_end() {
        size_t from = pos_;
        for (;;) {
            size_t at = data_.find('\n', from);
            if (at != std::string::npos) return at;
            from = data_.size();
            if (!have(data_.size() - pos_ + 1)) return std::string::npos;
        }
    }

    uint64_t little_endian(size_t at, int width) const {
        uint64_t v = 0;
        for (int k = width - 1; k >= 0; --k) v = (v << 8) | static_cast<uint8_t>(data_[at + k]);
        return v;
    }

    static constexpr uint64_t kTooLarge = uint64_t{1} << 62;

    // A PUT argument as the unpickler reads it (int() of the line); one that
    // is not plain digits is taken as too large.
    static uint64_t decimal(std::string_view text) {
        while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
        if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string_view::npos)
            return kTooLarge;
        uint64_t v = 0;
        for (char c : text) v = v * 10 + static_cast<uint64_t>(c - '0');
        return v;
    }

    [[noreturn]] void refuse(const char* format, unsigned long long a, unsigned long long b) {
        Ref detail = check(PyUnicode_FromFormat(format, a, b));
        Ref head = new_text("pickle 文件数据越界: ");
        raise_object(st_.UnpicklingError, concat({head.get(), detail.get()}).get());
    }

    void put(uint64_t index) { memo_needed_ = std::max(memo_needed_, std::min(index, kTooLarge) + 1); }

    // One opcode; false at STOP or where the pickle breaks off.
    bool step() {
        if (!have(1)) return false;
        const Op& op = ops()[static_cast<uint8_t>(data_[pos_])];
        end_ = ++pos_;
        switch (op.arg) {
            case Arg::Bad: return false;
            case Arg::None:
                if (data_[pos_ - 1] == '.') return false;
                return true;
            case Arg::Fixed:
                if (!have(op.width)) return end_ = data_.size(), false;
                if (op.memo_put) put(little_endian(pos_, op.width));
                end_ = pos_ += op.width;
                return true;
            case Arg::Line:
            case Arg::TwoLines: {
                for (int line = op.arg == Arg::Line ? 1 : 2; line > 0; --line) {
                    size_t at = line_end();
                    if (at == std::string::npos) {
                        if (op.memo_put) put(kTooLarge);  // a line cut short: its value is not known
                        return end_ = data_.size(), false;
                    }
                    if (op.memo_put) put(decimal(std::string_view(data_).substr(pos_, at - pos_)));
                    end_ = pos_ = at + 1;
                }
                return true;
            }
            case Arg::Counted: {
                if (!have(op.width)) return end_ = data_.size(), false;
                uint64_t count = little_endian(pos_, op.width);
                if (op.signed_count && (count >> 31)) return end_ = pos_ + op.width, false;  // negative: refused there
                pos_ += op.width;
                if (!have(count)) refuse("%llu bytes declared, %llu left", count, data_.size() - pos_);
                if (op.frame)
                    frame_end_ = pos_ + count;
                else
                    pos_ += count;
                end_ = pos_;
                return true;
            }
        }
        return false;
    }

    State& st_;
    PyObject* stream_;
    std::string data_;
    size_t pos_ = 0, end_ = 0;  // end_: the end of the last opcode read whole
    size_t frame_end_ = 0;
    uint64_t memo_needed_ = 0;  // the largest memo index stored into, plus one
    bool at_eof_ = false;
};

// One object from `stream`, read by the restricted unpickler after the
// scan; `size`: the pickle's length in bytes.
Ref unpickle(State& st, PyObject* stream, size_t* size = nullptr) {
    Ref data = PickleScan(st, stream).bytes();
    if (size) *size = static_cast<size_t>(PyBytes_Size(data.get()));
    Ref checked = call(st.BytesIO, data.get());
    Ref unpickler = call(st.Unpickler, checked.get());
    return call_method(unpickler.get(), st.load);
}

// ---- built-in lexicon ----------------------------------------------------------------------

// `from ._lexivault import _EK, _ED`; null when the module is missing.
Ref import_vault(State& st) {
    Ref fromlist = tuple_of({st.ek, st.ed});
    Ref vault = Ref::steal_or_null(
        PyImport_ImportModuleLevelObject(st.lexivault, PyModule_GetDict(st.module), nullptr, fromlist.get(), 1));
    if (!vault) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
        PyErr_Clear();
    }
    return vault;
}

// A name of the data module; null when it has none.
Ref vault_name(PyObject* vault, PyObject* name) {
    Ref value = Ref::steal_or_null(PyObject_GetAttr(vault, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    return value;
}

// _ED deciphered with _EK and unpickled; an empty list for a value that is no list.
Ref decipher_default(State& st, PyObject* ek, PyObject* ed) {
    Ref xor_fn = global(st, st.xor_name);
    Ref raw;
    if (is_own_method(xor_fn.get(), st.xor_def, st.module)) {
        if (!PyBytes_CheckExact(ed)) raise_arg_type("data", "bytes", ed);
        if (!PyBytes_CheckExact(ek)) raise_arg_type("key", "bytes", ek);
        raw = xor_bytes(st, ed, ek);
    } else {
        raw = call(xor_fn.get(), ed, ek);
    }
    Ref stream = call(st.BytesIO, raw.get());
    Ref words = unpickle(st, stream.get());
    if (!PyList_Check(words.get())) return new_list();
    return words;
}

// Whether the pending error says that the data is broken: what deciphering
// and unpickling raise for wrong types and corrupt bytes. Running out of
// memory or stack, an interrupt or an error of the system is none of these.
bool is_broken_data_error(State& st) {
    for (PyObject* kind : {PyExc_TypeError, PyExc_ValueError, PyExc_ArithmeticError, PyExc_LookupError,
                           PyExc_EOFError, PyExc_AttributeError, st.UnpicklingError})
        if (PyErr_ExceptionMatches(kind)) return true;
    return false;
}

// The built-in source is empty when the data module is missing, lacks its
// names, or holds data that does not decipher and unpickle to a list; any
// other failure passes, so no checker silently goes without its default words.
Ref load_default_words(State& st) {
    Ref vault = import_vault(st);
    if (!vault) return new_list();
    Ref ek = vault_name(vault.get(), st.ek);
    Ref ed = ek ? vault_name(vault.get(), st.ed) : Ref();
    if (!ed) return new_list();
    try {
        return decipher_default(st, ek.get(), ed.get());
    } catch (const PyErrorSet&) {
        if (!is_broken_data_error(st)) throw;
        PyErr_Clear();
        return new_list();
    }
}

constexpr auto kLoadDefault = sig("_load_default_words", "($module)",
                                  "The built-in lexicon, deciphered; an empty list when the data module is missing or broken.");

Ref load_default_entry(State& st, Args<0>&) { return load_default_words(st); }

// ---- user files ------------------------------------------------------------------------------

Ref open_file(State& st, PyObject* path, PyObject* mode, PyObject* encoding = nullptr) {
    if (!encoding) return call(st.io_open, path, mode);
    Ref args = tuple_of({path, mode});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.encoding, encoding);
    return call_kw(st.io_open, args.get(), kwargs.get());
}

// Charges the length of repr() of the objects an unpickled word list can
// hold (texts, bytes, numbers and containers of them) against a budget,
// without building it: a container referred to many times (through the
// memo) is spelled out each time, so a pickle of a few hundred bytes can
// stand for a text of terabytes. Iterative, so no depth of nesting recurses.
class ReprBudget {
public:
    ReprBudget(size_t budget, PyObject* bit_length_name) : left_(budget), bit_length_(bit_length_name) {}

    // False once repr(obj) would exceed what is left.
    bool charge(PyObject* obj) {
        if (!open_or_charge(obj)) return false;
        while (!path_.empty()) {
            Frame& top = path_.back();
            if (top.next == top.size) {
                on_path_.erase(top.container.get());
                path_.pop_back();
                continue;
            }
            Ref item = check(PySequence_GetItem(top.items.get(), top.next++));
            if (!open_or_charge(item.get())) return false;
        }
        return true;
    }

private:
    struct Frame {
        Ref container, items;  // items: the container's elements (a dict's as pairs) as a sequence
        Py_ssize_t next, size;
    };

    bool spend(size_t n) {
        if (n > left_) return false;
        left_ -= n;
        return true;
    }

    size_t int_length(PyObject* n) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(n, &overflow);
        if (!overflow) return 20;
        Ref bits = call_method(n, bit_length_);
        return PyLong_AsSize_t(bits.get()) * 31 / 100 + 2;  // log10(2) < 0.31
    }

    bool open_or_charge(PyObject* obj) {
        if (PyUnicode_Check(obj)) return spend(2 + 10 * static_cast<size_t>(PyUnicode_GetLength(obj)));
        if (PyBytes_Check(obj)) return spend(3 + 4 * static_cast<size_t>(PyBytes_Size(obj)));
        if (PyByteArray_Check(obj)) return spend(14 + 4 * static_cast<size_t>(PyByteArray_Size(obj)));
        if (PyLong_Check(obj)) return spend(int_length(obj));
        bool is_dict = PyDict_Check(obj);
        if (!is_dict && !PyList_Check(obj) && !PyTuple_Check(obj) && !PyAnySet_Check(obj)) return spend(32);
        if (on_path_.count(obj)) return spend(12);  // repr writes [...] for a container inside itself
        Ref items = is_dict ? check(PyDict_Items(obj))
                    : PyAnySet_Check(obj) ? check(PySequence_List(obj)) : Ref::borrow(obj);
        Py_ssize_t size = PySequence_Size(items.get());
        if (size < 0) throw_error();
        if (!spend(13 + 4 * static_cast<size_t>(size))) return false;  // brackets, separators, a set's name
        on_path_.insert(obj);
        path_.push_back(Frame{Ref::borrow(obj), std::move(items), 0, size});
        return true;
    }

    size_t left_;
    PyObject* bit_length_;
    std::vector<Frame> path_;
    std::unordered_set<PyObject*> on_path_;
};

// str() of each unpickled element may take this much text, and 16 times
// the pickle's size more.
constexpr size_t kWordTextBudget = size_t{1} << 20;

Ref read_pickled_words(State& st, PyObject* path) {
    Ref file = open_file(st, path, st.read_mode);
    Closing guard(file.get(), st.close);
    size_t size = 0;
    Ref data = unpickle(st, file.get(), &size);
    guard.close();
    if (!PyList_Check(data.get())) {
        Ref head = new_text("pickle 文件内容必须是 list，当前类型: ");
        raise_object(PyExc_ValueError, concat({head.get(), type_name(data.get()).get()}).get());
    }
    ReprBudget budget(kWordTextBudget + 16 * size, st.bit_length);
    Ref words = new_list();
    for_each(data.get(), [&](PyObject* item) {
        if (!PyUnicode_CheckExact(item) && !budget.charge(item)) {
            Ref detail = check(PyUnicode_FromFormat("its words would take more than %zu characters",
                                                    kWordTextBudget + 16 * size));
            Ref head = new_text("pickle 文件数据越界: ");
            raise_object(st.UnpicklingError, concat({head.get(), detail.get()}).get());
        }
        list_append(words.get(), check(PyObject_Str(item)).get());
    });
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
    if (!is_own_method(fn.get(), def, st.module)) return call(fn.get(), arg);
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

// A new engine, not yet on the instance: the pattern or the automaton (or
// neither, for an empty lexicon) and the checker's fast path for it.
struct Engine {
    Ref regex, automaton, fast_path;
};

Engine make_engine(State& st, PyObject* self, PyObject* words);
void publish_engine(State& st, PyObject* self, Engine engine);
void build_engine(State& st, PyObject* self);
bool builds_its_own_engine(State& st, PyObject* self);

// Puts `banned` on the instance and runs `finish`; when that fails, the
// previous list is put back, so a failed reload leaves banned_words as it was.
template <class Finish>
void publish_banned_words(State& st, PyObject* self, PyObject* banned, Finish&& finish) {
    Ref previous = getattr(self, st.banned_words);
    setattr(self, st.banned_words, banned);
    if (auto err = catch_error([&] { finish(); })) {
        setattr(self, st.banned_words, previous.get());
        err->raise_again();
    }
}
void refresh_screen(State& st, PyObject* self);

Ref load_banned_words(State& st, PyObject* self) {
    Merge merge(st);
    if (truth(getattr(self, st.use_default).get())) {
        Ref fn = global(st, st.load_default);
        Ref words = is_own_method(fn.get(), st.default_words_def, st.module) ? load_default_words(st) : call(fn.get());
        merge.add(words.get());
    }
    merge.add(getattr(self, st.builtin_words).get());
    merge_file(st, self, merge);
    Ref banned = longest_first(without_excluded(st, self, std::move(merge.words)));
    if (builds_its_own_engine(st, self)) {  // the whole new state is built before any of it is published
        Engine engine = make_engine(st, self, banned.get());
        publish_banned_words(st, self, banned.get(), [&] {
            publish_engine(st, self, std::move(engine));
            refresh_screen(st, self);
        });
        return none();
    }
    Ref fn = getattr(self, st.build_engine);  // an override reads banned_words from the instance
    publish_banned_words(st, self, banned.get(), [&] {
        if (is_own_method(fn.get(), st.build_engine_def, self))
            build_engine(st, self);
        else
            call(fn.get());
        refresh_screen(st, self);
    });
    return none();
}

constexpr auto kLoadBanned = sig("PromptBanChecker.load_banned_words", "($self)",
                                 "Re-read every source, rebuild banned_words and the matching engine.");

Ref load_banned_entry(State& st, PyObject* self, Args<0>&) { return load_banned_words(st, self); }

// ---- engines -------------------------------------------------------------------------------------

std::vector<Ref> list_items(PyObject* iterable) {
    std::vector<Ref> items;
    for_each(iterable, [&](PyObject* item) { items.push_back(Ref::borrow(item)); });
    return items;
}

// The checker's FastPath slot: a box tying a matcher to `engine`, or None
// when the engine has none (not built here, or keys the matcher cannot
// take). Assigning it releases the previous box only after the slot holds
// the new one.
void set_fast_path(State& st, PyObject* self, Ref box) {
    setattr(self, st.fast_path, box ? box.get() : Py_None);
}

Ref new_fast_path(State& st, FastPath path) { return FastPathBox::make(st.fast_path_type, std::move(path)); }

// The list of the given references.
Ref list_of(const std::vector<Ref>& items) {
    Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items[i].copy().release());  // cannot fail
    return list;
}

// The path's matcher, built now if this is its first use; null when its
// keys cannot be matched this way. The keys are exact texts (the unchanged
// automaton's, or our own list's), so building calls none of the host's
// methods; but an allocation can run a collection and its finalizers, and
// another thread may meanwhile build the same matcher. The first one stored
// stays, so a matcher once handed out is never replaced while in use.
const Matcher* matcher_of(State& st, const FastPath& path) {
    if (!path.matcher && !path.unmatchable) {
        MatcherPtr built;
        if (path.automaton) {  // its keys as they are, the value of each read back at a find
            Ref keys = call_method(path.engine.get(), st.keys);
            built = build_matcher(list_items(keys.get()), Fold::Exact, *st.tables, true);
        } else {
            built = build_matcher(list_items(path.keys.get()), path.fold, *st.tables, false);
        }
        if (!path.matcher && !path.unmatchable) {
            path.matcher = std::move(built);
            path.unmatchable = !path.matcher;
        }
    }
    return path.matcher.get();
}

// pyahocorasick frees its trie recursively, one C stack frame (16 bytes in
// pyahocorasick 2.3) per code point of the longest key, in whichever thread
// drops the automaton: a key of 700,000 code points overflows an 8 MiB
// stack. Keys up to this length need at most 16 KiB of stack at 16 bytes a
// level (64 KiB at four times that), safe in any thread Python can start
// (threading.stack_size allows 32 KiB and up); a lexicon with a longer
// entry is matched by the pattern engine, whose parser and matcher do not
// recurse on word length.
constexpr Py_ssize_t kMaxAutomatonKey = 1024;

// The automaton's keys for `values` (lower-cased with ignore_case); false
// when one is longer than kMaxAutomatonKey.
bool automaton_keys(State& st, PyObject* self, const std::vector<Ref>& values, std::vector<Ref>& keys) {
    bool fold = truth(getattr(self, st.ignore_case).get());
    keys.reserve(values.size());
    for (const Ref& w : values) {
        keys.push_back(fold ? lowered(st, w.get()) : w.copy());
        Py_ssize_t length = PyObject_Length(keys.back().get());
        if (length < 0) throw_error();
        if (length > kMaxAutomatonKey) return false;
    }
    return true;
}

Ref automaton_of(State& st, const std::vector<Ref>& keys, const std::vector<Ref>& values) {
    Ref module = global(st, st.ahocorasick);
    Ref automaton_type = getattr(module.get(), st.Automaton);
    Ref automaton = call(automaton_type.get());
    Ref add_word = getattr(automaton.get(), st.add_word);  // looked up once, not once a word
    ArgsTuple args(2);
    for (size_t i = 0; i < keys.size(); ++i) args.call(add_word.get(), {keys[i].get(), values[i].get()});
    call_method(automaton.get(), st.make_automaton);
    return automaton;
}

Ref build_automaton(State& st, PyObject* self) {
    std::vector<Ref> values = list_items(getattr(self, st.banned_words).get()), keys;
    if (!automaton_keys(st, self, values, keys)) {
        PyErr_Format(PyExc_ValueError, "a lexicon entry longer than %zd code points cannot go into an automaton",
                     kMaxAutomatonKey);
        throw_error();
    }
    return automaton_of(st, keys, values);
}

constexpr auto kBuildAutomaton = sig("PromptBanChecker._build_automaton", "($self)",
                                     "A ready ahocorasick.Automaton of banned_words (keys lower-cased with ignore_case).");

Ref build_automaton_entry(State& st, PyObject* self, Args<0>&) { return build_automaton(st, self); }

// The fast path of an automaton just built: an exhausted probe iterator (see
// FastPath); the matcher comes from its keys at the first check. Only
// pyahocorasick's own automaton tells of changes through its iterators.
Ref automaton_fast_path(State& st, PyObject* automaton) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(automaton)) != st.real_automaton_type) return Ref();
    FastPath path;
    Ref probe = Ref::steal_or_null(PyObject_CallMethodObjArgs(automaton, st.iter, st.empty_text, nullptr));
    if (!probe || !PyIter_Check(probe.get()) || !probe_unchanged(probe.get())) {
        PyErr_Clear();  // an automaton without the iterator we rely on gets no fast path
        return Ref();
    }
    path.engine = Ref::borrow(automaton);
    path.probe = std::move(probe);
    path.automaton = true;
    return new_fast_path(st, std::move(path));
}

// The fast path of a pattern compiled from `pattern` over `words`: only
// when it really is a compiled pattern of that source with the expected
// case flag (re.compile may be patched).
Ref regex_fast_path(State& st, PyObject* regex, PyObject* pattern, const std::vector<Ref>& words, bool fold) {
    if (Py_TYPE(regex) != reinterpret_cast<PyTypeObject*>(st.Pattern)) return Ref();
    Ref source = getattr(regex, st.pattern_attr);
    Ref pattern_flags = getattr(regex, st.flags_attr);
    long bits = PyLong_AsLong(pattern_flags.get());
    if (bits == -1 && PyErr_Occurred()) throw_error();
    long ignore_bit = PyLong_AsLong(st.ignorecase);
    if (!equal(source.get(), pattern) || ((bits & ignore_bit) != 0) != fold) return Ref();
    FastPath path;
    path.fold = fold ? Fold::Pattern : Fold::Exact;
    path.keys = list_of(words);
    path.engine = Ref::borrow(regex);
    return new_fast_path(st, std::move(path));
}

// The alternation of the escaped words, in list order.
Engine build_regex(State& st, PyObject* self, const std::vector<Ref>& items) {
    bool fold = truth(getattr(self, st.ignore_case).get());
    Ref escape = getattr(st.re_module, st.escape);
    Ref escaped = new_list();
    for (const Ref& w : items) list_append(escaped.get(), call(escape.get(), w.get()).get());
    Ref bar = new_text("|");
    Ref pattern = check(PyUnicode_Join(bar.get(), escaped.get()));
    Ref args = tuple_of({pattern.get()});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.flags, fold ? st.ignorecase : st.zero);
    Engine engine;
    engine.regex = call_kw(getattr(st.re_module, st.compile).get(), args.get(), kwargs.get());
    engine.fast_path = regex_fast_path(st, engine.regex.get(), pattern.get(), items, fold);
    return engine;
}

// The engine for `words` as _build_engine chooses it; an automaton through
// the instance's _build_automaton.
Engine make_engine(State& st, PyObject* self, PyObject* words) {
    if (!truth(words)) return Engine{};
    Py_ssize_t size = PyObject_Size(words);
    if (size < 0) throw_error();
    Ref count = new_int(size);
    Ref threshold = global(st, st.ac_threshold);
    if (!check_bool(PyObject_RichCompareBool(count.get(), threshold.get(), Py_GE)) ||
        !truth(global(st, st.has_ac).get()))
        return build_regex(st, self, list_items(words));
    Ref fn = getattr(self, st.build_automaton);
    Engine engine;
    if (!is_own_method(fn.get(), st.build_automaton_def, self)) {
        engine.automaton = call(fn.get());
        return engine;
    }
    std::vector<Ref> items = list_items(words), keys;
    if (!automaton_keys(st, self, items, keys)) return build_regex(st, self, items);
    engine.automaton = automaton_of(st, keys, items);
    engine.fast_path = automaton_fast_path(st, engine.automaton.get());
    return engine;
}

// Whether load_banned_words may build the engine aside: _build_engine and
// _build_automaton are our own, which read banned_words only as given.
bool builds_its_own_engine(State& st, PyObject* self) {
    Ref engine = getattr(self, st.build_engine);
    if (!is_own_method(engine.get(), st.build_engine_def, self)) return false;
    Ref automaton = getattr(self, st.build_automaton);
    return is_own_method(automaton.get(), st.build_automaton_def, self);
}

// A new engine is assigned before the other attribute is cleared, so a check
// running meanwhile in another thread always finds one of them.
void publish_engine(State& st, PyObject* self, Engine engine) {
    if (engine.automaton) {
        setattr(self, st.automaton, engine.automaton.get());
        setattr(self, st.ban_regex, Py_None);
    } else {
        setattr(self, st.ban_regex, engine.regex ? engine.regex.get() : Py_None);
        setattr(self, st.automaton, Py_None);
    }
    set_fast_path(st, self, std::move(engine.fast_path));
}

void build_engine(State& st, PyObject* self) {
    Ref words = getattr(self, st.banned_words);
    publish_engine(st, self, make_engine(st, self, words.get()));
}

constexpr auto kBuildEngine = sig("PromptBanChecker._build_engine", "($self)",
                                  "Build the pattern or, from _AC_THRESHOLD words with pyahocorasick, the automaton.");

Ref build_engine_entry(State& st, PyObject* self, Args<0>&) {
    build_engine(st, self);
    return none();
}

// ---- normalised screening ------------------------------------------------------------------------

// Whether the checker screens (normalize=True or allow words) instead of
// asking its engine; read at each build, like the lexicon.
bool screening_wanted(State& st, PyObject* self) {
    return truth(getattr(self, st.normalize_name).get()) || truth(getattr(self, st.allow_words_name).get());
}

// The units of `text` as the screen compares them.
std::vector<uint32_t> screen_units(State& st, screen::Mode mode, PyObject* text) {
    std::vector<uint32_t> out;
    if (mode == screen::Mode::Normalize) {
        CodePoints cps(text);
        return screen::Normalised(*st.image_tables, cps.data(), cps.size()).copy();
    }
    Ref search = mode == screen::Mode::Lower ? lowered(st, text) : Ref::borrow(text);
    if (!PyUnicode_Check(search.get())) raise_arg_type("text", "str", search.get());
    CodePoints cps(search.get());
    out.assign(cps.data(), cps.data() + cps.size());
    return out;
}

// Keys in the order given, with what each stands for.
struct Keys {
    std::vector<std::vector<uint32_t>> units;
    std::vector<uint32_t> index;  // of the word each key came from

    void add(std::vector<uint32_t> key, size_t from) {
        if (key.empty()) return;  // a word of separators only never matches
        units.push_back(std::move(key));
        index.push_back(static_cast<uint32_t>(from));
    }
};

void add_allowed(State& st, screen::Mode mode, PyObject* words, Keys& allowed) {
    if (is_none(words)) return;
    for (Ref& item : list_items(words)) {
        Ref word = stripped(st, item.get());
        if (!PyUnicode_Check(word.get())) raise_arg_type("allow_words", "str", word.get());
        allowed.add(screen_units(st, mode, word.get()), 0);
    }
}

// A new screen of the checker's lexicon and allowed words.
Ref build_screen(State& st, PyObject* self) {
    screen::Screen sc;
    bool normalize = truth(getattr(self, st.normalize_name).get());
    sc.mode = normalize ? screen::Mode::Normalize
                        : (truth(getattr(self, st.ignore_case).get()) ? screen::Mode::Lower : screen::Mode::Exact);
    sc.entries = check(PySequence_List(getattr(self, st.banned_words).get()));
    Keys banned;
    for (Py_ssize_t i = 0; i < PyList_Size(sc.entries.get()); ++i) {
        PyObject* entry = PyList_GetItem(sc.entries.get(), i);
        if (!PyUnicode_Check(entry)) raise_arg_type("banned_words", "str", entry);
        banned.add(screen_units(st, sc.mode, entry), static_cast<size_t>(i));
    }
    Keys allowed;
    add_allowed(st, sc.mode, getattr(self, st.allow_words_name).get(), allowed);
    if (normalize) add_allowed(st, sc.mode, getattr(self, st.builtin_allow_name).get(), allowed);
    sc.banned_keys = std::move(banned.units);
    sc.banned_index = std::move(banned.index);
    sc.allowed_keys = std::move(allowed.units);
    return screen::ScreenBox::make(st.screen_type, std::move(sc));
}

// After a build: the checker's screen, or None when it does not screen.
void refresh_screen(State& st, PyObject* self) {
    Ref box = screening_wanted(st, self) ? build_screen(st, self) : none();
    setattr(self, st.screen_slot, box.get());
}

// The checker's screen, or an empty Ref when it does not screen. A checker
// made by pickle or copy has none yet: it is built from its attributes now.
Ref screen_of(State& st, PyObject* self) {
    Ref box = Ref::steal_or_null(PyObject_GetAttr(self, st.screen_slot));
    if (!box) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        refresh_screen(st, self);
        box = getattr(self, st.screen_slot);
    }
    return screen::ScreenBox::get(box.get(), st.screen_type) ? std::move(box) : Ref();
}

// Whether a key of the plain matcher occurs in the normalised form of the
// code points, normalised straight into the byte scan's buffer (the image
// tables filled as needed).
bool plain_first_hit(State& st, const Matcher& matcher, const CodePoints& cps) {
    for (;;) {
        Matcher::ExactFeed feed(matcher);
        screen::Outcome outcome = screen::normalise(*st.image_tables, cps.data(), cps.size(), feed);
        if (outcome == screen::Outcome::Stopped) return true;
        if (outcome == screen::Outcome::Done) return feed.finish();
        st.image_tables->prepare(cps.data(), cps.size());  // the feed always has room
    }
}

// Whether a banned key occurs in an ASCII text read in place, normalised
// into bytes in one pass and given to the plain byte scan; false in
// `decided` when the text is not one for it.
bool ascii_screen_any(State& st, const screen::Screen& sc, PyObject* text, bool& decided) {
    decided = false;
    const uint8_t* classes = st.image_tables->ascii_classes();
    size_t n = 0;
    const uint8_t* ascii = classes ? ascii_in_place(text, Fold::Exact, *st.tables, st.str_isascii, n) : nullptr;
    if (!ascii) return false;
    uint8_t small[1024];
    std::unique_ptr<uint8_t[]> heap;
    uint8_t* out = n <= sizeof small ? small : (heap.reset(new uint8_t[n]), heap.get());
    size_t units = 0;
    if (!screen::normalise_ascii(classes, st.image_tables->ascii_alnum_words(), ascii, n, out, units)) return false;
    decided = true;
    return sc.plain().scan_ascii(out, units, false) == Matcher::Result::Hit;
}

// Whether a banned key occurs at all, allowed or not.
bool screen_any(State& st, const screen::Screen& sc, PyObject* text) {
    if (sc.mode == screen::Mode::Normalize) {  // normalised, then the plain byte scan
        bool decided = false;
        bool hit = ascii_screen_any(st, sc, text, decided);
        if (decided) return hit;
        return plain_first_hit(st, sc.plain(), CodePoints(text));
    }
    std::vector<uint32_t> units = screen_units(st, sc.mode, text);
    return sc.banned().any(units.data(), units.size());
}

bool screen_has(State& st, const screen::Screen& sc, PyObject* text) {
    if (!sc.bans() || !screen_any(st, sc, text)) return false;
    return !sc.allowed() || !sc.unmasked(screen_units(st, sc.mode, text), true).empty();
}

// ---- checks ------------------------------------------------------------------------------------

// The checker's fast path, when it was built for this very `engine`, the
// engine is unchanged and its keys can be matched; else an empty Ref. The
// box returned keeps `path` alive, also while the GIL is released.
Ref fast_path_for(State& st, PyObject* self, PyObject* engine, const FastPath*& path, const Matcher*& matcher) {
    Ref box = Ref::steal_or_null(PyObject_GetAttr(self, st.fast_path));
    if (!box) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();  // an instance whose __init__ never ran
        return Ref();
    }
    path = FastPathBox::get(box.get(), st.fast_path_type);
    if (!path || path->engine.get() != engine) return Ref();
    if (path->probe && !probe_unchanged(path->probe.get())) return Ref();
    matcher = matcher_of(st, *path);
    return matcher ? std::move(box) : Ref();
}

// Runs op(code points) -> Result over `text`; when it needs case tables that
// are not filled yet, fills them (the GIL held) and runs it again.
template <class Op>
Matcher::Result with_tables(State& st, PyObject* text, Fold fold, Op&& op) {
    CodePoints cps(text);
    Matcher::Result result = op(cps);
    if (result != Matcher::Result::NeedTables) return result;
    st.tables->prepare(fold, cps.data(), cps.size());
    return op(cps);
}

// Whether a key occurs in `text`.
Matcher::Result scan(State& st, const Matcher& matcher, PyObject* text, Fold fold) {
    return first_hit(matcher, text, fold, st.tables, st.str_isascii);
}

// run(search text, fold) over what an automaton searches: text.lower() when
// `ignore_case`, folded on the fly. Where folding one code point at a time
// cannot decide (a capital sigma among keys with σ or ς), the host
// lower-cases the text and the run is repeated on it exactly.
template <class Run>
Matcher::Result over_search_text(State& st, PyObject* text, bool ignore_case, Run&& run) {
    Matcher::Result result = run(text, ignore_case ? Fold::Lower : Fold::Exact);
    if (result != Matcher::Result::Unknown) return result;
    Ref low = lowered(st, text);
    return run(low.get(), Fold::Exact);
}

// The matcher's answer for `text`, or Unknown when it cannot stand in for
// `engine`. `ignore_case`: the automaton searches text.lower().
Matcher::Result fast_scan(State& st, PyObject* self, PyObject* engine, PyObject* text, bool automaton,
                          bool ignore_case) {
    const FastPath* path = nullptr;
    const Matcher* matcher = nullptr;
    Ref box = fast_path_for(st, self, engine, path, matcher);
    if (!box || path->automaton != automaton) return Matcher::Result::Unknown;
    if (!automaton) return scan(st, *matcher, text, path->fold);
    return over_search_text(st, text, ignore_case,
                            [&](PyObject* search, Fold fold) { return scan(st, *matcher, search, fold); });
}

// A list without repeats, in the order first seen.
struct FirstSeen {
    Ref seen = check(PySet_New(nullptr));
    Ref list = new_list();

    void add(PyObject* item) {
        if (check_bool(PySet_Contains(seen.get(), item))) return;
        check(PySet_Add(seen.get(), item));
        list_append(list.get(), item);
    }
};

// find_matched_words through the automaton's fast path: the automaton's
// current value of each key found, as its iter would yield them. Empty Ref
// when the fast path cannot answer.
Ref fast_automaton_hits(State& st, PyObject* self, PyObject* automaton, PyObject* text, bool ignore_case) {
    const FastPath* path = nullptr;
    const Matcher* matcher = nullptr;
    Ref box = fast_path_for(st, self, automaton, path, matcher);
    if (!box || !path->automaton) return Ref();
    std::vector<uint32_t> ids;
    Matcher::Result result = over_search_text(st, text, ignore_case, [&](PyObject* search, Fold fold) {
        ids.clear();
        return all_occurrences(*matcher, search, fold, *st.tables, st.str_isascii, ids);
    });
    if (result != Matcher::Result::Clean) return Ref();
    FirstSeen hits;
    for (uint32_t id : ids) {
        Ref key = matcher->key_text(id);
        hits.add(call_method(automaton, st.get, key.get()).get());
    }
    return std::move(hits.list);
}

// find_matched_words through the pattern's fast path: the substrings of the
// text that findall would give. Empty Ref when the fast path cannot answer.
Ref fast_pattern_hits(State& st, PyObject* self, PyObject* regex, PyObject* text) {
    const FastPath* path = nullptr;
    const Matcher* matcher = nullptr;
    Ref box = fast_path_for(st, self, regex, path, matcher);
    if (!box || path->automaton) return Ref();
    std::vector<std::pair<size_t, size_t>> found;
    Matcher::Result result = with_tables(st, text, path->fold, [&](const CodePoints& cps) {
        found.clear();
        return matcher->leftmost_matches(cps.data(), cps.size(), path->fold, *st.tables, found);
    });
    if (result != Matcher::Result::Clean) return Ref();
    FirstSeen hits;
    for (auto [start, length] : found) {
        Ref word = check(PyUnicode_Substring(text, static_cast<Py_ssize_t>(start),
                                             static_cast<Py_ssize_t>(start + length)));
        hits.add(word.get());
    }
    return std::move(hits.list);
}

// The entries whose keys occur unmasked, in the order first found.
Ref screen_find(State& st, const screen::Screen& sc, PyObject* text) {
    FirstSeen hits;
    if (!sc.bans()) return std::move(hits.list);
    std::vector<uint32_t> units = screen_units(st, sc.mode, text);
    for (uint32_t id : sc.unmasked(units, false))
        for (uint32_t index : sc.entries_of(id)) hits.add(PyList_GetItem(sc.entries.get(), index));
    return std::move(hits.list);
}

Ref first_item(PyObject* iterable) {
    Ref it = check(PyObject_GetIter(iterable));
    Ref item = Ref::steal_or_null(PyIter_Next(it.get()));
    if (!item && PyErr_Occurred()) throw_error();
    return item;
}

bool has_banned_word(State& st, PyObject* self, PyObject* text) {
    if (Ref box = screen_of(st, self)) return screen_has(st, *screen::ScreenBox::get(box.get(), st.screen_type), text);
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

// The hit words without repeats, in the order first found.
Ref find_matched_words(State& st, PyObject* self, PyObject* text) {
    if (Ref box = screen_of(st, self)) return screen_find(st, *screen::ScreenBox::get(box.get(), st.screen_type), text);
    Ref automaton = getattr(self, st.automaton);
    if (truth(automaton.get())) {
        bool fold = truth(getattr(self, st.ignore_case).get());
        if (Ref fast = fast_automaton_hits(st, self, automaton.get(), text, fold)) return fast;
        Ref search = fold ? lowered(st, text) : Ref::borrow(text);
        Ref matches = call_method(automaton.get(), st.iter, search.get());
        FirstSeen hits;
        for_each(matches.get(), [&](PyObject* pair) { hits.add(check(PySequence_GetItem(pair, 1)).get()); });
        return std::move(hits.list);
    }
    Ref regex = getattr(self, st.ban_regex);
    if (!truth(regex.get())) return new_list();
    if (Ref fast = fast_pattern_hits(st, self, regex.get(), text)) return fast;
    Ref found = call_method(regex.get(), st.findall, text);
    FirstSeen hits;
    for_each(found.get(), [&](PyObject* word) { hits.add(word); });
    return std::move(hits.list);
}

constexpr auto kFindMatched = sig("PromptBanChecker.find_matched_words", "($self, text)",
                                  "The lexicon words found in text, each once, in the order first found.",
                                  Param{"text", Kind::Str, Required});

Ref find_matched_entry(State& st, PyObject* self, Args<1>& a) { return find_matched_words(st, self, a.obj(0)); }

// self._has_banned_word(prompt), through the C++ entry unless overridden.
bool has_banned_through_own(State& st, PyObject* self, PyObject* prompt) {
    if (binds_method(self, st.has_banned, st.has_banned_descr)) return has_banned_word(st, self, prompt);
    Ref has = getattr(self, st.has_banned);
    return is_own_method(has.get(), st.has_banned_def, self) ? has_banned_word(st, self, prompt)
                                                             : truth(call(has.get(), prompt).get());
}

// self.find_matched_words(prompt), likewise.
Ref find_matched_through_own(State& st, PyObject* self, PyObject* prompt) {
    if (binds_method(self, st.find_matched, st.find_matched_descr)) return find_matched_words(st, self, prompt);
    Ref find = getattr(self, st.find_matched);
    return is_own_method(find.get(), st.find_matched_def, self) ? find_matched_words(st, self, prompt)
                                                                : call(find.get(), prompt);
}

constexpr auto kCheck = sig("PromptBanChecker.check", "($self, prompt)",
                            "Return prompt itself when it holds no banned word, else raise PromptBanError.",
                            Param{"prompt", Kind::Str, Required});

Ref check_prompt(State& st, PyObject* self, Args<1>& a) {
    PyObject* prompt = a.obj(0);
    if (!has_banned_through_own(st, self, prompt)) return Ref::borrow(prompt);
    Ref hit_words = find_matched_through_own(st, self, prompt);
    Ref joined = check(PyUnicode_Join(st.comma, hit_words.get()));
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.error_msg, concat({st.ban_prefix, joined.get()}).get());
    dict_set(kwargs.get(), st.data, hit_words.get());
    Ref empty = tuple_of({});
    Ref error_type = global(st, st.ban_error_name);
    Ref error = call_kw(error_type.get(), empty.get(), kwargs.get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return Ref();  // the error is set: an expected outcome, not worth a C++ exception's unwinding
}

// ---- many prompts ----------------------------------------------------------------------------

constexpr auto kCheckMany = sig(
    "PromptBanChecker.check_many", "($self, prompts, threads=None)",
    "[self._has_banned_word(p) for p in prompts], the prompts scanned without the GIL across threads.\n\n"
    "prompts: a list, tuple or other sequence of str (not a str or bytes itself).\n"
    "threads: how many threads scan at most; None for the CPUs this process may use.",
    Param{"prompts", Kind::Any, Required}, Param{"threads", Kind::Int, NoneOk});

// The prompts as a tuple, taken once, so host code run by a check cannot
// change what is iterated.
Ref prompt_snapshot(PyObject* prompts) {
    if (PyUnicode_Check(prompts) || PyBytes_Check(prompts) || PyByteArray_Check(prompts) ||
        !PySequence_Check(prompts)) {
        Ref name = type_name(prompts);
        PyErr_Format(PyExc_TypeError, "check_many() expects a sequence of str such as a list, not %.200s",
                     utf8(name.get()).data());
        throw_error();
    }
    return check(PySequence_Tuple(prompts));
}

size_t usable_cpus(State& st) {
    if (!st.usable_cpus) return 1;
    if (st.cpu_count_kind == State::CpuCount::Affinity) {
        Ref r = call(st.usable_cpus, st.zero);
        Py_ssize_t n = PyObject_Length(r.get());
        if (n < 0) throw_error();
        return std::max<size_t>(1, static_cast<size_t>(n));
    }
    Ref r = call(st.usable_cpus);
    if (is_none(r.get())) return 1;  // unknown
    Py_ssize_t n = PyLong_AsSsize_t(r.get());
    if (n == -1 && PyErr_Occurred()) throw_error();
    return std::max<size_t>(1, static_cast<size_t>(n));
}

// More threads than this are never started, whatever is asked.
constexpr size_t kMaxThreads = 256;

size_t thread_count(State& st, PyObject* threads) {
    if (!threads || is_none(threads)) return std::min(usable_cpus(st), kMaxThreads);
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(threads, &overflow);
    if (n == -1 && PyErr_Occurred()) throw_error();
    if (overflow > 0) return kMaxThreads;
    if (overflow < 0 || n < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1 (or None), not %S", threads);
        throw_error();
    }
    return std::min(static_cast<size_t>(n), kMaxThreads);
}

// _has_banned_word's answer for one prompt, its argument check included.
bool exact_verdict(State& st, PyObject* self, PyObject* prompt) {
    if (!PyUnicode_CheckExact(prompt)) raise_arg_type("text", "str", prompt);
    return has_banned_word(st, self, prompt);
}

// What answers the first-hit test for the checker's engine as it is now:
// its matcher (kept alive by `box`), or nothing when each prompt takes the
// exact way (a screen, no engine, a replaced or changed one, keys the
// matcher cannot take).
struct BatchEngine {
    Ref box;
    const Matcher* matcher = nullptr;
    Fold fold = Fold::Exact;
};

BatchEngine batch_engine(State& st, PyObject* self) {
    BatchEngine e;
    if (screen_of(st, self)) return e;
    const FastPath* path = nullptr;
    Ref automaton = getattr(self, st.automaton);
    if (truth(automaton.get())) {
        bool fold = truth(getattr(self, st.ignore_case).get());
        e.box = fast_path_for(st, self, automaton.get(), path, e.matcher);
        if (e.box && !path->automaton) e.box = Ref();
        e.fold = fold ? Fold::Lower : Fold::Exact;
        return e;
    }
    Ref regex = getattr(self, st.ban_regex);
    if (!truth(regex.get())) return e;
    e.box = fast_path_for(st, self, regex.get(), path, e.matcher);
    if (e.box && path->automaton) e.box = Ref();
    if (e.box) e.fold = path->fold;
    return e;
}

// Answers many prompts a block at a time. Each block is converted with the
// GIL held, scanned without it, and the prompts the matcher leaves open
// (NeedTables, Unknown) are answered the exact way afterwards, in order. On
// several threads the next block is converted while the workers scan this
// one, on the guess that the engine stays as it is; the guess is checked
// before that block is scanned. A prompt that is not a str raises, once the
// prompts before it are answered.
class BatchRun {
public:
    BatchRun(State& st, PyObject* self, PyObject* prompts, PyObject* out, size_t threads)
        : st_(st), self_(self), prompts_(prompts), out_(out), threads_(threads),
          n_(static_cast<size_t>(PyTuple_Size(prompts))) {}

    void answer_all() {
        for (size_t i = 0; i < n_;) {
            BatchEngine engine = batch_engine(st_, self_);
            i = engine.box ? scan_block_from(i, engine) : answer_exactly_from(i);
        }
    }

private:
    PyObject* item(size_t i) const { return PyTuple_GetItem(prompts_, static_cast<Py_ssize_t>(i)); }
    void answer(size_t i, bool hit) {
        PyList_SetItem(out_, static_cast<Py_ssize_t>(i), new_bool(hit).release());  // cannot fail
    }

    size_t answer_exactly_from(size_t first) {
        ahead_first_ = kNone;
        size_t last = std::min(n_, first + PromptBlock::kMaxPrompts);
        for (size_t i = first; i < last; ++i) answer(i, exact_verdict(st_, self_, item(i)));
        return last;
    }

    // Prompts from `first` on into `block` for a scan under `fold`, until it is
    // full or one is not an exact str; the index after the last one taken.
    size_t convert(size_t first, Fold fold, const CaseTables& tables, PromptBlock& block) {
        block.clear(fold, limit_);
        limit_ = std::min(2 * limit_, PromptBlock::kMaxCodePoints);
        size_t last = first;
        for (; last < n_ && !block.full() && PyUnicode_CheckExact(item(last)); ++last)
            block.add(item(last), tables, st_.str_isascii);
        return last;
    }

    // Scans and answers the block of prompts from `first` on; the index after it.
    size_t scan_block_from(size_t first, const BatchEngine& engine) {
        CaseTablesPtr tables = st_.tables;  // kept alive while the GIL is released
        PromptBlock& block = blocks_[0];
        size_t last;
        if (ahead_first_ == first && blocks_[1].fold() == engine.fold) {
            std::swap(blocks_[0], blocks_[1]);
            last = ahead_last_;
        } else {
            last = convert(first, engine.fold, *tables, block);
        }
        ahead_first_ = kNone;
        if (last == first) raise_arg_type("text", "str", item(first));  // the block stopped at it
        results_.assign(block.size(), Matcher::Result::Clean);
        if (block.code_points() < static_cast<size_t>(kReleaseGilBytes)) {
            scan_prompts(*engine.matcher, engine.fold, *tables, block, 0, block.size(), results_.data());
        } else {
            ScanPool& pool = pool_for(block);
            pool.start(*engine.matcher, engine.fold, *tables, block, results_.data());
            if (last < n_) {  // the next block, converted meanwhile
                ahead_last_ = convert(last, engine.fold, *tables, blocks_[1]);
                ahead_first_ = last;
            }
            WithoutGil unlocked;
            pool.finish();
        }
        // Tables the scan found unfilled are filled here, the GIL held, and the prompt scanned again.
        for (size_t i = 0; i < block.size(); ++i) {
            if (results_[i] != Matcher::Result::NeedTables) continue;  // never an ASCII prompt read in place
            tables->prepare(engine.fold, block.prompt(i), block.length(i));
            results_[i] = engine.matcher->scan(block.prompt(i), block.length(i), engine.fold, *tables);
        }
        for (size_t i = first; i < last; ++i) {
            Matcher::Result r = results_[i - first];
            answer(i, r == Matcher::Result::Hit ? true
                      : r == Matcher::Result::Clean ? false
                                                    : exact_verdict(st_, self_, item(i)));
        }
        return last;
    }

    // The pool, started on first use with as many workers as the first
    // big block gives work for (none when one thread is asked).
    ScanPool& pool_for(const PromptBlock& block) {
        if (!pool_) {
            size_t useful = std::max<size_t>(1, block.code_points() / kMinCodePointsPerThread);
            pool_ = std::make_unique<ScanPool>(std::min(threads_, useful) - 1);
        }
        return *pool_;
    }

    static constexpr size_t kNone = ~size_t{0};

    State& st_;
    PyObject* self_;
    PyObject* prompts_;
    PyObject* out_;
    const size_t threads_, n_;
    PromptBlock blocks_[2];  // the block being scanned, and the one converted ahead
    size_t ahead_first_ = kNone, ahead_last_ = 0;  // blocks_[1] holds prompts [ahead_first_, ahead_last_)
    size_t limit_ = PromptBlock::kFirstCodePoints;  // of the next block converted
    std::vector<Matcher::Result> results_;
    std::unique_ptr<ScanPool> pool_;  // last: its workers are joined before the blocks and results go
};

Ref check_many(State& st, PyObject* self, Args<2>& a) {
    Ref prompts = prompt_snapshot(a.obj(0));
    size_t threads = thread_count(st, a.obj(1));
    size_t n = static_cast<size_t>(PyTuple_Size(prompts.get()));
    Ref out = new_list(static_cast<Py_ssize_t>(n));
    Ref has = getattr(self, st.has_banned);
    if (!is_own_method(has.get(), st.has_banned_def, self)) {  // overridden: called for each prompt, in order
        for (size_t i = 0; i < n; ++i) {
            bool hit = truth(call(has.get(), PyTuple_GetItem(prompts.get(), static_cast<Py_ssize_t>(i))).get());
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), new_bool(hit).release());
        }
        return out;
    }
    BatchRun(st, self, prompts.get(), out.get(), threads).answer_all();
    return out;
}

// ---- constructor ---------------------------------------------------------------------------------

constexpr auto kInit = sig(
    "PromptBanChecker.__init__",
    "($self, ban_word_file=None, ignore_case=True, builtin_words=None, use_default=True, exclude_words=None, *, "
    "normalize=False, allow_words=None)",
    "ban_word_file: a lexicon file (.pkl/.pickle: a pickled list; else one word a line), or None.\n"
    "ignore_case: match regardless of letter case.\n"
    "builtin_words: words added at run time (the list is kept, not copied).\n"
    "use_default: include the built-in lexicon.\n"
    "exclude_words: words removed from the merged lexicon (whole entries only).\n"
    "normalize: match normalised forms (compatibility forms, case, marks, invisible characters,\n"
    "look-alike letters, traditional characters, separators inside words); see the README.\n"
    "allow_words: words inside which a banned word is not reported (the list is kept).",
    Param{"ban_word_file", Kind::Str, NoneOk}, Param{"ignore_case", Kind::Truth, Optional},
    Param{"builtin_words", Kind::List, NoneOk}, Param{"use_default", Kind::Truth, Optional},
    Param{"exclude_words", Kind::List, NoneOk}, Param{"normalize", Kind::Truth, Optional | KwOnly},
    Param{"allow_words", Kind::List, NoneOk | KwOnly});

// `words or []`: the caller's non-empty list itself, else a new empty list.
Ref list_or_new(PyObject* words) {
    if (words && !is_none(words) && PyList_Size(words) > 0) return Ref::borrow(words);
    return new_list();
}

Ref init(State& st, PyObject* self, Args<7>& a) {
    setattr(self, st.ban_word_file, a.obj(0, Py_None));
    setattr(self, st.ignore_case, new_bool(a.truth(1, true)).get());
    setattr(self, st.builtin_words, list_or_new(a.obj(2)).get());
    setattr(self, st.use_default, new_bool(a.truth(3, true)).get());
    setattr(self, st.exclude_words, list_or_new(a.obj(4)).get());
    // Stored only when given, so a default checker's attributes (and pickle)
    // are what they always were; the class holds the defaults.
    if (a.truth(5, false)) setattr(self, st.normalize_name, Py_True);
    PyObject* allow = a.obj(6);
    if (allow && !is_none(allow) && PyList_Size(allow) > 0) setattr(self, st.allow_words_name, allow);
    setattr(self, st.banned_words, new_list().get());
    setattr(self, st.ban_regex, Py_None);
    setattr(self, st.automaton, Py_None);
    Ref load = getattr(self, st.load_banned);
    if (is_own_method(load.get(), st.load_banned_def, self)) return load_banned_words(st, self);
    call(load.get());
    return none();
}

// Instances keep a __dict__ of plain attributes and weak-referenceability;
// the private slot holds the checker's FastPath, out of vars(checker).
Ref slots() {
    Ref dict = new_text("__dict__"), weakref = new_text("__weakref__"), fast_path = new_text("__fast_path");
    Ref screen_slot = new_text("__screen");
    return tuple_of({dict.get(), weakref.get(), fast_path.get(), screen_slot.get()});
}

// Pickle and copy take the plain attributes only: a copy builds no fast
// path and answers every check through its engine.
constexpr auto kGetState = sig("PromptBanChecker.__getstate__", "($self)", "The instance's attributes, for pickle and copy.");

Ref get_state(State&, PyObject* self, Args<0>&) { return check(PyObject_GenericGetDict(self, nullptr)); }

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
bool import_ahocorasick(State& st, PyObject* module) {
    Ref ac = Ref::steal_or_null(PyImport_ImportModule("ahocorasick"));
    if (!ac) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
        PyErr_Clear();
        return false;
    }
    add_object(module, "ahocorasick", ac.get());
    st.real_automaton_type = st.keep(getattr(ac.get(), "Automaton"));
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
             {&st.make_automaton, "make_automaton"},
             {&st.Automaton, "Automaton"}, {&st.pattern_attr, "pattern"}, {&st.flags_attr, "flags"},
             {&st.os_name, "os"}, {&st.ek, "_EK"}, {&st.ed, "_ED"}, {&st.lexivault, "_lexivault"},
             {&st.error_msg, "error_msg"}, {&st.data, "data"}, {&st.comma, ","}, {&st.ban_error_name, "PromptBanError"}})
        *slot = st.name(text);
    st.ban_prefix = st.keep(new_text("违禁词: "));
    st.missing_file = st.keep(new_text("违禁词文件不存在: "));
    st.zero = st.keep(new_int(0));
    st.empty_text = st.keep(new_text(""));
    st.get = st.name("get");
    st.keys = st.name("keys");
    st.read = st.name("read");
    st.bit_length = st.name("bit_length");
    st.chunk_size = st.keep(new_int(64 * 1024));
    st.fast_path = st.name("_PromptBanChecker__fast_path");  // the private slot `__fast_path`
    st.normalize_name = st.name("normalize");
    st.allow_words_name = st.name("allow_words");
    st.builtin_allow_name = st.name("_BUILTIN_ALLOW_WORDS");
    st.screen_slot = st.name("_PromptBanChecker__screen");
}

// Common Chinese words that hold a lexicon entry but mean something innocent
// (大麻雀: a big sparrow); with normalize=True an entry inside one is not reported.
Ref builtin_allow_words() {
    static constexpr const char* words[] = {"大麻雀", "大麻烦", "大麻花", "大麻将", "大麻袋", "大麻绳",
                                            "印度支那", "射精度", "射精准", "性爱好", "做爱心", "情色彩",
                                            "性交流", "上吊灯", "上吊床"};
    Ref list = new_list();
    for (const char* w : words) list_append(list.get(), new_text(w).get());
    return check(PyList_AsTuple(list.get()));
}

void setup_screening(State& st) {
    Ref unicodedata = import("unicodedata");
    PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    st.unicode = {st.keep(getattr(unicodedata.get(), "normalize")), st.keep(getattr(unicodedata.get(), "category")),
                  st.keep(getattr(str_type, "casefold")), st.keep(getattr(str_type, "isspace")),
                  st.keep(new_text("NFKC")), st.keep(new_text("NFD"))};
    st.image_tables = std::make_shared<screen::ImageTables>(st.unicode);
    st.screen_type = st.keep(screen::ScreenBox::make_type("vantry.wordsift._Screen"));
}

// os.process_cpu_count where it exists, else os.sched_getaffinity, else os.cpu_count.
void find_cpu_count(State& st, PyObject* os) {
    using Kind = State::CpuCount;
    for (auto [name, kind] : {std::pair{"process_cpu_count", Kind::Count}, {"sched_getaffinity", Kind::Affinity},
                              {"cpu_count", Kind::Count}}) {
        if (Ref f = Ref::steal_or_null(PyObject_GetAttrString(os, name))) {
            st.usable_cpus = st.keep(std::move(f));
            st.cpu_count_kind = kind;
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }  // none of them: one CPU is assumed
}

void exec(PyObject* module, State& st) {
    intern_names(st);
    Ref os = import("os"), pickle = import("pickle"), re = import("re"), io = import("io");
    add_object(module, "os", os.get());
    add_object(module, "pickle", pickle.get());
    add_object(module, "re", re.get());
    add_object(module, "PromptBanError", import_prompt_ban_error(module).get());
    add_object(module, "_AC_THRESHOLD", new_int(50).get());
    bool has_ac = import_ahocorasick(st, module);
    add_object(module, "_HAS_AC", new_bool(has_ac).get());

    st.io_open = st.keep(getattr(io.get(), "open"));
    st.BytesIO = st.keep(getattr(io.get(), "BytesIO"));
    st.pickle_dump = st.keep(getattr(pickle.get(), "dump"));
    st.UnpicklingError = st.keep(getattr(pickle.get(), "UnpicklingError"));
    st.re_module = st.keep(re.copy());
    st.Pattern = st.keep(getattr(re.get(), "Pattern"));
    st.ignorecase = st.keep(check(PyNumber_Long(getattr(re.get(), "IGNORECASE").get())));
    st.Unpickler = make_unpickler_class(st, pickle.get());

    find_cpu_count(st, os.get());
    st.fast_path_type = st.keep(FastPathBox::make_type("vantry.wordsift._FastPath"));
    st.tables = CaseTables::create(st);
    st.str_lower = st.keep(getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    st.str_isascii = AsciiTest(st.keep(getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii")));
    setup_screening(st);

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
    PyObject* checker = ClassBuilder(st, "PromptBanChecker",
                                     "Screen prompts against a lexicon of banned words.\n\n"
                                     "The lexicon merges the built-in words, builtin_words and ban_word_file, drops\n"
                                     "exclude_words and is matched longest word first; check() returns a clean prompt\n"
                                     "unchanged and raises PromptBanError for one that holds banned words.")
        .constant("__slots__", slots())
        .constant("normalize", new_bool(false))
        .constant("allow_words", none())
        .constant("_BUILTIN_ALLOW_WORDS", builtin_allow_words())
        .create()
        .method(method_def<State, kInit, init>())
        .method(method_def<State, kGetState, get_state>())
        .method(st.load_banned_def)
        .static_method(st.from_file_def)
        .method(st.build_engine_def)
        .method(st.build_automaton_def)
        .method(st.find_matched_def)
        .method(st.has_banned_def)
        .method(method_def<State, kCheck, check_prompt>())
        .method(method_def<State, kCheckMany, check_many>())
        .static_method(function_def<State, kCreatePickle, create_pickle_file>())
        .finish();
    st.has_banned_descr = st.keep(getattr(checker, st.has_banned));
    st.find_matched_descr = st.keep(getattr(checker, st.find_matched));
}

}  // namespace

PyMODINIT_FUNC PyInit_wordsift() {
    return Module<State, exec>::init("vantry.wordsift", "Screen prompt text against a lexicon of banned words.");
}
