// vantry.resize: letterbox a decoded image into a box of a given size.
//
// The image is scaled uniformly (Lanczos) until it touches the box on one
// axis and pasted, centred, onto a new RGB canvas of exactly the box size
// filled with the background colour.
#include "eight_bit.hpp"
#include "pyglue.hpp"

using namespace pyglue;

namespace {

struct State : StateBase {
    PyObject* Image = nullptr;    // PIL.Image
    PyObject* image_type = nullptr;  // PIL.Image.Image
    PyObject* lanczos = nullptr;  // Image.Resampling.LANCZOS
    PyObject* black = nullptr;    // the default background (0, 0, 0)
    PyObject *rgb, *new_, *size, *resize, *paste;
    vantry::EightBit eight_bit;
};

// The two items of `image.size`, without an iterator for the usual tuple.
void unpack_size(PyObject* size, Ref (&out)[2]) {
    if (PyTuple_CheckExact(size) && PyTuple_Size(size) == 2) {
        out[0] = Ref::borrow(PyTuple_GetItem(size, 0));
        out[1] = Ref::borrow(PyTuple_GetItem(size, 1));
        return;
    }
    unpack(size, out);
}

// Centring offset: a floor division, so an odd margin leaves the extra pixel
// on the right or at the bottom.
Num centre_offset(const Num& box_side, const Num& inner_side) {
    return Num::floordiv(box_side - inner_side, Num::integer(2));
}

// The source as the RGB canvas can take it: a high-depth grey Pillow image is
// scaled to 8 bits first (the paste would clip it). Anything else, and any
// object that only looks like an image, is used as it is.
Ref paste_ready(State& st, PyObject* image) {
    if (!check_bool(PyObject_IsInstance(image, st.image_type))) return Ref::borrow(image);
    return st.eight_bit.apply(image);
}

constexpr auto kImageResize = sig(
    "image_resize", "($module, image, target_w, target_h, bg_color=(0, 0, 0))",
    "Scale the picture proportionally and place it centred on a canvas of the given size.\n\n"
    "image: the source image (only its size and resize are used; it is not modified).\n"
    "target_w, target_h: the size of the box and of the result.\n"
    "bg_color: the canvas colour, black (0, 0, 0) by default, given as an RGB tuple.\n"
    "Returns a new RGB image of size (target_w, target_h).",
    Param{"image", Kind::Any, Required}, Param{"target_w", Kind::Int, Required},
    Param{"target_h", Kind::Int, Required}, Param{"bg_color", Kind::Any, Optional});

Ref image_resize(State& st, Args<4>& a) {
    PyObject* image = a.obj(0);
    PyObject* target_w = a.obj(1);
    PyObject* target_h = a.obj(2);

    // The canvas comes first: a refused size or colour fails before the source is read.
    Ref box = tuple_of({target_w, target_h});
    Ref canvas = call_method(st.Image, st.new_, st.rgb, box.get(), a.obj(3, st.black));

    Ref source_image = paste_ready(st, image);
    Ref size = getattr(source_image.get(), st.size);
    Ref source[2];
    unpack_size(size.get(), source);
    Num s_w = Num::of(source[0].get()), s_h = Num::of(source[1].get());
    Num box_w = Num::of(target_w), box_h = Num::of(target_h);

    // The height quotient only when strictly smaller, as min(width_q, height_q).
    Num ratio = Num::min(box_w / s_w, box_h / s_h);
    Num new_w = Num::to_int(s_w * ratio), new_h = Num::to_int(s_h * ratio);

    Ref new_size = tuple_of({new_w.object().get(), new_h.object().get()});
    Ref resized = call_method(source_image.get(), st.resize, new_size.get(), st.lanczos);

    Ref x = centre_offset(box_w, new_w).object(), y = centre_offset(box_h, new_h).object();
    Ref at = tuple_of({x.get(), y.get()});
    // No mask: the scaled pixels replace the canvas, alpha is not blended.
    call_method(canvas.get(), st.paste, resized.get(), at.get());
    return canvas;
}

void exec(PyObject* module, State& st) {
    Ref pil_image = import("PIL.Image");
    Ref resampling = getattr(pil_image.get(), "Resampling");
    st.Image = st.keep(pil_image.copy());
    st.image_type = st.keep(getattr(pil_image.get(), "Image"));
    st.lanczos = st.keep(getattr(resampling.get(), "LANCZOS"));
    add_object(module, "Image", st.Image);
    add_object(module, "Resampling", resampling.get());

    Ref zero = new_int(0);
    st.black = st.keep(tuple_of({zero.get(), zero.get(), zero.get()}));
    st.rgb = st.name("RGB");
    st.new_ = st.name("new");
    st.size = st.name("size");
    st.resize = st.name("resize");
    st.paste = st.name("paste");
    st.eight_bit.init(st);

    add_function(module, function_def<State, kImageResize, image_resize>());
}

}  // namespace

PyMODINIT_FUNC PyInit_resize() {
    return Module<State, exec>::init("vantry.resize", "Letterbox a decoded image into a box of a given size.");
}
