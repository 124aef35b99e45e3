// vantry.simplora: the aspect ratio of an encoded image as a reduced ratio
// text ("16:9") or as the nearest ratio of two small integers.
//
// Only the image header is read: Image.open identifies the format and the
// size without decoding any pixel data, so the cost does not depend on it.
#include <array>
#include <charconv>
#include <cmath>
#include <climits>
#include <cstdint>
#include <numeric>

#include "pyglue.hpp"
// after Python.h, which must come first
#include "image_header.hpp"

using namespace pyglue;

namespace {

// Ratios with both terms up to this are formatted once and shared (strings
// are immutable): nearly every result is one of a few such ratios, and making
// a new string per call was about a third of what this module added to
// Pillow's header read.
constexpr long long kSharedTerms = 32;

struct State : StateBase {
    ModuleAttrs Image;            // PIL.Image, whose open callers may replace
    PyObject* BytesIO = nullptr;  // io.BytesIO
    PyObject* default_range = nullptr;
    PyObject* empty = nullptr;  // "" as a format spec
    // Pillow's own close methods, of Image.Image and of ImageFile.ImageFile (what an opened file is)
    std::array<PyObject*, 2> pillow_closes{};
    PyObject* image_class = nullptr;  // PIL.Image.Image
    PyObject *approx_search_range, *gcd, *open, *close, *size, *dict_name, *map, *fp, *private_fp;
    PyMethodDef* gcd_def = nullptr;
    std::array<PyObject*, kSharedTerms * kSharedTerms> shared_texts{};  // made at exec
};

// ---- reading the size -------------------------------------------------------------

struct Dimensions {
    Ref width, height;
};

// Whether img.close() would change nothing anyone can see: Pillow's own close
// on an image that holds no memory map and no file but our stream (which is
// closed next anyway) only swaps its never-loaded pixel core and its file for
// error placeholders, on an object dropped right after. The two placeholder
// exceptions it builds were a tenth of the cost of a header read.
bool close_changes_nothing(State& st, PyObject* img, PyObject* stream) {
    Ref close = getattr(reinterpret_cast<PyObject*>(Py_TYPE(img)), st.close);
    if (close.get() == st.pillow_closes[1]) {  // ImageFile's close ends in Image's, which may be patched
        Ref base_close = getattr(st.image_class, st.close);
        if (base_close.get() != st.pillow_closes[0]) return false;
    } else if (close.get() != st.pillow_closes[0]) {
        return false;
    }
    Ref vars = getattr(img, st.dict_name);
    if (!PyDict_Check(vars.get())) return false;
    Ref map = dict_get(vars.get(), st.map);
    if (map && truth(map.get())) return false;
    for (PyObject* name : {st.fp, st.private_fp}) {
        Ref file = dict_get(vars.get(), name);
        if (file && file.get() != stream && file.get() != Py_None) return false;
    }
    return true;
}

// (width, height) of the encoded image; the stream and the image are closed
// on every path before any arithmetic is done.
Dimensions read_dimensions(State& st, PyObject* image_bytes) {
    Ref stream = call(st.BytesIO, image_bytes);
    Closing stream_guard(stream.get(), st.close);
    Ref img = call(st.Image.get(st.open).get(), stream.get());
    Closing image_guard(img.get(), st.close);
    if (close_changes_nothing(st, img.get(), stream.get())) image_guard.dismiss();
    Ref size = getattr(img.get(), st.size);
    Ref wh[2];
    if (PyTuple_CheckExact(size.get()) && PyTuple_Size(size.get()) == 2) {
        wh[0] = Ref::borrow(PyTuple_GetItem(size.get(), 0));
        wh[1] = Ref::borrow(PyTuple_GetItem(size.get(), 1));
    } else {
        unpack(size.get(), wh);
    }
    image_guard.close();
    stream_guard.close();
    return {std::move(wh[0]), std::move(wh[1])};
}

// ---- ratio text ------------------------------------------------------------------------

// format(value, "") of a term: decimal digits for an int, the host's own text otherwise.
Ref term_text(State& st, const Num& term) {
    if (term.is_int()) {
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits, term.int_value()).ptr;
        return new_text({digits, static_cast<size_t>(end - digits)});
    }
    Ref obj = term.object();
    return check(PyObject_Format(obj.get(), st.empty));
}

// to_chars rather than snprintf: the format parser of printf was a fifth of
// what this module added to Pillow's header read.
Ref format_ratio(long long first, long long second) {
    char text[48];
    char* end = std::to_chars(text, text + 20, first).ptr;
    *end++ = ':';
    end = std::to_chars(end, text + sizeof text, second).ptr;
    return new_text({text, static_cast<size_t>(end - text)});
}

