"""The package's arithmetic against plain-Python statements of the same
steps (tests/oracles.py), over random inputs: sizes, ratios, alignments,
and subclasses of the size calculator with random limits, so both the
machine-number paths and the host-arithmetic paths are compared; and the
prompt checker's own matcher against the compiled pattern it stands for,
over every code point.
"""

import random
import struct
import warnings
import zlib

import pytest

from hypothesis import example, given
from hypothesis import strategies as st
from PIL import Image

import oracles
from fuzzsupport import fuzz
from vantry.aspecta import Aspecta
from vantry.gridlum import GridlumSizeCalculator as Calc
from vantry.gridlum import ServiceError
from vantry.prefora import PreforaImageScale
from vantry import wordsift
from vantry.simplora import ImageSimplora, _size_ratios


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except (ServiceError, oracles.ServiceErrorStandIn):
        return ("refused",)
    except Exception as err:  # noqa: BLE001 - the kinds are compared
        return (type(err),)


side = st.integers(-5, 5000) | st.integers(-(2**70), 2**70)
real = st.floats(allow_nan=True, allow_infinity=True) | st.floats(-1e7, 1e7)
number = side | real
multiple = st.none() | st.integers(-20, 40) | st.floats(-20, 40) | st.integers(1, 2**40)

# ---- gridlum ---------------------------------------------------------------------------------


@fuzz()
@given(number, multiple)
@example(0, None)
@example(-40, None)
@example(940.5, None)
@example(16, 10)
@example(2**53 + 1, 3)
@example(1e300, 7)
def test_alignments(value, mult):
    for method, oracle in ((Calc.round_to_multiple, oracles.round_to_multiple),
                           (Calc.floor_to_multiple, oracles.floor_to_multiple)):
        got = outcome(method, value, mult)
        assert got == outcome(oracle, Calc, value, mult), (method.__name__, value, mult)
        if got[0] == "ok":
            assert type(got[1]) is int


@fuzz()
@given(side | st.floats(-1e5, 1e5), side | st.floats(-1e5, 1e5))
@example(3840, 2160)
@example(3856, 1280)
@example(-3840, -2160)
@example(0, -16)
def test_validity(width, height):
    assert outcome(Calc.is_valid_image_size, width, height) == outcome(oracles.is_valid_image_size, Calc, width, height)


terms = st.integers(1, 100) | st.integers(-3, 2**40)
levels = st.sampled_from(["1k", "2k", "4k", "8K", ""])


@fuzz()
@given(terms, terms, levels, st.booleans())
@example(16, 9, "2k", False)
@example(4, 3, "4k", False)
@example(31, 82, "4k", False)
@example(2, 7, "2k", False)
def test_calc_size(rw, rh, level, strict):
    ratio = f"{rw}:{rh}"
    got = outcome(Calc.calc_size, ratio, level, strict)
    want = outcome(lambda *a: oracles.calc_size(Calc, *a)[0], ratio, level, strict)
    assert got == want


# Random limits, as a subclass would set them: ints, floats, odd multiples.
@st.composite
def calculators(draw):
    min_pixels = draw(st.integers(1, 10**7) | st.floats(1, 1e7))
    limits = {
        "MIN_PIXELS": min_pixels,
        "MAX_PIXELS": draw(st.integers(1, 2 * 10**7) | st.floats(1, 2e7)),
        "MAX_EDGE": draw(st.integers(1, 10**4) | st.floats(1, 1e4)),
        "MULTIPLE": draw(st.integers(1, 64) | st.sampled_from([2**26, 2**30]) | st.floats(0.5, 64)),
        "MAX_RATIO": draw(st.floats(1, 10) | st.integers(1, 10)),
        "RESOLUTION_PRESET": {"2k": draw(st.integers(1, 2 * 10**7)), "4k": draw(st.integers(1, 2 * 10**7) | st.floats(1, 2e7))},
    }
    if draw(st.booleans()):  # a preset without the fallback level still serves the levels it has
        del limits["RESOLUTION_PRESET"]["2k"]
    chosen = draw(st.sets(st.sampled_from(sorted(limits)), min_size=1))
    return type("Limits", (Calc,), {k: limits[k] for k in chosen})


