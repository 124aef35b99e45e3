"""Argument and class conventions shared by every vantry module."""

import decimal
import fractions
import importlib
import inspect
import re

import pytest

from conftest import BytesSub, ListSub, StrSub, assert_no_leak

MODULES = [
    "vantry.excode",
    "vantry.aspecta",
    "vantry.resize",
    "vantry.simplora",
    "vantry.prefora",
    "vantry.comfyui.revivo",
    "vantry.wordsift",
    "vantry._lexivault",
    "vantry.gridlum",
]


def plain_classes():
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            offered = not attr.startswith("_")  # not a private helper, such as revivo's response reader
            if offered and isinstance(value, type) and value.__module__ == name and not issubclass(value, BaseException):
                yield value


def test_modules_are_abi3_extensions():
    for name in MODULES:
        assert importlib.import_module(name).__file__.endswith(".abi3.so"), name


def test_package_imports_no_submodule():
    import subprocess
    import sys

    code = "import sys, vantry; print(sorted(m for m in sys.modules if m.startswith('vantry.')), vantry.__version__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("[] ")


@pytest.mark.parametrize("cls", list(plain_classes()), ids=lambda c: c.__name__)
def test_classes_are_plain_and_methods_have_signatures(cls):
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert cls.__qualname__ == cls.__name__
    sub = type("Sub", (cls,), {})
    assert issubclass(sub, cls)
    for name, attr in vars(cls).items():
        if callable(attr) or isinstance(attr, (staticmethod, classmethod)):
            fn = getattr(cls, name)
            assert fn.__text_signature__, name
            inspect.signature(fn)


# Typed parameters: (callable taking the value, its parameter name, kind).
def typed_parameters():
    from PIL import Image

    from vantry.aspecta import Aspecta
    from vantry.comfyui.revivo import ComfyUIManager
    from vantry.gridlum import GridlumSizeCalculator as G
    from vantry.resize import image_resize
    from vantry.simplora import ImageSimplora
    from vantry.wordsift import PromptBanChecker, _xor

    a = Aspecta()
    p = PromptBanChecker(use_default=False)
    img = Image.new("RGB", (4, 4))
    return [
        (lambda v: image_resize(img, v, 4), "target_w", "int"),
        (lambda v: image_resize(img, 4, v), "target_h", "int"),
        (lambda v: ImageSimplora(v), "approx_search_range", "int"),
        (lambda v: ImageSimplora._gcd(v, 1), "a", "int"),
        (lambda v: ImageSimplora().get_raw_simple_ratio(v), "image_bytes", "bytes"),
        (lambda v: ImageSimplora().get_approx_simple_ratio(v), "image_bytes", "bytes"),
        (lambda v: Aspecta(v), "proportion", "str?"),
        (lambda v: Aspecta(need_adjust=v), "need_adjust", "str"),
        (Aspecta._parse_ratio, "ratio_str", "str"),
        (lambda v: a._get_closest_standard_ratio(v, 1), "width", "int"),
        (lambda v: a._get_closest_standard_ratio(1, v), "height", "int"),
        (lambda v: a.adjust_size(v), "image_bytes", "bytes"),
        (lambda v: a.adjust_size(b"", expand_percent=v), "expand_percent", "float"),
        (lambda v: PromptBanChecker(v, use_default=False), "ban_word_file", "str?"),
        (lambda v: PromptBanChecker(builtin_words=v, use_default=False), "builtin_words", "list?"),
        (lambda v: PromptBanChecker(exclude_words=v, use_default=False), "exclude_words", "list?"),
        (PromptBanChecker._load_from_file, "file_path", "str"),
        (lambda v: PromptBanChecker.create_pickle_file(v, "x.pkl"), "words", "list"),
        (lambda v: PromptBanChecker.create_pickle_file([], v), "output_path", "str"),
        (p.check, "prompt", "str"),
        (p._has_banned_word, "text", "str"),
        (p.find_matched_words, "text", "str"),
        (lambda v: _xor(v, b"k"), "data", "bytes"),
        (lambda v: _xor(b"d", v), "key", "bytes"),
        (lambda v: G.calc_size(v), "aspect_ratio", "str"),
        (lambda v: G.calc_size("1:1", v), "resolution", "str"),
        (lambda v: G.is_valid_image_size(v, 16), "width", "int"),
        (lambda v: G.is_valid_image_size(16, v), "height", "int"),
        (lambda v: ComfyUIManager(v), "base_url", "str"),
        (lambda v: ComfyUIManager(timeout=v), "timeout", "int"),
        (lambda v: ComfyUIManager(max_wait_seconds=v), "max_wait_seconds", "int"),
        (lambda v: ComfyUIManager(poll_interval=v), "poll_interval", "float"),
    ]


REFUSED = {
    "str": [None, b"1:1", 1, StrSub("1:1"), ["1:1"]],
    "str?": [b"1:1", 1, StrSub("1:1")],
    "bytes": [None, "x", bytearray(b"x"), memoryview(b"x"), BytesSub(b"x")],
    "list": [None, (), "x", ListSub()],
    "list?": [(), "x", ListSub(["x"])],
    "int": ["5", b"5", None, [], 1j],
    "float": ["5", b"5", None, 1j],
}
EXPECTED = {"str": "str", "str?": "str", "bytes": "bytes", "list": "list", "list?": "list", "int": "int", "float": "float"}


@pytest.mark.parametrize("fn, name, kind", typed_parameters(), ids=lambda x: x if isinstance(x, str) else "")
def test_typed_parameters_refuse_other_types(fn, name, kind):
    for value in REFUSED[kind]:
        with pytest.raises(TypeError) as info:
            fn(value)
        expected = f"Argument '{name}' has incorrect type (expected {EXPECTED[kind]}, got {type(value).__name__})"
        assert str(info.value) == expected


@pytest.mark.parametrize(
    "value, ratio",
    [(2.9, "16:9"), (-0.5, "9:16"), (True, "1:1"), (fractions.Fraction(7, 2), "21:9"), (decimal.Decimal("2.99"), "16:9")],
)
def test_integers_truncate_any_number(value, ratio):
    from vantry.aspecta import Aspecta

    assert Aspecta()._get_closest_standard_ratio(value, 1) == ratio


def test_argument_count_and_keywords():
    from vantry.aspecta import Aspecta

    a = Aspecta()
    cases = [
        (lambda: a._get_closest_standard_ratio(1), "missing required argument 'height'"),
        (lambda: a._get_closest_standard_ratio(1, 2, 3), "takes at most 2 positional arguments (3 given)"),
        (lambda: a._get_closest_standard_ratio(1, width=2), "multiple values for argument 'width'"),
        (lambda: a._get_closest_standard_ratio(1, 2, depth=3), "unexpected keyword argument 'depth'"),
        (lambda: Aspecta._parse_ratio(), "missing required argument 'ratio_str'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError, match=re.escape(message)):
            call()
    assert a._get_closest_standard_ratio(height=1, width=2) == "16:9"


def test_leak_check_detects_a_leak():
    kept = []
    with pytest.raises(AssertionError, match="grew"):
        assert_no_leak(lambda: kept.append(object()), calls=500)
