"""vantry.simplora: exact and approximate simple ratios of encoded images."""

import io
import json
import struct
import subprocess
import sys
import warnings
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


# ---- the command's header reader against Pillow -------------------------------------------------

def tiff(entries, little=True):
    """A TIFF block with one directory: (tag, type, count, 4 value bytes or an int) entries."""
    order = "<" if little else ">"
    body = struct.pack(order + "H", len(entries))
    for tag, kind, count, value in entries:
        raw = struct.pack(order + ("H" if kind == 3 else "I"), value) if isinstance(value, int) else value
        body += struct.pack(order + "HHI", tag, kind, count) + raw.ljust(4, b"\0")
    return (b"II*\0" if little else b"MM\0*") + struct.pack(order + "I", 8) + body + b"\0\0\0\0"


def segment(marker, body):
    return bytes([0xFF, marker]) + struct.pack(">H", len(body) + 2) + body


def jpeg(size=(64, 48), mode="RGB", *segments, **options):
    """A JPEG with the given segments placed right after SOI."""
    buf = io.BytesIO()
    Image.new(mode, size, "gray" if mode != "CMYK" else (1, 2, 3, 4)).save(buf, format="JPEG", **options)
    return buf.getvalue()[:2] + b"".join(segments) + buf.getvalue()[2:]


def exif(orientation, little=True):
    return segment(0xE1, b"Exif\0\0" + tiff([(0x010F, 2, 4, b"cam\0"), (0x0112, 3, 1, orientation)], little))


XMP_TURNED = segment(0xE1, b"http://ns.adobe.com/xap/1.0/\0<x tiff:Orientation=\"6\"/>")


def png(mode="RGB", size=(40, 30), chunks=b"", late=b"", **options):
    """A PNG with extra chunks before the first IDAT and after the last."""
    buf = io.BytesIO()
    Image.new(mode, size).save(buf, format="PNG", **options)
    data = buf.getvalue()
    first, iend = data.index(b"IDAT") - 4, len(data) - 12
    return data[:first] + chunks + data[first:iend] + late + data[iend:]


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def other(fmt, mode="RGB"):
    return encode_image(33, 21, mode, fmt)


# name: (file bytes, whether the header reader must decide it itself)
HEADERS = {
    "jpeg": (jpeg(), True),
    "jpeg grey": (jpeg((17, 5), "L"), True),
    "jpeg cmyk (Adobe segment)": (jpeg((5, 17), "CMYK"), True),
    "progressive jpeg": (jpeg((300, 7), "RGB", progressive=True), True),
    **{f"exif orientation {o}": (jpeg((64, 48), "RGB", exif(o)), True) for o in range(10)},
    "big-endian exif, turned": (jpeg((64, 48), "RGB", exif(8, little=False)), True),
    "64 KiB segment before the frame": (jpeg((64, 48), "RGB", exif(6), segment(0xEF, bytes(65533))), True),
    "fill bytes and a comment": (jpeg((64, 48), "RGB", b"\xff\xff", segment(0xFE, b"hi"), exif(5)), True),
    "icc profile": (jpeg((64, 48), "RGB", icc_profile=b"\0" * 300), True),
    "exif orientation, then xmp": (jpeg((64, 48), "RGB", exif(1), XMP_TURNED), True),
    "xmp orientation only": (jpeg((64, 48), "RGB", XMP_TURNED), False),
    "two exif segments": (jpeg((64, 48), "RGB", exif(6), exif(1)), False),
    "orientation as a long": (jpeg((64, 48), "RGB", segment(0xE1, b"Exif\0\0" + tiff([(0x0112, 4, 1, 6)]))), False),
    "exif value beyond its block": (jpeg((64, 48), "RGB", segment(0xE1, b"Exif\0\0" + tiff([(0x010F, 2, 90, 500)]))), False),
    "exif directory beyond its block": (jpeg((64, 48), "RGB", segment(0xE1, b"Exif\0\0II*\0\xff\0\0\0")), False),
    "12-bit frame": (jpeg().replace(b"\xff\xc0\x00\x11\x08", b"\xff\xc0\x00\x11\x0c"), False),
    "jfif segment cut short": (jpeg((64, 48), "RGB", segment(0xE0, b"JFIF\0")), False),
    "png": (png(), True),
    "png rgba interlaced": (png("RGBA", (3, 1000), interlace=1), True),
    "png 16-bit grey": (png("I;16"), True),
    "png palette with transparency": (png("P", transparency=3), True),
    "png with gamma and resolution": (png(chunks=chunk(b"gAMA", bytes(4)) + chunk(b"pHYs", bytes(9))), True),
    "png gamma cut short": (png(chunks=chunk(b"gAMA", bytes(3))), False),
    "png rgb transparency cut short": (png(chunks=chunk(b"tRNS", bytes(4))), False),
    "png with a bad checksum": (png(chunks=chunk(b"sRGB", b"\0")[:-1] + b"?"), False),
    "png eXIf after the pixels": (png(late=chunk(b"eXIf", tiff([(0x0112, 3, 1, 6)]))), False),
    "png xmp text after the pixels": (png(late=chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0tiff:Orientation=\"6\"")), False),
    "png text that names neither": (png(late=chunk(b"tEXt", b"Comment\0hello")), True),
    "png with a text chunk first": (png(chunks=chunk(b"tEXt", b"Comment\0hello")), False),
    "gif": (other("GIF", "P"), False),
    "bmp": (other("BMP"), False),
    "webp": (other("WEBP"), False),
}