@fuzz()
@given(calculators(), st.integers(1, 60), st.integers(1, 60), st.sampled_from(["2k", "4k", "1k"]), st.booleans())
def test_calc_size_of_subclasses(cls, rw, rh, level, strict):
    ratio = f"{rw}:{rh}"
    got = outcome(cls.calc_size, ratio, level, strict)
    want = outcome(lambda *a: oracles.calc_size(cls, *a)[0], ratio, level, strict)
    assert got == want, {k: getattr(cls, k) for k in ("MIN_PIXELS", "MAX_PIXELS", "MAX_EDGE", "MULTIPLE", "MAX_RATIO")}


def test_every_small_ratio_needs_at_most_seven_passes():
    # The class's own limits: every ratio of terms 1..100 at each level.
    worst = 0
    for level in ("1k", "2k", "4k"):
        for rw in range(1, 101):
            for rh in range(1, 101):
                result, passes = oracles.calc_size(Calc, f"{rw}:{rh}", level)
                worst = max(worst, passes)
                assert Calc.calc_size(f"{rw}:{rh}", level) == result
    assert worst == 7


# ---- aspecta ---------------------------------------------------------------------------------------

aspecta = Aspecta()


@fuzz()
@given(side | st.floats(-1e6, 1e6), side | st.floats(-1e6, 1e6))
@example(900, 800)
@example(900, 1000)
@example(775, 1000)
@example(0, 5)
def test_closest_standard_ratio(width, height):
    got = outcome(aspecta._get_closest_standard_ratio, width, height)
    assert got == outcome(oracles.closest_standard_ratio, int(width), int(height))


# ---- simplora ----------------------------------------------------------------------------------------


def png_header(width, height):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", b"") + chunk(b"IEND", b"")


@fuzz()
@given(st.integers(1, 2**31 - 1), st.integers(1, 2**31 - 1) | st.integers(1, 100), st.integers(-2, 40))
@example(1366, 768, 10)
@example(100, 1500, 16)
@example(1920, 1080, 0)
def test_simple_ratios(width, height, limit):
    data = png_header(width, height)
    simplora = ImageSimplora(limit)
    # The command's ratio of a size it read itself: the texts of both methods.
    assert _size_ratios(width, height, limit) == (oracles.raw_simple_ratio(width, height),
                                                  oracles.approx_simple_ratio(width, height, limit))
    if width * height > 2 * Image.MAX_IMAGE_PIXELS:  # the library refuses to open it
        with pytest.raises(Image.DecompressionBombError):
            simplora.get_raw_simple_ratio(data)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Image.DecompressionBombWarning)
        assert simplora.get_raw_simple_ratio(data) == oracles.raw_simple_ratio(width, height)
        assert simplora.get_approx_simple_ratio(data) == oracles.approx_simple_ratio(width, height, limit)


@fuzz()
@given(side, side)
def test_gcd(a, b):
    assert ImageSimplora._gcd(a, b) == oracles.gcd(a, b)


# ---- prefora -------------------------------------------------------------------------------------------


class Sized:
    """Width and height, and a resize that reports the size it was asked for."""

    def __init__(self, width, height):
        self.width, self.height = width, height

    def resize(self, size, resample):
        return size


resolution_lists = st.lists(st.tuples(st.integers(-5, 3000), st.integers(-5, 3000) | st.floats(-5, 3000)), min_size=0, max_size=20)


@fuzz()
@given(st.integers(0, 10**6) | st.floats(0, 1e6), st.integers(-2, 10**6) | st.floats(-2, 1e6), st.none() | resolution_lists)
@example(64, 59, None)
@example(64, 69, None)
@example(1000, 100, None)
def test_prefora_selection(width, height, resolutions):
    scaler = PreforaImageScale(Sized(width, height))
    if resolutions is not None:
        scaler.PREFERED_PREFORA_RESOLUTIONS = resolutions
    table = [tuple(r) for r in scaler.PREFERED_PREFORA_RESOLUTIONS]
    assert outcome(scaler.start) == outcome(oracles.prefora_selection, width, height, table)


