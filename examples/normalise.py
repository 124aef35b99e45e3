"""Normalise a generated sample image and report what vantry did.

Run from a checkout with ``make demo``, or ``python examples/normalise.py
[IMAGE]`` once vantry is installed. Without an argument a 600 x 800 sample
(3:4, portrait) is drawn in memory; the normalised PNG is written next to
this script as ``normalised.png``.
"""

import io
import pathlib
import sys

from PIL import Image, ImageDraw

from vantry.aspecta import Aspecta


def sample_image() -> bytes:
    img = Image.new("RGB", (600, 800), (40, 90, 160))
    draw = ImageDraw.Draw(img)
    draw.ellipse((100, 200, 500, 600), fill=(240, 200, 60))
    buf = io.BytesIO()
    img.save(buf, format="JPEG", quality=90)
    return buf.getvalue()


def main(argv: list[str]) -> int:
    data = pathlib.Path(argv[1]).read_bytes() if len(argv) > 1 else sample_image()
    before = Image.open(io.BytesIO(data))
    tool = Aspecta(need_adjust="fill")
    result, ratio = tool.adjust_size(data, return_origin_ratio=True, expand_percent=10)
    after = Image.open(io.BytesIO(result))
    out = pathlib.Path(__file__).with_name("normalised.png")
    out.write_bytes(result)
    print(f"input:  {before.format} {before.size[0]}x{before.size[1]}, nearest standard ratio {ratio}")
    print(f"output: {after.format} {after.size[0]}x{after.size[1]} {after.mode}, shorter side +10% on a transparent canvas")
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
