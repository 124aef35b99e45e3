"""Aspecta.adjust_size against the bare Pillow calls it must make."""

import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from PIL import Image  # noqa: E402

from bench.harness import QUICK, Table  # noqa: E402
from vantry.aspecta import Aspecta  # noqa: E402

SIZES = [(64, 64), (1024, 1024)] if QUICK else [(64, 64), (1024, 1024), (4096, 2304)]
LANCZOS = Image.Resampling.LANCZOS


def sample(width, height):
    img = Image.linear_gradient("L").resize((width, height)).convert("RGB")
    buf = io.BytesIO()
    img.save(buf, format="PNG")
    return buf.getvalue()


def floor_fill(data):
    with io.BytesIO(data) as stream, Image.open(stream) as opened:
        img = opened.convert("RGBA")
    w, h = img.size
    new_w, new_h = (int(w * 1.1), h) if h > w else (w, int(h * 1.1)) if w > h else (int(w * 1.1), int(h * 1.1))
    canvas = Image.new("RGBA", (new_w, new_h), (255, 255, 255, 0))
    canvas.paste(img, ((new_w - w) // 2, (new_h - h) // 2), img)
    out = io.BytesIO()
    canvas.save(out, format="PNG", quality=95)
    return out.getvalue()


def floor_resize(data):
    with io.BytesIO(data) as stream, Image.open(stream) as opened:
        img = opened.convert("RGBA")
    w, h = img.size
    target = (int(w * 1.1), h) if h > w else (w, int(h * 1.1)) if w > h else (int(w * 1.1), int(h * 1.1))
    out = io.BytesIO()
    img.resize(target, LANCZOS).save(out, format="PNG", quality=95)
    return out.getvalue()


def main():
    table = Table("vantry.aspecta: adjust_size against bare Pillow")
    fill, stretch = Aspecta(), Aspecta(need_adjust="resize")
    for w, h in SIZES:
        data = sample(w, h)
        assert fill.adjust_size(data) == floor_fill(data)
        table.compare("adjust_size fill", f"{w}x{h}", lambda: fill.adjust_size(data), lambda: floor_fill(data))
        table.compare("adjust_size resize", f"{w}x{h}", lambda: stretch.adjust_size(data), lambda: floor_resize(data))
    table.print()


if __name__ == "__main__":
    main()
