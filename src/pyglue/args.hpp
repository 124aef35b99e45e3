// Declarative argument parsing for METH_FASTCALL | METH_KEYWORDS entry points.
//
// Every entry point declares one `Sig`: its qualified name, its text
// signature and its parameters with a kind. `parse` refuses surplus,
// duplicate, unknown and missing arguments and converts each argument by its
// kind, all before the body runs. The typed kinds follow one convention:
//   Str, Bytes, List  the exact built-in type (subclasses refused);
//   Int               any number, truncated toward zero, never text;
//   Float             any real number, as a double;
//   Truth             any object, by its truth value;
//   Any               the object as given.
// A parameter flagged NoneOk also accepts None. A wrong type fails with
// "Argument '<name>' has incorrect type (expected <type>, got <type>)".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "obj.hpp"

namespace pyglue {

enum class Kind : uint8_t { Any, Str, Bytes, List, Int, Float, Truth };

enum ParamFlags : uint8_t {
    Optional = 0,      // may be omitted; the body supplies the default
    Required = 1,      // must be given
    NoneOk = 2,        // None is accepted besides the kind's type
    KwOnly = 4,        // only by keyword
};

struct Param {
    const char* name;
    Kind kind;
    uint8_t flags;
};

template <size_t N>
struct Sig {
    static constexpr size_t size = N;
    const char* qualname;        // "Aspecta.adjust_size", used in messages
    const char* text_signature;  // "($self, image_bytes, expand_percent=10.0)"
    const char* doc;
    std::array<Param, N> params;
    bool var_kwargs;  // collect unknown keywords into a dict instead of refusing them
};

// Builds a Sig; N is taken from the number of parameters.
template <class... P>
constexpr Sig<sizeof...(P)> sig(const char* qualname, const char* text_signature, const char* doc, P... params) {
    return Sig<sizeof...(P)>{qualname, text_signature, doc, {params...}, false};
}
template <class... P>
constexpr Sig<sizeof...(P)> sig_with_kwargs(const char* qualname, const char* text_signature, const char* doc,
                                            P... params) {
    return Sig<sizeof...(P)>{qualname, text_signature, doc, {params...}, true};
}

// One parsed argument.
struct Value {
    PyObject* obj = nullptr;  // the argument (borrowed) or its converted form (owned below)
    Ref owned;
    double real = 0.0;
    bool flag = false;
    bool given = false;
};

template <size_t N>
struct Args {
    std::array<Value, N> v;
    Ref kwargs;  // the collected extra keywords, for Sigs with var_kwargs

    bool given(size_t i) const { return v[i].given && v[i].obj != nullptr; }
    // The object (for Int: an exact int), or `fallback` when omitted.
    PyObject* obj(size_t i, PyObject* fallback = nullptr) const { return v[i].given ? v[i].obj : fallback; }
    double real(size_t i, double fallback) const { return v[i].given ? v[i].real : fallback; }
    bool truth(size_t i, bool fallback) const { return v[i].given ? v[i].flag : fallback; }
    bool is_none(size_t i) const { return v[i].given && v[i].obj == Py_None; }
};

[[noreturn]] inline void raise_arg_type(const char* param, const char* expected, PyObject* got) {
    Ref got_name = type_name(got);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, utf8(got_name.get()).data());
    throw_error();
}

inline bool has_slot(PyObject* obj, int slot) { return PyType_GetSlot(Py_TYPE(obj), slot) != nullptr; }

// Integer by truncation toward zero from any number; text is refused.
inline Ref to_int(PyObject* obj, const char* param) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    if (PyLong_Check(obj) || has_slot(obj, Py_nb_index) || has_slot(obj, Py_nb_int)) {
        return check(PyNumber_Long(obj));
    }
    raise_arg_type(param, "int", obj);
}

inline double to_double(PyObject* obj, const char* param) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AsDouble(obj);
    if (!has_slot(obj, Py_nb_float) && !has_slot(obj, Py_nb_index)) raise_arg_type(param, "float", obj);
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return d;
}

namespace detail {

[[noreturn]] inline void arity_error(const char* qualname, const char* fmt, const char* detail_text,
                                     Py_ssize_t a = 0, Py_ssize_t b = 0) {
    if (detail_text)
        PyErr_Format(PyExc_TypeError, fmt, qualname, detail_text);
    else
        PyErr_Format(PyExc_TypeError, fmt, qualname, a, b);
    throw_error();
}

inline void convert(const Param& p, Value& val) {
    PyObject* obj = val.obj;
    if (obj == Py_None && (p.flags & NoneOk)) return;
    switch (p.kind) {
        case Kind::Any:
            return;
        case Kind::Str:
            if (!PyUnicode_CheckExact(obj)) raise_arg_type(p.name, "str", obj);
            return;
        case Kind::Bytes:
            if (!PyBytes_CheckExact(obj)) raise_arg_type(p.name, "bytes", obj);
            return;
        case Kind::List:
            if (!PyList_CheckExact(obj)) raise_arg_type(p.name, "list", obj);
            return;
        case Kind::Int:
            val.owned = to_int(obj, p.name);
            val.obj = val.owned.get();
            return;
        case Kind::Float:
            val.real = to_double(obj, p.name);
            return;
        case Kind::Truth:
            val.flag = truth(obj);
            return;
    }
}

}  // namespace detail

// The number of positional arguments in a vectorcall `nargsf`.
inline Py_ssize_t nargs_of(Py_ssize_t nargsf) {
    return nargsf & ~(static_cast<Py_ssize_t>(1) << (8 * sizeof(size_t) - 1));
}

template <size_t N>
void parse(const Sig<N>& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args<N>& out) {
    size_t max_positional = 0;
    while (max_positional < N && !(s.params[max_positional].flags & KwOnly)) ++max_positional;
    if (static_cast<size_t>(nargs) > max_positional) {
        if (max_positional == 0)
            detail::arity_error(s.qualname, "%.200s() takes no positional arguments (%zd given)", nullptr, nargs);
        detail::arity_error(s.qualname, "%.200s() takes at most %zd positional arguments (%zd given)", nullptr,
                            static_cast<Py_ssize_t>(max_positional), nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out.v[i].obj = args[i];
        out.v[i].given = true;
    }
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            PyObject* value = args[nargs + k];
            size_t idx = N;
            for (size_t i = 0; i < N; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, s.params[i].name) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx == N) {
                if (!s.var_kwargs) {
                    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", s.qualname, key);
                    throw_error();
                }
                if (!out.kwargs) out.kwargs = new_dict();
                dict_set(out.kwargs.get(), key, value);
                continue;
            }
            if (out.v[idx].given)
                detail::arity_error(s.qualname, "%.200s() got multiple values for argument '%s'", s.params[idx].name);
            out.v[idx].obj = value;
            out.v[idx].given = true;
        }
    }
    for (size_t i = 0; i < N; ++i) {
        if ((s.params[i].flags & Required) && !out.v[i].given) {
            const char* fmt = (s.params[i].flags & KwOnly)
                                  ? "%.200s() missing required keyword-only argument '%s'"
                                  : "%.200s() missing required argument '%s'";
            detail::arity_error(s.qualname, fmt, s.params[i].name);
        }
    }
    if (s.var_kwargs && !out.kwargs) out.kwargs = new_dict();
    for (size_t i = 0; i < N; ++i)
        if (out.v[i].given) detail::convert(s.params[i], out.v[i]);
}

}  // namespace pyglue