# ---- wordsift: the checker's matcher against its compiled pattern ------------------------------

EVERY_CODE_POINT = [chr(c) for c in range(0x110000)]
CASED = [c for c in EVERY_CODE_POINT if c.lower() != c or c.upper() != c]
# A class holding both cases of a letter matches either through the lower case: the two halves
# are checked apart.
CASED_HALVES = {
    "with another lower case": [c for c in CASED if c.lower() != c],
    "their own lower case": [c for c in CASED if c.lower() == c],
}


def pattern_checker(words, monkeypatch):
    monkeypatch.setattr(wordsift, "_HAS_AC", False)
    checker = wordsift.PromptBanChecker(builtin_words=words, use_default=False)
    assert checker._ban_regex is not None and checker.banned_words == words
    return checker


# re compiles an alternation of one-code-point words (also after a prefix all words share) as one
# character class, and any other alternation as a branch of literals; it folds case differently in
# the two, for code points beyond U+FFFF.
@pytest.mark.parametrize(
    "words_of, text_of, texts",
    [
        (lambda c: c, lambda t: t, EVERY_CODE_POINT),
        (lambda c: "q" + c, lambda t: "q" + t, EVERY_CODE_POINT),
        (lambda c: c + "q", lambda t: t + "q", CASED),
    ],
    ids=["one class", "a class after a shared prefix", "a branch of literals"],
)
@pytest.mark.parametrize("half", CASED_HALVES)
@pytest.mark.parametrize("per_text", [64, 3000], ids=["prompts", "texts across scan buffers"])
def test_pattern_matcher_agrees_with_re_on_every_code_point(monkeypatch, words_of, text_of, texts, half, per_text):
    """Lexicons of cased code points in each shape; every text code point, `per_text` to a prompt."""
    checker = pattern_checker([words_of(c) for c in CASED_HALVES[half]], monkeypatch)
    pattern = checker._ban_regex
    wrong, prompts, verdicts = [], [], []
    for start in range(0, len(texts), per_text):
        text = " ".join(text_of(t) for t in texts[start : start + per_text])
        expected = list(dict.fromkeys(pattern.findall(text)))
        if checker.find_matched_words(text) != expected or checker._has_banned_word(text) != bool(expected):
            wrong.append(text)
        prompts.append(text)
        verdicts.append(bool(expected))
    assert wrong == []
    # All at once, scanned in blocks across threads: the same verdicts.
    assert checker.check_many(prompts, threads=2) == verdicts


# ---- wordsift: normalised screening ---------------------------------------------------------------

from vantry import wordsift
from vantry.wordsift import PromptBanChecker, PromptBanError

HAS_AC = wordsift._HAS_AC
ENGINES = [False] + [True] * HAS_AC  # _HAS_AC: the regex engine below 50 words, the automaton from 50


def screen_outcome(checker, text):
    """What the three checks say, each compared where the others agree."""
    found = checker.find_matched_words(text)
    has = checker._has_banned_word(text)
    assert checker.check_many([text, "", text], threads=2) == [has, False, has]
    try:
        result = checker.check(text)
        assert result is text
        data = []
    except PromptBanError as err:
        data = err.data
        assert err.error_msg == "违禁词: " + ",".join(data)
    return has, found, data


def reference_outcome(checker, text, **options):
    want = oracles.screen_hits(checker.banned_words, text, **options)
    return bool(want), want, want


def chunks(seq, size):
    for i in range(0, len(seq), size):
        yield seq[i:i + size]