// "first:second"; the text of small terms is made once, at exec, and shared.
Ref ratio_text(State& st, long long first, long long second) {
    if (first < 1 || first > kSharedTerms || second < 1 || second > kSharedTerms) return format_ratio(first, second);
    return Ref::borrow(st.shared_texts[(first - 1) * kSharedTerms + (second - 1)]);
}

Ref ratio_text(State& st, const Num& first, const Num& second) {
    if (first.is_int() && second.is_int()) return ratio_text(st, first.int_value(), second.int_value());
    Ref a = term_text(st, first), b = term_text(st, second), colon = new_text(":");
    return concat({a.get(), colon.get(), b.get()});
}

// ---- _gcd --------------------------------------------------------------------------------

// Euclid's algorithm with the floored remainder (its sign is the divisor's),
// so the divisor of a and 0 is a, and of 0 and 0 is 0.
Num euclid(Num a, Num b) {
    const Num zero = Num::integer(0);
    while (!(b == zero)) {
        Num r = Num::mod(a, b);
        a = std::move(b);
        b = std::move(r);
    }
    return a;
}

constexpr auto kGcd = sig("ImageSimplora._gcd", "($module, a, b)", "The greatest common divisor of a and b.",
                          Param{"a", Kind::Int, Required}, Param{"b", Kind::Int, Required});

Ref gcd(State&, Args<2>& a) { return euclid(Num::of(a.obj(0)), Num::of(a.obj(1))).object(); }

// self._gcd(width, height): the C++ body directly while the method is still
// ours, the override otherwise.
Num gcd_through(State& st, PyObject* method, PyObject* width, PyObject* height) {
    if (!is_own_method(method, st.gcd_def, st.module)) return Num::of(call(method, width, height).get());
    Ref a = to_int(width, "a"), b = to_int(height, "b");
    return euclid(Num::of(a.get()), Num::of(b.get()));
}

// Image sides are plain non-negative ints below 2**32; for them the whole
// reduction runs on 32-bit machine integers (a 64-bit divide costs several
// times as much), which keeps this call's own work to a few dozen
// instructions next to Pillow's header read. False for anything else.
bool reduce_plain_sides(PyObject* width, PyObject* height, long long& w, long long& h) {
    long long w64, h64;
    if (!as_small_nonnegative(width, w64) || !as_small_nonnegative(height, h64)) return false;
    if (w64 > UINT32_MAX || h64 > UINT32_MAX) return false;
    const auto a = static_cast<uint32_t>(w64), b = static_cast<uint32_t>(h64);
    const uint32_t div = std::gcd(a, b);  // Euclid's result for non-negative terms
    if (div == 0) return false;           // 0 // 0: the host's error
    w = a / div;
    h = b / div;
    return true;
}

// ---- constructor -------------------------------------------------------------------------

constexpr auto kInit = sig("ImageSimplora.__init__", "($self, approx_search_range=10)",
                           "approx_search_range: the largest term tried by get_approx_simple_ratio.",
                           Param{"approx_search_range", Kind::Int, Optional});

Ref init(State& st, PyObject* self, Args<1>& a) {
    setattr(self, st.approx_search_range, a.obj(0, st.default_range));
    return none();
}

// ---- ratios ------------------------------------------------------------------------------

constexpr auto kRawRatio = sig("ImageSimplora.get_raw_simple_ratio", "($self, image_bytes)",
                               "The image's exact ratio reduced to lowest terms, such as '683:384' for 1366 x 768.",
                               Param{"image_bytes", Kind::Bytes, Required});

Ref raw_ratio(State& st, PyObject* self, Args<1>& a) {
    Dimensions dim = read_dimensions(st, a.obj(0));
    Ref method = getattr(self, st.gcd);
    long long w, h;
    if (is_own_method(method.get(), st.gcd_def, st.module) && reduce_plain_sides(dim.width.get(), dim.height.get(), w, h))
        return ratio_text(st, w, h);
    Num div = gcd_through(st, method.get(), dim.width.get(), dim.height.get());
    Num rw = Num::floordiv(Num::of(dim.width.get()), div);
    Num rh = Num::floordiv(Num::of(dim.height.get()), div);
    return ratio_text(st, rw, rh);
}

