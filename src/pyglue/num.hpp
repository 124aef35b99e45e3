// Numbers with the host's arithmetic semantics and C++ speed.
//
// A Num is a 64-bit integer, a double, or any other Python object. Operations
// between integers and doubles run natively with exactly the results Python
// gives (true division correctly rounded, floor division and modulo floored,
// int/float comparisons exact); anything else - big integers, overflow,
// division by zero, domain errors, other number types - is handed to the
// host's number protocol, so results and error messages are always the
// host's own.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "obj.hpp"

namespace pyglue {

class Num {
public:
    static Num of(PyObject* obj) {
        if (PyFloat_CheckExact(obj)) return Num(PyFloat_AsDouble(obj));
        if (PyLong_CheckExact(obj)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (!overflow && !(v == -1 && PyErr_Occurred())) return Num(v);
            PyErr_Clear();
        }
        return Num(Ref::borrow(obj));
    }
    static Num integer(long long v) { return Num(v); }
    static Num real(double v) { return Num(v); }

    Num(const Num& o) : tag_(o.tag_), i_(o.i_), f_(o.f_), obj_(o.obj_.copy()) {}
    Num(Num&&) noexcept = default;
    Num& operator=(const Num& o) {
        if (this != &o) {
            tag_ = o.tag_;
            i_ = o.i_;
            f_ = o.f_;
            obj_ = o.obj_.copy();
        }
        return *this;
    }
    Num& operator=(Num&&) noexcept = default;

    bool is_int() const { return tag_ == Int; }
    bool is_real() const { return tag_ == Real; }
    long long int_value() const { return i_; }
    double real_value() const { return f_; }

    // A new reference to the value as a Python object.
    Ref object() const {
        switch (tag_) {
            case Int: return new_int(i_);
            case Real: return new_float(f_);
            default: return obj_.copy();
        }
    }

    friend Num operator+(const Num& a, const Num& b) {
        long long r;
        if (a.is_int() && b.is_int() && !__builtin_add_overflow(a.i_, b.i_, &r)) return Num(r);
        if (a.native() && b.native() && (a.is_real() || b.is_real())) return Num(a.dbl() + b.dbl());
        return generic(PyNumber_Add, a, b);
    }
    friend Num operator-(const Num& a, const Num& b) {
        long long r;
        if (a.is_int() && b.is_int() && !__builtin_sub_overflow(a.i_, b.i_, &r)) return Num(r);
        if (a.native() && b.native() && (a.is_real() || b.is_real())) return Num(a.dbl() - b.dbl());
        return generic(PyNumber_Subtract, a, b);
    }
    friend Num operator*(const Num& a, const Num& b) {
        long long r;
        if (a.is_int() && b.is_int() && !__builtin_mul_overflow(a.i_, b.i_, &r)) return Num(r);
        if (a.native() && b.native() && (a.is_real() || b.is_real())) return Num(a.dbl() * b.dbl());
        return generic(PyNumber_Multiply, a, b);
    }
    // True division (the host's "/").
    friend Num operator/(const Num& a, const Num& b) {
        if (a.exact_double() && b.exact_double() && b.dbl() != 0.0) return Num(a.dbl() / b.dbl());
        return generic(PyNumber_TrueDivide, a, b);
    }
    // Floor division (the host's "//").
    static Num floordiv(const Num& a, const Num& b) {
        if (a.is_int() && b.is_int() && b.i_ != 0 && !(b.i_ == -1 && a.i_ == LLONG_MIN)) {
            long long q = a.i_ / b.i_;
            if ((a.i_ % b.i_ != 0) && ((a.i_ < 0) != (b.i_ < 0))) --q;
            return Num(q);
        }
        return generic(PyNumber_FloorDivide, a, b);
    }
    // Floored remainder (the host's "%"): the sign follows the divisor.
    static Num mod(const Num& a, const Num& b) {
        if (a.is_int() && b.is_int() && b.i_ != 0 && b.i_ != -1) {
            long long r = a.i_ % b.i_;
            if (r != 0 && ((r < 0) != (b.i_ < 0))) r += b.i_;
            return Num(r);
        }
        if (a.is_int() && b.is_int() && b.i_ == -1) return Num(0LL);
        return generic(PyNumber_Remainder, a, b);
    }

    friend bool operator<(const Num& a, const Num& b) { return compare(a, b, Py_LT); }
    friend bool operator<=(const Num& a, const Num& b) { return compare(a, b, Py_LE); }
    friend bool operator>(const Num& a, const Num& b) { return compare(a, b, Py_GT); }
    friend bool operator>=(const Num& a, const Num& b) { return compare(a, b, Py_GE); }
    friend bool operator==(const Num& a, const Num& b) { return compare(a, b, Py_EQ); }

