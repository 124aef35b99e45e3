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
