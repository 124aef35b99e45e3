// vantry.gridlum: the output size to request from the image-generation
// service for an aspect-ratio text and a resolution level, within the
// service's limits on edge length, alignment, ratio and pixel count.
//
// Every operation is a class method that reads the limits through the class
// it was called on and calls the other operations through it, so a subclass
// that overrides a constant or a method changes every operation. Each call
// reads a constant at most once, at its first use, and calls our own C++
// bodies directly while the class still has them; arithmetic goes through
// Num, so constants of any number type give the host's exact results.
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "classattr.hpp"
#include "pyglue.hpp"

using namespace pyglue;

namespace {

struct State : StateBase {
    PyObject* ServiceError = nullptr;
    // class constants and methods, read through the class
    PyObject *MIN_PIXELS, *MAX_PIXELS, *MAX_EDGE, *MULTIPLE, *MAX_RATIO, *RESOLUTION_PRESET;
    PyObject *round_to_multiple, *floor_to_multiple, *is_valid_image_size;
    // result keys, in their order
    PyObject *width, *height, *size, *pixels, *aspect_ratio, *resolution, *valid;
    // texts
    PyObject *lower, *auto_text, *colon, *default_ratio, *default_level, *fallback_level, *too_wide;
    PyObject* result_template = nullptr;  // the result keys in order, "valid" True, others None
    PyMethodDef *round_def = nullptr, *floor_def = nullptr, *valid_def = nullptr;
    // The class dicts are read directly (see classattr.hpp) when this
    // interpreter allows it; our method descriptors are then known by identity.
    bool class_dicts_readable = false;
    PyObject* probe_name;
    PyObject *round_descr = nullptr, *floor_descr = nullptr, *valid_descr = nullptr;
    // Positions of the names in our own class's dict (see ClassAttrs::find).
    PyObject* cls = nullptr;
    Py_ssize_t hints[9] = {};
};

// The names read through the class, as indexes into State::hints.
enum Hint : int { kMinPixels, kMaxPixels, kMaxEdge, kMultiple, kMaxRatio, kPreset, kRound, kFloor, kValid };

// ---- machine numbers ---------------------------------------------------------------------
//
// With int limits and float or small-int sides, every operation of the
// search is exact or correctly rounded in the host's arithmetic, so doubles
// and long longs give the same bits as long as each int converts to a double
// exactly. The bounds below keep every int (sides, aligned sides, their
// products, the limits) under 2^52; outside them the search goes on in Num.

constexpr long long kSideLimit = 1LL << 25;     // |side| below this
constexpr long long kMultipleLimit = 1LL << 25;  // multiple in 1..this
constexpr long long kAlignedLimit = 1LL << 26;   // so aligned sides stay below this
constexpr long long kExactInt = 1LL << 52;       // limits within +-this

// Both ints convert to doubles exactly, so this is the host's correctly rounded int / int.
double quotient(long long numerator, long long divisor) {
    return static_cast<double>(numerator) / static_cast<double>(divisor);
}

struct NativeLimits {
    long long min_pixels, max_pixels, max_edge, multiple;
    double max_ratio;
};

// A side of the search: the host's float, or an int (after a downward alignment).
struct Side {
    double value;
    bool is_int;
    Num num() const { return is_int ? Num::integer(static_cast<long long>(value)) : Num::real(value); }
};

bool in_range(double v) { return std::fabs(v) < static_cast<double>(kSideLimit); }  // false for nan
bool in_range(const Side& s) { return in_range(s.value); }

std::optional<Side> side_of(const Num& n) {
    if (n.is_real() && in_range(n.real_value())) return Side{n.real_value(), false};
    if (n.is_int() && n.int_value() > -kSideLimit && n.int_value() < kSideLimit)
        return Side{static_cast<double>(n.int_value()), true};
    return std::nullopt;
}

enum class Rounding { Up, Down };

// max(multiple, int(ceil(value / multiple) * multiple)) for |value| < 2^25
// and 1 <= multiple <= 2^25: the result stays below 2^26 in magnitude.
long long native_align(double value, long long multiple, Rounding rounding) {
    double q = value / static_cast<double>(multiple);
    double whole = rounding == Rounding::Up ? std::ceil(q) : std::floor(q);
    long long val = static_cast<long long>(whole) * multiple;
    return val > multiple ? val : multiple;
}

// is_valid_image_size for sides below 2^26 in magnitude, neither of them 0.
bool native_valid(const NativeLimits& limits, long long width, long long height) {
    long long pixels = width * height;
    long long long_edge = height > width ? height : width;
    long long short_edge = height < width ? height : width;
    double ratio = quotient(long_edge, short_edge);
    bool edge_ok = long_edge <= limits.max_edge;
    bool width_ok = width % limits.multiple == 0;
    bool height_ok = height % limits.multiple == 0;
    bool ratio_ok = ratio <= limits.max_ratio;
    bool pixels_ok = limits.min_pixels <= pixels && pixels <= limits.max_pixels;
    bool positive = short_edge > 0;
    return edge_ok && width_ok && height_ok && ratio_ok && pixels_ok && positive;
}

std::optional<long long> exact_int(const Num& n) {
    if (n.is_int() && n.int_value() >= -kExactInt && n.int_value() <= kExactInt) return n.int_value();
    return std::nullopt;
}

std::optional<double> exact_double(const Num& n) {
    if (n.is_real()) return n.real_value();
    if (auto i = exact_int(n)) return static_cast<double>(*i);
    return std::nullopt;
}

// ---- limits --------------------------------------------------------------------------

// The class constants of one call, each read through the class at its first use.
class Limits {
public:
    Limits(State& st, PyObject* cls)
        : attrs(cls, st.class_dicts_readable), st_(st), cls_(cls), hints_(cls == st.cls ? st.hints : nullptr) {}

