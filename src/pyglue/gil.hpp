// Pure C++ work without the GIL.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

namespace pyglue {

// Releases the GIL for the life of the scope; the code inside must not touch
// any Python object.
//
// CPython before 3.14 ends a thread that asks for the GIL back once the
// interpreter is finalising (a daemon thread at exit) with pthread_exit: a
// forced unwind through every C++ frame above, ours and other extensions'.
// Such a thread is parked here instead, as CPython 3.14 does itself: the
// process is exiting and ends it, and nothing above runs. (A forced unwind
// that starts in host code still passes through our frames; see
// may_touch_python.)
class WithoutGil {
public:
    WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() {
        try {
            PyEval_RestoreThread(saved_);
        } catch (abi::__forced_unwind&) {
            for (;;) pause();
        }
    }

private:
    PyThreadState* saved_;
};

}  // namespace pyglue
