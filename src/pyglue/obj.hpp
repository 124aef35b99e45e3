// Small typed wrappers over common C API calls; every failure throws.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "ref.hpp"

namespace pyglue {

// ---- attributes -------------------------------------------------------------

inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}
inline void setattr(PyObject* obj, const char* name, PyObject* value) {
    check(PyObject_SetAttrString(obj, name, value));
}

// ---- calls ------------------------------------------------------------------
// PyObject_Vectorcall is not in the 3.11 limited API; these variadic calls
// do not build an argument tuple for up to five arguments.

template <class... A>
Ref call(PyObject* callable, A... args) {
    return check(PyObject_CallFunctionObjArgs(callable, static_cast<PyObject*>(args)..., nullptr));
}
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    return check(PyObject_CallMethodObjArgs(obj, name, static_cast<PyObject*>(args)..., nullptr));
}
inline Ref call_kw(PyObject* callable, PyObject* args_tuple, PyObject* kwargs) {
    return check(PyObject_Call(callable, args_tuple, kwargs));
}

// ---- constructors -----------------------------------------------------------

inline Ref new_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref new_float(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref new_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref new_text(std::string_view utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
inline Ref intern(const char* utf8) { return check(PyUnicode_InternFromString(utf8)); }
inline Ref new_bytes(const char* data, Py_ssize_t size) { return check(PyBytes_FromStringAndSize(data, size)); }
inline Ref new_list(Py_ssize_t size = 0) { return check(PyList_New(size)); }
inline Ref new_dict() { return check(PyDict_New()); }

// A tuple of the given objects (each gains a reference).
inline Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SetItem(t.get(), i++, item);  // steals; cannot fail on a fresh tuple
    }
    return t;
}
inline Ref int_pair(long long a, long long b) {
    Ref x = new_int(a), y = new_int(b);
    return tuple_of({x.get(), y.get()});
}

inline void list_append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }
inline void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    check(PyDict_SetItem(dict, key, value));
}
inline void dict_set(PyObject* dict, const char* key, PyObject* value) {
    check(PyDict_SetItemString(dict, key, value));
}
// dict[key], or an empty Ref when the key is absent.
inline Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw_error();
    return value ? Ref::borrow(value) : Ref();
}

// ---- text -------------------------------------------------------------------

// Concatenates text objects; used for messages built around caller text,
// which may hold lone surrogates and so cannot pass through UTF-8.
inline Ref concat(std::initializer_list<PyObject*> parts) {
    Ref acc = new_text("");
    for (PyObject* p : parts) acc = check(PyUnicode_Concat(acc.get(), p));
    return acc;
}

// UTF-8 view of a text object, valid while the object lives.
inline std::string_view utf8(PyObject* text) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) throw_error();
    return {s, static_cast<size_t>(n)};
}

// The `__name__` of an object's type, as UTF-8 (for messages).
inline Ref type_name(PyObject* obj) { return check(PyType_GetName(Py_TYPE(obj))); }

// ---- comparisons and truth ------------------------------------------------------

inline bool truth(PyObject* obj) { return check_bool(PyObject_IsTrue(obj)); }
inline bool equal(PyObject* a, PyObject* b) { return check_bool(PyObject_RichCompareBool(a, b, Py_EQ)); }
inline bool is_none(PyObject* obj) { return obj == Py_None; }

// ---- iteration -------------------------------------------------------------------

// Calls fn(item) for each item of any iterable; fn receives a borrowed pointer.
template <class Fn>
void for_each(PyObject* iterable, Fn&& fn) {
    Ref it = check(PyObject_GetIter(iterable));
    while (true) {
        Ref item = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        fn(item.get());
    }
}

