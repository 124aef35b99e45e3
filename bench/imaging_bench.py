"""Image operations against the bare Pillow calls they must make.

    python bench/imaging_bench.py          (VANTRY_BENCH_QUICK=1 for a short run)

Each floor makes the same Pillow calls, in the same order, with the sizes
worked out beforehand, so the ratio shows what vantry adds around them.
"""

import io

from PIL import Image
from PIL.Image import Resampling

from harness import Table
from vantry.prefora import PreforaImageScale
from vantry.resize import image_resize
from vantry.simplora import ImageSimplora

SIZES = [(64, 64), (1024, 1024), (4096, 2304)]
BOX = (768, 768)


def source_image(width, height):
    return Image.linear_gradient("L").resize((width, height)).convert("RGB")


def encoded(image):
    buf = io.BytesIO()
    image.save(buf, format="PNG")
    return buf.getvalue()


def letterbox_floor(image, scaled, offset):
    def floor():
        canvas = Image.new("RGB", BOX, (0, 0, 0))
        resized = image.resize(scaled, Resampling.LANCZOS)
        canvas.paste(resized, offset)
        return canvas

    return floor


def resize_floor(image, target):
    return lambda: image.resize(target, Resampling.LANCZOS)


def header_floor(data):
    def floor():
        stream = io.BytesIO(data)
        img = Image.open(stream)
        size = img.size
        img.close()
        stream.close()
        return size

    return floor


def main():
    table = Table("vantry imaging operations against bare Pillow calls")
    simplora = ImageSimplora()
    for width, height in SIZES:
        label = f"{width}x{height}"
        image = source_image(width, height)
        data = encoded(image)

        ratio = min(BOX[0] / width, BOX[1] / height)
        scaled = (int(width * ratio), int(height * ratio))
        offset = ((BOX[0] - scaled[0]) // 2, (BOX[1] - scaled[1]) // 2)
        table.compare(
            f"image_resize -> {BOX[0]}x{BOX[1]}", label,
            lambda: image_resize(image, *BOX), letterbox_floor(image, scaled, offset),
        )

        scaler = PreforaImageScale(image)
        target = scaler.start().size
        table.compare(f"PreforaImageScale.start -> {target[0]}x{target[1]}", label, scaler.start,
                      resize_floor(image, target))

        header = header_floor(data)
        table.compare("ImageSimplora.get_raw_simple_ratio", f"{label} PNG",
                      lambda: simplora.get_raw_simple_ratio(data), header)
        table.compare("ImageSimplora.get_approx_simple_ratio", f"{label} PNG",
                      lambda: simplora.get_approx_simple_ratio(data), header)
    table.print()


if __name__ == "__main__":
    main()
