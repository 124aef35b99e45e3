// Owned references and C++-exception error propagation over the CPython C API.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <pthread.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <utility>

namespace pyglue {

// Set when the interpreter has begun to exit, by an atexit callback that
// every module registers (watch_exit), together with the thread that runs
// the exit. From then on CPython before 3.14 may end any other thread that
// asks for the GIL back with pthread_exit: a forced unwind through our frames
// without the GIL (it starts in host code that a method calls, such as Pillow
// decoding without the GIL). Destructors on such threads leave Python objects
// alone; the process is ending.
// Hidden: one per shared object, read without an indirection on every release.
[[gnu::visibility("hidden")]] inline std::atomic<bool> interpreter_exiting{false};
[[gnu::visibility("hidden")]] inline std::atomic<pthread_t> exiting_thread{};

// Whether this thread may release references and call Python from a
// destructor: always, until the interpreter exits; afterwards only the thread
// that runs the exit.
[[gnu::noinline, gnu::cold]] inline bool is_exiting_thread() noexcept {
    return pthread_equal(pthread_self(), exiting_thread.load(std::memory_order_relaxed));
}
inline bool may_touch_python() noexcept {
    return !__builtin_expect(interpreter_exiting.load(std::memory_order_acquire), false) || is_exiting_thread();
}

// Thrown when a C API call has failed and left a Python exception set.
// The boundary trampoline turns it back into a NULL return.
struct PyErrorSet {};

[[noreturn]] inline void throw_error() { throw PyErrorSet{}; }

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

// Sets `type(value)` as the current exception and throws.
[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw_error();
}

// A move-only owner of one strong reference (or of nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
        }
        return *this;
    }
    ~Ref() { reset(); }

    // Takes over a new reference; a NULL result of a C API call throws.
    static Ref steal(PyObject* p) {
        if (!p) throw_error();
        return Ref(p);
    }
    // Takes over a new reference that may legitimately be NULL without an error.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    Ref copy() const noexcept { return borrow(ptr_); }
    // Releases the reference; a thread that is being unwound without the
    // GIL at exit leaves it (the process is ending).
    void reset() noexcept {
        PyObject* old = std::exchange(ptr_, nullptr);
        if (old && may_touch_python()) Py_DECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Empties a container of references without running Python code while it is
// mid-update: the references are moved out first and released afterwards,
// so a destructor (__del__, a weakref callback) that re-enters the owner
// finds the container already empty and consistent.
template <class Container>
void release_all(Container& refs) noexcept {
    Container old;
    old.swap(refs);
}  // `old` releases its references here, after `refs` is settled

// Shorthands for C API results: NULL or -1 with an exception set throw.
inline Ref check(PyObject* p) { return Ref::steal(p); }
inline int check(int rc) {
    if (rc == -1 && PyErr_Occurred()) throw_error();
    return rc;
}
inline bool check_bool(int rc) {
    if (rc < 0) throw_error();
    return rc != 0;
}

// Runs `body` at a C API entry point: Python errors, allocation failures and
// any other C++ exception become a set Python exception and a NULL result.
// Only the forced unwind of a thread that is being ended passes through.
template <class Body>
PyObject* boundary(Body&& body) {
    try {
        return body().release();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended (pthread_exit): never swallowed
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

// Same for entry points that report failure as -1 (module exec, setters).
template <class Body>
int boundary_status(Body&& body) {
    try {
        body();
        return 0;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return -1;
}

}  // namespace pyglue
