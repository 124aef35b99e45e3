// vantry.aspecta: snap an encoded image to one of ten standard aspect ratios
// and enlarge its shorter side, by stretching or by centring it on a canvas,
// re-encoded as PNG.
#include <cmath>
#include <optional>
#include <string>

#include "eight_bit.hpp"
#include "pyglue.hpp"

using namespace pyglue;

namespace {

constexpr const char* kStandardRatios[] = {"1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"};

struct State : StateBase {
    // imports
    PyObject* Image = nullptr;
    PyObject* BytesIO = nullptr;
    PyObject* lanczos = nullptr;
    PyObject* ratio_pattern = nullptr;  // re.compile(r"(\d+):(\d+)")
    // attribute and method names
    PyObject *proportion, *need_adjust, *fill_color, *kwargs, *std_ratio_map, *standard_ratio_list;
    PyObject *parse_ratio, *closest_ratio;
    PyObject *strip, *isspace, *match, *group, *open, *convert, *close, *size, *width, *height, *mode, *format;
    PyObject* items;
    PyObject *resize, *paste, *alpha_composite, *getchannel, *getextrema, *save, *new_, *getvalue, *quality;
    // constant values
    PyObject *rgba, *png, *alpha_band, *resize_mode, *fill_mode, *default_fill, *ninety_five, *one, *two, *opaque;
    PyMethodDef* parse_ratio_def = nullptr;
    PyMethodDef* closest_ratio_def = nullptr;
    vantry::EightBit eight_bit;
};

// ---- ratio text -------------------------------------------------------------------

// The host's str.strip() whitespace among ASCII characters.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }
bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void raise_bad_ratio(PyObject* ratio_str) {
    Ref head = new_text("比例格式错误 "), tail = new_text("，示例：3:4");
    Ref message = concat({head.get(), ratio_str, tail.get()});
    raise_object(PyExc_ValueError, message.get());
}

Ref digits_to_int(const char* begin, const char* end) {
    std::string digits(begin, end);
    return check(PyLong_FromString(digits.c_str(), nullptr, 10));
}

// Pure-ASCII text is parsed here; other text (Unicode digits or spaces)
// goes through the host's strip() and regular expression. Empty result:
// the text is not ASCII.
std::optional<Ref> parse_ascii_ratio(PyObject* ratio_str) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(ratio_str, &n);
    if (!s) {  // lone surrogates
        PyErr_Clear();
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return std::nullopt;
    const char* p = s;
    const char* end = s + n;
    while (p < end && is_ascii_space(*p)) ++p;
    while (end > p && is_ascii_space(end[-1])) --end;
    const char* w0 = p;
    while (p < end && is_ascii_digit(*p)) ++p;
    const char* w1 = p;
    if (w1 == w0 || p == end || *p != ':') raise_bad_ratio(ratio_str);
    const char* h0 = ++p;
    while (p < end && is_ascii_digit(*p)) ++p;
    if (p == h0) raise_bad_ratio(ratio_str);
    Ref w = digits_to_int(w0, w1), h = digits_to_int(h0, p);
    return tuple_of({w.get(), h.get()});
}

Ref parse_ratio_text(State& st, PyObject* ratio_str) {
    if (auto fast = parse_ascii_ratio(ratio_str)) return std::move(*fast);
    Ref trimmed = call_method(ratio_str, st.strip);
    Ref m = call_method(st.ratio_pattern, st.match, trimmed.get());
    if (is_none(m.get())) raise_bad_ratio(ratio_str);
    Ref one = call_method(m.get(), st.group, st.one), two = call_method(m.get(), st.group, st.two);
    Ref w = check(PyNumber_Long(one.get())), h = check(PyNumber_Long(two.get()));
    return tuple_of({w.get(), h.get()});
}

constexpr auto kParseRatio = sig("Aspecta._parse_ratio", "($module, ratio_str)",
                                 "Parse a ratio text such as '16:9' into the pair (16, 9).",
                                 Param{"ratio_str", Kind::Str, Required});

Ref parse_ratio(State& st, Args<1>& a) { return parse_ratio_text(st, a.obj(0)); }

// self._parse_ratio(text), skipping the call when it is still our own.
Ref parse_through(State& st, PyObject* parse, PyObject* text) {
    if (!is_own_method(parse, st.parse_ratio_def, st.module)) return call(parse, text);
    if (!PyUnicode_CheckExact(text)) raise_arg_type("ratio_str", "str", text);
    return parse_ratio_text(st, text);
}

// ---- nearest standard ratio ------------------------------------------------------

Ref closest_ratio_of(State& st, PyObject* self, PyObject* width, PyObject* height) {
    Num img_ratio = Num::of(width) / Num::of(height);
    Num min_diff = Num::real(INFINITY);
    Ref ratios = getattr(self, st.standard_ratio_list);
    Ref best = check(PySequence_GetItem(ratios.get(), 0));
    Ref table = getattr(self, st.std_ratio_map);
    auto visit = [&](PyObject* ratio_str, PyObject* std_val) {
        Num diff = Num::abs(img_ratio - Num::of(std_val));
        if (diff < min_diff) {
            min_diff = diff;
            best = Ref::borrow(ratio_str);
        }
    };
    if (PyDict_CheckExact(table.get())) {
        for_each_item(table.get(), visit);
    } else {
        Ref items = call_method(table.get(), st.items);
        for_each(items.get(), [&](PyObject* item) {
            Ref kv[2];
            unpack(item, kv);
            visit(kv[0].get(), kv[1].get());
        });
    }
    return best;
}

constexpr auto kClosestRatio = sig("Aspecta._get_closest_standard_ratio", "($self, width, height)",
                                   "The entry of STANDARD_RATIO_LIST nearest to width / height.",
                                   Param{"width", Kind::Int, Required}, Param{"height", Kind::Int, Required});

Ref closest_ratio(State& st, PyObject* self, Args<2>& a) { return closest_ratio_of(st, self, a.obj(0), a.obj(1)); }

Ref closest_through(State& st, PyObject* self, PyObject* width, PyObject* height) {
    Ref method = getattr(self, st.closest_ratio);
    if (is_own_method(method.get(), st.closest_ratio_def, self)) return closest_ratio_of(st, self, width, height);
    return call(method.get(), width, height);
}

// ---- constructor ---------------------------------------------------------------------

bool is_blank(State& st, PyObject* text) {
    if (PyUnicode_GetLength(text) == 0) return true;
    Py_UCS4 first = PyUnicode_ReadChar(text, 0);
    if (first < 0x80 && !is_ascii_space(static_cast<unsigned char>(first))) return false;
    return truth(call_method(text, st.isspace).get());
}

constexpr auto kInit = sig_with_kwargs(
    "Aspecta.__init__", "($self, proportion=None, need_adjust='fill', fill_color=(255, 255, 255, 0), **kwargs)",
    "proportion: the target ratio ('3:4', '1:1'), or None / blank for any ratio.\n"
    "need_adjust: 'resize' stretches the image, 'fill' centres it on a canvas.\n"
    "fill_color: the RGBA canvas colour of 'fill', transparent white by default.",
    Param{"proportion", Kind::Str, NoneOk}, Param{"need_adjust", Kind::Str, Optional},
    Param{"fill_color", Kind::Any, Optional});

Ref init(State& st, PyObject* self, Args<3>& a) {
    PyObject* proportion = a.obj(0, Py_None);
    if (!is_none(proportion) && is_blank(st, proportion)) proportion = Py_None;
    setattr(self, st.proportion, proportion);
    setattr(self, st.need_adjust, a.obj(1, st.fill_mode));
    setattr(self, st.fill_color, a.obj(2, st.default_fill));
    setattr(self, st.kwargs, a.kwargs.get());

    Ref table = new_dict();
    setattr(self, st.std_ratio_map, table.get());
    Ref ratios = getattr(self, st.standard_ratio_list);
    Ref parse = getattr(self, st.parse_ratio);
    for_each(ratios.get(), [&](PyObject* ratio_str) {
        Ref pair = parse_through(st, parse.get(), ratio_str);
        Ref wh[2];
        unpack(pair.get(), wh);
        Ref quotient = (Num::of(wh[0].get()) / Num::of(wh[1].get())).object();
        check(PyObject_SetItem(table.get(), ratio_str, quotient.get()));
    });
    return none();
}

// ---- size adjustment ---------------------------------------------------------------------

// Image.open(BytesIO(data)).convert("RGBA"), closing the stream and the opened file.
// High-depth grey images are scaled to 8 bits first: Pillow's own conversion clips them.
Ref decode_rgba(State& st, PyObject* image_bytes) {
    Ref stream = call(st.BytesIO, image_bytes);
    Closing stream_guard(stream.get(), st.close);
    Ref opened = call_method(st.Image, st.open, stream.get());
    Closing image_guard(opened.get(), st.close);
    Ref eight_bit = st.eight_bit.apply(opened.get());
    Ref img = call_method(eight_bit.get(), st.convert, st.rgba);
    image_guard.close();
    stream_guard.close();
    return img;
}

Ref encode(State& st, PyObject* img, PyObject* picture) {
    Ref format = getattr(img, st.format);
    PyObject* img_format = truth(format.get()) ? format.get() : st.png;
    Ref out = call(st.BytesIO);
    Closing out_guard(out.get(), st.close);
    Ref args = tuple_of({out.get()});
    Ref kwargs = new_dict();
    dict_set(kwargs.get(), st.format, img_format);
    dict_set(kwargs.get(), st.quality, st.ninety_five);
    call_kw(getattr(picture, st.save).get(), args.get(), kwargs.get());
    Ref result = call_method(out.get(), st.getvalue);
    out_guard.close();
    return result;
}

Ref scaled(const Num& side, double scale) { return Num::to_int(side * Num::real(scale)).object(); }

// The target size: only the shorter side grows (both for a square).
Ref enlarged_size(const Num& w, const Num& h, PyObject* w_obj, PyObject* h_obj, double scale) {
    if (h > w) return tuple_of({scaled(w, scale).get(), h_obj});
    if (w > h) return tuple_of({w_obj, scaled(h, scale).get()});
    Ref sw = scaled(w, scale), sh = scaled(h, scale);
    return tuple_of({sw.get(), sh.get()});
}

Num centre_offset(PyObject* outer, PyObject* inner) {
    return Num::floordiv(Num::of(outer) - Num::of(inner), Num::integer(2));
}

// Whether every pixel of the RGBA image is opaque, so that a paste gives the
// bytes of the composite at a third of its cost (photos decoded to RGBA).
bool fully_opaque(State& st, PyObject* img) {
    Ref alpha = call_method(img, st.getchannel, st.alpha_band);
    Ref extrema = call_method(alpha.get(), st.getextrema);
    if (is_none(extrema.get())) return true;  // no pixels
    Ref bounds[2];
    unpack(extrema.get(), bounds);
    return equal(bounds[0].get(), st.opaque);
}

// canvas.alpha_composite(img) with img's corner at (x, y): img over the canvas,
// so its opaque pixels replace the canvas, transparent ones leave it showing and
// partly transparent ones blend once. A negative offset (a canvas smaller than
// the image) crops the image, as a paste would.
void composite_over(State& st, PyObject* canvas, PyObject* img, const Num& x, const Num& y) {
    Num zero = Num::integer(0);
    Ref dest = tuple_of({Num::max(x, zero).object().get(), Num::max(y, zero).object().get()});
    Ref source = tuple_of({Num::max(zero - x, zero).object().get(), Num::max(zero - y, zero).object().get()});
    call_method(canvas, st.alpha_composite, img, dest.get(), source.get());
}

Ref fill_canvas(State& st, PyObject* self, PyObject* img, PyObject* size) {
    Ref fill_color = getattr(self, st.fill_color);
    Ref canvas = call_method(st.Image, st.new_, st.rgba, size, fill_color.get());
    Ref canvas_w = check(PySequence_GetItem(size, 0)), canvas_h = check(PySequence_GetItem(size, 1));
    Ref img_w = getattr(img, st.width), img_h = getattr(img, st.height);
    Num x = centre_offset(canvas_w.get(), img_w.get()), y = centre_offset(canvas_h.get(), img_h.get());
    Ref mode = getattr(img, st.mode);
    bool blend = equal(mode.get(), st.rgba) && !fully_opaque(st, img);
    if (blend) {
        composite_over(st, canvas.get(), img, x, y);
    } else {
        Ref at = tuple_of({x.object().get(), y.object().get()});
        call_method(canvas.get(), st.paste, img, at.get());
    }
    return canvas;
}

constexpr auto kAdjustSize = sig(
    "Aspecta.adjust_size", "($self, image_bytes, return_origin_ratio=False, expand_percent=10.0)",
    "Enlarge the shorter side of an encoded image by expand_percent and return it as PNG bytes.\n\n"
    "An image whose nearest standard ratio differs from `proportion` comes back untouched.\n"
    "With return_origin_ratio the result is a pair (bytes, ratio text).",
    Param{"image_bytes", Kind::Bytes, Required}, Param{"return_origin_ratio", Kind::Truth, Optional},
    Param{"expand_percent", Kind::Float, Optional});

Ref adjust_size(State& st, PyObject* self, Args<3>& a) {
    PyObject* image_bytes = a.obj(0);
    bool return_origin_ratio = a.truth(1, false);
    double expand_percent = a.real(2, 10.0);

    Ref img = decode_rgba(st, image_bytes);
    Ref size = getattr(img.get(), st.size);
    Ref wh[2];
    unpack(size.get(), wh);
    Ref closest = closest_through(st, self, wh[0].get(), wh[1].get());

    Ref proportion = getattr(self, st.proportion);
    if (!is_none(proportion.get()) && check_bool(PyObject_RichCompareBool(proportion.get(), closest.get(), Py_NE))) {
        // The input comes back byte for byte; bytes are immutable, so no copy is needed.
        if (return_origin_ratio) return tuple_of({image_bytes, proportion.get()});
        return Ref::borrow(image_bytes);
    }

    double expand_scale = 1.0 + expand_percent / 100.0;
    Ref mode = getattr(self, st.need_adjust);
    Num ori_w = Num::of(wh[0].get()), ori_h = Num::of(wh[1].get());
    Ref picture;
    if (equal(mode.get(), st.resize_mode)) {
        Ref target = enlarged_size(ori_w, ori_h, wh[0].get(), wh[1].get(), expand_scale);
        picture = call_method(img.get(), st.resize, target.get(), st.lanczos);
    } else if (equal(mode.get(), st.fill_mode)) {
        Ref target = enlarged_size(ori_w, ori_h, wh[0].get(), wh[1].get(), expand_scale);
        picture = fill_canvas(st, self, img.get(), target.get());
    } else {
        raise(PyExc_ValueError, "need_adjust 仅支持 resize / fill");
    }

    Ref result = encode(st, img.get(), picture.get());
    if (return_origin_ratio) return tuple_of({result.get(), closest.get()});
    return result;
}

// ---- module --------------------------------------------------------------------------------

void exec(PyObject* module, State& st) {
    Ref io = import("io"), typing = import("typing"), re = import("re"), math = import("math");
    Ref pil_image = import("PIL.Image");
    st.BytesIO = st.keep(getattr(io.get(), "BytesIO"));
    st.Image = st.keep(pil_image.copy());
    Ref resampling = getattr(pil_image.get(), "Resampling");
    st.lanczos = st.keep(getattr(resampling.get(), "LANCZOS"));
    Ref pattern = new_text("(\\d+):(\\d+)");
    st.ratio_pattern = st.keep(call_method(re.get(), st.name("compile"), pattern.get()));

    add_object(module, "BytesIO", st.BytesIO);
    add_object(module, "Optional", getattr(typing.get(), "Optional").get());
    add_object(module, "Tuple", getattr(typing.get(), "Tuple").get());
    add_object(module, "Image", st.Image);
    add_object(module, "re", re.get());
    add_object(module, "math", math.get());

    st.proportion = st.name("proportion");
    st.need_adjust = st.name("need_adjust");
    st.fill_color = st.name("fill_color");
    st.kwargs = st.name("kwargs");
    st.std_ratio_map = st.name("_std_ratio_map");
    st.standard_ratio_list = st.name("STANDARD_RATIO_LIST");
    st.parse_ratio = st.name("_parse_ratio");
    st.closest_ratio = st.name("_get_closest_standard_ratio");
    for (auto [slot, text] : {std::pair{&st.strip, "strip"}, {&st.isspace, "isspace"}, {&st.match, "match"},
                              {&st.group, "group"}, {&st.open, "open"}, {&st.convert, "convert"},
                              {&st.close, "close"}, {&st.size, "size"}, {&st.width, "width"}, {&st.height, "height"},
                              {&st.items, "items"}, {&st.mode, "mode"},
                              {&st.format, "format"}, {&st.resize, "resize"}, {&st.paste, "paste"},
                              {&st.alpha_composite, "alpha_composite"}, {&st.getchannel, "getchannel"},
                              {&st.getextrema, "getextrema"}, {&st.alpha_band, "A"}, {&st.save, "save"},
                              {&st.new_, "new"}, {&st.getvalue, "getvalue"}, {&st.quality, "quality"},
                              {&st.rgba, "RGBA"}, {&st.png, "PNG"}, {&st.resize_mode, "resize"},
                              {&st.fill_mode, "fill"}})
        *slot = st.name(text);
    st.eight_bit.init(st);
    st.ninety_five = st.keep(new_int(95));
    st.one = st.keep(new_int(1));
    st.two = st.keep(new_int(2));
    st.opaque = st.keep(new_int(255));
    Ref c255 = new_int(255), c0 = new_int(0);
    st.default_fill = st.keep(tuple_of({c255.get(), c255.get(), c255.get(), c0.get()}));

    Ref ratios = new_list();
    for (const char* r : kStandardRatios) list_append(ratios.get(), new_text(r).get());

    st.parse_ratio_def = function_def<State, kParseRatio, parse_ratio>();
    st.closest_ratio_def = method_def<State, kClosestRatio, closest_ratio>();
    ClassBuilder(st, "Aspecta",
                 "Normalise encoded images against ten standard aspect ratios.\n\n"
                 "adjust_size enlarges the shorter side of an image by a percentage, by stretching\n"
                 "('resize') or by centring it on a canvas of fill_color ('fill'), and returns PNG bytes.")
        .constant("STANDARD_RATIO_LIST", std::move(ratios))
        .create()
        .method(method_def<State, kInit, init>())
        .static_method(st.parse_ratio_def)
        .method(st.closest_ratio_def)
        .method(method_def<State, kAdjustSize, adjust_size>())
        .finish();
}

}  // namespace

PyMODINIT_FUNC PyInit_aspecta() {
    return Module<State, exec>::init("vantry.aspecta",
                                     "Snap encoded images to standard aspect ratios and enlarge their shorter side.");
}