@pytest.mark.parametrize("use_ac", ENGINES)
def test_screening_agrees_on_every_code_point(monkeypatch, use_ac):
    """Each code point as a lexicon character (matched by the reference's image of it as
    text) and as text (matching its image as a lexicon character), between letters. The
    engine does not take part in screening: the second engine gets every 7th code point."""
    monkeypatch.setattr(wordsift, "_HAS_AC", use_ac)
    everything = list(range(0x110000)) if use_ac == ENGINES[-1] else list(range(0, 0x110000, 7))
    wrong = []
    for block in chunks(everything, 8192):
        raw = ["q" + chr(c) + "z" for c in block]
        imaged = ["q" + oracles.image(chr(c)) + "z" for c in block]
        for words, prompt_words in ((raw, imaged), (imaged, raw)):
            words = list(dict.fromkeys(words))
            c = PromptBanChecker(builtin_words=words, use_default=False, normalize=True)
            prompt = " | ".join(prompt_words)
            if screen_outcome(c, prompt) != reference_outcome(c, prompt, allow_words=c._BUILTIN_ALLOW_WORDS):
                wrong.append((hex(block[0]), hex(block[-1])))
        if len(wrong) > 3:
            break
    assert wrong == []


SEPARATORS = [".", "-", " ", "  ", "\u200b", "@", "・", "、", "_", "\u00ad", "\ufe0f", "*", " . ", "\t", "\u3000"]
MARKS = ["\u0301", "\u0308", "\u0327", "\u20dd"]
LOOKS = {}
for _src, _dst in oracles.LOOKALIKES.items():
    LOOKS.setdefault(_dst, []).append(_src)
TRADITIONAL = {}
for _src, _dst in oracles.SIMPLIFIED.items():
    TRADITIONAL.setdefault(_dst, []).append(_src)
WORDS = ["cocaine", "nude", "hentai", "penis", "whore", "crack cocaine", "ak-47", "大麻", "裸体", "吸食大麻", "色情",
         "Σοφία", "straße", "c++", "***", "a b", "İstanbul"]
PROSE = ["the pen is mightier", "who re-entered", "一只大麻雀站在树枝上", "这真是一个大麻烦", "U.S. a.m. e.g.",
         "Москва", "καλημέρα", "a lighthouse at dawn", "I a m"]


def disguise(rng, word):
    out = []
    for ch in word:
        roll = rng.random()
        if roll < 0.2 and LOOKS.get(ch.lower()):
            ch = rng.choice(LOOKS[ch.lower()])
        elif roll < 0.3 and TRADITIONAL.get(ch):
            ch = rng.choice(TRADITIONAL[ch])
        elif roll < 0.4 and "a" <= ch.lower() <= "z":
            ch = chr(ord(ch) + 0xFEE0)  # full width
        elif roll < 0.5:
            ch = ch.upper()
        out.append(ch)
        if rng.random() < 0.2:
            out.append(rng.choice(MARKS))
        if rng.random() < 0.3:
            out.append(rng.choice(SEPARATORS))
    return "".join(out)


@pytest.mark.parametrize("use_ac", ENGINES)
@pytest.mark.parametrize("normalize,ignore_case", [(True, True), (True, False), (False, True), (False, False)])
def test_screening_agrees_on_disguised_prompts(monkeypatch, use_ac, normalize, ignore_case):
    monkeypatch.setattr(wordsift, "_HAS_AC", use_ac)
    rng = random.Random(f"{use_ac}{normalize}{ignore_case}")
    fillers = [f"qqfill{i:02d}" for i in range(60)] if use_ac else []
    for _ in range(60):
        words = rng.sample(WORDS, rng.randint(1, 6))
        low = 0 if normalize else 1  # without either option the engines answer, as tested elsewhere
        allow = [disguise(rng, w) + rng.choice(["雀", "x", "烦"]) for w in rng.sample(words, rng.randint(low, min(2, len(words))))]
        c = PromptBanChecker(builtin_words=words + fillers, use_default=False, ignore_case=ignore_case,
                             normalize=normalize, allow_words=allow)
        for _ in range(10):
            parts = [rng.choice(PROSE), disguise(rng, rng.choice(words)), rng.choice(allow or PROSE)]
            rng.shuffle(parts)
            prompt = rng.choice(SEPARATORS).join(parts)
            options = {"normalize": normalize, "ignore_case": ignore_case,
                       "allow_words": allow + list(c._BUILTIN_ALLOW_WORDS) * normalize}
            assert screen_outcome(c, prompt) == reference_outcome(c, prompt, **options), (words, allow, prompt)