    // The entry of the class's own dict for a name, or empty.
    Ref own_entry(PyObject* name, Hint hint) { return attrs.find(name, hints_ ? &hints_[hint] : nullptr); }

    // cls.<name>: a plain entry of the class's own dict as it is, anything else through getattr.
    Ref attribute(PyObject* name, Hint hint) {
        Ref entry = own_entry(name, hint);
        if (entry && !is_descriptor(entry.get())) return entry;
        return getattr(cls_, name);
    }

    const Num& min_pixels() { return get(min_pixels_, st_.MIN_PIXELS, kMinPixels); }
    const Num& max_pixels() { return get(max_pixels_, st_.MAX_PIXELS, kMaxPixels); }
    const Num& max_edge() { return get(max_edge_, st_.MAX_EDGE, kMaxEdge); }
    const Num& multiple() { return get(multiple_, st_.MULTIPLE, kMultiple); }
    const Num& max_ratio() { return get(max_ratio_, st_.MAX_RATIO, kMaxRatio); }

    // All limits as machine numbers (read in the order of the validity
    // check), or null when one of them needs the host's arithmetic.
    const NativeLimits* native() {
        if (!native_checked_) {
            native_checked_ = true;
            auto edge = exact_int(max_edge()), multiple_value = exact_int(multiple());
            auto ratio = exact_double(max_ratio());
            auto lowest = exact_int(min_pixels()), highest = exact_int(max_pixels());
            bool usable_multiple = multiple_value && *multiple_value >= 1 && *multiple_value <= kMultipleLimit;
            if (edge && usable_multiple && ratio && lowest && highest)
                native_ = NativeLimits{*lowest, *highest, *edge, *multiple_value, *ratio};
        }
        return native_ ? &*native_ : nullptr;
    }

private:
    const Num& get(std::optional<Num>& slot, PyObject* name, Hint hint) {
        if (!slot) slot = Num::of(attribute(name, hint).get());
        return *slot;
    }

public:
    ClassAttrs attrs;

private:
    State& st_;
    PyObject* cls_;
    Py_ssize_t* hints_;  // for our own class only
    std::optional<Num> min_pixels_, max_pixels_, max_edge_, multiple_, max_ratio_;
    bool native_checked_ = false;
    std::optional<NativeLimits> native_;
};

// ---- alignment ---------------------------------------------------------------------------

std::optional<long long> machine_alignment(const Num& value, const Num& multiple, Rounding rounding) {
    if (!multiple.is_int() || multiple.int_value() < 1 || multiple.int_value() > kMultipleLimit) return std::nullopt;
    auto side = side_of(value);
    if (!side) return std::nullopt;
    return native_align(side->value, multiple.int_value(), rounding);
}

// max(multiple, int(ceil(value / multiple) * multiple)), as an int.
Num round_up(const Num& value, const Num& multiple) {
    if (auto fast = machine_alignment(value, multiple, Rounding::Up)) return Num::integer(*fast);
    Num val = Num::ceil(value / multiple) * multiple;
    Num aligned = Num::to_int(val);
    return Num::to_int(Num::max(multiple, aligned));
}

// The same with floor: never below `multiple` either.
Num round_down(const Num& value, const Num& multiple) {
    if (auto fast = machine_alignment(value, multiple, Rounding::Down)) return Num::integer(*fast);
    Num val = Num::floor(value / multiple) * multiple;
    Num aligned = Num::to_int(val);
    return Num::to_int(Num::max(multiple, aligned));
}

constexpr auto kRoundToMultiple =
    sig("GridlumSizeCalculator.round_to_multiple", "($cls, value, multiple=None)",
        "Align upward to the given multiple, never below the multiple itself.\n\n"
        "multiple defaults to cls.MULTIPLE.",
        Param{"value", Kind::Any, Required}, Param{"multiple", Kind::Any, NoneOk});

constexpr auto kFloorToMultiple =
    sig("GridlumSizeCalculator.floor_to_multiple", "($cls, value, multiple=None)",
        "Align down to a multiple; used to shrink a size that exceeds a limit.\n\n"
        "Never below the multiple itself; multiple defaults to cls.MULTIPLE.",
        Param{"value", Kind::Any, Required}, Param{"multiple", Kind::Any, NoneOk});

template <Num (*Align)(const Num&, const Num&)>
Ref align_entry(State& st, PyObject* cls, Args<2>& a) {
    Num value = Num::of(a.obj(0));
    if (a.given(1) && !a.is_none(1)) return Align(value, Num::of(a.obj(1))).object();
    Limits limits(st, cls);
    return Align(value, limits.multiple()).object();
}

// ---- validity ------------------------------------------------------------------------------

bool small_side(const Num& n) { return n.is_int() && n.int_value() > -kAlignedLimit && n.int_value() < kAlignedLimit; }

// All constraints are evaluated, in order, with no early exit between them;
// only the pixel range stops at its first failing half. Negative edges pass
// the other five (the "longer" edge of -3840 x -2160 is -2160), so both
// edges must also be positive.
bool valid_size(Limits& limits, const Num& width, const Num& height) {
    if (small_side(width) && small_side(height) && width.int_value() != 0 && height.int_value() != 0)
        if (const NativeLimits* native = limits.native())
            return native_valid(*native, width.int_value(), height.int_value());
    Num pixels = width * height;
    const Num& long_edge = Num::max(width, height);
    const Num& short_edge = Num::min(width, height);
    Num ratio = long_edge / short_edge;
    const Num zero = Num::integer(0);
    bool edge_ok = long_edge <= limits.max_edge();
    bool width_ok = Num::mod(width, limits.multiple()) == zero;
    bool height_ok = Num::mod(height, limits.multiple()) == zero;
    bool ratio_ok = ratio <= limits.max_ratio();
    bool pixels_ok = limits.min_pixels() <= pixels && pixels <= limits.max_pixels();
    bool positive = short_edge > zero;
    return edge_ok && width_ok && height_ok && ratio_ok && pixels_ok && positive;
}

constexpr auto kIsValidImageSize =
    sig("GridlumSizeCalculator.is_valid_image_size", "($cls, width, height)",
        "Full check of all size constraints: longer edge at most cls.MAX_EDGE, both sides\n"
        "multiples of cls.MULTIPLE, ratio at most cls.MAX_RATIO, pixel count within\n"
        "cls.MIN_PIXELS..cls.MAX_PIXELS, both edges positive.",
        Param{"width", Kind::Int, Required}, Param{"height", Kind::Int, Required});

Ref is_valid_entry(State& st, PyObject* cls, Args<2>& a) {
    Limits limits(st, cls);
    return new_bool(valid_size(limits, Num::of(a.obj(0)), Num::of(a.obj(1))));
}

// ---- the methods of one call ---------------------------------------------------------------------

// What the argument parser of is_valid_image_size would make of a side:
// an exact int by truncation, or its TypeError.
Num side_argument(const Num& side, const char* name) {
    if (side.is_int()) return side;
    Ref obj = side.object();
    Ref as_int = to_int(obj.get(), name);
    return Num::of(as_int.get());
}

// The methods of `cls`, each looked up once at its first use; our own
// bodies run directly, overrides are called.
class Operations {
public:
    Operations(State& st, PyObject* cls, Limits& limits) : st_(st), cls_(cls), limits_(limits) {}

