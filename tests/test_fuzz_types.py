"""Arbitrary objects for every parameter of every entry point.

One parameter at a time is replaced by an object from a zoo of hostile
values (subclasses of the expected type, numbers whose conversions raise or
lie, objects whose truth raises, fake images) while the others stay valid.
A typed parameter refuses a wrong type with the package's exact TypeError;
every other outcome is a result or an Exception subclass.
"""

import decimal
import fractions
import io
import math
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st
from PIL import Image

from conftest import BytesSub, ListSub, StrSub
from fuzzsupport import fuzz
from vantry import excode, wordsift
from vantry.aspecta import Aspecta
from vantry.comfyui.revivo import ComfyUIManager
from vantry.gridlum import GridlumSizeCalculator as Calc
from vantry.prefora import PreforaImageScale
from vantry.resize import image_resize
from vantry.simplora import ImageSimplora
from vantry.wordsift import PromptBanChecker


class IntSub(int):
    pass


class FloatSub(float):
    pass


class RaisingIndex:
    def __index__(self):
        raise RuntimeError("index")


class LyingInt:
    def __int__(self):
        return "not an int"


class HugeIndex:
    def __index__(self):
        return 10**400


class LyingFloat:
    def __float__(self):
        return "not a float"


class RaisingBool:
    def __bool__(self):
        raise ValueError("truth")


class RaisingStrip(str):
    def strip(self, *args):
        raise KeyError("strip")


class StripToBytes(str):
    def strip(self, *args):
        return b"bytes"


class FakeImage:
    """Answers size, width, height and resize with whatever it was given."""

    def __init__(self, size, resized=None):
        self.size = size
        if isinstance(size, tuple) and len(size) == 2:
            self.width, self.height = size

    def resize(self, size, resample=None):
        return Image.new("RGB", (1, 1)) if isinstance(size, tuple) and all(isinstance(s, int) for s in size) else None


ZOO = [
    None, True, False, 0, -1, 2**63, -(2**64), 10**400, 0.5, -2.9, math.nan, math.inf, -math.inf, 1e308, 5e-324,
    complex(1, 2), decimal.Decimal("2.5"), decimal.Decimal("nan"), decimal.Decimal("-inf"), fractions.Fraction(7, 2),
    "", "16:9", "\ud800", "\x00", "中文", b"", b"16:9", bytearray(b"x"), memoryview(b"x"), [], ["a"], [1, None],
    (), (1, 2), {}, {"a": 1}, set(), object(), type, len, StrSub("16:9"), BytesSub(b"x"), ListSub(["a"]),
    IntSub(5), FloatSub(2.5), RaisingIndex(), LyingInt(), HugeIndex(), LyingFloat(), RaisingBool(),
    RaisingStrip(" a "), StripToBytes("a"), FakeImage((0, 0)), FakeImage((1,)), FakeImage((10**30, 1)),
    FakeImage((3.5, 2)), FakeImage("ab"), FakeImage((-5, 7)), FakeImage(None), Image.new("P", (3, 2)),
]
zoo = st.sampled_from(ZOO) | st.integers() | st.floats() | st.text(max_size=6) | st.binary(max_size=6) | st.lists(
    st.sampled_from(ZOO) | st.text(max_size=4), max_size=4
)


def is_integer_like(obj):
    t = type(obj)
    return isinstance(obj, int) or hasattr(t, "__index__") or hasattr(t, "__int__")


def is_float_like(obj):
    t = type(obj)
    return hasattr(t, "__float__") or hasattr(t, "__index__")


EXACT = {"str": str, "bytes": bytes, "list": list}


def type_error_expected(kind, obj):
    """The exact TypeError message a typed parameter must give for obj, or None."""
    kind, none_ok, _ = kind.partition("?")
    if obj is None and none_ok:
        return None
    if kind in EXACT:
        return None if type(obj) is EXACT[kind] else kind
    if kind == "int":
        return None if is_integer_like(obj) else "int"
    if kind == "float":
        return None if is_float_like(obj) else "float"
    return None


PNG = io.BytesIO()
Image.new("RGB", (30, 20)).save(PNG, format="PNG")
PNG = PNG.getvalue()
SMALL_WORDS = dict(builtin_words=["ab"], use_default=False)
checker = PromptBanChecker(**SMALL_WORDS)


def bounded(obj, limit):
    """False for a number that would make an image too large to allocate here (a str such as
    '1001' is no number: the entry point must refuse it)."""
    if not is_float_like(obj):
        return True
    try:
        value = float(obj)
    except Exception:  # noqa: BLE001 - the entry point itself must refuse or convert it
        return True
    return not math.isfinite(value) or abs(value) <= limit


def adjust(**kw):
    args = dict(image_bytes=PNG, return_origin_ratio=False, expand_percent=10.0) | kw
    return Aspecta().adjust_size(**args)


def pickled(words):
    import tempfile
    import os

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "w.pkl")
        PromptBanChecker.create_pickle_file(words, path)
        return PromptBanChecker._load_from_file(path)


