"""vantry.simplora: exact and approximate simple ratios of encoded images."""

import io
import subprocess
import sys
import zlib

import pytest
from PIL import Image, UnidentifiedImageError

import vantry.simplora as simplora_module
from vantry.simplora import ImageSimplora

import oracles
from conftest import assert_no_leak, encode_image, raises

# size, exact, nearest with bound 10, nearest with bound 16
RATIOS = [
    ((1920, 1080), "16:9", "9:5", "16:9"),
    ((1080, 1920), "9:16", "5:9", "9:16"),
    ((1366, 768), "683:384", "9:5", "16:9"),
    ((1024, 1536), "2:3", "2:3", "2:3"),
    ((1000, 1000), "1:1", "1:1", "1:1"),
    ((3000, 1000), "3:1", "3:1", "3:1"),
    ((100, 1500), "1:15", "1:10", "1:15"),
]


@pytest.mark.parametrize("size, exact, near10, near16", RATIOS)
def test_ratio_table(size, exact, near10, near16):
    data = encode_image(*size, mode="1")
    assert ImageSimplora().get_raw_simple_ratio(data) == exact
    assert ImageSimplora().get_approx_simple_ratio(data) == near10
    assert ImageSimplora(16).get_approx_simple_ratio(data) == near16


def png_cut_after_header(width, height):
    """A PNG that ends where its first pixel-data chunk begins."""
    data = encode_image(width, height)
    idat = data.index(b"IDAT") - 4
    return data[: idat + 8]


def png_with_corrupt_pixels(width, height):
    """A PNG whose pixel-data chunk holds garbage (with a correct checksum)."""
    data = encode_image(width, height)
    at = data.index(b"IDAT") - 4
    length = int.from_bytes(data[at : at + 4], "big")
    garbage = b"\x00" * length
    chunk = data[at : at + 4] + b"IDAT" + garbage + zlib.crc32(b"IDAT" + garbage).to_bytes(4, "big")
    return data[:at] + chunk + data[at + 12 + length :]


@pytest.mark.parametrize("make", [png_cut_after_header, png_with_corrupt_pixels])
def test_pixel_data_is_never_decoded(make):
    data = make(1366, 768)
    with pytest.raises(Exception):
        Image.open(io.BytesIO(data)).load()
    assert ImageSimplora().get_raw_simple_ratio(data) == "683:384"
    assert ImageSimplora(16).get_approx_simple_ratio(data) == "16:9"


@pytest.mark.parametrize("fmt, mode", [("JPEG", "RGB"), ("GIF", "P"), ("BMP", "RGB"), ("WEBP", "RGBA")])
def test_any_readable_format(fmt, mode):
    assert ImageSimplora().get_raw_simple_ratio(encode_image(640, 480, mode=mode, fmt=fmt)) == "4:3"


@pytest.mark.parametrize("bound", [0, -3, False])
def test_bound_below_one_gives_the_unreduced_size(bound):
    assert ImageSimplora(bound).get_approx_simple_ratio(encode_image(1920, 1080, mode="1")) == "1920:1080"


def test_bound_is_read_at_every_call():
    data = encode_image(1920, 1080, mode="1")
    simplora = ImageSimplora()
    assert simplora.get_approx_simple_ratio(data) == "9:5"
    simplora.approx_search_range = 16
    assert simplora.get_approx_simple_ratio(data) == "16:9"
    simplora.approx_search_range = 16.0  # the bound is a loop range, so it must be an integer
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        simplora.get_approx_simple_ratio(data)


def test_constructor_truncates_the_bound():
    assert ImageSimplora(16.9).approx_search_range == 16
    assert ImageSimplora().__dict__ == {"approx_search_range": 10}


@pytest.mark.parametrize(
    "a, b, expected",
    [(12, 18, 6), (7, 0, 7), (0, 7, 7), (0, 0, 0), (-4, 6, 2), (4, -6, -2), (12.9, 18.2, 6),
     (3 * 2**80, 2**70 * 7, 2**70), (2**63, 2**62, 2**62)],
)
def test_gcd(a, b, expected):
    assert ImageSimplora._gcd(a, b) == expected
    assert ImageSimplora()._gcd(b=b, a=a) == expected
    assert type(ImageSimplora._gcd(a, b)) is int