    Num round_up(const Num& value) { return align(round_, ::round_up, value); }
    Num round_down(const Num& value) { return align(floor_, ::round_down, value); }

    // cls.is_valid_image_size(width, height), as the object it returns.
    Ref validity(const Num& width, const Num& height) {
        Method& m = resolve(valid_);
        if (m.own)
            return new_bool(valid_size(limits_, side_argument(width, "width"), side_argument(height, "height")));
        Ref w = width.object(), h = height.object();
        return call(m.fn.get(), w.get(), h.get());
    }
    bool is_valid(const Num& width, const Num& height) { return truth(validity(width, height).get()); }

    // Upward alignment and validity are still our own (looked up in that order).
    bool own_search() { return resolve(round_).own && resolve(valid_).own; }
    bool own_floor() { return resolve(floor_).own; }

private:
    struct Method {
        Method(PyObject* name_, Hint hint_, PyObject* descr_, PyMethodDef* def_)
            : name(name_), hint(hint_), descr(descr_), def(def_) {}
        PyObject* name;
        Hint hint;
        PyObject* descr;  // our descriptor in the class dict
        PyMethodDef* def;
        bool resolved = false;
        bool own = false;
        Ref fn;  // the bound override
    };
    using Align = Num (*)(const Num&, const Num&);

