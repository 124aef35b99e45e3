"""Arbitrary and damaged images into every image entry point.

Encoded inputs: arbitrary bytes, real PNG/JPEG/GIF/WebP/BMP/TIFF files of
every Pillow mode, truncated, with bytes flipped, and with huge or zero
declared dimensions. Decoded inputs: images of every mode, zero-sized ones
included. Each case gives a result that satisfies the module's invariants
or raises an Exception subclass; the byte-level fuzzing runs in a child
interpreter so that a crash fails one test, not the run.
"""

import io
import struct
import warnings
import zlib

from hypothesis import assume, example, given
from hypothesis import strategies as st
from PIL import Image

import oracles
from fuzzsupport import fuzz, isolated
from vantry.aspecta import Aspecta
from vantry.prefora import PreforaImageScale
from vantry.resize import image_resize
from vantry.simplora import ImageSimplora

MODES = ["1", "L", "P", "LA", "RGB", "RGBA", "I", "F", "I;16", "CMYK"]
FORMATS = ["PNG", "JPEG", "GIF", "WEBP", "BMP", "TIFF"]
RESOLUTIONS = set(map(tuple, PreforaImageScale.PREFERED_PREFORA_RESOLUTIONS))

sizes = st.tuples(st.integers(1, 24), st.integers(1, 24))


def encode(mode, size, fmt):
    img = Image.new(mode, size)
    img.putpixel((0, 0), 1 if mode in ("1", "P", "L", "I", "F", "I;16") else tuple([200] * len(img.getbands())))
    buf = io.BytesIO()
    img.save(buf, format=fmt)
    return buf.getvalue()


@st.composite
def encoded_images(draw):
    mode, size, fmt = draw(st.sampled_from(MODES)), draw(sizes), draw(st.sampled_from(FORMATS))
    try:
        data = encode(mode, size, fmt)
    except (OSError, ValueError, KeyError, TypeError):
        assume(False)  # this format cannot store this mode
    return data, size


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png_header(width, height, depth=8, colour=2):
    """A PNG signature and IHDR declaring the size, then an empty IDAT and IEND."""
    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", b"") + png_chunk(b"IEND", b"")


@st.composite
def damaged_images(draw):
    data, _ = draw(encoded_images())
    how = draw(st.sampled_from(["truncate", "flip", "both"]))
    data = bytearray(data)
    if how in ("flip", "both"):
        for _ in range(draw(st.integers(1, 8))):
            i = draw(st.integers(0, len(data) - 1))
            data[i] = draw(st.integers(0, 255))
    if how in ("truncate", "both"):
        data = data[: draw(st.integers(0, len(data)))]
    return bytes(data)


# Declared sizes up to the format's limit; products between the library's
# warning and refusal limits would really be decoded, so they are left out.
def tolerable(w, h):
    return w * h <= 4_000_000 or w * h > 2 * Image.MAX_IMAGE_PIXELS


declared = st.tuples(st.integers(0, 2**31 - 1), st.integers(0, 2**31 - 1)).filter(lambda s: tolerable(*s)) | st.sampled_from(
    [(0, 0), (0, 5), (5, 0), (1, 2**31 - 1), (2**31 - 1, 1), (65535, 65535), (2**31 - 1, 2**31 - 1)]
)


@st.composite
def huge_declared(draw):
    w, h = draw(declared)
    kind = draw(st.sampled_from(["png", "gif", "bmp"]))
    if kind == "png":
        return png_header(w, h), (w, h)
    w, h = w & 0xFFFF, h & 0xFFFF
    assume(tolerable(w, h))
    if kind == "gif":
        return b"GIF89a" + struct.pack("<HHBBB", w, h, 0, 0, 0) + b",\0\0\0\0" + struct.pack("<HH", w, h) + b"\0\x02\x02\x44\x01\0;", (w, h)
    pixels = b"\0" * 64
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(pixels), 0, 0, 54) + header + pixels, (w, h)


any_bytes = st.binary(max_size=300) | damaged_images() | huge_declared().map(lambda d: d[0])

# ---- invariants ----------------------------------------------------------------------------------


