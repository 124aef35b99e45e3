// vantry.excode: the package's exception classes.
//
//   VantryError(Exception)        common base of every vantry error
//   ServiceError(VantryError)     a size the generation service would refuse
//   PromptBanError(VantryError)   a prompt that holds banned words
//
// Both concrete classes keep their fields as plain attributes, render as
// their message and survive pickling and copying with every field.
#include "pyglue.hpp"

using namespace pyglue;

namespace {

struct State : StateBase {
    PyObject* args_name = nullptr;
    PyObject* message_name = nullptr;
    PyObject* aspect_ratio_name = nullptr;
    PyObject* error_msg_name = nullptr;
    PyObject* data_name = nullptr;
    PyObject* restore = nullptr;  // module function that rebuilds keyword-only errors
};

// ---- ServiceError -------------------------------------------------------------

constexpr auto kServiceInit = sig("ServiceError.__init__", "($self, message, *, aspect_ratio=None)", "",
                                  Param{"message", Kind::Any, Required},
                                  Param{"aspect_ratio", Kind::Any, KwOnly});

Ref service_init(State& st, PyObject* self, Args<2>& a) {
    PyObject* message = a.obj(0);
    Ref args = tuple_of({message});
    setattr(self, st.args_name, args.get());
    setattr(self, st.message_name, message);
    setattr(self, st.aspect_ratio_name, a.obj(1, Py_None));
    return none();
}

// ---- PromptBanError ------------------------------------------------------------

constexpr auto kBanInit = sig("PromptBanError.__init__", "($self, *, error_msg, data=None)", "",
                              Param{"error_msg", Kind::Any, Required | KwOnly},
                              Param{"data", Kind::Any, KwOnly});

Ref ban_init(State& st, PyObject* self, Args<2>& a) {
    PyObject* error_msg = a.obj(0);
    Ref args = tuple_of({error_msg});
    setattr(self, st.args_name, args.get());
    setattr(self, st.error_msg_name, error_msg);
    setattr(self, st.data_name, a.obj(1, Py_None));
    return none();
}

// Its constructor takes keywords only, so the default reduction (class called
// with `args`) cannot rebuild it: rebuild through `_restore` instead.
constexpr auto kBanReduce = sig("PromptBanError.__reduce__", "($self)", "Support for pickle and copy.");

Ref ban_reduce(State& st, PyObject* self, Args<0>&) {
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref kwargs = new_dict();
    Ref error_msg = getattr(self, st.error_msg_name);
    Ref data = getattr(self, st.data_name);
    dict_set(kwargs.get(), st.error_msg_name, error_msg.get());
    dict_set(kwargs.get(), st.data_name, data.get());
    Ref restore_args = tuple_of({cls.get(), kwargs.get()});
    Ref state = check(PyObject_GenericGetDict(self, nullptr));
    return tuple_of({st.restore, restore_args.get(), state.get()});
}

constexpr auto kRestore = sig("_restore", "($module, cls, kwargs, /)", "Rebuild an error from its keyword arguments.",
                              Param{"cls", Kind::Any, Required}, Param{"kwargs", Kind::Any, Required});

// cls(**kwargs): any mapping is copied into a dict first, as the call
// syntax does; anything else is refused with the same TypeError.
Ref restore(State&, Args<2>& a) {
    Ref kwargs = new_dict();
    if (PyDict_Merge(kwargs.get(), a.obj(1), 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        Ref actual = type_name(a.obj(1));
        PyErr_Format(PyExc_TypeError, "_restore() argument after ** must be a mapping, not %U", actual.get());
        throw_error();
    }
    Ref empty = tuple_of({});
    return call_kw(a.obj(0), empty.get(), kwargs.get());
}

// ---- module ------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    st.args_name = st.name("args");
    st.message_name = st.name("message");
    st.aspect_ratio_name = st.name("aspect_ratio");
    st.error_msg_name = st.name("error_msg");
    st.data_name = st.name("data");

    PyObject* base = ClassBuilder(st, "VantryError", "Base class of every error raised by vantry.", PyExc_Exception)
                         .create()
                         .finish();

    ClassBuilder(st, "ServiceError",
                 "The requested size would be refused by the image-generation service.\n\n"
                 "``message`` is the reason; ``aspect_ratio`` the ratio text the caller asked for.",
                 base)
        .create()
        .method(method_def<State, kServiceInit, service_init>())
        .finish();

    ClassBuilder(st, "PromptBanError",
                 "A prompt holds banned words.\n\n"
                 "``error_msg`` is the message; ``data`` the list of words that were hit.",
                 base)
        .create()
        .method(method_def<State, kBanInit, ban_init>())
        .method(method_def<State, kBanReduce, ban_reduce>())
        .finish();

    add_function(module, function_def<State, kRestore, restore>());
    st.restore = st.keep(getattr(module, "_restore"));
}

}  // namespace

PyMODINIT_FUNC PyInit_excode() {
    return Module<State, exec>::init("vantry.excode", "The exception classes of vantry.");
}