# (entry point, parameter, kind, call with the object in that parameter)
TARGETS = [
    ("Aspecta", "proportion", "str?", lambda o: Aspecta(proportion=o)),
    ("Aspecta", "need_adjust", "str", lambda o: Aspecta(need_adjust=o)),
    ("Aspecta", "fill_color", "any", lambda o: Aspecta(fill_color=o).adjust_size(PNG)),
    ("Aspecta", "kwargs", "any", lambda o: Aspecta(extra=o).kwargs),
    ("_parse_ratio", "ratio_str", "str", lambda o: Aspecta._parse_ratio(o)),
    ("_get_closest_standard_ratio", "width", "int", lambda o: Aspecta()._get_closest_standard_ratio(o, 9)),
    ("_get_closest_standard_ratio", "height", "int", lambda o: Aspecta()._get_closest_standard_ratio(16, o)),
    ("adjust_size", "image_bytes", "bytes", lambda o: adjust(image_bytes=o)),
    ("adjust_size", "return_origin_ratio", "truth", lambda o: adjust(return_origin_ratio=o)),
    ("adjust_size", "expand_percent", "float", lambda o: adjust(expand_percent=o) if bounded(o, 1000) else None),
    ("image_resize", "image", "any", lambda o: image_resize(o, 8, 8)),
    ("image_resize", "target_w", "int", lambda o: image_resize(Image.new("RGB", (4, 4)), o, 8) if bounded(o, 4096) else None),
    ("image_resize", "target_h", "int", lambda o: image_resize(Image.new("RGB", (4, 4)), 8, o) if bounded(o, 4096) else None),
    ("image_resize", "bg_color", "any", lambda o: image_resize(Image.new("RGB", (4, 4)), 8, 6, o)),
    ("ImageSimplora", "approx_search_range", "int", lambda o: ImageSimplora(o).get_raw_simple_ratio(PNG)),
    ("_gcd", "a", "int", lambda o: ImageSimplora._gcd(o, 12)),
    ("_gcd", "b", "int", lambda o: ImageSimplora._gcd(12, o)),
    ("get_raw_simple_ratio", "image_bytes", "bytes", lambda o: ImageSimplora().get_raw_simple_ratio(o)),
    ("get_approx_simple_ratio", "image_bytes", "bytes", lambda o: ImageSimplora().get_approx_simple_ratio(o)),
    ("round_to_multiple", "value", "any", lambda o: Calc.round_to_multiple(o)),
    ("round_to_multiple", "multiple", "any", lambda o: Calc.round_to_multiple(100, o)),
    ("floor_to_multiple", "value", "any", lambda o: Calc.floor_to_multiple(o, 7)),
    ("is_valid_image_size", "width", "int", lambda o: Calc.is_valid_image_size(o, 2160)),
    ("is_valid_image_size", "height", "int", lambda o: Calc.is_valid_image_size(3840, o)),
    ("calc_size", "aspect_ratio", "str", lambda o: Calc.calc_size(o)),
    ("calc_size", "resolution", "str", lambda o: Calc.calc_size("1:1", o)),
    ("calc_size", "strict", "truth", lambda o: Calc.calc_size("10:1", "2k", o)),
    ("PreforaImageScale", "image", "any", lambda o: PreforaImageScale(o).start()),
    ("_xor", "data", "bytes", lambda o: wordsift._xor(o, b"k")),
    ("_xor", "key", "bytes", lambda o: wordsift._xor(b"data", o)),
    ("PromptBanChecker", "ban_word_file", "str?", lambda o: PromptBanChecker(o, **SMALL_WORDS)),
    ("PromptBanChecker", "ignore_case", "truth", lambda o: PromptBanChecker(ignore_case=o, **SMALL_WORDS)),
    ("PromptBanChecker", "builtin_words", "list?", lambda o: PromptBanChecker(builtin_words=o, use_default=False)),
    ("PromptBanChecker", "use_default", "truth", lambda o: PromptBanChecker(use_default=o, builtin_words=["ab"])),
    ("PromptBanChecker", "exclude_words", "list?", lambda o: PromptBanChecker(exclude_words=o, **SMALL_WORDS)),
    ("check", "prompt", "str", lambda o: checker.check(o)),
    ("find_matched_words", "text", "str", lambda o: checker.find_matched_words(o)),
    ("_has_banned_word", "text", "str", lambda o: checker._has_banned_word(o)),
    ("_load_from_file", "file_path", "str", lambda o: PromptBanChecker._load_from_file(o) if type(o) is not str else None),
    ("create_pickle_file", "words", "list", pickled),
    ("ComfyUIManager", "base_url", "str", lambda o: ComfyUIManager(o)),
    ("ComfyUIManager", "timeout", "int", lambda o: ComfyUIManager(timeout=o)),
    ("ComfyUIManager", "max_wait_seconds", "int", lambda o: ComfyUIManager(max_wait_seconds=o)),
    ("ComfyUIManager", "poll_interval", "float", lambda o: ComfyUIManager(poll_interval=o)),
    ("ComfyUIManager", "logger", "any", lambda o: ComfyUIManager(logger=o).logger),
    ("ServiceError", "message", "any", lambda o: pickle.loads(pickle.dumps(excode.ServiceError(o, aspect_ratio="x")))),
    ("ServiceError", "aspect_ratio", "any", lambda o: str(excode.ServiceError("m", aspect_ratio=o))),
    ("PromptBanError", "error_msg", "any", lambda o: repr(excode.PromptBanError(error_msg=o, data=["a"]))),
    ("PromptBanError", "data", "any", lambda o: pickle.loads(pickle.dumps(excode.PromptBanError(error_msg="m", data=o)))),
]


@pytest.mark.parametrize("entry, param, kind, call", TARGETS, ids=[f"{t[0]}-{t[1]}" for t in TARGETS])
@fuzz(max_examples=max(20, fuzz().max_examples // 10))
@given(obj=zoo)
def test_any_object_for_any_parameter(entry, param, kind, call, obj):
    wanted = type_error_expected(kind, obj)
    try:
        call(obj)
    except TypeError as err:
        if wanted:
            assert str(err) == (
                f"Argument '{param}' has incorrect type (expected {wanted}, got {type(obj).__name__})"
            )
    except Exception:  # noqa: BLE001 - any refusal is allowed, as long as it is an Exception
        assert not wanted, f"{entry}({param}={obj!r}) should have failed with TypeError"
    else:
        assert not wanted, f"{entry}({param}={obj!r}) should have failed with TypeError"
