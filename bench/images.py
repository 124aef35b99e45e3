"""Shared sample images and size targets of the image benchmarks.

Three kinds of content, because the encoder's cost depends on it far more
than on the size: smooth gradients and flat colour deflate almost for free,
while a photo (texture at every scale, hard edges, sensor noise) is where
nearly all of a PNG writer's time goes. Every image row names its kind.
"""

import functools
import io
import random

from PIL import Image, ImageDraw, ImageFilter

from bench import harness

PHOTO_12MP = (4032, 3024)  # a 12 MP phone camera
FULL_SAMPLES = [("gradient", (64, 64)), ("gradient", (1024, 1024)), ("gradient", (4096, 2304)),
                ("photo", (1024, 1024)), ("photo", PHOTO_12MP)]
QUICK_SAMPLES = [("gradient", (64, 64)), ("photo", (1024, 1024))]


def image_samples():
    """(kind, (width, height)) pairs to measure, fewer in quick mode."""
    return QUICK_SAMPLES if harness.QUICK else FULL_SAMPLES


def image_target(width, height):
    """Most a vantry image operation may cost over its Pillow floor, as a ratio."""
    return 1.15 if width * height < 1024 * 1024 else 1.03


def size_label(width, height, kind=None):
    return f"{width}x{height}" if kind is None else f"{width}x{height} {kind}"


def rgb_of(width, height, seed=0):
    """A smooth RGB picture: a gradient with a second gradient in the green channel (seed unused)."""
    grey = Image.linear_gradient("L").resize((width, height))
    across = grey.transpose(Image.Transpose.ROTATE_90).resize((width, height))
    return Image.merge("RGB", (grey, across, grey.point(lambda v: 255 - v)))


def _noise(rng, width, height):
    return Image.frombytes("L", (width, height), rng.randbytes(width * height))


def _pink_noise(rng, width, height):
    """Value noise over octaves of cell size 2, 4, 8 ... each octave's amplitude
    growing with its cell size, as in the 1/f spectrum of natural scenes (a
    gentler slope than 1/f keeps the fine texture a real sensor records)."""
    image, total, cell = None, 0.0, 2
    while cell <= max(width, height):
        grid = _noise(rng, width // cell + 2, height // cell + 2)
        layer = grid.resize((width, height), Image.Resampling.BICUBIC)
        weight = cell ** 0.5
        total += weight
        image = layer if image is None else Image.blend(image, layer, weight / total)
        cell *= 2
    return image


def _shapes(rng, image):
    """Objects with hard edges: polygons of flat colour, softened a little as a lens does."""
    draw = ImageDraw.Draw(image)
    width, height = image.size
    for _ in range(40):
        x, y, reach = rng.randrange(width), rng.randrange(height), rng.randrange(max(width, height) // 3) + 8
        points = [(x + rng.randrange(-reach, reach), y + rng.randrange(-reach, reach))
                  for _ in range(rng.choice((3, 4, 5)))]
        draw.polygon(points, fill=tuple(rng.randrange(256) for _ in range(3)))
    return image.filter(ImageFilter.GaussianBlur(1))


@functools.lru_cache(maxsize=4)  # a 12 MP one takes seconds to make; callers only read it
def photo_of(width, height, seed=0):
    """A photo-like RGB picture, the same for the same arguments: 1/f texture in
    every channel, objects with edges, and per-pixel sensor noise."""
    rng = random.Random(f"{seed}:{width}x{height}")
    texture = Image.merge("RGB", [_pink_noise(rng, width, height) for _ in range(3)])
    scene = Image.blend(texture, _shapes(rng, texture.copy()), 0.5)
    sensor = Image.merge("RGB", [_noise(rng, width, height) for _ in range(3)])
    return Image.blend(scene, sensor, 0.12)


def flat_of(width, height, seed=0):
    """One flat colour: the other extreme for an encoder."""
    return Image.new("RGB", (width, height), (40 + seed % 200, 90, 160))


MAKERS = {"gradient": rgb_of, "photo": photo_of, "flat": flat_of}


def image_of(kind, width, height, seed=0):
    return MAKERS[kind](width, height, seed)


def encoded(image, fmt="PNG"):
    buf = io.BytesIO()
    image.save(buf, format=fmt, **({"quality": 90} if fmt == "JPEG" else {}))
    return buf.getvalue()


def png_of(width, height, kind="gradient"):
    return encoded(image_of(kind, width, height))


def jpeg_photo(width, height, seed=0):
    """A photo-like picture as a camera writes it."""
    return encoded(photo_of(width, height, seed), "JPEG")
