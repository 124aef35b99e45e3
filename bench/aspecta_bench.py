"""vantry.aspecta: adjust_size against the bare Pillow calls it must make, and
the ratio routines against the same class in plain Python.

    python -m bench.aspecta_bench       (VANTRY_BENCH_QUICK=1 for a short run)
"""

import functools
import io
import math
import re

from PIL import Image

from bench.harness import IMAGE, Table
from bench.images import image_samples, image_target, png_of, size_label
from vantry.aspecta import Aspecta

LANCZOS = Image.Resampling.LANCZOS


def enlarged(w, h, scale=1.1):
    """The shorter side (both for a square) times the scale, truncated."""
    if h > w:
        return int(w * scale), h
    if w > h:
        return w, int(h * scale)
    return int(w * scale), int(h * scale)


def floor_fill(data):
    img = Image.open(io.BytesIO(data)).convert("RGBA")
    w, h = img.size
    new_w, new_h = enlarged(w, h)
    canvas = Image.new("RGBA", (new_w, new_h), (255, 255, 255, 0))
    canvas.alpha_composite(img, ((new_w - w) // 2, (new_h - h) // 2))
    out = io.BytesIO()
    canvas.save(out, format="PNG", quality=95)
    return out.getvalue()


def floor_resize(data):
    img = Image.open(io.BytesIO(data)).convert("RGBA")
    out = io.BytesIO()
    img.resize(enlarged(*img.size), LANCZOS).save(out, format="PNG", quality=95)
    return out.getvalue()


class PlainAspecta:
    """The ratio routines as plain Python, same order of operations."""

    STANDARD_RATIO_LIST = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

    def __init__(self, proportion=None, need_adjust="fill", fill_color=(255, 255, 255, 0), **kwargs):
        if isinstance(proportion, str) and not proportion.strip():
            proportion = None
        self.proportion = proportion
        self.need_adjust = need_adjust
        self.fill_color = fill_color
        self.kwargs = kwargs
        self._std_ratio_map = {}
        for r in self.STANDARD_RATIO_LIST:
            w, h = self._parse_ratio(r)
            self._std_ratio_map[r] = w / h

    @staticmethod
    def _parse_ratio(ratio_str):
        m = re.match(r"(\d+):(\d+)", ratio_str.strip())
        if not m:
            raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4")
        return int(m.group(1)), int(m.group(2))

    def _get_closest_standard_ratio(self, width, height):
        img_ratio = width / height
        min_diff, best_ratio = math.inf, self.STANDARD_RATIO_LIST[0]
        for ratio_str, std_val in self._std_ratio_map.items():
            diff = abs(img_ratio - std_val)
            if diff < min_diff:
                min_diff, best_ratio = diff, ratio_str
        return best_ratio


def run(table):
    ours, plain = Aspecta(), PlainAspecta()
    table.compare("Aspecta()", "10 ratios", Aspecta, PlainAspecta)
    table.compare("Aspecta._parse_ratio", "' 16:9 '", lambda: Aspecta._parse_ratio(" 16:9 "),
                  lambda: PlainAspecta._parse_ratio(" 16:9 "))
    assert ours._get_closest_standard_ratio(1920, 1080) == plain._get_closest_standard_ratio(1920, 1080)
    table.compare("Aspecta._get_closest_standard_ratio", "1920x1080",
                  lambda: ours._get_closest_standard_ratio(1920, 1080),
                  lambda: plain._get_closest_standard_ratio(1920, 1080))

    fill, stretch = Aspecta(), Aspecta(need_adjust="resize")
    for kind, (w, h) in image_samples():
        if not table.wants(2):  # its inputs take long to make; no row of it measured here
            continue
        data = png_of(w, h, kind)
        assert fill.adjust_size(data) == floor_fill(data)
        target = image_target(w, h)
        label = size_label(w, h, kind)
        table.compare("Aspecta.adjust_size fill", label, functools.partial(fill.adjust_size, data), functools.partial(floor_fill, data),
                      IMAGE, target)
        table.compare("Aspecta.adjust_size resize", label, functools.partial(stretch.adjust_size, data),
                      functools.partial(floor_resize, data), IMAGE, target)


if __name__ == "__main__":
    table = Table("vantry.aspecta")
    run(table)
    table.print()