    Num align(Method& method, Align body, const Num& value) {
        Method& m = resolve(method);
        if (m.own) return body(value, limits_.multiple());
        Ref v = value.object();
        Ref result = call(m.fn.get(), v.get());
        return Num::of(result.get());
    }
    // Our descriptor found in the class dicts needs no bound method. Else the
    // bound attribute is ours only when it is our built-in bound to this very
    // class: one bound to another class (assigned in a subclass) would read
    // that class's constants, so it is called.
    Method& resolve(Method& m) {
        if (m.resolved) return m;
        m.resolved = true;
        Ref entry = limits_.own_entry(m.name, m.hint);
        if (entry && entry.get() == m.descr) {
            m.own = true;
            return m;
        }
        m.fn = getattr(cls_, m.name);
        m.own = is_own_method(m.fn.get(), m.def, cls_);
        return m;
    }

    State& st_;
    PyObject* cls_;
    Limits& limits_;
    Method round_{st_.round_to_multiple, kRound, st_.round_descr, st_.round_def};
    Method floor_{st_.floor_to_multiple, kFloor, st_.floor_descr, st_.floor_def};
    Method valid_{st_.is_valid_image_size, kValid, st_.valid_descr, st_.valid_def};
};

// ---- the search ------------------------------------------------------------------------------------

constexpr int kMaxLoop = 20;

struct Size {
    Num w, h;
};

// math.sqrt; a negative argument gets the host's own error.
double host_sqrt(double x) { return x >= 0.0 ? std::sqrt(x) : Num::sqrt(Num::real(x)).real_value(); }

// numerator / divisor; division by zero gets the host's own error.
double host_divide(long long numerator, const Side& divisor) {
    if (divisor.value != 0.0) return static_cast<double>(numerator) / divisor.value;
    return (Num::integer(numerator) / divisor.num()).real_value();
}

Side scaled(const Side& s, double scale) { return Side{s.value * scale, false}; }

// Passes on machine numbers, while the sides stay in range. Returns the
// size when a pass finds a valid one; otherwise leaves in w_num, h_num and
// pass where the search goes on (pass == kMaxLoop when the passes ran out).
std::optional<Size> native_search(const NativeLimits& limits, Operations& ops, Num& w_num, Num& h_num, int& pass) {
    std::optional<Side> w = side_of(w_num), h = side_of(h_num);
    if (!w || !h) return std::nullopt;
    while (pass < kMaxLoop) {
        long long w_align = native_align(w->value, limits.multiple, Rounding::Up);
        long long h_align = native_align(h->value, limits.multiple, Rounding::Up);
        long long current_pixels = w_align * h_align;
        if (native_valid(limits, w_align, h_align)) return Size{Num::integer(w_align), Num::integer(h_align)};
        ++pass;
        const Side long_e = h->value > w->value ? *h : *w;
        if (current_pixels > limits.max_pixels) {
            double scale = host_sqrt(quotient(limits.max_pixels, current_pixels)) * 0.999;
            w = scaled(*w, scale);
            h = scaled(*h, scale);
        } else if (long_e.value > static_cast<double>(limits.max_edge)) {
            double scale = host_divide(limits.max_edge, long_e);
            w = scaled(*w, scale);
            h = scaled(*h, scale);
        } else if (current_pixels < limits.min_pixels) {
            double scale = host_sqrt(quotient(limits.min_pixels, current_pixels));
            w = scaled(*w, scale);
            h = scaled(*h, scale);
        } else if (ops.own_floor()) {
            w = Side{static_cast<double>(native_align(w->value, limits.multiple, Rounding::Down)), true};
            h = Side{static_cast<double>(native_align(h->value, limits.multiple, Rounding::Down)), true};
        } else {
            Num w_floor = ops.round_down(w->num());
            Num h_floor = ops.round_down(h->num());
            w = side_of(w_floor);
            h = side_of(h_floor);
            if (!w || !h) {
                w_num = std::move(w_floor);
                h_num = std::move(h_floor);
                return std::nullopt;
            }
        }
        if (!in_range(*w) || !in_range(*h)) break;
    }
    w_num = w->num();
    h_num = h->num();
    return std::nullopt;
}

// The passes from `pass` on, in the host's arithmetic: align both sides
// upward; stop on a valid size, else shrink to the pixel budget (with a
// 0.999 margin), shrink to the edge limit, grow to the pixel minimum, or
// align downward.
Size host_search(Limits& limits, Operations& ops, Num w, Num h, int pass) {
    for (; pass < kMaxLoop; ++pass) {
        Num w_align = ops.round_up(w);
        Num h_align = ops.round_up(h);
        Num current_pixels = w_align * h_align;
        if (ops.is_valid(w_align, h_align)) return Size{std::move(w_align), std::move(h_align)};
        if (current_pixels > limits.max_pixels()) {
            Num scale = Num::sqrt(limits.max_pixels() / current_pixels) * Num::real(0.999);
            w = w * scale;
            h = h * scale;
            continue;
        }
        Num long_e = Num::max(w, h);
        if (long_e > limits.max_edge()) {
            Num scale = limits.max_edge() / long_e;
            w = w * scale;
            h = h * scale;
        } else if (current_pixels < limits.min_pixels()) {
            Num scale = Num::sqrt(limits.min_pixels() / current_pixels);
            w = w * scale;
            h = h * scale;
        } else {
            w = ops.round_down(w);
            h = ops.round_down(h);
        }
    }
    return Size{std::move(w), std::move(h)};
}

Size search(Limits& limits, Operations& ops, Num w, Num h) {
    int pass = 0;
    if (ops.own_search())
        if (const NativeLimits* native = limits.native())
            if (auto found = native_search(*native, ops, w, h, pass)) return std::move(*found);
    return host_search(limits, ops, std::move(w), std::move(h), pass);
}

// ---- texts ------------------------------------------------------------------------------------

// The text as ASCII bytes, or nothing when it holds other characters.
std::optional<std::string_view> ascii_view(PyObject* text) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) {  // lone surrogates: not ASCII
        PyErr_Clear();
        return std::nullopt;
    }
    if (n != PyUnicode_GetLength(text)) return std::nullopt;
    return std::string_view(s, static_cast<size_t>(n));
}

