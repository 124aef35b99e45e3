// Catching Python errors in C++ the way an `except` clause does.
//
//   if (auto err = catch_error([&] { ...calls that may fail... })) {
//       err->handle([&] {
//           if (!err->matches(PyExc_ValueError)) err->raise_again();
//           ...handler body...
//       });
//   }
//
// `catch_error` runs a body and takes any Python error it raises out of the
// error indicator. `handle` runs a handler with the caught error as the
// exception being handled (sys.exc_info()), so an error raised by the
// handler gets it as its __context__, as in Python. `raise_again` puts the
// error back unchanged and throws.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "obj.hpp"

namespace pyglue {

class CaughtError {
public:
    // Takes the current error out of the indicator, normalised, with its
    // traceback attached to the exception object.
    static CaughtError fetch() noexcept {
        PyObject *type, *value, *tb;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
#pragma GCC diagnostic pop
        if (tb && value) PyException_SetTraceback(value, tb);
        return CaughtError(type, value, tb);
    }

    CaughtError(CaughtError&&) noexcept = default;
    CaughtError& operator=(CaughtError&&) noexcept = default;

    PyObject* value() const noexcept { return value_.get(); }

    // The `except cls` test: cls is an exception class, or a tuple of them,
    // that the error's class derives from. Anything else is refused with
    // TypeError as an except clause does, before matching (so a patched,
    // deeply nested tuple cannot recurse without limit).
    bool matches(PyObject* cls) const {
        if (PyTuple_Check(cls)) {
            Py_ssize_t n = PyTuple_Size(cls);
            for (Py_ssize_t i = 0; i < n; ++i) require_exception_class(PyTuple_GetItem(cls, i));
        } else {
            require_exception_class(cls);
        }
        return PyErr_GivenExceptionMatches(value_.get(), cls) != 0;
    }

    // str(error).
    Ref text() const { return check(PyObject_Str(value_.get())); }

    // Sets the error again, unchanged, and throws.
    [[noreturn]] void raise_again() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyErr_Restore(type_.release(), value_.release(), tb_.release());
#pragma GCC diagnostic pop
        throw_error();
    }

    // Runs `body` as the handler of this error and returns its result.
    template <class Body>
    decltype(auto) handle(Body&& body) {
        HandledScope scope(*this);
        return body();
    }

private:
    static void require_exception_class(PyObject* cls) {
        if (!PyExceptionClass_Check(cls))
            raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    }

    CaughtError(PyObject* type, PyObject* value, PyObject* tb) noexcept
        : type_(Ref::steal_or_null(type)), value_(Ref::steal_or_null(value)), tb_(Ref::steal_or_null(tb)) {}

    // Makes the error the one being handled and restores the previous one on
    // leaving, whether the handler returns or raises.
    class HandledScope {
    public:
        explicit HandledScope(const CaughtError& err) noexcept {
            PyErr_GetExcInfo(&type_, &value_, &tb_);
            PyErr_SetExcInfo(err.type_.copy().release(), err.value_.copy().release(), err.tb_.copy().release());
        }
        HandledScope(const HandledScope&) = delete;
        HandledScope& operator=(const HandledScope&) = delete;
        ~HandledScope() {
            if (may_touch_python()) PyErr_SetExcInfo(type_, value_, tb_);
        }

    private:
        PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
    };

    Ref type_, value_, tb_;
};

// Runs `body`; returns the Python error it raised (an allocation failure
// counts as MemoryError), or nothing when it completed. A body may also
// return false to report an error it left set without throwing, which
// spares a C++ exception on failures that are expected often.
template <class Body>
std::optional<CaughtError> catch_error(Body&& body) {
    try {
        if constexpr (std::is_same_v<decltype(body()), bool>) {
            if (body()) return std::nullopt;
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
            return CaughtError::fetch();
        } else {
            body();
            return std::nullopt;
        }
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return CaughtError::fetch();
}

}  // namespace pyglue