// The loop bound as range(1, limit + 1) takes it: limit + 1 must be an index.
long long search_bound(PyObject* limit) {
    long long v;
    if (as_small_nonnegative(limit, v)) return v + 1;
    Ref stop = (Num::of(limit) + Num::integer(1)).object();
    Ref index = check(PyNumber_Index(stop.get()));
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (overflow) return overflow > 0 ? LLONG_MAX : 0;
    return v;
}

// Beyond this many terms neighbouring quotients i / j and i / (j + 1) can
// round to distances that compare equal; below it they never do.
constexpr long long kMergeFree = 1LL << 40;

// The first j in 1..last at the least distance |i / j - target| for a fixed i,
// with the distances computed in double precision as a scan over every pair
// computes them. As j grows the quotient i / j never rises (rounding keeps
// order), so its distance to the target never rises until the quotient drops
// below the target and never falls after: the least distance sits at the last
// j whose quotient is still on or above the target, or at the one after. A row
// costs two divisions instead of `last`.
long long nearest_in_row(double i, double target, double inverse_target, long long last, double& row_distance) {
    // k: that last j (0 when even i / 1 is below the target), estimated, then made exact.
    long long k = last;
    if (target > 0.0) {
        const double crossing = i * inverse_target;
        k = crossing >= static_cast<double>(last) ? last : crossing < 1.0 ? 0 : static_cast<long long>(crossing);
    }
    auto quotient = [&](long long j) { return i / static_cast<double>(j); };
    double at_k = k > 0 ? quotient(k) : INFINITY;
    double after = k < last ? quotient(k + 1) : -INFINITY;
    while (k < last && after >= target) {
        at_k = after;
        ++k;
        after = k < last ? quotient(k + 1) : -INFINITY;
    }
    while (k > 0 && at_k < target) {
        after = at_k;
        --k;
        at_k = k > 0 ? quotient(k) : INFINITY;
    }

    long long j = k;
    row_distance = k > 0 ? std::fabs(at_k - target) : INFINITY;
    if (k < last && std::fabs(after - target) < row_distance) {
        j = k + 1;
        row_distance = std::fabs(after - target);
    }
    // Where rounding can merge neighbours, equal distances go to the first of them.
    if (last >= kMergeFree)
        while (j > 1 && j <= k && std::fabs(quotient(j - 1) - target) == row_distance) --j;
    return j;
}

// The first pair (i, j) in 1..stop-1, in the order i, then j, whose quotient
// is strictly nearest to target; ties keep the earlier pair, so the result is
// in lowest terms. False when the loops do not run.
bool nearest_pair(double target, long long stop, long long& best_w, long long& best_h) {
    if (stop <= 1) return false;
    const long long last = stop - 1;
    double min_error = INFINITY;
    bool found = false;
    // A huge bound runs long; let Ctrl-C stop it.
    const bool interruptible = last > 4096;
    const double inverse_target = 1.0 / target;  // only to estimate each row's crossing
    for (long long i = 1; i <= last; ++i) {
        if (interruptible && (i & 1023) == 0 && PyErr_CheckSignals() < 0) throw_error();
        double error;
        const long long j = nearest_in_row(static_cast<double>(i), target, inverse_target, last, error);
        if (error < min_error) {
            min_error = error;
            best_w = i;
            best_h = j;
            found = true;
            if (error == 0.0) break;  // an exact hit: no later pair can be strictly nearer
        }
    }
    return found;
}

constexpr auto kApproxRatio = sig(
    "ImageSimplora.get_approx_simple_ratio", "($self, image_bytes)",
    "The nearest simple ratio i:j with 1 <= i, j <= approx_search_range, such as '16:9'.\n\n"
    "Of the pairs at equal least distance the first in the order i, then j wins (smaller i, then smaller j).",
    Param{"image_bytes", Kind::Bytes, Required});

Ref approx_ratio(State& st, PyObject* self, Args<1>& a) {
    Dimensions dim = read_dimensions(st, a.obj(0));
    Num width = Num::of(dim.width.get()), height = Num::of(dim.height.get());
    double target = (width / height).to_double();
    Ref limit = getattr(self, st.approx_search_range);
    long long best_w = 0, best_h = 0;
    if (nearest_pair(target, search_bound(limit.get()), best_w, best_h)) return ratio_text(st, best_w, best_h);
    return ratio_text(st, width, height);
}

// ---- from a size or a file header, for the command ---------------------------------------

// The texts both methods give for an image of width x height on an instance
// that overrides nothing: the command's ratio of a size it read itself.
constexpr auto kSizeRatios = sig(
    "_size_ratios", "($module, width, height, approx_search_range)",
    "(get_raw_simple_ratio, get_approx_simple_ratio) of an image of that size, without opening one.",
    Param{"width", Kind::Int, Required}, Param{"height", Kind::Int, Required},
    Param{"approx_search_range", Kind::Int, Required});

