"""Plain-Python statements of the package's arithmetic, step by step, for the
differential property tests. Each takes the class (or the constants) it
reads, so subclasses with other limits can be compared too. They are kept
literal on purpose: same order of operations, same host arithmetic.
"""

import math
import re

STANDARD_RATIO_LIST = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]


# ---- aspecta ---------------------------------------------------------------------------------


def parse_ratio(ratio_str):
    m = re.match(r"(\d+):(\d+)", ratio_str.strip())
    if not m:
        raise ValueError("比例格式错误 " + ratio_str + "，示例：3:4")
    return int(m.group(1)), int(m.group(2))


def closest_standard_ratio(width, height, ratios=STANDARD_RATIO_LIST):
    table = {}
    for r in ratios:
        w, h = parse_ratio(r)
        table[r] = w / h
    img_ratio = width / height
    min_diff = math.inf
    best_ratio = ratios[0]
    for ratio_str, std_val in table.items():
        diff = abs(img_ratio - std_val)
        if diff < min_diff:
            min_diff = diff
            best_ratio = ratio_str
    return best_ratio


# ---- simplora ----------------------------------------------------------------------------------


def gcd(a, b):
    while b != 0:
        a, b = b, a % b
    return a


def raw_simple_ratio(width, height):
    div = gcd(width, height)
    return f"{width // div}:{height // div}"


def approx_simple_ratio(width, height, limit):
    target = width / height
    min_error = math.inf
    best_w, best_h = width, height
    for i in range(1, limit + 1):
        for j in range(1, limit + 1):
            error = abs(i / j - target)
            if error < min_error:
                min_error, best_w, best_h = error, i, j
    return f"{best_w}:{best_h}"


# ---- gridlum -----------------------------------------------------------------------------------


def round_to_multiple(cls, value, multiple=None):
    if multiple is None:
        multiple = cls.MULTIPLE
    val = math.ceil(value / multiple) * multiple
    return int(max(multiple, int(val)))


def floor_to_multiple(cls, value, multiple=None):
    if multiple is None:
        multiple = cls.MULTIPLE
    val = math.floor(value / multiple) * multiple
    return int(max(multiple, int(val)))


def is_valid_image_size(cls, width, height):
    width, height = int(width), int(height)
    pixels = width * height
    long_edge, short_edge = max(width, height), min(width, height)
    ratio = long_edge / short_edge
    checks = [
        long_edge <= cls.MAX_EDGE,
        width % cls.MULTIPLE == 0,
        height % cls.MULTIPLE == 0,
        ratio <= cls.MAX_RATIO,
        cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS,
    ]
    # Mended: an edge of zero or below is never a legal size (negative
    # sides would otherwise pass every check).
    return all(checks) and short_edge > 0


def calc_size(cls, aspect_ratio="1:1", resolution="2k", strict=False):
    """The size search, with the result mapping; also returns the passes used."""
    resolution = resolution.lower()
    if not aspect_ratio or aspect_ratio.lower() == "auto":
        rw = rh = 1
    else:
        rw, rh = (int(part) for part in aspect_ratio.split(":"))
    ratio = rw / rh
    long_r, short_r = max(rw, rh), min(rw, rh)
    if long_r / short_r > cls.MAX_RATIO:
        if strict:
            raise ServiceErrorStandIn(aspect_ratio)
        if rw >= rh:
            rw, rh = int(cls.MAX_RATIO * short_r), short_r
        else:
            rw, rh = short_r, int(cls.MAX_RATIO * short_r)
        ratio = rw / rh
    preset = cls.RESOLUTION_PRESET
    target_pixels = preset[resolution] if resolution in preset else preset["2k"]
    target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
    w = math.sqrt(target_pixels * ratio)
    h = w / ratio
    passes = 0
    for _ in range(20):
        passes += 1
        w_align = round_to_multiple(cls, w)
        h_align = round_to_multiple(cls, h)
        current_pixels = w_align * h_align
        if is_valid_image_size(cls, w_align, h_align):
            w, h = w_align, h_align
            break
        if current_pixels > cls.MAX_PIXELS:
            scale = math.sqrt(cls.MAX_PIXELS / current_pixels) * 0.999
            w, h = w * scale, h * scale
        elif max(w, h) > cls.MAX_EDGE:
            scale = cls.MAX_EDGE / max(w, h)
            w, h = w * scale, h * scale
        elif current_pixels < cls.MIN_PIXELS:
            scale = math.sqrt(cls.MIN_PIXELS / current_pixels)
            w, h = w * scale, h * scale
        else:
            w = floor_to_multiple(cls, w)
            h = floor_to_multiple(cls, h)
    width, height = int(w), int(h)
    result = {
        "width": width,
        "height": height,
        "size": f"{width}x{height}",
        "pixels": width * height,
        "aspect_ratio": aspect_ratio,
        "resolution": resolution,
        "valid": is_valid_image_size(cls, width, height),
    }
    return result, passes


