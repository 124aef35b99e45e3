"""vantry.gridlum: service sizes from a ratio text and a resolution level."""

import inspect
import math
import pickle
import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest
from conftest import assert_no_leak, raises

import vantry.excode
import vantry.gridlum
from vantry.gridlum import GridlumSizeCalculator as G

# The same class in plain Python, written from the algorithm steps: the oracle
# for subclasses whose constants and methods differ from ours.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from bench.gridlum_bench import PlainGridlum as P  # noqa: E402

KEYS = ["width", "height", "size", "pixels", "aspect_ratio", "resolution", "valid"]
LIMITS = ["MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO", "RESOLUTION_PRESET"]


def counting(base):
    """A subclass of `base` whose is_valid_image_size counts its calls (one per pass, plus the final check)."""

    class Counting(base):
        calls = 0

        @classmethod
        def is_valid_image_size(cls, width, height):
            Counting.calls += 1
            return super().is_valid_image_size(width, height)

    return Counting


def passes(base, *args):
    cls = counting(base)
    result = cls.calc_size(*args)
    return result, cls.calls - 1


def variant(base, **constants):
    return type("Variant", (base,), dict(constants))


def test_class_shape():
    assert G.__bases__ == (object,)
    names = [n for n in vars(G) if not n.startswith("__") or n == "__init__"]
    assert names == LIMITS + ["__init__", "round_to_multiple", "floor_to_multiple", "is_valid_image_size", "calc_size"]
    assert [getattr(G, n) for n in LIMITS[:5]] == [655360, 8294400, 3840, 16, 3.0]
    assert type(G.MAX_RATIO) is float and type(G.MULTIPLE) is int
    assert list(G.RESOLUTION_PRESET.items()) == [("1k", 1572516), ("2k", 6553600), ("4k", 8294400)]
    for name in ("round_to_multiple", "floor_to_multiple", "is_valid_image_size", "calc_size"):
        assert type(vars(G)[name]).__name__ == "classmethod_descriptor"
    sub = variant(G)
    assert sub.calc_size.__self__ is sub and G().calc_size.__self__ is G
    assert vars(G()) == {}
    with pytest.raises(TypeError):
        G(1)
    assert vantry.gridlum.ServiceError is vantry.excode.ServiceError and vantry.gridlum.math is math
    assert pickle.loads(pickle.dumps(G)) is G
    assert str(inspect.signature(G.calc_size)) == "(aspect_ratio='1:1', resolution='2k', strict=False)"


# ratio, level, width, height, passes
TABLE = [
    ("1:1", "2k", 2560, 2560, 1),
    ("1:1", "1k", 1264, 1264, 1),
    ("1:1", "4k", 2880, 2880, 1),
    ("16:9", "1k", 1680, 944, 1),
    ("16:9", "2k", 3424, 1936, 1),
    ("16:9", "4k", 3840, 2160, 1),
    ("9:16", "2k", 1920, 3424, 1),
    ("4:3", "4k", 3312, 2496, 4),
    ("7:10", "4k", 2400, 3440, 2),
    ("2:1", "4k", 3840, 1920, 3),
    ("3:1", "2k", 3840, 1280, 2),
    ("10:1", "2k", 3840, 1280, 2),
    ("21:9", "4k", 3840, 1648, 4),
    ("auto", "2k", 2560, 2560, 1),
    ("AuTo", "2k", 2560, 2560, 1),
    ("", "2k", 2560, 2560, 1),
    ("31:82", "4k", 1456, 3840, 7),
    (" 16 : 9 ", "2K", 3424, 1936, 1),
    ("1:10", "8K", 1280, 3840, 2),
]


@pytest.mark.parametrize("ratio, level, width, height, npasses", TABLE)
def test_size_table(ratio, level, width, height, npasses):
    result = G.calc_size(ratio, level)
    expected = [width, height, f"{width}x{height}", width * height, ratio, level.lower(), True]
    assert list(result.items()) == list(zip(KEYS, expected))
    assert result["valid"] is True
    assert passes(G, ratio, level) == (result, npasses)


