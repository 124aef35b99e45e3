"""Benchmark of vantry.gridlum against the same class written in plain Python.

Run: python -m bench.gridlum_bench   (VANTRY_BENCH_QUICK=1 for a short run)
"""

import math

from bench.harness import Table
from vantry.excode import ServiceError
from vantry.gridlum import GridlumSizeCalculator


class PlainGridlum:
    """The size calculator as plain Python: class methods, same order of operations."""

    MIN_PIXELS = 655360
    MAX_PIXELS = 8294400
    MAX_EDGE = 3840
    MULTIPLE = 16
    MAX_RATIO = 3.0
    RESOLUTION_PRESET = {"1k": 1572516, "2k": 6553600, "4k": 8294400}

    @classmethod
    def round_to_multiple(cls, value, multiple=None):
        if multiple is None:
            multiple = cls.MULTIPLE
        val = math.ceil(value / multiple) * multiple
        return int(max(multiple, int(val)))

    @classmethod
    def floor_to_multiple(cls, value, multiple=None):
        if multiple is None:
            multiple = cls.MULTIPLE
        val = math.floor(value / multiple) * multiple
        return int(max(multiple, int(val)))

    @classmethod
    def is_valid_image_size(cls, width, height):
        pixels = width * height
        long_edge = max(width, height)
        short_edge = min(width, height)
        ratio = long_edge / short_edge
        edge_ok = long_edge <= cls.MAX_EDGE
        width_ok = width % cls.MULTIPLE == 0
        height_ok = height % cls.MULTIPLE == 0
        ratio_ok = ratio <= cls.MAX_RATIO
        pixels_ok = cls.MIN_PIXELS <= pixels <= cls.MAX_PIXELS
        positive = short_edge > 0
        return edge_ok and width_ok and height_ok and ratio_ok and pixels_ok and positive

    @classmethod
    def calc_size(cls, aspect_ratio="1:1", resolution="2k", strict=False):
        resolution = resolution.lower()
        if not aspect_ratio or aspect_ratio.lower() == "auto":
            rw = rh = 1
        else:
            rw, rh = [int(part) for part in aspect_ratio.split(":")]
        ratio = rw / rh
        long_r, short_r = max(rw, rh), min(rw, rh)
        if long_r / short_r > cls.MAX_RATIO:
            if strict:
                raise ServiceError("图像宽高比不合法, 相差太大", aspect_ratio=aspect_ratio)
            if rw >= rh:
                rw, rh = int(cls.MAX_RATIO * short_r), short_r
            else:
                rw, rh = short_r, int(cls.MAX_RATIO * short_r)
            ratio = rw / rh
        presets = cls.RESOLUTION_PRESET
        target_pixels = presets[resolution] if resolution in presets else presets["2k"]
        target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
        w = math.sqrt(target_pixels * ratio)
        h = w / ratio
        for _ in range(20):
            w_align = cls.round_to_multiple(w)
            h_align = cls.round_to_multiple(h)
            current_pixels = w_align * h_align
            if cls.is_valid_image_size(w_align, h_align):
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
                w, h = cls.floor_to_multiple(w), cls.floor_to_multiple(h)
        width, height = int(w), int(h)
        final_pixels = width * height
        return {
            "width": width,
            "height": height,
            "size": f"{width}x{height}",
            "pixels": final_pixels,
            "aspect_ratio": aspect_ratio,
            "resolution": resolution,
            "valid": cls.is_valid_image_size(width, height),
        }


# (ratio, level, passes the search takes)
CASES = [
    ("16:9", "2k", 1),
    ("1:1", "1k", 1),
    ("auto", "2k", 1),
    ("7:10", "4k", 2),
    ("10:1", "2k", 2),
    ("2:1", "4k", 3),
    ("4:3", "4k", 4),
    ("21:9", "4k", 4),
    ("31:82", "4k", 7),
    (" 16 : 9 ", "2K", 1),
]


def run(table):
    ours, plain = GridlumSizeCalculator, PlainGridlum
    for ratio, level, _ in CASES:
        assert ours.calc_size(ratio, level) == plain.calc_size(ratio, level), (ratio, level)

    for ratio, level, passes in CASES:
        table.compare(
            f"GridlumSizeCalculator.calc_size({ratio!r}, {level!r})",
            f"{passes} pass" + ("es" if passes > 1 else ""),
            lambda: ours.calc_size(ratio, level),
            lambda: plain.calc_size(ratio, level),
            target=5 if (ratio, level) == ("16:9", "2k") else None,
        )
    table.compare("GridlumSizeCalculator.calc_size('10:1', '2k', strict=True) refused", "1 pass",
                  refused(ours), refused(plain))
    table.compare("GridlumSizeCalculator.round_to_multiple(940.5)", "-", lambda: ours.round_to_multiple(940.5),
                  lambda: plain.round_to_multiple(940.5))
    table.compare("GridlumSizeCalculator.floor_to_multiple(940.5)", "-", lambda: ours.floor_to_multiple(940.5),
                  lambda: plain.floor_to_multiple(940.5))
    table.compare("GridlumSizeCalculator.is_valid_image_size(3840, 2160)", "-", lambda: ours.is_valid_image_size(3840, 2160),
                  lambda: plain.is_valid_image_size(3840, 2160))

    class Overridden(ours):
        @classmethod
        def is_valid_image_size(cls, width, height):
            return super().is_valid_image_size(width, height)

    class PlainOverridden(plain):
        @classmethod
        def is_valid_image_size(cls, width, height):
            return super().is_valid_image_size(width, height)

    table.compare("GridlumSizeCalculator.calc_size('4:3', '4k'), Python override of is_valid_image_size", "4 passes",
                  lambda: Overridden.calc_size("4:3", "4k"), lambda: PlainOverridden.calc_size("4:3", "4k"))


def refused(calculator):
    def run():
        try:
            calculator.calc_size("10:1", "2k", strict=True)
        except ServiceError:
            return
        raise AssertionError("not refused")

    return run


if __name__ == "__main__":
    table = Table("vantry.gridlum against the same class in plain Python")
    run(table)
    table.print()
