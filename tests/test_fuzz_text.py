"""Arbitrary text into the ratio parsers: surrogates, NUL, combining marks,
every kind of digit and white space, and texts of a megabyte.

Each case is compared with the plain-Python statement of the parser, so a
result is right or the exception is the same type (and, for the ratio
parser, the same message).
"""

import math

from hypothesis import example, given
from hypothesis import strategies as st

import oracles
from fuzzsupport import fuzz
from vantry.aspecta import Aspecta
from vantry.gridlum import GridlumSizeCalculator, ServiceError

# Characters the parsers treat specially, and their near misses.
TRICKY = (
    "0123456789:+-_. xX"
    "\t\n\x0b\x0c\r\x1c\x1f\x85\xa0\u1680\u2000\u2028\u3000\u200b\ufeff"  # white space and look-alikes
    "０１２３４５６７８９٠١٢٣۴߀०১๓᠕𝟎𝟗"  # other decimal digits
    "²³¹½Ⅻ⑩"  # numeric but not decimal
    "：∶﹕"  # colon look-alikes
    "\x00\u0301\u20dd\ud800\udfff\U0010ffff𝐀AaUuTtOo"  # NUL, combining marks, lone surrogates
)
tricky_text = st.text(alphabet=st.sampled_from(TRICKY) | st.characters(exclude_categories=()), max_size=30)
number = st.integers(0, 10**6).map(str) | st.integers(0, 10**40).map(str)
ratio_like = st.builds(
    lambda pre, w, sep, h, post: pre + w + sep + h + post,
    tricky_text.filter(lambda s: len(s) < 4), number, st.sampled_from([":", " : ", "::", ":", "：", ":+", ": "]),
    number, tricky_text.filter(lambda s: len(s) < 4),
)
any_ratio_text = tricky_text | ratio_like

MEGABYTE = 1 << 20
huge_texts = [
    " " * MEGABYTE + "16:9",
    "16:9" + "x" * MEGABYTE,
    "9" * MEGABYTE + ":1",
    "\u3000" * MEGABYTE,
    "\ud800" * MEGABYTE,
    "1:" + "0" * MEGABYTE,
]

# ---- _parse_ratio --------------------------------------------------------------------------


def outcome(fn, *args, **kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as err:  # noqa: BLE001 - the kind and text are compared
        return (type(err), str(err))


@fuzz()
@given(any_ratio_text)
@example("\u3000１６:９\u3000")
@example("16:9\x00")
@example("\ud800 16:9")
@example("0" * 5000 + "1:2")
def test_parse_ratio_matches_its_statement(text):
    got = outcome(Aspecta._parse_ratio, text)
    assert got == outcome(oracles.parse_ratio, text)
    if got[0] == "ok":
        w, h = got[1]
        assert type(w) is int and type(h) is int and w >= 0 and h >= 0


def test_parse_ratio_on_megabyte_texts():
    for text in huge_texts:
        assert outcome(Aspecta._parse_ratio, text) == outcome(oracles.parse_ratio, text)


# ---- calc_size ---------------------------------------------------------------------------------


def check_size_result(result, aspect_ratio, resolution):
    """The invariants of every calc_size result of the class's own constants."""
    assert list(result) == ["width", "height", "size", "pixels", "aspect_ratio", "resolution", "valid"]
    w, h = result["width"], result["height"]
    assert result["size"] == f"{w}x{h}" and result["pixels"] == w * h
    assert result["aspect_ratio"] is aspect_ratio and result["resolution"] == resolution.lower()
    # With the class's own limits every search ends on a legal size.
    assert result["valid"] is True
    assert w % 16 == 0 and h % 16 == 0 and max(w, h) <= 3840
    assert 655360 <= w * h <= 8294400 and max(w, h) / min(w, h) <= 3.0


def calc_outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except ServiceError:
        return ("refused",)
    except oracles.ServiceErrorStandIn:
        return ("refused",)
    except Exception as err:  # noqa: BLE001 - the kinds are compared
        return (type(err),)


@fuzz()
@given(any_ratio_text, st.sampled_from(["1k", "2k", "4k", "2K", "8k", "", "\u0130", "ǅ", "\ud800"]), st.booleans())
@example("AUTO", "4K", False)
@example(" 21 : 9 ", "1k", True)
@example("+16:-9", "2k", False)
@example("-16:-9", "2k", False)
@example("16_0:9", "2k", False)
def test_calc_size_on_arbitrary_ratio_text(aspect_ratio, resolution, strict):
    got = calc_outcome(GridlumSizeCalculator.calc_size, aspect_ratio, resolution, strict)
    want = calc_outcome(lambda *a: oracles.calc_size(GridlumSizeCalculator, *a)[0], aspect_ratio, resolution, strict)
    assert got == want
    if got[0] == "ok" and got[1]["valid"]:
        check_size_result(got[1], aspect_ratio, resolution)


def test_calc_size_on_megabyte_texts():
    for text in huge_texts:
        try:
            GridlumSizeCalculator.calc_size(text, text)
        except (ValueError, ZeroDivisionError):
            pass
        else:
            assert text.strip().startswith("16:9") or text.startswith("1:")


@fuzz()
@given(st.integers(1, 10**30), st.integers(1, 10**30), st.sampled_from(["1k", "2k", "4k"]))
def test_calc_size_on_any_positive_terms_gives_a_legal_size(rw, rh, level):
    ratio = f"{rw}:{rh}"
    result = GridlumSizeCalculator.calc_size(ratio, level)
    check_size_result(result, ratio, level)
    if max(rw, rh) / min(rw, rh) <= 3.0:
        # The orientation of the ratio is kept.
        assert (result["width"] >= result["height"]) == (rw >= rh) or math.isclose(rw / rh, 1, rel_tol=0.02)