def test_defaults_and_keywords():
    assert G.calc_size() == G.calc_size("1:1", "2k", False) == G.calc_size(resolution="2k", aspect_ratio="1:1")
    assert G.calc_size() is not G.calc_size()


def test_every_small_ratio_is_valid_within_seven_passes():
    counted = counting(G)
    floor_calls = []
    counted.floor_to_multiple = classmethod(lambda cls, *a: floor_calls.append(a))
    worst = 0
    for level in ("1k", "2k", "4k"):
        for rw in range(1, 101):
            for rh in range(1, 101):
                ratio = f"{rw}:{rh}"
                counted.calls = 0
                result = counted.calc_size(ratio, level)
                worst = max(worst, counted.calls - 1)
                # our own machine-number search and the overridden (host-number) one agree
                assert result["valid"] is True and G.calc_size(ratio, level) == result, (ratio, level)
    assert worst == 7 and floor_calls == []


RATIOS = ["1:1", "16:9", "9:16", "4:3", "7:10", "2:1", "3:1", "10:1", "21:9", "31:82", "1:7"]
VARIANTS = {
    "floats": dict(MULTIPLE=16.0, MAX_PIXELS=8294400.0, MAX_EDGE=3840.0, MAX_RATIO=3),
    "big ints": dict(MAX_PIXELS=2**80, MAX_EDGE=2**70, RESOLUTION_PRESET={"2k": 2**66}),
    "fractions": dict(MAX_RATIO=Fraction(5, 2), MULTIPLE=Fraction(24)),
    "grow and floor": dict(MAX_EDGE=1000, MULTIPLE=64),
    "out of passes": dict(MAX_EDGE=1000),
    "strange multiple": dict(MULTIPLE=100, MIN_PIXELS=2_000_000, MAX_RATIO=1.5),
}


@pytest.mark.parametrize("name", VARIANTS)
def test_subclass_constants_follow_host_arithmetic(name):
    ours, plain = variant(G, **VARIANTS[name]), variant(P, **VARIANTS[name])
    for level in ("1k", "2k", "4k"):
        for ratio in RATIOS:
            assert passes(ours, ratio, level) == passes(plain, ratio, level), (ratio, level)


def test_search_running_out_returns_the_last_values():
    result, npasses = passes(variant(G, MAX_EDGE=1000), "16:9", "1k")
    assert npasses == 20 and result["valid"] is False and result["width"] % 16 != 0


@pytest.mark.parametrize("override_round", [True, False])
def test_overridden_methods_are_called_through_the_class(override_round):
    calls = []

    def make(base):
        class Sub(base):
            MULTIPLE = 64
            MAX_EDGE = 1000

            @classmethod
            def floor_to_multiple(cls, value, multiple=None):
                calls.append(("floor", type(value), value))
                return float(super().floor_to_multiple(value, multiple))

        if override_round:
            def round_to_multiple(cls, value, multiple=None):
                calls.append((type(value), value))
                return super(Sub, cls).round_to_multiple(value, multiple) + 64

            Sub.round_to_multiple = classmethod(round_to_multiple)
        return Sub

    for ratio, level in [("1:1", "1k"), ("4:3", "4k"), ("7:10", "1k")]:
        calls.clear()
        ours = make(G).calc_size(ratio, level)
        ours_calls = list(calls)
        calls.clear()
        assert ours == make(P).calc_size(ratio, level) and ours_calls == calls
        assert ("floor", float, 1000.0) in calls  # the downward alignment ran


def test_a_method_bound_to_another_class_reads_that_class():
    class Ours(G):
        MULTIPLE = 48
        round_to_multiple = G.round_to_multiple

    class Plain(P):
        MULTIPLE = 48
        round_to_multiple = P.round_to_multiple

    assert Ours.round_to_multiple(17) == 32
    assert [Ours.calc_size(r) for r in RATIOS] == [Plain.calc_size(r) for r in RATIOS]


