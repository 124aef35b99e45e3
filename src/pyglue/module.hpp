// Module state, multi-phase initialisation, entry-point trampolines and the
// builder of plain (type()-built) classes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "args.hpp"

namespace pyglue {

// ---- module state -------------------------------------------------------------

// Base of every module's state. `keep` stores an owned object and returns it
// borrowed, so states hold plain PyObject* members that live as long as the
// module. Names, constants and imported helpers enter the state at exec
// only: afterwards the state is sealed and `keep` refuses, so no call can
// make it grow.
struct StateBase {
    std::vector<Ref> owned;
    PyObject* module = nullptr;  // borrowed: the state never outlives its module
    bool sealed = false;         // set once exec has finished

    virtual ~StateBase() = default;
    PyObject* keep(Ref r) {
        if (sealed) raise(PyExc_SystemError, "module state is sealed: names and constants are made at exec");
        owned.push_back(std::move(r));
        return owned.back().get();
    }
    PyObject* name(const char* utf8) { return keep(intern(utf8)); }
};

// A type()-built class has no associated module, so methods reach the state
// of the module that built their class through this table (one per shared
// object, a few entries at most).
inline std::vector<std::pair<PyObject*, StateBase*>>& class_table() {
    static std::vector<std::pair<PyObject*, StateBase*>> table;
    return table;
}

template <class State>
State& class_state(PyTypeObject* cls) {
    for (auto& [type, state] : class_table())
        if (type == reinterpret_cast<PyObject*>(cls)) return *static_cast<State*>(state);
    raise(PyExc_SystemError, "the module that defines this class is gone");
}

template <class State>
State& module_state(PyObject* module) {
    void* raw = PyModule_GetState(module);
    if (!raw) throw_error();
    auto* state = *static_cast<StateBase**>(raw);
    if (!state) raise(PyExc_SystemError, "module state is not initialised");
    return *static_cast<State*>(state);
}

// Registers, once per shared object, the atexit callback that tells this
// object's destructors that the interpreter is exiting. The callback is bound
// to no module, so it keeps none alive.
inline void watch_exit() {
    static bool registered = false;
    if (registered) return;
    static PyMethodDef note_exit = {
        "_vantry_note_exit",
        [](PyObject*, PyObject*) -> PyObject* {
            exiting_thread.store(pthread_self(), std::memory_order_relaxed);
            interpreter_exiting.store(true, std::memory_order_release);
            Py_RETURN_NONE;
        },
        METH_NOARGS, nullptr};
    Ref fn = check(PyCFunction_New(&note_exit, nullptr));
    Ref atexit = import("atexit");
    call(getattr(atexit.get(), "register").get(), fn.get());
    registered = true;
}

// Multi-phase module definition for a State and an exec function
// `void exec(PyObject* module, State& state)`.
template <class State, auto Exec>
struct Module {
    static StateBase*& slot(PyObject* m) { return *static_cast<StateBase**>(PyModule_GetState(m)); }

    static int exec(PyObject* m) {
        return boundary_status([&] {
            watch_exit();
            auto* state = new State();
            state->module = m;
            slot(m) = state;
            Exec(m, *state);
            state->sealed = true;
        });
    }
    static int traverse(PyObject* m, visitproc visit, void* arg) {
        void* raw = PyModule_GetState(m);
        StateBase* state = raw ? *static_cast<StateBase**>(raw) : nullptr;
        if (state)
            for (Ref& r : state->owned) Py_VISIT(r.get());
        return 0;
    }
    static int clear(PyObject* m) {
        void* raw = PyModule_GetState(m);
        StateBase* state = raw ? *static_cast<StateBase**>(raw) : nullptr;
        if (state) {
            forget(state);
            release_all(state->owned);
        }
        return 0;
    }
    static void free(void* m) {
        PyObject* mod = static_cast<PyObject*>(m);
        void* raw = PyModule_GetState(mod);
        if (!raw) return;
        StateBase*& state = *static_cast<StateBase**>(raw);
        if (state) {
            forget(state);
            delete state;
            state = nullptr;
        }
    }
    static void forget(StateBase* state) {
        auto& table = class_table();
        std::erase_if(table, [&](const auto& entry) { return entry.second == state; });
    }

    static inline PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec)}, {0, nullptr}};
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT, nullptr, nullptr, sizeof(StateBase*), nullptr, slots, traverse, clear, free,
    };

    static PyObject* init(const char* name, const char* doc) {
        def.m_name = name;
        def.m_doc = doc;
        return PyModuleDef_Init(&def);
    }
};

// ---- entry points ---------------------------------------------------------------

namespace detail {

inline const char* last_component(const char* qualname) {
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
}

// "name" + text signature + "\n--\n\n" + doc, which gives __text_signature__.
inline const char* make_doc(const char* name, const char* text_signature, const char* doc) {
    auto* s = new std::string(name);  // lives as long as the shared object
    *s += text_signature;
    *s += "\n--\n\n";
    *s += doc;
    return s->c_str();
}

}  // namespace detail

// Body of an instance or class method: Ref body(State&, PyObject* self_or_cls, Args<N>&).
template <class State, auto& S, auto Body>
PyObject* method_entry(PyObject* self, PyTypeObject* defining, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    return boundary([&] {
        Args<std::remove_cvref_t<decltype(S)>::size> a;
        parse(S, args, nargs_of(nargsf), kwnames, a);
        return Body(class_state<State>(defining), self, a);
    });
}

// Body of a module-level function or static method: Ref body(State&, Args<N>&).
template <class State, auto& S, auto Body>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary([&] {
        Args<std::remove_cvref_t<decltype(S)>::size> a;
        parse(S, args, nargs_of(nargsf), kwnames, a);
        return Body(module_state<State>(module), a);
    });
}

