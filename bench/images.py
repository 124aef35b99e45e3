"""Shared sample images and size targets of the image benchmarks."""

import io

from PIL import Image

from bench import harness

FULL_SIZES = [(64, 64), (1024, 1024), (4096, 2304)]
QUICK_SIZES = [(64, 64), (1024, 1024)]


def image_sizes():
    return QUICK_SIZES if harness.QUICK else FULL_SIZES


def image_target(width, height):
    """Most a vantry image operation may cost over its Pillow floor, as a ratio."""
    return 1.15 if width * height < 1024 * 1024 else 1.03


def size_label(width, height):
    return f"{width}x{height}"


def rgb_of(width, height):
    """A smooth RGB picture: a gradient with a second gradient in the green channel."""
    grey = Image.linear_gradient("L").resize((width, height))
    across = grey.transpose(Image.Transpose.ROTATE_90).resize((width, height))
    return Image.merge("RGB", (grey, across, grey.point(lambda v: 255 - v)))


def png_of(width, height):
    buf = io.BytesIO()
    rgb_of(width, height).save(buf, format="PNG")
    return buf.getvalue()