    // The host's abs().
    static Num abs(const Num& a) {
        if (a.is_int() && a.i_ != LLONG_MIN) return Num(a.i_ < 0 ? -a.i_ : a.i_);
        if (a.is_real()) return Num(std::fabs(a.f_));
        return Num(check(PyNumber_Absolute(a.object().get())));
    }
    // The host's max(a, b) and min(a, b): the first argument unless the second is strictly beyond it.
    static const Num& max(const Num& a, const Num& b) { return b > a ? b : a; }
    static const Num& min(const Num& a, const Num& b) { return b < a ? b : a; }

    // math.sqrt, math.ceil, math.floor and int().
    static Num sqrt(const Num& a) {
        if (a.native() && !(a.dbl() < 0.0)) return Num(std::sqrt(a.dbl()));
        return math("sqrt", a);
    }
    static Num ceil(const Num& a) {
        if (a.is_int()) return a;
        if (a.is_real() && std::isfinite(a.f_)) return from_integral_double(std::ceil(a.f_));
        return math("ceil", a);
    }
    static Num floor(const Num& a) {
        if (a.is_int()) return a;
        if (a.is_real() && std::isfinite(a.f_)) return from_integral_double(std::floor(a.f_));
        return math("floor", a);
    }
    static Num to_int(const Num& a) {
        if (a.is_int()) return a;
        if (a.is_real() && std::isfinite(a.f_)) return from_integral_double(std::trunc(a.f_));
        if (a.is_real()) return Num(check(PyLong_FromDouble(a.f_)));  // the host's error for inf/nan
        return Num(check(PyNumber_Long(a.obj_.get())));
    }

    // The value as a double (the host's float()).
    double to_double() const {
        if (is_real()) return f_;
        if (is_int()) return static_cast<double>(i_);
        double d = PyFloat_AsDouble(obj_.get());
        if (d == -1.0 && PyErr_Occurred()) throw_error();
        return d;
    }

private:
    enum Tag : unsigned char { Int, Real, Object };
    explicit Num(long long v) : tag_(Int), i_(v) {}
    explicit Num(double v) : tag_(Real), f_(v) {}
    explicit Num(Ref o) : tag_(Object), obj_(std::move(o)) {}

    static constexpr long long kExact = 1LL << 53;  // integers up to this convert to double exactly

    bool native() const { return tag_ != Object; }
    bool exact_double() const { return is_real() || (is_int() && i_ <= kExact && i_ >= -kExact); }
    double dbl() const { return is_real() ? f_ : static_cast<double>(i_); }

    static Num from_integral_double(double d) {
        if (d >= -9.2e18 && d <= 9.2e18) return Num(static_cast<long long>(d));
        return Num(check(PyLong_FromDouble(d)));
    }
    static Num generic(PyObject* (*op)(PyObject*, PyObject*), const Num& a, const Num& b) {
        Ref x = a.object(), y = b.object();
        return of_owned(check(op(x.get(), y.get())));
    }
    static Num of_owned(Ref r) { return of(r.get()); }
    static bool compare(const Num& a, const Num& b, int op) {
        bool native_ok = (a.is_int() && b.is_int()) || (a.exact_double() && b.exact_double()) ||
                         (a.is_real() && b.is_real());
        if (native_ok) {
            if (a.is_int() && b.is_int()) return cmp(a.i_, b.i_, op);
            return cmp(a.dbl(), b.dbl(), op);
        }
        Ref x = a.object(), y = b.object();
        return check_bool(PyObject_RichCompareBool(x.get(), y.get(), op));
    }
    template <class T>
    static bool cmp(T x, T y, int op) {
        switch (op) {
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            case Py_GT: return x > y;
            case Py_GE: return x >= y;
            case Py_EQ: return x == y;
            default: return x != y;
        }
    }
    static Num math(const char* fn, const Num& a) {
        Ref f = import_attr("math", fn);
        Ref x = a.object();
        return of_owned(call(f.get(), x.get()));
    }

    Tag tag_;
    long long i_ = 0;
    double f_ = 0.0;
    Ref obj_;
};

// An exact int in [0, 2**62) as a machine integer, read without allocating:
// the sizes and counts that fast paths handle natively, with room to add one.
inline bool as_small_nonnegative(PyObject* obj, long long& out) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);  // cannot fail on an exact int
    if (overflow || v < 0 || v >= (1LL << 62)) return false;
    out = v;
    return true;
}

}  // namespace pyglue
