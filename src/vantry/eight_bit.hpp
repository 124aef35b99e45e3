// High-depth grey images brought to 8 bits by scaling, not clipping.
//
// Pillow converts 16-bit ("I;16" in each byte order), 32-bit integer ("I")
// and float ("F") images to an 8-bit mode by clipping every value to 0..255,
// so 16-bit content turns white and 0..1 floats black. Before such a
// conversion the modules map them to "L": 16-bit values (and 32-bit integers
// holding 16-bit values) as round(v / 257), floats in 0..1 as round(v * 255).
// Content with no 8-bit reading short of guessing its range (integers beyond
// 16 bits, floats outside 0..1) raises ValueError naming the mode.
#pragma once

#include "pyglue.hpp"

namespace vantry {

using namespace pyglue;

// v * scale + offset, for the (scale, offset) pair the function is bound to.
// Pillow's point() reads such a callable as a linear map and applies it in C.
inline PyObject* linear_map(PyObject* coefficients, PyObject* v) {
    return boundary([&] {
        Ref scaled = check(PyNumber_Multiply(v, PyTuple_GetItem(coefficients, 0)));
        return check(PyNumber_Add(scaled.get(), PyTuple_GetItem(coefficients, 1)));
    });
}

inline PyMethodDef linear_map_def = {"linear_map", linear_map, METH_O, "v * scale + offset"};

class EightBit {
public:
    // Names and maps enter the module state once, at exec.
    void init(StateBase& st) {
        mode_ = st.name("mode");
        convert_ = st.name("convert");
        getextrema_ = st.name("getextrema");
        point_ = st.name("point");
        int_mode_ = st.name("I");
        float_mode_ = st.name("F");
        grey_mode_ = st.name("L");
        Ref modes = new_list();
        for (const char* m : {"I;16", "I;16L", "I;16B", "I;16N"}) list_append(modes.get(), st.name(m));
        sixteen_bit_modes_ = st.keep(check(PyFrozenSet_New(modes.get())));
        from_16_bits_ = st.keep(rounding_map(1.0 / 257.0));
        from_unit_ = st.keep(rounding_map(255.0));
    }

    // `img` itself when its mode is not a high-depth grey one, else a new "L" image.
    Ref apply(PyObject* img) const {
        Ref mode = getattr(img, mode_);
        if (check_bool(PySet_Contains(sixteen_bit_modes_, mode.get()))) {
            Ref as_int = call_method(img, convert_, int_mode_);
            return to_grey(as_int.get(), from_16_bits_);
        }
        if (equal(mode.get(), int_mode_)) {
            require_range(img, mode.get(), 0.0, 65535.0, "lie outside the 16-bit range 0 to 65535");
            return to_grey(img, from_16_bits_);
        }
        if (equal(mode.get(), float_mode_)) {
            require_range(img, mode.get(), 0.0, 1.0, "lie outside 0 to 1");
            return to_grey(img, from_unit_);
        }
        return Ref::borrow(img);
    }

private:
    // A map v -> v * scale + 0.5: the point() result truncated to "L" is then rounded.
    static Ref rounding_map(double scale) {
        Ref s = new_float(scale), half = new_float(0.5);
        Ref coefficients = tuple_of({s.get(), half.get()});
        return check(PyCFunction_NewEx(&linear_map_def, coefficients.get(), nullptr));
    }

    Ref to_grey(PyObject* img, PyObject* map) const {
        Ref mapped = call_method(img, point_, map);
        return call_method(mapped.get(), convert_, grey_mode_);
    }

    // Refuses an image whose values leave [lo, hi] (an empty image has none).
    void require_range(PyObject* img, PyObject* mode, double lo, double hi, const char* why) const {
        Ref extrema = call_method(img, getextrema_);
        if (is_none(extrema.get())) return;
        Ref bounds[2];
        unpack(extrema.get(), bounds);
        double min = PyFloat_AsDouble(bounds[0].get()), max = PyFloat_AsDouble(bounds[1].get());
        if (PyErr_Occurred()) throw_error();
        if (min >= lo && max <= hi) return;
        PyErr_Format(PyExc_ValueError, "cannot scale mode %U to 8 bits: values %S to %S %s", mode, bounds[0].get(),
                     bounds[1].get(), why);
        throw_error();
    }

    PyObject *mode_ = nullptr, *convert_ = nullptr, *getextrema_ = nullptr, *point_ = nullptr;
    PyObject *int_mode_ = nullptr, *float_mode_ = nullptr, *grey_mode_ = nullptr;
    PyObject* sixteen_bit_modes_ = nullptr;
    PyObject *from_16_bits_ = nullptr, *from_unit_ = nullptr;
};

}  // namespace vantry
