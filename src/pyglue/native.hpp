// Python objects that own one C++ value.
//
// A module that must tie C++ data to a Python object (and keep Python
// references inside that data) stores a NativeBox<T> on the owner instead
// of keeping a side table keyed by the owner: the owner then owns the data,
// the cycle collector sees the references through the box's traverse, and
// nothing outlives the owner or holds a pointer into module state.
//
// T provides `int traverse(visitproc, void*)` over its Python references and
// `void clear()`, which must leave T consistent before releasing anything.
#pragma once

#include <new>
#include <utility>

#include "obj.hpp"

namespace pyglue {

template <class T>
class NativeBox {
public:
    // A new GC-tracked type "module.Name" that Python code cannot instantiate.
    static Ref make_type(const char* qualified_name) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(&clear)},
            {0, nullptr},
        };
        static PyType_Spec spec = {qualified_name, static_cast<int>(sizeof(Layout)), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        return check(PyType_FromSpec(&spec));
    }

    // A new box of `type` holding `value`.
    static Ref make(PyObject* type, T&& value) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
        Ref obj = check(alloc(reinterpret_cast<PyTypeObject*>(type), 0));  // tracked, and holds a reference to type
        new (&layout(obj.get())->value) T(std::move(value));
        return obj;
    }

    // The value inside `obj`, or null when obj is not a box of `type`.
    static const T* get(PyObject* obj, PyObject* type) noexcept {
        if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type) return nullptr;
        return &layout(obj)->value;
    }

private:
    struct Layout {
        PyObject_HEAD
        T value;
    };
    static Layout* layout(PyObject* obj) noexcept { return reinterpret_cast<Layout*>(obj); }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        return layout(self)->value.traverse(visit, arg);
    }
    static int clear(PyObject* self) {
        layout(self)->value.clear();
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        layout(self)->value.clear();
        layout(self)->value.~T();
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(self);
        Py_DECREF(reinterpret_cast<PyObject*>(type));
    }
};

}  // namespace pyglue