bool is_ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }
char ascii_lower(char c) { return is_ascii_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

// text.lower(); ASCII text is lowered here, and comes back as itself when it
// has no capital letter.
Ref lowered(State& st, PyObject* text) {
    auto view = ascii_view(text);
    if (!view) return call_method(text, st.lower);
    std::string_view s = *view;
    size_t first_upper = 0;
    while (first_upper < s.size() && !is_ascii_upper(s[first_upper])) ++first_upper;
    if (first_upper == s.size()) return Ref::borrow(text);
    std::string out(s);
    for (size_t i = first_upper; i < out.size(); ++i) out[i] = ascii_lower(out[i]);
    return new_text(out);
}

// "auto" in any letter case, for ASCII text.
bool is_auto(std::string_view s) {
    if (s.size() != 4) return false;
    const char* want = "auto";
    for (size_t i = 0; i < 4; ++i)
        if (ascii_lower(s[i]) != want[i]) return false;
    return true;
}

// Plain decimal digits, few enough for a long long.
std::optional<long long> digits_value(std::string_view s) {
    if (s.empty() || s.size() > 18) return std::nullopt;
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

struct Terms {
    Num rw, rh;
};

// "W:H" with plain digits on both sides; anything else (signs, spaces,
// underscores, other digits, errors) is left to the host's int().
std::optional<Terms> plain_terms(std::string_view s) {
    size_t colon = s.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto w = digits_value(s.substr(0, colon)), h = digits_value(s.substr(colon + 1));
    if (!w || !h) return std::nullopt;
    return Terms{Num::integer(*w), Num::integer(*h)};
}

// int() of every part between the colons, then exactly two of them.
Terms parsed_terms(State& st, PyObject* text) {
    Ref parts = check(PyUnicode_Split(text, st.colon, -1));
    Ref numbers = new_list();
    for_each(parts.get(), [&](PyObject* part) { list_append(numbers.get(), check(PyNumber_Long(part)).get()); });
    Ref terms[2];
    unpack(numbers.get(), terms);
    return Terms{Num::of(terms[0].get()), Num::of(terms[1].get())};
}

// The ratio terms; empty text and "auto" in any letter case ask for a square.
Terms ratio_terms(State& st, PyObject* aspect_ratio) {
    const Terms square{Num::integer(1), Num::integer(1)};
    if (PyUnicode_GetLength(aspect_ratio) == 0) return square;
    if (auto view = ascii_view(aspect_ratio)) {
        if (is_auto(*view)) return square;
        if (auto terms = plain_terms(*view)) return std::move(*terms);
    } else if (equal(call_method(aspect_ratio, st.lower).get(), st.auto_text)) {
        return square;
    }
    return parsed_terms(st, aspect_ratio);
}

// ---- calc_size --------------------------------------------------------------------------------

[[noreturn]] void refuse_ratio(State& st, PyObject* aspect_ratio) {
    Ref args = tuple_of({st.too_wide});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.aspect_ratio, aspect_ratio);
    Ref error = call_kw(st.ServiceError, args.get(), kwargs.get());
    raise_object(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// The pixel budget of a level: its preset entry, or the "2k" entry when it has none.
Num level_budget(State& st, Limits& limits, PyObject* resolution) {
    Ref preset = limits.attribute(st.RESOLUTION_PRESET, kPreset);
    if (PyDict_CheckExact(preset.get())) {
        PyObject* entry = PyDict_GetItemWithError(preset.get(), resolution);
        if (entry) return Num::of(entry);
        if (PyErr_Occurred()) throw_error();
    } else if (check_bool(PySequence_Contains(preset.get(), resolution))) {
        return Num::of(check(PyObject_GetItem(preset.get(), resolution)).get());
    }
    return Num::of(check(PyObject_GetItem(preset.get(), st.fallback_level)).get());
}

std::optional<long long> small_term(const Num& n) {
    if (n.is_int() && n.int_value() >= 1 && n.int_value() <= (1LL << 31)) return n.int_value();
    return std::nullopt;
}

// Steps 3 and 4 on machine numbers, for positive terms below 2^31 and a
// MAX_RATIO that converts to a double exactly: every quotient is then one of
// exact doubles, and the clamped term is used only while it stays exact.
std::optional<Num> machine_ratio(State& st, Limits& limits, const Terms& t, PyObject* aspect_ratio, bool strict) {
    auto rw = small_term(t.rw), rh = small_term(t.rh);
    if (!rw || !rh) return std::nullopt;
    double ratio = quotient(*rw, *rh);
    long long long_r = *rh > *rw ? *rh : *rw, short_r = *rh < *rw ? *rh : *rw;
    double spread = quotient(long_r, short_r);
    auto cap = exact_double(limits.max_ratio());
    if (!cap) return std::nullopt;
    if (!(spread > *cap)) return Num::real(ratio);
    if (strict) refuse_ratio(st, aspect_ratio);
    double product = *cap * static_cast<double>(short_r);
    if (!(std::fabs(product) < static_cast<double>(kExactInt))) return std::nullopt;
    long long clamped = static_cast<long long>(product);  // int() truncates toward zero
    if (clamped == 0) return std::nullopt;                // the host raises its division by zero
    return Num::real(*rw >= *rh ? quotient(clamped, short_r) : quotient(short_r, clamped));
}

// ratio = rw / rh, clamped to cls.MAX_RATIO keeping the orientation, or
// refused with ServiceError when strict.
Num limited_ratio(State& st, Limits& limits, Terms t, PyObject* aspect_ratio, bool strict) {
    if (auto fast = machine_ratio(st, limits, t, aspect_ratio, strict)) return std::move(*fast);
    Num rw = std::move(t.rw), rh = std::move(t.rh);
    Num ratio = rw / rh;
    Num long_r = Num::max(rw, rh), short_r = Num::min(rw, rh);
    Num spread = long_r / short_r;  // before MAX_RATIO is read, as the host evaluates it
    if (!(spread > limits.max_ratio())) return ratio;
    if (strict) refuse_ratio(st, aspect_ratio);
    Num clamped = Num::to_int(limits.max_ratio() * short_r);
    if (rw >= rh) {
        rw = clamped;
        rh = short_r;
    } else {
        rw = short_r;
        rh = clamped;
    }
    return rw / rh;
}

// Decimal digits of v at the end of buf; returns where they start.
char* format_decimal(long long v, char* end) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        *--end = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *--end = '-';
    return end;
}

// "<width>x<height>".
Ref size_text(const Num& width, const Num& height) {
    if (width.is_int() && height.is_int()) {
        char buf[48];
        char* end = buf + sizeof buf;
        char* h = format_decimal(height.int_value(), end);
        *--h = 'x';
        char* start = format_decimal(width.int_value(), h);
        return new_text(std::string_view(start, static_cast<size_t>(end - start)));
    }
    Ref w = width.object(), h = height.object();
    Ref w_text = check(PyObject_Str(w.get())), h_text = check(PyObject_Str(h.get()));
    Ref x = new_text("x");
    return concat({w_text.get(), x.get(), h_text.get()});
}

constexpr auto kCalcSize = sig(
    "GridlumSizeCalculator.calc_size", "($cls, aspect_ratio='1:1', resolution='2k', strict=False)",
    "Generate a compliant size, with the total pixel count strictly kept at or below 8294400.\n\n"
    "aspect_ratio: 'W:H' (empty or 'auto' for a square); resolution: '1k', '2k' or '4k'\n"
    "(other levels get the '2k' budget). A ratio beyond cls.MAX_RATIO is clamped to it, or\n"
    "refused with ServiceError when strict is true. Returns a dict with width, height,\n"
    "size, pixels, aspect_ratio, resolution and valid.",
    Param{"aspect_ratio", Kind::Str, Optional}, Param{"resolution", Kind::Str, Optional},
    Param{"strict", Kind::Truth, Optional});

Ref calc_size(State& st, PyObject* cls, Args<3>& a) {
    PyObject* aspect_ratio = a.obj(0, st.default_ratio);
    Ref resolution = lowered(st, a.obj(1, st.default_level));
    bool strict = a.truth(2, false);

    Terms terms = ratio_terms(st, aspect_ratio);
    Limits limits(st, cls);
    Num ratio = limited_ratio(st, limits, std::move(terms), aspect_ratio, strict);

    Num target_pixels = level_budget(st, limits, resolution.get());
    const Num& lowest = limits.min_pixels();
    const Num& highest = limits.max_pixels();
    target_pixels = Num::max(lowest, Num::min(target_pixels, highest));

    Num w = Num::sqrt(target_pixels * ratio);
    Num h = w / ratio;
    Operations ops(st, cls, limits);
    Size found = search(limits, ops, std::move(w), std::move(h));

    Num width = Num::to_int(found.w), height = Num::to_int(found.h);
    Num final_pixels = width * height;
    Ref width_obj = width.object(), height_obj = height.object(), pixels_obj = final_pixels.object();
    Ref size = size_text(width, height);
    Ref valid = ops.validity(width, height);

    // A copy of a dict that already holds the seven keys in order (and
    // "valid" True): filling it replaces values and never grows the table.
    Ref result = check(PyDict_Copy(st.result_template));
    dict_set(result.get(), st.width, width_obj.get());
    dict_set(result.get(), st.height, height_obj.get());
    dict_set(result.get(), st.size, size.get());
    dict_set(result.get(), st.pixels, pixels_obj.get());
    dict_set(result.get(), st.aspect_ratio, aspect_ratio);
    dict_set(result.get(), st.resolution, resolution.get());
    if (valid.get() != Py_True) dict_set(result.get(), st.valid, valid.get());
    return result;
}

// ---- class and module ---------------------------------------------------------------------------

constexpr auto kInit = sig("GridlumSizeCalculator.__init__", "($self)", "Instances carry no state.");

Ref init(State&, PyObject*, Args<0>&) { return none(); }

void intern_names(State& st) {
    for (auto [slot, text] :
         {std::pair{&st.MIN_PIXELS, "MIN_PIXELS"}, {&st.MAX_PIXELS, "MAX_PIXELS"}, {&st.MAX_EDGE, "MAX_EDGE"},
          {&st.MULTIPLE, "MULTIPLE"}, {&st.MAX_RATIO, "MAX_RATIO"}, {&st.RESOLUTION_PRESET, "RESOLUTION_PRESET"},
          {&st.round_to_multiple, "round_to_multiple"}, {&st.floor_to_multiple, "floor_to_multiple"},
          {&st.is_valid_image_size, "is_valid_image_size"}, {&st.width, "width"}, {&st.height, "height"},
          {&st.size, "size"}, {&st.pixels, "pixels"}, {&st.aspect_ratio, "aspect_ratio"},
          {&st.resolution, "resolution"}, {&st.valid, "valid"}, {&st.lower, "lower"}, {&st.auto_text, "auto"},
          {&st.colon, ":"}, {&st.probe_name, "_gridlum_probe"}, {&st.default_ratio, "1:1"},
          {&st.default_level, "2k"}, {&st.fallback_level, "2k"}})
        *slot = st.name(text);
    st.too_wide = st.keep(new_text("图像宽高比不合法, 相差太大"));
    st.result_template = st.keep(new_dict());
    for (PyObject* key : {st.width, st.height, st.size, st.pixels, st.aspect_ratio, st.resolution})
        dict_set(st.result_template, key, Py_None);
    dict_set(st.result_template, st.valid, Py_True);
}

Ref resolution_presets() {
    Ref presets = new_dict();
    for (auto [level, pixels] : {std::pair{"1k", 1572516LL}, {"2k", 6553600LL}, {"4k", 8294400LL}})
        dict_set(presets.get(), level, new_int(pixels).get());
    return presets;
}

void remember_descriptors(State& st, PyObject* cls) {
    st.class_dicts_readable = class_dicts_readable(cls, st.MIN_PIXELS, st.probe_name);
    if (!st.class_dicts_readable) return;
    Ref dict = heap_type_dict(cls);
    for (auto [slot, name] : {std::pair{&st.round_descr, st.round_to_multiple},
                              {&st.floor_descr, st.floor_to_multiple}, {&st.valid_descr, st.is_valid_image_size}})
        *slot = st.keep(Ref::borrow(PyDict_GetItemWithError(dict.get(), name)));
}

void exec(PyObject* module, State& st) {
    Ref math = import("math");
    st.ServiceError = st.keep(import_attr("vantry.excode", "ServiceError"));
    add_object(module, "math", math.get());
    add_object(module, "ServiceError", st.ServiceError);
    intern_names(st);

    st.round_def = method_def<State, kRoundToMultiple, align_entry<round_up>>();
    st.floor_def = method_def<State, kFloorToMultiple, align_entry<round_down>>();
    st.valid_def = method_def<State, kIsValidImageSize, is_valid_entry>();
    PyObject* cls =
        ClassBuilder(st, "GridlumSizeCalculator",
                     "Output sizes that the image-generation service accepts.\n\n"
                     "The service's constraints, which every valid result satisfies:\n"
                     "- the longer edge is at most 3840 pixels;\n"
                     "- width and height are multiples of 16;\n"
                     "- the ratio of the longer to the shorter edge is at most 3:1;\n"
                     "- the total pixel count lies between 655360 and 8294400 inclusive.\n\n"
                     "Every method is a class method that reads the limits through the class, so a\n"
                     "subclass that overrides a constant or a method changes every operation.")
            .constant("MIN_PIXELS", new_int(655360))
            .constant("MAX_PIXELS", new_int(8294400))
            .constant("MAX_EDGE", new_int(3840))
            .constant("MULTIPLE", new_int(16))
            .constant("MAX_RATIO", new_float(3.0))
            .constant("RESOLUTION_PRESET", resolution_presets())
            .create()
            .method(method_def<State, kInit, init>())
            .class_method(st.round_def)
            .class_method(st.floor_def)
            .class_method(st.valid_def)
            .class_method(method_def<State, kCalcSize, calc_size>())
            .finish();
    remember_descriptors(st, cls);
    st.cls = cls;
}

}  // namespace

PyMODINIT_FUNC PyInit_gridlum() {
    return Module<State, exec>::init("vantry.gridlum",
                                     "Output sizes for the image-generation service from a ratio and a level.");
}
