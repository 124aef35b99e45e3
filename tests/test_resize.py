"""vantry.resize: letterboxing a decoded image into a box."""

import pytest
from PIL import Image
from PIL.Image import Resampling

import vantry.resize as resize_module
from vantry.resize import image_resize

from conftest import DEEP_GREY_8_BIT, assert_no_leak, deep_grey, raises

WHITE = (255, 255, 255)


class RecordingImage:
    """Stands in for a source image and records the resize it is asked for."""

    def __init__(self, size):
        self.size = size
        self.calls = []

    def resize(self, size, resample):
        self.calls.append((size, resample))
        return Image.new("RGB", size, WHITE)


# source, box, scaled size, offset
LETTERBOX = [
    ((1920, 1080), (512, 512), (512, 288), (0, 112)),
    ((1080, 1920), (512, 512), (288, 512), (112, 0)),
    ((640, 480), (1024, 1024), (1024, 768), (0, 128)),
    ((100, 100), (300, 200), (200, 200), (50, 0)),
    ((1920, 1080), (1024, 576), (1024, 576), (0, 0)),
    ((100, 31), (50, 50), (50, 15), (0, 17)),
    ((3, 7), (10, 10), (4, 10), (3, 0)),
]


@pytest.mark.parametrize("source, box, scaled, offset", LETTERBOX)
def test_scaled_size_and_placement(source, box, scaled, offset):
    src = RecordingImage(source)
    out = image_resize(src, *box)
    assert src.calls == [(scaled, Resampling.LANCZOS)]
    assert (out.mode, out.size) == ("RGB", box)
    x, y = offset
    # The white scaled image on the black canvas shows exactly where it went.
    assert out.getbbox() == (x, y, x + scaled[0], y + scaled[1])


def test_odd_margin_puts_the_extra_row_at_the_bottom():
    out = image_resize(RecordingImage((100, 31)), 50, 50)
    column = [out.getpixel((25, y)) for y in range(50)]
    assert column.index(WHITE) == 17
    assert column[::-1].index(WHITE) == 18


def test_pixels_are_the_lanczos_scaling_pasted_on_the_canvas():
    src = Image.linear_gradient("L").convert("RGB").resize((160, 90))
    out = image_resize(src, 64, 64, (1, 2, 3))
    expected = Image.new("RGB", (64, 64), (1, 2, 3))
    expected.paste(src.resize((64, 36), Resampling.LANCZOS), (0, 14))
    assert out.tobytes() == expected.tobytes()


@pytest.mark.parametrize("bg_color, bar", [(None, (0, 0, 0)), ((255, 255, 255), WHITE), ("red", (255, 0, 0))])
def test_background_colour_fills_the_bars(bg_color, bar):
    src = Image.new("RGB", (20, 10), (9, 9, 9))
    out = image_resize(src, 20, 20) if bg_color is None else image_resize(src, 20, 20, bg_color=bg_color)
    assert out.getpixel((0, 0)) == bar and out.getpixel((19, 19)) == bar
    assert out.getpixel((10, 10)) == (9, 9, 9)


@pytest.mark.parametrize("mode, color", [("L", 200), ("RGBA", (10, 20, 30, 0)), ("P", 5), ("1", 1)])
def test_result_is_rgb_and_alpha_is_not_blended(mode, color):
    src = Image.new(mode, (8, 8), color)
    before = src.tobytes()
    out = image_resize(src, 16, 8, (255, 255, 255))
    assert (out.mode, out.size) == ("RGB", (16, 8))
    assert out.getpixel((8, 4)) == src.convert("RGB").getpixel((0, 0))
    assert out is not src and src.tobytes() == before and src.size == (8, 8)


@pytest.mark.parametrize("mode", ["I;16", "I;16B", "I;16L", "I;16N", "I", "F"])
def test_high_depth_grey_is_scaled_to_8_bits_not_clipped(mode):
    src = deep_grey(mode)
    before = src.tobytes()
    out = image_resize(src, 256, 2)
    assert out.mode == "RGB" and all(out.getchannel(band).tobytes() == DEEP_GREY_8_BIT for band in "RGB")
    assert src.mode == mode and src.tobytes() == before


@pytest.mark.parametrize("mode, value", [("I", 65536), ("I", -1), ("F", 1.0001), ("F", -0.5)])
def test_grey_beyond_what_8_bits_can_read_is_refused_by_mode(mode, value):
    with pytest.raises(ValueError, match=f"cannot scale mode {mode} to 8 bits"):
        image_resize(Image.new(mode, (4, 4), value), 8, 8)


def test_sides_are_truncated_toward_zero():
    out = image_resize(RecordingImage((10, 10)), 512.9, True)
    assert out.size == (512, 1)


def test_canvas_is_made_before_the_source_is_looked_at():
    # A refused canvas size fails in the library even for a source without a size.
    with pytest.raises(ValueError):
        image_resize(object(), -1, 10)


@pytest.mark.parametrize(
    "source, exc",
    [(RecordingImage((0, 5)), ZeroDivisionError), (RecordingImage((5, 0)), ZeroDivisionError),
     (Image.new("RGB", (10000, 1)), ValueError), (object(), AttributeError)],
)
def test_errors_pass_through(source, exc):
    with pytest.raises(exc):
        image_resize(source, 100, 100)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((RecordingImage((1, 1)), "512", 512), {}, "Argument 'target_w' has incorrect type (expected int, got str)"),
        ((RecordingImage((1, 1)), 512, b"1"), {}, "Argument 'target_h' has incorrect type (expected int, got bytes)"),
        ((RecordingImage((1, 1)), 512), {}, "missing required argument 'target_h'"),
        ((RecordingImage((1, 1)), 1, 1, (0, 0, 0), 1), {}, "takes at most 4 positional arguments"),
        ((RecordingImage((1, 1)), 1, 1), {"color": (0, 0, 0)}, "unexpected keyword argument 'color'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        image_resize(*args, **kwargs)


def test_keywords_and_module_names():
    out = image_resize(image=RecordingImage((4, 2)), target_h=4, target_w=4, bg_color=(0, 0, 255))
    assert out.getpixel((0, 0)) == (0, 0, 255)
    assert resize_module.Image is Image and resize_module.Resampling is Resampling


def test_no_reference_leaks():
    src = Image.new("RGBA", (30, 20))
    assert_no_leak(lambda: image_resize(src, 12, 9, (1, 2, 3)), calls=500)
    assert_no_leak(raises(TypeError, image_resize, src, "1", 1))
    assert_no_leak(raises(TypeError, image_resize, src, 1, 1, nope=1))
    assert_no_leak(raises(ValueError, image_resize, src, -1, 1))
    assert_no_leak(raises(ZeroDivisionError, image_resize, RecordingImage((0, 3)), 5, 5), calls=500)
    deep = Image.new("I;16", (30, 20), 40000)
    assert_no_leak(lambda: image_resize(deep, 12, 9), calls=500)
    assert_no_leak(raises(ValueError, image_resize, Image.new("F", (3, 3), 2.0), 5, 5), calls=500)