def test_gcd_override_is_used():
    class NoReduction(ImageSimplora):
        @staticmethod
        def _gcd(a, b):
            return 1

    class HalfTerms(ImageSimplora):
        def _gcd(self, a, b):
            return 2

    data = encode_image(1920, 1080, mode="1")
    assert NoReduction().get_raw_simple_ratio(data) == "1920:1080"
    assert HalfTerms().get_raw_simple_ratio(data) == "960:540"
    instance = ImageSimplora()
    instance._gcd = lambda a, b: 120
    assert instance.get_raw_simple_ratio(data) == "16:9"
    instance._gcd = lambda a, b: 0
    with pytest.raises(ZeroDivisionError):
        instance.get_raw_simple_ratio(data)


class ReportedSize:
    """A stand-in for an opened image whose header reports ``size``."""

    def __init__(self, size):
        self.size = size

    def close(self):
        pass


@pytest.fixture
def reported(monkeypatch):
    """Make Image.open report the given size, so any size (big, zero, negative) can be asked about."""

    def use(size):
        monkeypatch.setattr(Image, "open", lambda fp, *args, **kwargs: ReportedSize(size))

    return use


# Sizes off the machine-integer path (zero, negative, beyond 32 and 64 bits) give the host's results.
@pytest.mark.parametrize("size", [(0, 7), (7, 0), (-6, 4), (6, -4), (2**32 * 3, 2**32), (2**33, 6),
                                  (3 * 2**70, 2**70 * 7), (2**64 + 2, 2), (4294967295, 4294967294)])
def test_raw_ratio_of_any_integer_size(reported, size):
    reported(size)
    assert ImageSimplora().get_raw_simple_ratio(b"x") == oracles.raw_simple_ratio(*size)


# Every reduced pair up to 40, so each text is made once and then reused by its multiples.
def test_raw_ratio_of_every_small_size(reported):
    simplora = ImageSimplora()
    for size in [(w, h) for w in range(1, 41) for h in range(1, 41)]:
        reported(size)
        assert simplora.get_raw_simple_ratio(b"x") == oracles.raw_simple_ratio(*size), size


# Pillow's own close is passed over only where it would change nothing; any other close runs, once.
@pytest.mark.parametrize("patch", ["stand-in", "ImageFile.close", "Image.close"])
def test_a_close_that_may_matter_runs_once(monkeypatch, patch):
    from PIL import ImageFile

    closed = []
    if patch == "stand-in":
        class Counted(ReportedSize):
            def close(self):
                closed.append(self)

        monkeypatch.setattr(Image, "open", lambda fp, *args, **kwargs: Counted((1920, 1080)))
    else:
        owner = ImageFile.ImageFile if patch == "ImageFile.close" else Image.Image
        own = vars(owner)["close"]
        monkeypatch.setattr(owner, "close", lambda self: closed.append(self) or own(self))
    data = encode_image(1920, 1080, "RGB", "PNG") if patch != "stand-in" else b"x"
    assert ImageSimplora().get_raw_simple_ratio(data) == "16:9"
    assert len(closed) == 1


# Image.open is read at every call, from Pillow's namespace or through its module __getattr__.
def test_open_found_through_a_module_getattr(monkeypatch):
    monkeypatch.delattr(Image, "open")
    with pytest.raises(AttributeError):
        ImageSimplora().get_raw_simple_ratio(b"x")
    monkeypatch.setattr(Image, "__getattr__", lambda name: lambda fp: ReportedSize((1600, 900)), raising=False)
    assert ImageSimplora().get_raw_simple_ratio(b"x") == "16:9"


def test_raw_ratio_of_zero_by_zero_is_the_host_error(reported):
    reported((0, 0))
    with pytest.raises(ZeroDivisionError):
        ImageSimplora().get_raw_simple_ratio(b"x")


def near_ties(limit):
    """Targets on, one step beside, and halfway between the quotients of small pairs."""
    import math

    quotients = sorted({p / q for p in range(1, limit + 1) for q in range(1, limit + 1)})
    for low, high in zip(quotients, quotients[1:]):
        yield from (low, math.nextafter(low, math.inf), math.nextafter(high, 0.0), (low + high) / 2)