def check_adjusted(aspecta, data, result):
    """adjust_size gives the input untouched, or a PNG of the enlarged size."""
    out, ratio = result
    if out is data:
        assert ratio == aspecta.proportion
        return
    img = Image.open(io.BytesIO(out))
    assert img.format == "PNG" and img.mode == "RGBA"
    assert ratio in Aspecta.STANDARD_RATIO_LIST
    w, h = Image.open(io.BytesIO(data)).size
    scale = 1 + 10.0 / 100
    want = (int(w * scale), h) if h > w else (w, int(h * scale)) if w > h else (int(w * scale), int(h * scale))
    assert img.size == want
    assert ratio == oracles.closest_standard_ratio(w, h)


def check_ratios(data, raw, approx):
    w, h = Image.open(io.BytesIO(data)).size
    assert raw == oracles.raw_simple_ratio(w, h)
    assert approx == oracles.approx_simple_ratio(w, h, 10)


def all_encoded_entry_points(data):
    """Every entry point that takes encoded bytes; each outcome is checked or is an Exception."""
    outcomes = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Image.DecompressionBombWarning)
        for aspecta in (Aspecta(), Aspecta("1:1", "resize")):
            try:
                result = aspecta.adjust_size(data, True)
            except Exception as err:  # noqa: BLE001 - any Exception subclass is an accepted refusal
                outcomes.append(type(err))
            else:
                check_adjusted(aspecta, data, result)
                outcomes.append("ok")
        simplora = ImageSimplora()
        try:
            raw, approx = simplora.get_raw_simple_ratio(data), simplora.get_approx_simple_ratio(data)
        except Exception as err:  # noqa: BLE001
            outcomes.append(type(err))
        else:
            check_ratios(data, raw, approx)
    return outcomes


@isolated
@fuzz("image")
@given(any_bytes)
@example(b"")
@example(png_header(0, 0))
@example(png_header(2**31 - 1, 2**31 - 1))
@example(png_header(1, 2**31 - 1))
def test_arbitrary_and_damaged_bytes(data):
    all_encoded_entry_points(data)


@fuzz("image")
@given(encoded_images())
def test_every_mode_and_format_is_processed(image):
    data, size = image
    outcomes = all_encoded_entry_points(data)
    try:
        Image.open(io.BytesIO(data)).convert("RGBA")
    except Exception:  # noqa: BLE001 - the library cannot convert this mode itself
        return
    assert outcomes == ["ok", "ok"]


@isolated
@fuzz("image")
@given(huge_declared())
def test_huge_and_zero_declared_sizes(image):
    data, (w, h) = image
    simplora = ImageSimplora()
    try:
        raw = simplora.get_raw_simple_ratio(data)
    except Exception:  # noqa: BLE001 - refused by the library, or a zero side
        return
    assert raw == oracles.raw_simple_ratio(w, h)
    if h and max(w, h) < 2**20:
        assert simplora.get_approx_simple_ratio(data) == oracles.approx_simple_ratio(w, h, 10)


# ---- decoded images --------------------------------------------------------------------------------

decoded = st.builds(Image.new, st.sampled_from(MODES), st.tuples(st.integers(0, 40), st.integers(0, 40)))


@fuzz("image")
@given(decoded, st.integers(-3, 60), st.integers(-3, 60), st.sampled_from([None, (1, 2, 3), "red", 7, (1, 2, 3, 4, 5)]))
@example(Image.new("RGB", (10000, 1)), 100, 100, None)
def test_image_resize_on_every_mode_and_size(img, target_w, target_h, colour):
    before = img.tobytes(), img.size, img.mode
    args = (img, target_w, target_h) + (() if colour is None else (colour,))
    try:
        out = image_resize(*args)
    except Exception:  # noqa: BLE001
        pass
    else:
        assert out.mode == "RGB" and out.size == (target_w, target_h)
        ratio = min(target_w / img.width, target_h / img.height)
        assert int(img.width * ratio) <= target_w and int(img.height * ratio) <= target_h
    assert (img.tobytes(), img.size, img.mode) == before


@fuzz("image")
@given(decoded)
def test_prefora_on_every_mode_and_size(img):
    before = img.tobytes(), img.size
    try:
        out = PreforaImageScale(img).start()
    except ZeroDivisionError:
        assert img.height == 0
    except ValueError:  # the library refuses to resample an empty image
        assert img.width == 0
    else:
        assert out.size == oracles.prefora_selection(img.width, img.height, RESOLUTIONS_LIST)
        assert out.size in RESOLUTIONS and out.mode == img.mode and out is not img
    assert (img.tobytes(), img.size) == before


RESOLUTIONS_LIST = [tuple(r) for r in PreforaImageScale.PREFERED_PREFORA_RESOLUTIONS]
