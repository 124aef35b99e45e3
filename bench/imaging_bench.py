"""Image operations of vantry.resize, vantry.prefora and vantry.simplora
against the bare Pillow calls they must make.

    python -m bench.imaging_bench        (VANTRY_BENCH_QUICK=1 for a short run)

Each floor makes the same Pillow calls, in the same order, with the sizes
worked out beforehand, so the ratio shows what vantry adds around them.
"""

import functools
import io
import math

from PIL import Image
from PIL.Image import Resampling

from bench.harness import IMAGE, Table
from bench.images import image_of, image_samples, image_target, png_of, size_label
from vantry.prefora import PreforaImageScale
from vantry.resize import image_resize
from vantry.simplora import ImageSimplora

BOX = (768, 768)


def letterbox_floor(image, scaled, offset):
    def floor():
        canvas = Image.new("RGB", BOX, (0, 0, 0))
        canvas.paste(image.resize(scaled, Resampling.LANCZOS), offset)
        return canvas

    return floor


def header_floor(data):
    # The image is closed explicitly: from Pillow 11 on, leaving a ``with`` block
    # of an image opened from a caller's stream no longer closes it.
    def floor():
        stream = io.BytesIO(data)
        img = Image.open(stream)
        size = img.size
        img.close()
        stream.close()
        return size

    return floor


def plain_raw_ratio(data):
    """What a user would write instead of get_raw_simple_ratio."""
    def script():
        width, height = Image.open(io.BytesIO(data)).size
        div = math.gcd(width, height)
        return f"{width // div}:{height // div}"

    return script


def plain_gcd(a, b):
    while b:
        a, b = b, a % b
    return a


def run(table):
    simplora = ImageSimplora()
    table.compare("ImageSimplora._gcd", "1920, 1080", lambda: ImageSimplora._gcd(1920, 1080),
                  lambda: plain_gcd(1920, 1080))
    for kind, (width, height) in image_samples():
        if not table.wants(4):  # its inputs take long to make; no row of it measured here
            continue
        label = size_label(width, height, kind)
        target = image_target(width, height)
        image = image_of(kind, width, height)
        data = png_of(width, height, kind)

        ratio = min(BOX[0] / width, BOX[1] / height)
        scaled = (int(width * ratio), int(height * ratio))
        offset = ((BOX[0] - scaled[0]) // 2, (BOX[1] - scaled[1]) // 2)
        floor = letterbox_floor(image, scaled, offset)
        assert image_resize(image, *BOX).tobytes() == floor().tobytes()
        table.compare(f"image_resize -> {BOX[0]}x{BOX[1]}", label, functools.partial(image_resize, image, *BOX), floor,
                      IMAGE, target)

        scaler = PreforaImageScale(image)
        size = scaler.start().size
        table.compare(f"PreforaImageScale.start -> {size[0]}x{size[1]}", label, scaler.start,
                      lambda: image.resize(size, Resampling.LANCZOS), IMAGE, target)

        header = header_floor(data)
        assert simplora.get_raw_simple_ratio(data) == plain_raw_ratio(data)()
        table.compare("ImageSimplora.get_raw_simple_ratio against Image.open(BytesIO(b)).size + gcd", f"{label} PNG",
                      functools.partial(simplora.get_raw_simple_ratio, data), plain_raw_ratio(data), IMAGE, 1.03)
        table.compare("ImageSimplora.get_approx_simple_ratio", f"{label} PNG",
                      functools.partial(simplora.get_approx_simple_ratio, data), header, IMAGE, target)


if __name__ == "__main__":
    table = Table("vantry imaging operations against bare Pillow calls")
    run(table)
    table.print()