// The PyMethodDef of an instance method, class method or __init__.
template <class State, auto& S, auto Body>
PyMethodDef* method_def() {
    static PyMethodDef def = {
        detail::last_component(S.qualname),
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<State, S, Body>)),
        METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
        detail::make_doc(detail::last_component(S.qualname), S.text_signature, S.doc),
    };
    return &def;
}

// The PyMethodDef of a module-level function or static method.
template <class State, auto& S, auto Body>
PyMethodDef* function_def() {
    static PyMethodDef def = {
        detail::last_component(S.qualname),
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<State, S, Body>)),
        METH_FASTCALL | METH_KEYWORDS,
        detail::make_doc(detail::last_component(S.qualname), S.text_signature, S.doc),
    };
    return &def;
}

// True when `callable` is the built-in function made from `def` and bound to
// `owner` (the instance or class it was looked up on, or the module for a
// static method), so the caller may run its body directly. Our function bound
// to another object (`a.method = b.method`) must be called: it reads the
// other object's attributes.
inline bool is_own_method(PyObject* callable, PyMethodDef* def, PyObject* owner) {
    return PyCFunction_Check(callable) && PyCFunction_GetFunction(callable) == def->ml_meth &&
           PyCFunction_GetSelf(callable) == owner;
}

// Whether obj.<name> would be `descr` (a method descriptor) bound to obj,
// told without making the bound method: obj's class has the plain
// metaclass and the generic attribute lookup, finds that very descriptor
// under the name, and obj's __dict__ does not shadow it. False when any of
// that does not hold; the caller then looks the attribute up as usual.
inline bool binds_method(PyObject* obj, PyObject* name, PyObject* descr) {
    PyTypeObject* type = Py_TYPE(obj);
    if (Py_TYPE(reinterpret_cast<PyObject*>(type)) != &PyType_Type ||
        PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(&PyObject_GenericGetAttr))
        return false;
    Ref found = Ref::steal_or_null(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();  // the usual lookup raises its own error
        return false;
    }
    if (found.get() != descr) return false;
    Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();  // no __dict__: nothing shadows the class attribute
        return true;
    }
    return !check_bool(PyDict_Contains(dict.get(), name));
}

// A module-level function bound to the module, added under its name.
inline void add_function(PyObject* module, PyMethodDef* def) {
    Ref modname = check(PyModule_GetNameObject(module));
    Ref fn = check(PyCFunction_NewEx(def, module, modname.get()));
    check(PyModule_AddObjectRef(module, def->ml_name, fn.get()));
}

inline void add_object(PyObject* module, const char* name, PyObject* value) {
    check(PyModule_AddObjectRef(module, name, value));
}

// ---- plain classes -----------------------------------------------------------------

// Builds a class as `type(name, (object,), namespace)` would: only base
// object, instances with a __dict__, subclassable, picklable by reference.
// Constants go into the namespace before the class exists; methods are
// attached afterwards, in the order given, because their descriptors need
// the class.
class ClassBuilder {
public:
    ClassBuilder(StateBase& state, const char* name, const char* doc, PyObject* base = nullptr)
        : state_(state), name_(name), base_(base ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        ns_ = new_dict();
        Ref modname = check(PyModule_GetNameObject(state.module));
        dict_set(ns_.get(), "__module__", modname.get());
        Ref qualname = new_text(name);
        dict_set(ns_.get(), "__qualname__", qualname.get());
        // The class keeps its module, and so the state its methods read,
        // alive for as long as it lives: after the module is dropped from
        // sys.modules and imported anew, old instances still work. A plain
        // reference in the namespace, so the collector sees the cycle.
        dict_set(ns_.get(), "__vantry_module__", state.module);
        if (doc) {
            Ref d = new_text(doc);
            dict_set(ns_.get(), "__doc__", d.get());
        }
    }

    ClassBuilder& constant(const char* name, Ref value) {
        dict_set(ns_.get(), name, value.get());
        return *this;
    }

    // Creates the class; afterwards only methods may be added.
    ClassBuilder& create() {
        Ref name = new_text(name_);
        Ref bases = tuple_of({base_});
        PyObject* metatype = reinterpret_cast<PyObject*>(Py_TYPE(base_));
        type_ = call(metatype, name.get(), bases.get(), ns_.get());
        class_table().emplace_back(type_.get(), &state_);
        return *this;
    }

    ClassBuilder& method(PyMethodDef* def) {
        Ref descr = check(PyDescr_NewMethod(type(), def));
        setattr(type_.get(), def->ml_name, descr.get());
        return *this;
    }
    ClassBuilder& class_method(PyMethodDef* def) {
        Ref descr = check(PyDescr_NewClassMethod(type(), def));
        setattr(type_.get(), def->ml_name, descr.get());
        return *this;
    }
    // A function bound to the module, wrapped in the built-in staticmethod.
    ClassBuilder& static_method(PyMethodDef* def) {
        Ref modname = check(PyModule_GetNameObject(state_.module));
        Ref fn = check(PyCFunction_NewEx(def, state_.module, modname.get()));
        Ref staticmethod = import_attr("builtins", "staticmethod");
        Ref wrapper = call(staticmethod.get(), fn.get());
        setattr(type_.get(), def->ml_name, wrapper.get());
        return *this;
    }

    // Adds the class to the module and keeps it in the state; returns it borrowed.
    PyObject* finish() {
        add_object(state_.module, name_, type_.get());
        return state_.keep(std::move(type_));
    }

private:
    PyTypeObject* type() const { return reinterpret_cast<PyTypeObject*>(type_.get()); }

    StateBase& state_;
    const char* name_;
    PyObject* base_;
    Ref ns_;
    Ref type_;
};

}  // namespace pyglue
