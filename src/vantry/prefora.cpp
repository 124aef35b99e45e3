// vantry.prefora: scale a decoded image to the preferred resolution of an
// image-editing model whose aspect ratio is nearest to the image's own.
#include <optional>

#include "pyglue.hpp"

using namespace pyglue;

namespace {

// About one megapixel each, widths rising and heights falling, every side a
// multiple of 16; entry k and entry 18 - k are each other's transpose.
constexpr long long kResolutions[][2] = {
    {672, 1568}, {688, 1504}, {720, 1456}, {752, 1392}, {800, 1328}, {832, 1248},
    {880, 1184}, {944, 1104}, {1024, 1024}, {1104, 944}, {1184, 880}, {1248, 832},
    {1328, 800}, {1392, 752}, {1456, 720}, {1504, 688}, {1568, 672},
};

struct State : StateBase {
    PyObject* lanczos = nullptr;  // Image.Resampling.LANCZOS
    PyObject* min = nullptr;      // builtins.min, for the host's own empty-list error
    PyObject *image, *resolutions, *width, *height, *resize;
};

// ---- the selection ------------------------------------------------------------------

// One (d, w, h) triple of the minimum search; w and h keep the list's own objects.
struct Candidate {
    Num d, w, h;
    Ref w_obj, h_obj;

    bool native() const { return d.is_real() && w.is_int() && h.is_int(); }
    Ref as_tuple() const {
        Ref d_obj = d.object();
        return tuple_of({d_obj.get(), w_obj.get(), h_obj.get()});
    }
};

// The host's `a < b` on the triples. Plain floats and ints compare natively
// with the tuple rule: the first unequal element decides (a NaN is unequal
// to everything and less than nothing). Anything else goes through the
// host's own tuple comparison.
bool less(const Candidate& a, const Candidate& b) {
    if (a.native() && b.native()) {
        double ad = a.d.real_value(), bd = b.d.real_value();
        if (ad != bd) return ad < bd;
        long long aw = a.w.int_value(), bw = b.w.int_value();
        if (aw != bw) return aw < bw;
        return a.h.int_value() < b.h.int_value();
    }
    Ref ta = a.as_tuple(), tb = b.as_tuple();
    return check_bool(PyObject_RichCompareBool(ta.get(), tb.get(), Py_LT));
}

// `w, h = entry` with the host's errors; no iterator for a pair tuple or list.
void unpack_pair(PyObject* entry, Ref (&out)[2]) {
    if ((PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) && PySequence_Size(entry) == 2) {
        out[0] = check(PySequence_GetItem(entry, 0));
        out[1] = check(PySequence_GetItem(entry, 1));
        return;
    }
    Ref it = Ref::steal_or_null(PyObject_GetIter(entry));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !has_slot(entry, Py_tp_iter) && !PySequence_Check(entry)) {
            PyErr_Clear();
            Ref type = type_name(entry);
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", type.get());
        }
        throw_error();
    }
    unpack(it.get(), out);
}

Candidate candidate_of(const Num& aspect_ratio, PyObject* entry) {
    Ref wh[2];
    unpack_pair(entry, wh);
    Num w = Num::of(wh[0].get()), h = Num::of(wh[1].get());
    Num d = Num::abs(aspect_ratio - w / h);
    return {std::move(d), std::move(w), std::move(h), std::move(wh[0]), std::move(wh[1])};
}

// The smallest (d, w, h) over the entries, as the host's min() would pick it.
Candidate nearest_resolution(State& st, const Num& aspect_ratio, PyObject* resolutions) {
    std::optional<Candidate> best;
    for_each(resolutions, [&](PyObject* entry) {
        Candidate c = candidate_of(aspect_ratio, entry);
        if (!best || less(c, *best)) best = std::move(c);
    });
    if (!best) {
        Ref empty = tuple_of({});
        call(st.min, empty.get());  // raises the host's ValueError for an empty sequence
        raise(PyExc_ValueError, "min() arg is an empty sequence");
    }
    return std::move(*best);
}

// ---- the class ---------------------------------------------------------------------------

constexpr auto kInit = sig("PreforaImageScale.__init__", "($self, image)",
                           "image: the image to scale; it is kept as it is and never changed.",
                           Param{"image", Kind::Any, Required});

Ref init(State& st, PyObject* self, Args<1>& a) {
    setattr(self, st.image, a.obj(0));
    return none();
}

constexpr auto kStart = sig("PreforaImageScale.start", "($self)",
                            "A new image stretched (LANCZOS) to the preferred resolution nearest in aspect ratio.\n\n"
                            "The entry of PREFERED_PREFORA_RESOLUTIONS with the smallest |ratio - w / h| wins;\n"
                            "on an exact tie the narrower entry.");

Ref start(State& st, PyObject* self, Args<0>&) {
    Ref image = getattr(self, st.image);
    Ref width = getattr(image.get(), st.width), height = getattr(image.get(), st.height);
    Num aspect_ratio = Num::of(width.get()) / Num::of(height.get());
    Ref resolutions = getattr(self, st.resolutions);
    Candidate best = nearest_resolution(st, aspect_ratio, resolutions.get());
    Ref size = tuple_of({best.w_obj.get(), best.h_obj.get()});
    // Resized even when the size already matches: the result is always a new image.
    return call_method(image.get(), st.resize, size.get(), st.lanczos);
}

Ref resolution_list() {
    Ref list = new_list();
    for (const auto& [w, h] : kResolutions) list_append(list.get(), int_pair(w, h).get());
    return list;
}

void exec(PyObject* module, State& st) {
    Ref pil_image = import("PIL.Image");
    Ref resampling = getattr(pil_image.get(), "Resampling");
    st.lanczos = st.keep(getattr(resampling.get(), "LANCZOS"));
    st.min = st.keep(import_attr("builtins", "min"));
    add_object(module, "Image", pil_image.get());
    add_object(module, "Resampling", resampling.get());

    st.image = st.name("image");
    st.resolutions = st.name("PREFERED_PREFORA_RESOLUTIONS");
    st.width = st.name("width");
    st.height = st.name("height");
    st.resize = st.name("resize");

    ClassBuilder(st, "PreforaImageScale",
                 "Scale an image to the size closest to the model's preferred resolutions.\n\n"
                 "The best-matching resolution is picked from a predefined list by the source\n"
                 "aspect ratio; scaling uses the LANCZOS algorithm for high quality.")
        .constant("PREFERED_PREFORA_RESOLUTIONS", resolution_list())
        .create()
        .method(method_def<State, kInit, init>())
        .method(method_def<State, kStart, start>())
        .finish();
}

}  // namespace

PyMODINIT_FUNC PyInit_prefora() {
    return Module<State, exec>::init("vantry.prefora",
                                     "Scale a decoded image to the nearest preferred resolution of an editing model.");
}