# The nearest pair is the one a scan over every (i, j), i first, finds: equal distances keep the first.
@pytest.mark.parametrize("limit", [1, 2, 3, 10, 16, 37])
def test_approx_ratio_matches_a_scan_over_every_pair(reported, limit):
    simplora = ImageSimplora(limit)
    for target in near_ties(limit):
        reported((target, 1.0))
        assert simplora.get_approx_simple_ratio(b"x") == oracles.approx_simple_ratio(target, 1.0, limit), target


@pytest.mark.parametrize("size", [(10000, 1), (1, 10000), (65535, 3), (1366, 768), (999999, 1000000), (0, 5),
                                  (-7, 3), (2**60 + 1, 3)])
@pytest.mark.parametrize("limit", [10, 250])
def test_approx_ratio_of_extreme_sizes(reported, size, limit):
    reported(size)
    assert ImageSimplora(limit).get_approx_simple_ratio(b"x") == oracles.approx_simple_ratio(*size, limit)


@pytest.mark.parametrize("bad", ["abc", bytearray(b"abc"), memoryview(b"abc"), None, type("B", (bytes,), {})(b"x")])
def test_image_bytes_must_be_exactly_bytes(bad):
    expected = f"Argument 'image_bytes' has incorrect type (expected bytes, got {type(bad).__name__})"
    for method in (ImageSimplora().get_raw_simple_ratio, ImageSimplora().get_approx_simple_ratio):
        with pytest.raises(TypeError) as info:
            method(bad)
        assert str(info.value) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ImageSimplora("10"), "Argument 'approx_search_range' has incorrect type (expected int, got str)"),
        (lambda: ImageSimplora._gcd("1", 2), "Argument 'a' has incorrect type (expected int, got str)"),
        (lambda: ImageSimplora._gcd(1), "missing required argument 'b'"),
        (lambda: ImageSimplora(1, 2), "takes at most 1 positional arguments"),
        (lambda: ImageSimplora().get_raw_simple_ratio(), "missing required argument 'image_bytes'"),
        (lambda: ImageSimplora().get_approx_simple_ratio(data=b""), "unexpected keyword argument 'data'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_undecodable_bytes_raise_the_library_error():
    with pytest.raises(UnidentifiedImageError):
        ImageSimplora().get_raw_simple_ratio(b"not an image")


def test_broken_inputs_do_not_crash_the_process():
    script = """
import random
from vantry.simplora import ImageSimplora
from conftest import encode_image
png = encode_image(64, 48)
random.seed(7)
inputs = [b"", b"\\x89PNG\\r\\n\\x1a\\n", png[:20], png[:40]]
inputs += [bytes(random.randrange(256) for _ in range(64)) for _ in range(50)]
inputs += [png[:16] + bytes(random.randrange(256) for _ in range(30)) for _ in range(50)]
for data in inputs:
    for method in (ImageSimplora().get_raw_simple_ratio, ImageSimplora().get_approx_simple_ratio):
        try:
            method(data)
        except Exception:
            pass
print("survived")
"""
    tests_dir = __file__.rsplit("/", 1)[0]
    run = subprocess.run([sys.executable, "-c", script], cwd=tests_dir, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "survived" in run.stdout, run.stderr


def test_plain_class_and_module_names():
    assert ImageSimplora.__bases__ == (object,)
    assert isinstance(ImageSimplora.__dict__["_gcd"], staticmethod)
    assert simplora_module.Image is Image and simplora_module.BytesIO is io.BytesIO


def test_no_reference_leaks():
    data = encode_image(300, 200)
    simplora = ImageSimplora()
    assert_no_leak(lambda: simplora.get_raw_simple_ratio(data), calls=500)
    assert_no_leak(lambda: simplora.get_approx_simple_ratio(data), calls=500)
    assert_no_leak(lambda: ImageSimplora(12.5), calls=500)
    assert_no_leak(lambda: ImageSimplora._gcd(2**70, 2**65 * 3))
    assert_no_leak(raises(TypeError, simplora.get_raw_simple_ratio, "x"))
    assert_no_leak(raises(TypeError, ImageSimplora._gcd, "1", 2))
    assert_no_leak(raises(TypeError, ImageSimplora, "1"))
    assert_no_leak(raises(UnidentifiedImageError, simplora.get_approx_simple_ratio, b"junk"), calls=500)