def test_changed_constants_take_effect(monkeypatch):
    sub = variant(G)
    assert sub.calc_size("16:9", "4k")["size"] == "3840x2160"
    sub.MAX_EDGE = 3000
    assert sub.calc_size("16:9", "4k") == variant(P, MAX_EDGE=3000).calc_size("16:9", "4k")
    monkeypatch.setattr(G, "MULTIPLE", 32)
    assert G.round_to_multiple(17) == 32 and G.is_valid_image_size(3840, 2160) is False
    monkeypatch.setitem(G.RESOLUTION_PRESET, "2k", 1572516)
    assert G.calc_size()["size"] == "1280x1280"


def test_entries_moved_within_the_class_dict():
    # Deleting and re-adding moves an entry to the end of the class dict; run
    # apart so the class stays untouched for the other tests.
    code = """
from vantry.gridlum import GridlumSizeCalculator as G
narrow = type("Narrow", (G,), {"MAX_EDGE": 3000})
expected = [narrow.calc_size(r, "4k") for r in ("16:9", "4:3", "1:1")]
for name in ("MAX_EDGE", "is_valid_image_size", "round_to_multiple"):
    value = G.__dict__[name]
    delattr(G, name)
    setattr(G, name, 3000 if name == "MAX_EDGE" else value)
assert [G.calc_size(r, "4k") for r in ("16:9", "4:3", "1:1")] == expected
G.MAX_EDGE = 3840
assert G.calc_size("16:9", "4k")["size"] == "3840x2160"
print("ok")
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.strip() == "ok", run.stderr


def test_metaclass_attributes_win():
    class Meta(type):
        MAX_EDGE = property(lambda cls: 2000)

    ours, plain = Meta("Ours", (G,), {}), Meta("Plain", (P,), {})
    assert ours.MAX_EDGE == 2000
    assert [ours.calc_size(r, "4k") for r in RATIOS] == [plain.calc_size(r, "4k") for r in RATIOS]


@pytest.mark.parametrize("ratio", ["10:1", "1:10", "3:10"])
def test_strict_refuses_wide_ratios_before_any_size(ratio):
    counted = counting(G)
    with pytest.raises(vantry.excode.ServiceError) as caught:
        counted.calc_size(ratio, "2k", [1])
    assert caught.value.args == ("图像宽高比不合法, 相差太大",) and caught.value.aspect_ratio == ratio
    assert counted.calls == 0


def test_strict_accepts_the_limit_and_takes_the_truth_value():
    assert G.calc_size("3:1", strict=True)["size"] == "3840x1280"
    assert G.calc_size("10:1", strict=0)["aspect_ratio"] == "10:1"

    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError):
        G.calc_size(strict=Bad())


@pytest.mark.parametrize("text", ["+16:9", "16:+9", "1_6:9", "\uff11\uff16:\uff19", "\t16:9\n", "0016:09"])
def test_ratio_terms_follow_int(text):
    assert G.calc_size(text)["size"] == "3424x1936"


def test_levels_are_lowered_by_the_host():
    assert G.calc_size("1:1", "1\u212a")["size"] == "1264x1264"  # KELVIN SIGN lowers to "k"
    assert G.calc_size("1:1", "\uff14K")["resolution"] == "\uff14k"


@pytest.mark.parametrize(
    "text, error, message",
    [
        ("16x9", ValueError, "invalid literal for int() with base 10: '16x9'"),
        ("16.5:9", ValueError, "invalid literal for int() with base 10: '16.5'"),
        ("1:2:3", ValueError, "too many values to unpack"),
        ("16", ValueError, "not enough values to unpack"),
        ("16:", ValueError, "invalid literal"),
        ("\ud800:9", ValueError, "invalid literal"),
        ("16:0", ZeroDivisionError, ""),
        ("0:9", ZeroDivisionError, ""),
    ],
)
def test_bad_ratio_texts(text, error, message):
    with pytest.raises(error) as caught:
        G.calc_size(text)
    assert str(caught.value).startswith(message)


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"aspect_ratio": None}, "Argument 'aspect_ratio' has incorrect type (expected str, got NoneType)"),
        ({"aspect_ratio": b"1:1"}, "Argument 'aspect_ratio' has incorrect type (expected str, got bytes)"),
        ({"resolution": Text("2k")}, "Argument 'resolution' has incorrect type (expected str, got Text)"),
        ({"ratio": "1:1"}, "unexpected keyword argument 'ratio'"),
    ],
)
def test_argument_types(kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        G.calc_size(**kwargs)
    with pytest.raises(TypeError):
        G.calc_size("1:1", "2k", False, 1)


ALIGNMENT = [(0, 16, 16), (5, 16, 16), (16, 16, 16), (17, 32, 16), (31.9, 32, 16), (940.5, 944, 928),
             (1000, 1008, 992), (-40, 16, 16)]


@pytest.mark.parametrize("value, up, down", ALIGNMENT)
def test_alignment(value, up, down):
    assert (G.round_to_multiple(value), G.floor_to_multiple(value)) == (up, down)
    assert G.round_to_multiple(value, None) == up and type(G.floor_to_multiple(value)) is int


@pytest.mark.parametrize("value", [16, 1000, 2.5e9, 10**30, Fraction(7, 3), -(2**70)])
@pytest.mark.parametrize("multiple", [10, 16.0, 3, Fraction(5, 2), 2**60])
def test_alignment_follows_host_arithmetic(value, multiple):
    for name in ("round_to_multiple", "floor_to_multiple"):
        got = getattr(G, name)(value, multiple=multiple)
        assert (got, type(got)) == (getattr(P, name)(value, multiple), int)


@pytest.mark.parametrize(
    "args, error",
    [((16, 0), ZeroDivisionError), ((math.inf,), OverflowError), ((math.nan,), ValueError), (("x",), TypeError)],
)
def test_alignment_errors(args, error):
    for fn in (G.round_to_multiple, G.floor_to_multiple):
        with pytest.raises(error):
            fn(*args)


@pytest.mark.parametrize(
    "width, height, valid",
    [(3840, 2160, True), (3840, 1280, True), (3856, 1280, False), (3840, 1264, False), (800, 800, False),
     (1000, 1000, False), (3840.9, 2160.5, True), (2**70, 2**70, False),
     # negative edges pass every other check (the "longer" edge is -2160) but are no size
     (-3840, -2160, False), (-2160, 3840, False)],
)
def test_validity(width, height, valid):
    assert G.is_valid_image_size(width, height) is valid
    assert G.is_valid_image_size(height=height, width=width) is valid


def test_validity_errors():
    with pytest.raises(ZeroDivisionError):
        G.is_valid_image_size(0, 16)
    with pytest.raises(TypeError, match="Argument 'width' has incorrect type"):
        G.is_valid_image_size("16", 16)
    with pytest.raises(TypeError):
        G.is_valid_image_size(16)


def test_no_leaks():
    overridden = counting(variant(G, MAX_RATIO=Fraction(5, 2)))
    narrow = variant(G, MAX_EDGE=1000)
    for fn in [
        lambda: G.calc_size("16:9", "2k"),
        lambda: G.calc_size(" \uff11:2 ", "4K"),
        lambda: overridden.calc_size("31:82", "4k"),
        lambda: narrow.calc_size("7:10", "1k"),
        lambda: G.round_to_multiple(940.5),
        lambda: G.floor_to_multiple(10**30, Fraction(5, 2)),
        lambda: G.is_valid_image_size(3840, 2160),
        lambda: G(),
        raises(vantry.excode.ServiceError, G.calc_size, "10:1", "2k", True),
        raises(ValueError, G.calc_size, "1:2:3"),
        raises(ValueError, G.calc_size, "16x9"),
        raises(ZeroDivisionError, G.calc_size, "0:9"),
        raises(TypeError, G.calc_size, None),
        raises(TypeError, G.calc_size, bad=1),
        raises(ZeroDivisionError, G.round_to_multiple, 5, 0),
        raises(TypeError, G.floor_to_multiple, "x"),
        raises(ZeroDivisionError, G.is_valid_image_size, 0, 0),
        raises(TypeError, G.is_valid_image_size, None, 1),
    ]:
        assert_no_leak(fn, calls=500)
