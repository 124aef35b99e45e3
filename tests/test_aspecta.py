import io
import pickle
import re
import subprocess
import sys

import pytest
from PIL import Image

from conftest import DEEP_GREY_8_BIT, assert_no_leak, deep_grey, encode_image, raises
from vantry.aspecta import Aspecta

STANDARD = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]


def decode(data):
    img = Image.open(io.BytesIO(data))
    img.load()
    return img


def encode(img, fmt="PNG"):
    buf = io.BytesIO()
    img.save(buf, format=fmt)
    return buf.getvalue()


# ---- construction ---------------------------------------------------------------


def test_defaults():
    a = Aspecta()
    assert vars(a) == {
        "proportion": None,
        "need_adjust": "fill",
        "fill_color": (255, 255, 255, 0),
        "kwargs": {},
        "_std_ratio_map": {r: int(r.split(":")[0]) / int(r.split(":")[1]) for r in STANDARD},
    }
    assert list(a._std_ratio_map) == STANDARD
    assert Aspecta.STANDARD_RATIO_LIST == STANDARD


@pytest.mark.parametrize(
    "given, stored",
    [("", None), ("   ", None), ("\t\u3000\n", None), (" 3:4 ", " 3:4 "), ("3:4", "3:4"), (None, None)],
)
def test_blank_proportion_becomes_none(given, stored):
    assert Aspecta(given).proportion == stored


def test_extra_keywords_are_kept():
    a = Aspecta("1:1", "stretch", (0, 0, 0, 255), quality=80)
    assert (a.need_adjust, a.fill_color, a.kwargs) == ("stretch", (0, 0, 0, 255), {"quality": 80})


@pytest.mark.parametrize(
    "args, kwargs",
    [((3,), {}), ((), {"need_adjust": None}), ((b"3:4",), {}), (("1:1", "fill", None, 4), {}),
     ((), {"need_adjust": 1})],
)
def test_constructor_refuses_bad_arguments(args, kwargs):
    with pytest.raises(TypeError):
        Aspecta(*args, **kwargs)


def test_type_error_message_and_duplicate_argument():
    with pytest.raises(TypeError, match=r"^Argument 'proportion' has incorrect type \(expected str, got int\)$"):
        Aspecta(3)
    with pytest.raises(TypeError, match="multiple values"):
        Aspecta("1:1", proportion="1:1")


def test_ratio_map_follows_subclass_list_and_parser():
    class Narrow(Aspecta):
        STANDARD_RATIO_LIST = ["1:2", "2:1"]

        @staticmethod
        def _parse_ratio(ratio_str):
            w, h = ratio_str.split(":")
            return int(w) * 10, int(h)

    assert Narrow()._std_ratio_map == {"1:2": 5.0, "2:1": 20.0}


# ---- ratio parsing ----------------------------------------------------------------


@pytest.mark.parametrize(
    "text, pair",
    [(" 16:9 ", (16, 9)), ("16:9abc", (16, 9)), ("3:4:5", (3, 4)), ("16:9px", (16, 9)), ("03:04", (3, 4)),
     ("0:0", (0, 0)), ("\u3000 4:3\t", (4, 3)), ("１６:９", (16, 9)), ("12345678901234567890:1", (12345678901234567890, 1))],
)
def test_parse_ratio(text, pair):
    assert Aspecta._parse_ratio(text) == pair
    assert Aspecta()._parse_ratio(text) == pair


@pytest.mark.parametrize("text", ["a16:9", "16/9", "", "3 : 4", "-3:4", ":4", "3:", "+3:4", "\ud800"])
def test_parse_ratio_refuses(text):
    with pytest.raises(ValueError) as info:
        Aspecta._parse_ratio(text)
    assert str(info.value) == "比例格式错误 " + text + "，示例：3:4"


def test_parse_ratio_requires_text():
    with pytest.raises(TypeError, match="expected str, got bytes"):
        Aspecta._parse_ratio(b"16:9")


# ---- nearest standard ratio --------------------------------------------------------


@pytest.mark.parametrize(
    "w, h, ratio",
    [(1920, 1080, "16:9"), (1080, 1920, "9:16"), (1000, 1000, "1:1"), (1600, 1000, "3:2"), (3000, 1000, "21:9"),
     (900, 800, "1:1"), (900, 1000, "1:1"), (775, 1000, "3:4"), (0, 5, "9:16"), (3.9, 1, "21:9"), (True, 1, "1:1")],
)
def test_closest_standard_ratio(w, h, ratio):
    assert Aspecta()._get_closest_standard_ratio(w, h) == ratio


