// Class attributes that a class defines itself, read from its dict without
// building bound-method objects or probing the attribute cache per name.
//
// For a class whose metaclass is exactly `type`, an entry for `name` in the
// class's own dict is what `cls.name` finds (bound through __get__ when it
// has one), provided `type` itself has no attribute of that name: the class
// comes first in its MRO. `ClassAttrs::find` returns that raw entry, so a
// caller can tell its own method descriptor from an override by identity and
// read plain constants directly; inherited names and everything it cannot
// decide are left to getattr.
//
// The dict of a heap type is reached with PyObject_GenericGetDict (the
// metaclass `type` keeps it at its tp_dictoffset); `class_dicts_readable`
// checks once that this gives the live class dict on the running
// interpreter. Static types are never asked for their dict, as that would
// create one for them.
#pragma once

#include "obj.hpp"

namespace pyglue {

// The live dict of a heap type (new reference).
inline Ref heap_type_dict(PyObject* type) { return check(PyObject_GenericGetDict(type, nullptr)); }

inline bool is_heap_type(PyObject* type) {
    return PyType_Check(type) &&
           (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) & Py_TPFLAGS_HEAPTYPE) != 0;
}

// True when the dict of `cls` (a heap type) is its live namespace: the entry
// for `name` is what getattr gives, and a new attribute shows up in it.
inline bool class_dicts_readable(PyObject* cls, PyObject* name, PyObject* probe_name) {
    if (!is_heap_type(cls)) return false;
    Ref dict = heap_type_dict(cls);
    Ref again = heap_type_dict(cls);
    if (!PyDict_CheckExact(dict.get()) || dict.get() != again.get()) return false;
    Ref value = getattr(cls, name);
    if (PyDict_GetItemWithError(dict.get(), name) != value.get()) return false;
    setattr(cls, probe_name, Py_None);
    bool seen = PyDict_GetItemWithError(dict.get(), probe_name) == Py_None;
    check(PyObject_DelAttr(cls, probe_name));
    return seen && !PyErr_Occurred();
}

class ClassAttrs {
public:
    // `enabled` is the outcome of class_dicts_readable for the running interpreter.
    ClassAttrs(PyObject* cls, bool enabled)
        : cls_(cls), usable_(enabled && Py_TYPE(cls) == &PyType_Type && is_heap_type(cls)) {}

    // The entry for `name` in the class's own dict (new reference), or empty
    // when the class cannot be read this way or does not define the name.
    //
    // With `hint`, the remembered position of `name` in this class's dict
    // (a hint belongs to one class; start it at 0): a read is then a single
    // PyDict_Next step checked by key identity, and a miss looks the name up
    // and learns its position again. A hint of -1 means the dict holds the
    // name under an equal but different key, so positions are not tried.
    Ref find(PyObject* name, Py_ssize_t* hint = nullptr) {
        if (!usable_) return Ref();
        if (!dict_) dict_ = heap_type_dict(cls_);
        if (hint && *hint >= 0) {
            Py_ssize_t pos = *hint;
            PyObject *key, *value;
            if (PyDict_Next(dict_.get(), &pos, &key, &value) && key == name) return Ref::borrow(value);
        }
        PyObject* entry = PyDict_GetItemWithError(dict_.get(), name);
        if (!entry && PyErr_Occurred()) throw_error();
        if (entry && hint && *hint >= 0) *hint = position_of(name);
        return Ref::borrow(entry);
    }

private:
    // Where PyDict_Next must start to reach the entry keyed by `name` itself, or -1.
    Py_ssize_t position_of(PyObject* name) const {
        Py_ssize_t pos = 0, start = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict_.get(), &pos, &key, &value)) {
            if (key == name) return start;
            start = pos;
        }
        return -1;
    }

    PyObject* cls_;
    bool usable_;
    Ref dict_;
};

// True when `obj` is bound by type.__getattribute__ (it has __get__).
inline bool is_descriptor(PyObject* obj) {
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyUnicode_CheckExact(obj) || PyDict_CheckExact(obj))
        return false;
    return PyType_GetSlot(Py_TYPE(obj), Py_tp_descr_get) != nullptr;
}

}  // namespace pyglue