// Calls fn(key, value) for each entry of an exact dict, as `for k, v in
// d.items()` does: the pair is held across fn, and a dict that fn (or host
// code it runs) resizes raises the host's RuntimeError instead of being
// scanned without end.
template <class Fn>
void for_each_item(PyObject* dict, Fn&& fn) {
    Py_ssize_t size = PyDict_Size(dict), pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        fn(k.get(), v.get());
        if (PyDict_Size(dict) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
}

// Unpacks an iterable into exactly N references, with the host's ValueError
// messages for too few or too many values.
template <size_t N>
void unpack(PyObject* iterable, Ref (&out)[N]) {
    Ref it = check(PyObject_GetIter(iterable));
    for (size_t i = 0; i < N; ++i) {
        out[i] = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
            throw_error();
        }
    }
    Ref extra = Ref::steal_or_null(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
}

// ---- imports ------------------------------------------------------------------

inline Ref import(const char* name) { return check(PyImport_ImportModule(name)); }
inline Ref import_attr(const char* module, const char* name) {
    Ref m = import(module);
    return getattr(m.get(), name);
}

// A global of a module, read from its namespace at the moment of use as
// Python's global lookup does (a replaced attribute takes effect).
inline Ref module_global(PyObject* globals, PyObject* name) {
    Ref value = dict_get(globals, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_error();
    }
    return value;
}

// A module and its namespace, for reading attributes that callers may
// replace (monkeypatched functions) on every call. A module attribute is
// nearly always an entry of the namespace, found by one dict lookup without
// the generic attribute protocol; anything else (a module __getattr__, a
// missing name) goes through getattr.
struct ModuleAttrs {
    PyObject* module = nullptr;  // borrowed from the owner's state
    PyObject* dict = nullptr;    // borrowed: a module keeps one namespace dict for life

    Ref get(PyObject* name) const {
        Ref value = dict_get(dict, name);
        return value ? std::move(value) : getattr(module, name);
    }
};

}  // namespace pyglue

namespace pyglue {

// Calls `obj.close()` when the scope is left. On the normal path call
// `close()` yourself so its errors propagate; while unwinding from an error
// the pending exception is kept and an error from close() is dropped.
class Closing {
public:
    Closing(PyObject* obj, PyObject* close_name) : obj_(Ref::borrow(obj)), name_(close_name) {}
    Closing(const Closing&) = delete;
    Closing& operator=(const Closing&) = delete;
    ~Closing() {
        if (!obj_) return;
        if (!may_touch_python()) {
            obj_.release();  // unwound without the GIL at exit: nothing may be called
            return;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* r = PyObject_CallMethodObjArgs(obj_.get(), name_, nullptr);
        if (r)
            Py_DECREF(r);
        else if (type)
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(obj_.get());
        PyErr_Restore(type, value, tb);
#pragma GCC diagnostic pop
    }
    void close() {
        if (!obj_) return;  // dismissed
        Ref obj = std::move(obj_);
        Ref r = call_method(obj.get(), name_);
    }
    // Leaves the object unclosed, now and at the end of the scope: for a
    // caller that knows its close would change nothing.
    void dismiss() { Ref obj = std::move(obj_); }

private:
    Ref obj_;
    PyObject* name_;
};

}  // namespace pyglue

namespace pyglue {

// Calls a callable many times with the same number of positional arguments
// through one argument tuple, refilled in place while nobody else holds it
// (a callee that keeps it gets it, and the next call a new tuple). Spares
// the tuple and the argument counting of the variadic calls in a loop.
class ArgsTuple {
public:
    explicit ArgsTuple(Py_ssize_t size) : size_(size) {}

    Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
        if (!tuple_ || Py_REFCNT(tuple_.get()) != 1) tuple_ = check(PyTuple_New(size_));
        Py_ssize_t i = 0;
        for (PyObject* arg : args) {
            Py_INCREF(arg);
            PyTuple_SetItem(tuple_.get(), i++, arg);  // steals; releases the previous item (a key or word of ours)
        }
        return check(PyObject_Call(callable, tuple_.get(), nullptr));
    }

private:
    Py_ssize_t size_;
    Ref tuple_;
};

}  // namespace pyglue