def test_closest_ratio_errors():
    a = Aspecta()
    with pytest.raises(ZeroDivisionError):
        a._get_closest_standard_ratio(10, 0)
    with pytest.raises(TypeError, match="expected int, got str"):
        a._get_closest_standard_ratio("10", 1)


def test_closest_ratio_reads_the_instance_table():
    a = Aspecta()
    a._std_ratio_map = {"wide": 10.0}
    a.STANDARD_RATIO_LIST = ["first"]
    assert a._get_closest_standard_ratio(1, 1) == "wide"
    a._std_ratio_map = {}
    assert a._get_closest_standard_ratio(1, 1) == "first"


# ---- size adjustment ------------------------------------------------------------------


@pytest.mark.parametrize(
    "mode, size, percent, out_size, offset",
    [
        ("fill", (600, 800), 10, (660, 800), (30, 0)),
        ("fill", (800, 600), 10, (800, 660), (0, 30)),
        ("fill", (1000, 1000), 10, (1100, 1100), (50, 50)),
        ("fill", (601, 800), 10, (661, 800), (30, 0)),
        ("fill", (3, 7), 50, (4, 7), (0, 0)),
        ("fill", (600, 800), -10, (540, 800), (-30, 0)),
        ("fill", (600, 800), 0, (600, 800), (0, 0)),
        ("resize", (600, 800), 10, (660, 800), None),
        ("resize", (1000, 1000), 10, (1100, 1100), None),
        ("resize", (800, 600), 10, (800, 660), None),
    ],
)
def test_adjust_size_geometry(mode, size, percent, out_size, offset):
    src = Image.linear_gradient("L").resize(size).convert("RGBA")
    buf = io.BytesIO()
    src.save(buf, format="PNG")
    out = decode(Aspecta(need_adjust=mode).adjust_size(buf.getvalue(), expand_percent=percent))
    assert (out.format, out.mode, out.size) == ("PNG", "RGBA", out_size)
    if offset is None:
        expected = src.resize(out_size, Image.Resampling.LANCZOS)
    else:
        expected = Image.new("RGBA", out_size, (255, 255, 255, 0))
        expected.paste(src, offset, src)
    assert out.tobytes() == expected.tobytes()


def test_fill_border_is_transparent_and_centre_opaque():
    out = decode(Aspecta().adjust_size(encode_image(600, 800, "RGB", "JPEG")))
    assert out.getpixel((0, 400)) == out.getpixel((659, 400)) == (255, 255, 255, 0)
    assert out.getpixel((330, 400))[3] == 255


SOFT_EDGE = (230, 20, 20, 53)


@pytest.mark.parametrize(
    "canvas, pixel, expected",
    [
        # A transparent canvas keeps the image's own pixels, partly transparent ones included.
        ((255, 255, 255, 0), SOFT_EDGE, SOFT_EDGE),
        ((255, 255, 255, 0), (0, 0, 0, 128), (0, 0, 0, 128)),
        ((255, 255, 255, 0), (9, 8, 7, 255), (9, 8, 7, 255)),
        ((255, 255, 255, 0), (9, 8, 7, 0), (255, 255, 255, 0)),
        # An opaque canvas shows the image composited over it, once.
        ((255, 255, 255, 255), SOFT_EDGE, (250, 206, 206, 255)),
        ((255, 0, 0, 255), (0, 0, 0, 128), (127, 0, 0, 255)),
        ((255, 0, 0, 255), (9, 8, 7, 255), (9, 8, 7, 255)),
        ((255, 0, 0, 255), (9, 8, 7, 0), (255, 0, 0, 255)),
        # A partly transparent canvas: the "over" of both alphas.
        ((0, 0, 255, 128), (255, 0, 0, 128), (170, 0, 85, 192)),
    ],
)
@pytest.mark.parametrize("percent", [10, -50])  # centred on a larger canvas, or cropped by a smaller one
def test_fill_composites_the_image_over_the_canvas(canvas, pixel, expected, percent):
    src = Image.new("RGBA", (10, 20), pixel)
    src.putpixel((5, 10), (1, 2, 3, 255))  # an opaque dot shows where the image lies
    out = decode(Aspecta(fill_color=canvas).adjust_size(encode(src), expand_percent=percent))
    x = (out.width - 10) // 2  # -3 on the 5-pixel canvas of -50 %
    assert out.getpixel((max(x, 0), 0)) == expected and out.getpixel((x + 5, 10)) == (1, 2, 3, 255)
    layer = Image.new("RGBA", out.size, (0, 0, 0, 0))
    layer.paste(src, (x, 0))
    assert out.tobytes() == Image.alpha_composite(Image.new("RGBA", out.size, canvas), layer).tobytes()
    if pixel[3] in (0, 255):  # opaque and transparent pixels: what a paste with the alpha as mask gave
        pasted = Image.new("RGBA", out.size, canvas)
        pasted.paste(src, (x, 0), src)
        assert out.tobytes() == pasted.tobytes()