def mutants():
    """Truncations at every length of the headers, and headers with one byte changed."""
    import random

    rng = random.Random(28)
    for name in ("exif orientation 6", "icc profile", "png", "png palette with transparency"):
        data = HEADERS[name][0]
        head = data.index(b"\xff\xda") + 20 if data[:2] == b"\xff\xd8" else data.index(b"IDAT") + 30
        for cut in range(head):
            yield f"{name} cut at {cut}", data[:cut]
        for _ in range(150):
            at = rng.randrange(head)
            yield f"{name} byte {at} changed", data[:at] + bytes([rng.randrange(256)]) + data[at + 1:]


def pillow_shown(path, exif_rotate):
    """What the command read before the header reader: Pillow's size as shown; 'refused' when
    Pillow fails or warns."""
    from vantry.cli.images import _shown_size_by_pillow

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            with open(path, "rb") as file:
                return _shown_size_by_pillow(file, exif_rotate)
        except Exception:  # noqa: BLE001 - any failure or warning
            return "refused"


@pytest.fixture(scope="module")
def header_files(tmp_path_factory):
    """Every case as a file, with the reader's answers found in a child process (a crash fails the test)."""
    folder = tmp_path_factory.mktemp("headers")
    cases = {name: data for name, (data, _) in HEADERS.items()} | dict(mutants())
    paths = {}
    for i, (name, data) in enumerate(cases.items()):
        paths[name] = folder / f"{i}.img"
        paths[name].write_bytes(data)
    script = """
import json, os, sys
from vantry.simplora import _shown_size
answers = {}
for path in sys.argv[1:]:
    fd = os.open(path, os.O_RDONLY)
    answers[path] = [_shown_size(fd, rotate) for rotate in (True, False)]
    os.close(fd)
print(json.dumps(answers))
"""
    run = subprocess.run([sys.executable, "-c", script, *map(str, paths.values())], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    answers = json.loads(run.stdout)
    return {name: (path, answers[str(path)]) for name, path in paths.items()}


@pytest.mark.parametrize("name", HEADERS)
def test_header_reader_agrees_with_pillow(header_files, name):
    path, answers = header_files[name]
    for rotate, answer in zip((True, False), answers):
        if answer is not None:
            assert tuple(answer) == pillow_shown(path, rotate)
        assert (answer is not None) == HEADERS[name][1] or not rotate, "decided by the reader" if HEADERS[name][1] else "Pillow's"


def test_header_reader_declines_what_pillow_refuses_or_reads_otherwise(header_files):
    disagree = [name for name, (path, answers) in header_files.items() if name not in HEADERS
                for rotate, answer in zip((True, False), answers)
                if answer is not None and tuple(answer) != pillow_shown(path, rotate)]
    assert disagree == []


def test_header_reader_refuses_other_descriptors(tmp_path):
    assert simplora_module._shown_size(-1, True) is None
    with open(tmp_path / "a.jpg", "wb") as file:  # write-only: reads fail
        file.write(HEADERS["jpeg"][0])
        file.flush()
        assert simplora_module._shown_size(file.fileno(), True) is None
    assert_no_leak(lambda: simplora_module._shown_size(-1, False))
    assert_no_leak(lambda: simplora_module._size_ratios(4032, 3024, 10))
    assert_no_leak(raises(TypeError, simplora_module._size_ratios, 1, "2", 3))