Ref size_ratios(State& st, Args<3>& a) {
    long long w, h;
    if (!reduce_plain_sides(a.obj(0), a.obj(1), w, h)) {
        PyErr_SetString(PyExc_ValueError, "width and height must be ints from 0 to 2**32 - 1, not both 0");
        throw_error();
    }
    Ref raw = ratio_text(st, w, h);
    long long best_w = 0, best_h = 0;
    const Num width = Num::of(a.obj(0)), height = Num::of(a.obj(1));
    Ref approx = nearest_pair((width / height).to_double(), search_bound(a.obj(2)), best_w, best_h)
                     ? ratio_text(st, best_w, best_h)
                     : ratio_text(st, width, height);
    return tuple_of({raw.get(), approx.get()});
}

constexpr auto kShownSize = sig(
    "_shown_size", "($module, fd, exif_rotate)",
    "(width, height) of the JPEG or PNG file open as fd, exchanged when exif_rotate and its EXIF\n"
    "orientation turns it a quarter, read from its header alone; None when only Pillow can tell.",
    Param{"fd", Kind::Int, Required}, Param{"exif_rotate", Kind::Truth, Required});

Ref shown_size(State&, Args<2>& a) {
    const long fd = PyLong_AsLong(a.obj(0));
    if (fd == -1 && PyErr_Occurred()) throw_error();
    if (fd < 0 || fd > INT_MAX) return none();
    std::optional<image_header::ShownSize> size;
    {
        WithoutGil unlocked;  // file reads only
        size = image_header::read_shown_size(static_cast<int>(fd), a.truth(1, true));
    }
    if (!size) return none();
    return size->quarter_turned ? int_pair(size->height, size->width) : int_pair(size->width, size->height);
}

// ---- module ------------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    Ref io = import("io");
    st.BytesIO = st.keep(getattr(io.get(), "BytesIO"));
    st.Image.module = st.keep(import("PIL.Image"));
    st.Image.dict = PyModule_GetDict(st.Image.module);
    add_object(module, "BytesIO", st.BytesIO);
    add_object(module, "Image", st.Image.module);

    for (long long first = 1; first <= kSharedTerms; ++first)
        for (long long second = 1; second <= kSharedTerms; ++second)
            st.shared_texts[(first - 1) * kSharedTerms + (second - 1)] = st.keep(format_ratio(first, second));
    st.default_range = st.keep(new_int(10));
    st.empty = st.keep(new_text(""));
    st.approx_search_range = st.name("approx_search_range");
    st.gcd = st.name("_gcd");
    st.open = st.name("open");
    st.close = st.name("close");
    st.size = st.name("size");
    st.dict_name = st.name("__dict__");
    st.map = st.name("map");
    st.fp = st.name("fp");
    st.private_fp = st.name("_fp");
    // ImageFile is what every Image.open imports first; taking it now costs under a millisecond.
    st.image_class = st.keep(getattr(st.Image.module, "Image"));
    Ref image_file_class = getattr(import("PIL.ImageFile").get(), "ImageFile");
    st.pillow_closes = {st.keep(getattr(st.image_class, "close")), st.keep(getattr(image_file_class.get(), "close"))};

    add_function(module, function_def<State, kSizeRatios, size_ratios>());
    add_function(module, function_def<State, kShownSize, shown_size>());
    st.gcd_def = function_def<State, kGcd, gcd>();
    ClassBuilder(st, "ImageSimplora",
                 "The aspect ratio of an encoded image as a short 'width:height' text.\n\n"
                 "get_raw_simple_ratio gives the true ratio reduced to lowest terms, with no\n"
                 "approximation (1366 x 768 gives '683:384'); get_approx_simple_ratio fits the\n"
                 "nearest simple integer ratio (such as '2:3' or '16:9') by trying every pair of\n"
                 "integers from 1 up to approx_search_range.")
        .create()
        .method(method_def<State, kInit, init>())
        .static_method(st.gcd_def)
        .method(method_def<State, kRawRatio, raw_ratio>())
        .method(method_def<State, kApproxRatio, approx_ratio>())
        .finish();
}

}  // namespace

PyMODINIT_FUNC PyInit_simplora() {
    return Module<State, exec>::init("vantry.simplora",
                                     "Exact and approximate simple aspect ratios of encoded images.");
}