@pytest.mark.parametrize(
    "mode, fmt",
    [("I;16", "PNG"), ("I;16", "TIFF"), ("I;16B", "TIFF"), ("I", "TIFF"), ("F", "TIFF")],
)
@pytest.mark.parametrize("need_adjust", ["resize", "fill"])
def test_high_depth_grey_is_scaled_to_8_bits_not_clipped(mode, fmt, need_adjust):
    data = encode(deep_grey(mode), fmt)
    assert decode(data).mode == mode
    out = decode(Aspecta(need_adjust=need_adjust).adjust_size(data, expand_percent=0))
    assert out.mode == "RGBA" and out.getchannel("A").getextrema() == (255, 255)
    assert all(out.getchannel(band).tobytes() == DEEP_GREY_8_BIT for band in "RGB")


@pytest.mark.parametrize(
    "mode, values, message",
    [("I", (0, 65536), "cannot scale mode I to 8 bits: values 0 to 65536 lie outside the 16-bit range 0 to 65535"),
     ("I", (-1, 5), "values -1 to 5 lie outside the 16-bit range"),
     ("F", (0.0, 1.5), "cannot scale mode F to 8 bits: values 0.0 to 1.5 lie outside 0 to 1"),
     ("F", (-0.25, 0.5), "values -0.25 to 0.5 lie outside 0 to 1")],
)
def test_grey_beyond_what_8_bits_can_read_is_refused_by_mode(mode, values, message):
    img = Image.new(mode, (2, 1))
    img.putdata(values)
    with pytest.raises(ValueError, match=re.escape(message)):
        Aspecta().adjust_size(encode(img, "TIFF"))


def test_jpeg_input_comes_back_as_png_of_same_size():
    data, ratio = Aspecta().adjust_size(encode_image(640, 480, "RGB", "JPEG"), True, 0)
    out = decode(data)
    assert (out.format, out.size, ratio) == ("PNG", (640, 480), "4:3")


@pytest.mark.parametrize(
    "proportion, size, passes",
    [("3:4", (1920, 1080), False), ("3:4", (600, 800), True), (" 3:4 ", (600, 800), False), ("16:9", (1920, 1080), True)],
)
def test_ratio_gate(proportion, size, passes):
    data = encode_image(*size)
    a = Aspecta(proportion)
    out, ratio = a.adjust_size(data, return_origin_ratio=True)
    if passes:
        assert out != data and decode(out).size != size and ratio == proportion
    else:
        assert out == data and ratio == proportion
        assert a.adjust_size(data) == data


def test_empty_proportion_set_later_gates_everything():
    a = Aspecta()
    a.proportion = ""
    data = encode_image(100, 100)
    assert a.adjust_size(data) == data


@pytest.mark.parametrize("mode", ["Resize", "stretch", None])
def test_unknown_mode(mode):
    a = Aspecta("1:1")
    a.need_adjust = mode
    with pytest.raises(ValueError, match="^need_adjust 仅支持 resize / fill$"):
        a.adjust_size(encode_image(100, 100))
    wide = encode_image(200, 100)
    assert a.adjust_size(wide) == wide  # the gate returns before the mode is looked at


@pytest.mark.parametrize("bad", [None, "abc", bytearray(b"x"), memoryview(b"x"), type("B", (bytes,), {})(b"x")])
def test_image_bytes_must_be_bytes(bad):
    with pytest.raises(TypeError, match="^Argument 'image_bytes' has incorrect type"):
        Aspecta().adjust_size(bad)