class ServiceErrorStandIn(Exception):
    """What the oracle raises where calc_size raises ServiceError."""


# ---- prefora -----------------------------------------------------------------------------------


def prefora_selection(width, height, resolutions):
    aspect_ratio = width / height
    _, w, h = min((abs(aspect_ratio - w / h), w, h) for w, h in resolutions)
    return w, h


# ---- wordsift: normalised screening ------------------------------------------------------------
#
# One table maps each code point to its image (zero or more code points), applied to
# lexicon words, allow words and prompts alike. One step: compatibility forms (NFKC),
# case folding, canonical decomposition, then combining marks, format characters and the
# Hangul fillers dropped, look-alike letters and traditional characters mapped
# (data/normalize/). The image is the step repeated over each resulting code point until
# nothing changes (at most IMAGE_ROUNDS times). Each code point of an image is a word
# unit (CJK or other), a separator (punctuation, symbols, controls) or a space. A run of
# separators and spaces between two units is a gap: a gap without a space is skipped; one
# with a space is skipped when each neighbouring unit is CJK or stands alone (a letter with
# a gap on both sides), and otherwise becomes one space. Gaps at the ends are dropped.

import functools
import pathlib
import unicodedata

NORMALIZE_DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "normalize"
IMAGE_ROUNDS = 8
HANGUL_FILLERS = {0x115F, 0x1160, 0x3164, 0xFFA0}
CJK_RANGES = ((0x2E80, 0x2FDF), (0x3005, 0x3007), (0x3021, 0x3029), (0x3038, 0x303B), (0x3040, 0x30FF),
              (0x31F0, 0x31FF), (0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF), (0x1B000, 0x1B16F),
              (0x20000, 0x3FFFD))
WORD, CJK, SEPARATOR, SPACE = "word", "cjk", "separator", "space"


def _pairs(name):
    table = {}
    for line in (NORMALIZE_DATA / name).read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            a, b = line.split("\t")
            table[chr(int(a, 16))] = chr(int(b, 16))
    return table


LOOKALIKES = _pairs("lookalikes.txt")
SIMPLIFIED = _pairs("traditional_simplified.txt")


def _step(ch):
    out = []
    for c in unicodedata.normalize("NFD", unicodedata.normalize("NFKC", ch).casefold()):
        cat = unicodedata.category(c)
        if cat[0] == "M" or cat == "Cf" or ord(c) in HANGUL_FILLERS:
            continue
        c = LOOKALIKES.get(c, c)
        out.append(SIMPLIFIED.get(c, c))
    return "".join(out)


@functools.lru_cache(maxsize=1 << 16)  # only to save time: the image of a code point is fixed
def image(ch):
    s = ch
    for _ in range(IMAGE_ROUNDS):
        t = "".join(_step(c) for c in s)
        if t == s:
            break
        s = t
    return s


def unit_kind(u):
    if u.isspace():
        return SPACE
    cat = unicodedata.category(u)
    if cat[0] in "PS" or cat == "Cc":
        return SEPARATOR
    return CJK if any(lo <= ord(u) <= hi for lo, hi in CJK_RANGES) else WORD


def normalise(text):
    units, gap_before, gap = [], [], None
    for ch in text:
        for u in image(ch):
            kind = unit_kind(u)
            if kind == SPACE:
                gap = SPACE
            elif kind == SEPARATOR:
                gap = gap or SEPARATOR
            else:
                gap_before.append(gap if units else None)
                units.append((u, kind))
                gap = None
    n = len(units)

    def loose(i):  # CJK, or a letter that stands alone
        alone = (i == 0 or gap_before[i]) and (i == n - 1 or gap_before[i + 1])
        return units[i][1] == CJK or bool(alone)

    out = []
    for i, (u, _) in enumerate(units):
        if gap_before[i] == SPACE and not (loose(i - 1) and loose(i)):
            out.append(" ")
        out.append(u)
    return "".join(out)


def _occurrences(key, text):
    start = text.find(key)
    while start >= 0:
        yield start, start + len(key)
        start = text.find(key, start + 1)


def screen_hits(banned_words, text, allow_words=(), normalize=True, ignore_case=True):
    """The lexicon entries that occur in text outside every allowed occurrence, ordered by
    where their first such occurrence ends (longer first at one end, then lexicon order)."""
    if normalize:
        fold = normalise
    else:
        fold = str.lower if ignore_case else str
    folded = fold(text)
    allowed = [span for word in allow_words if (key := fold(word)) for span in _occurrences(key, folded)]
    found = []
    for index, entry in enumerate(banned_words):
        key = fold(entry)
        if not key:
            continue
        for s, e in _occurrences(key, folded):
            if not any(a <= s and e <= b for a, b in allowed):
                found.append((e, -len(key), index, entry))
                break
    return [entry for *_, entry in sorted(found)]