ASCII_EDGE_WORDS = ["cocaine", "crack cocaine", "a b", "a big", "big a", "ak-47", "x1", "nude", "0day"]
ASCII_EDGE_PROMPTS = [
    "a bag of cocaine", "crack cocaine", "crack, cocaine", "crack ,cocaine", "crack\tcocaine", "crack  cocaine",
    "crack\x1fcocaine", "crack\x00cocaine", "crack-cocaine", "crac k cocaine", "c o c a i n e", "c o c a ine",
    "co caine", ".cocaine.", "-cocaine", "cocaine-", "c-ocaine", "cocain-e", "c.o.c.a.i.n.e", "I a m",
    "a b", "x a b y", "xa b", "a bc", "a big", "big a", "the big a,", "a  big", "a, big", "xa ,b", "a ,bc", "a, b", "a ,b", "a. b.", ". a b .", "ab", "ak 47", "ak47", "a k-4 7", "X 1",
    "NUDE", "N U D E", "0 day", "Oday", "éa b", "a bé", "a\u00e9 b", "cocaïne", "ｃocaine", "cocain\u0435",
    "coca\u200bine", "\u200bcocaine", "cocaine\u0301", "the pen is mightier", "who re-entered", "",
    " ", "...", "cocaines", "cocaines cocaine", "crack cocaines", "nudes, nude",
]


@pytest.mark.parametrize("use_ac", ENGINES)
@pytest.mark.parametrize("allow", [[], ["cocaines", "crack coca"], ["nudes"]])
def test_screening_agrees_where_ascii_text_takes_the_short_way(monkeypatch, use_ac, allow):
    """ASCII prompts are normalised in one pass and matched by the plain scan: texts on
    both sides of that decision (a non-ASCII code point at either end or inside, gaps
    of every kind, single letters spaced) and allowed words masking its hits. Each
    prompt also stands inside prose, long enough to be read in place."""
    monkeypatch.setattr(wordsift, "_HAS_AC", use_ac)
    c = PromptBanChecker(builtin_words=ASCII_EDGE_WORDS + [f"w{i}q" for i in range(50)], use_default=False,
                         normalize=True, allow_words=allow)
    options = {"allow_words": allow + list(c._BUILTIN_ALLOW_WORDS)}
    prompts = [f"{before}{p}{after}" for p in ASCII_EDGE_PROMPTS
               for before, after in [("", ""), ("a quiet harbour ", ""), ("", " at dusk, a"), ("x ", "-the harbour y")]]
    wrong = [p for p in prompts if screen_outcome(c, p) != reference_outcome(c, p, **options)]
    assert wrong == []


# Fillers of non-ASCII text, each with the bytes one of them takes in the scan buffer, and
# words placed after so many of them that they straddle a buffer's end.
BUFFER_FILLERS = {"ж": 1, "ж ": 1, "日": 1, "한": 5, "ж.": 1, "大麻": 6}
BUFFER_WORDS = ["cocaine", "crack cocaine", "a b", "fine", "대마", "大麻烦"]
BUFFER_CORES = ["cocaine", "crack cocaine", "c o c a i n e", "\ufb01ne", " a b ", "대마", ".cocaine.", "crack, cocaine",
                "大 麻 烦", "crack cocaıne"]


@pytest.mark.parametrize("filler", list(BUFFER_FILLERS))
def test_screening_agrees_across_scan_buffers(filler):
    """Non-ASCII prompts are normalised straight into the plain scan's buffer: words and
    their disguises (gaps, a multi-unit image, a look-alike) crossing one buffer's end."""
    c = PromptBanChecker(builtin_words=BUFFER_WORDS, use_default=False, normalize=True)
    options = {"allow_words": list(c._BUILTIN_ALLOW_WORDS)}
    around = 4092 // BUFFER_FILLERS[filler]
    prompts = [filler * k + core + tail for k in range(around - 8, around + 3)
               for core in BUFFER_CORES for tail in ["", "ж"]]
    wrong = [p[-30:] for p in prompts if screen_outcome(c, p) != reference_outcome(c, p, **options)]
    assert wrong == []