def test_bad_arguments_are_refused_before_decoding():
    a = Aspecta()
    with pytest.raises(TypeError, match="expected float, got str"):
        a.adjust_size(b"not an image", expand_percent="10")
    with pytest.raises(TypeError, match="unexpected keyword"):
        a.adjust_size(b"not an image", quality=90)
    with pytest.raises(TypeError, match="at most 3 positional"):
        a.adjust_size(b"", False, 10, 4)


@pytest.mark.parametrize(
    "percent, error",
    [(-100, ValueError), (-95, ValueError), (float("inf"), OverflowError), (float("nan"), ValueError)],
)
def test_sizes_the_library_or_host_refuses(percent, error):
    with pytest.raises(error):
        Aspecta(need_adjust="resize").adjust_size(encode_image(10, 10), expand_percent=percent)


def test_undecodable_bytes_raise_pillows_error_and_never_crash():
    code = (
        "from vantry.aspecta import Aspecta\n"
        "from PIL import UnidentifiedImageError\n"
        "import io\n"
        "from PIL import Image\n"
        "b = io.BytesIO(); Image.new('RGB', (50, 40)).save(b, 'PNG'); good = b.getvalue()\n"
        "for data in [b'', b'garbage', good[:30], good[:-20], b'\\x89PNG\\r\\n\\x1a\\n' + b'\\0' * 40]:\n"
        "    try:\n"
        "        Aspecta().adjust_size(data)\n"
        "    except Exception as e:\n"
        "        pass\n"
        "print('ok')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr
    with pytest.raises(Exception) as info:
        Aspecta().adjust_size(b"garbage")
    assert type(info.value).__module__.startswith("PIL")


def test_overridden_closest_ratio_is_used():
    class Always(Aspecta):
        def _get_closest_standard_ratio(self, width, height):
            return "16:9"

    data = encode_image(100, 100)
    assert Always("16:9").adjust_size(data, True)[1] == "16:9"
    assert Always("1:1").adjust_size(data) == data


def test_input_is_not_changed_and_class_is_plain():
    data = encode_image(60, 80)
    copy = bytes(data)
    Aspecta().adjust_size(data)
    assert data == copy
    assert Aspecta.__bases__ == (object,)
    a = pickle.loads(pickle.dumps(Aspecta("3:4", quality=1)))
    assert (a.proportion, a.kwargs) == ("3:4", {"quality": 1})


# ---- leaks ------------------------------------------------------------------------------


def test_no_leaks():
    a = Aspecta()
    small = encode_image(8, 6)
    assert_no_leak(lambda: Aspecta(" 3:4 ", "resize", extra=1), calls=500)
    assert_no_leak(lambda: Aspecta._parse_ratio(" 16:9px"))
    assert_no_leak(lambda: Aspecta._parse_ratio("１６:９"))
    assert_no_leak(lambda: a._get_closest_standard_ratio(1920.5, 1080))
    assert_no_leak(lambda: a.adjust_size(small, True), calls=300)
    assert_no_leak(lambda: Aspecta("16:9").adjust_size(small, True), calls=300)
    assert_no_leak(lambda: Aspecta(need_adjust="resize").adjust_size(small), calls=300)
    assert_no_leak(raises(ValueError, Aspecta._parse_ratio, "x\ud800"))
    assert_no_leak(raises(TypeError, Aspecta, 3))
    assert_no_leak(raises(TypeError, Aspecta, "1:1", proportion="1:1"))
    assert_no_leak(raises(ZeroDivisionError, a._get_closest_standard_ratio, 1, 0))
    assert_no_leak(raises(TypeError, a.adjust_size, "x"))
    assert_no_leak(raises(Exception, a.adjust_size, b"garbage"), calls=300)
    bad_mode = Aspecta(need_adjust="x")
    assert_no_leak(raises(ValueError, bad_mode.adjust_size, small), calls=300)
    assert_no_leak(raises(ValueError, Aspecta(need_adjust="resize").adjust_size, small, False, -100), calls=300)
    deep, soft = encode(Image.new("I;16", (8, 6), 40000)), encode(Image.new("RGBA", (8, 6), (1, 2, 3, 99)))
    assert_no_leak(lambda: a.adjust_size(deep), calls=300)
    assert_no_leak(lambda: a.adjust_size(soft, expand_percent=-50), calls=300)
    assert_no_leak(raises(ValueError, a.adjust_size, encode(Image.new("F", (8, 6), 2.0), "TIFF")), calls=300)
