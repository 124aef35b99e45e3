"""How the image subcommands encode what they write: the format and quality,
the pixel depth and alpha each format can hold, and the input's ICC profile.

PNG is written by the command's own writer (vantry.cli.fastpng: Pillow's filtered
rows, deflated faster, in threads for a large image); --png-encoder pillow gives
Pillow's own bytes, at the default level exactly the extension modules' bytes.
High-depth grey is scaled to 8 bits, never clipped, where a format needs 8 bits
(the same mapping the extension modules use): 16-bit values as round(v / 257),
floats in 0..1 as round(v * 255); what has no 8-bit reading short of guessing its
range is refused with a ValueError naming the mode.
"""

from __future__ import annotations

import argparse
import struct
import zlib
from typing import Any, NamedTuple

from vantry.cli.common import UsageError

FORMATS = {"png": ("PNG", ".png"), "jpeg": ("JPEG", ".jpg"), "webp": ("WEBP", ".webp")}
DEFAULT_QUALITY = 90
# Modes Pillow writes as PNG as they are.
PNG_MODES = frozenset({"1", "L", "LA", "P", "RGB", "RGBA", "I;16", "I;16B"})
SIXTEEN_BIT = frozenset({"I;16", "I;16L", "I;16B", "I;16N"})
ALPHA_MODES = frozenset({"RGBA", "LA", "PA", "RGBa", "La"})
WHITE = (255, 255, 255)
# The colour space an ICC profile describes (bytes 16-19 of its header), by the modes it fits.
ICC_SPACES = {b"RGB ": frozenset({"RGB", "RGBA", "P"}), b"GRAY": frozenset({"L", "LA", "1", "I;16", "I;16B"})}


class Encoding(NamedTuple):
    """--format, --quality and --compress-level, checked."""

    format: str = "png"
    quality: int | None = None  # JPEG and WebP
    compress_level: int | None = None  # PNG
    png_encoder: str = "fast"  # "fast": vantry.cli.fastpng; "pillow": Pillow's own deflate
    threads: int = 1  # PNG deflate threads per image (the fast writer)

    @property
    def suffix(self) -> str:
        return FORMATS[self.format][1]

    @property
    def default_png(self) -> bool:
        """Pillow's PNG at its default level: the bytes Aspecta.adjust_size writes itself."""
        return self.format == "png" and self.compress_level is None and self.png_encoder == "pillow"


def encoding_of(args: argparse.Namespace) -> Encoding:
    if args.format == "png":
        if args.quality is not None:
            raise UsageError("--quality is for --format jpeg or webp; PNG is lossless (see --compress-level)")
        return Encoding("png", None, args.compress_level, args.png_encoder or "fast", deflate_threads(args))
    for given, option in ((args.compress_level, "--compress-level"), (args.png_encoder, "--png-encoder")):
        if given is not None:
            raise UsageError(f"{option} is for PNG; --format {args.format} takes --quality 1-100")
    return Encoding(args.format, DEFAULT_QUALITY if args.quality is None else args.quality)


def deflate_threads(args: argparse.Namespace) -> int:
    """Threads per image that leave -j's files their cores: all of them for one file at a
    time, none beside the file's own from -j N at or above the core count. On a Dask
    cluster each worker already runs a task per core."""
    from vantry.cli.batch import usable_cpus  # here: batch imports this module

    if getattr(args, "dask", None) is not None:
        return 1
    cores = usable_cpus()
    jobs = args.jobs or getattr(args, "default_jobs", None) or cores
    return max(1, cores // jobs)


def quality(text: str) -> int:
    if text not in {str(q) for q in range(1, 101)}:
        raise argparse.ArgumentTypeError(f"expected a quality 1 to 100, got {text!r}")
    return int(text)


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=tuple(FORMATS), default="png",
                        help="output format (default png); jpeg has no transparency: transparent pixels are "
                             "flattened onto white")
    parser.add_argument("--quality", type=quality, metavar="1-100",
                        help=f"JPEG or WebP quality (default {DEFAULT_QUALITY})")


# --- pixel depth ---------------------------------------------------------------

def eight_bit(image: Any) -> Any:
    """`image` itself unless it is high-depth grey, else that grey scaled to an "L" image."""
    if image.mode in SIXTEEN_BIT:
        return _to_grey(image.convert("I"), 1 / 257)
    if image.mode == "I":
        _require_range(image, 0, 65535, "lie outside the 16-bit range 0 to 65535")
        return _to_grey(image, 1 / 257)
    if image.mode == "F":
        _require_range(image, 0.0, 1.0, "lie outside 0 to 1")
        return _to_grey(image, 255.0)
    return image


def sixteen_bit(image: Any) -> Any:
    """`image` with 32-bit integer grey as "I;16" and float grey as "L": modes that
    resample without leaving their range and that PNG stores."""
    if image.mode == "I":
        _require_range(image, 0, 65535, "lie outside the 16-bit range 0 to 65535", bits=16)
        return image.convert("I;16")
    if image.mode in ("I;16L", "I;16N"):
        return image.convert("I").convert("I;16")
    return eight_bit(image) if image.mode == "F" else image


def _to_grey(image: Any, scale: float) -> Any:
    # point() applies the linear map in C; truncating v * scale + 0.5 to "L" rounds it.
    return image.point(lambda v: v * scale + 0.5).convert("L")


def _require_range(image: Any, lo: float, hi: float, why: str, bits: int = 8) -> None:
    extrema = image.getextrema()
    if extrema is not None and not (extrema[0] >= lo and extrema[1] <= hi):
        raise ValueError(f"cannot scale mode {image.mode} to {bits} bits: values {extrema[0]} to {extrema[1]} {why}")


# --- alpha -----------------------------------------------------------------------

def flattened(image: Any, background: tuple[int, int, int]) -> Any:
    """`image` composited over an opaque background, as RGB; an image without
    transparent pixels is returned as it is."""
    if image.mode not in ALPHA_MODES and "transparency" not in image.info:
        return image
    rgba = image.convert("RGBA")
    if rgba.getchannel("A").getextrema()[0] == 255:
        return image
    from PIL import Image

    canvas = Image.new("RGBA", image.size, (*background, 255))
    canvas.alpha_composite(rgba)
    return canvas.convert("RGB")


# --- ICC profiles ----------------------------------------------------------------

def icc_for(profile: bytes | None, mode: str) -> tuple[bytes | None, tuple[str, ...]]:
    """The profile to embed in an output of `mode` and the note when it cannot be: a
    profile of another colour space (a CMYK one on an RGB output) would misdescribe it."""
    if not profile:
        return None, ()
    space = profile[16:20]
    if mode in ICC_SPACES.get(space, frozenset()):
        return profile, ()
    shown = space.decode("latin-1").strip() or "unknown"
    return None, (f"note: its {shown} ICC profile does not describe the {mode} output, written without it",)


def png_with_icc(png: bytes, profile: bytes) -> bytes:
    """The PNG with an iCCP chunk right after IHDR, as Pillow writes one."""
    ihdr_end = 8 + 4 + 4 + 13 + 4  # signature, length, type, data, CRC
    body = b"iCCP" + b"ICC Profile\0\0" + zlib.compress(profile)
    chunk = struct.pack(">I", len(body) - 4) + body + struct.pack(">I", zlib.crc32(body))
    return png[:ihdr_end] + chunk + png[ihdr_end:]


# --- encoding --------------------------------------------------------------------

def storable(image: Any, fmt: str) -> Any:
    """`image` in a mode the format holds: PNG keeps 16-bit grey, JPEG and WebP take 8 bits;
    JPEG has no alpha, so transparent pixels are flattened onto white."""
    if fmt == "png":
        image = sixteen_bit(image)
        if image.mode in PNG_MODES:
            return image
        # CMYK, YCbCr and the like: as RGB, or RGBA when there is alpha.
        return image.convert("RGBA" if "A" in image.mode or "a" in image.mode else "RGB")
    image = eight_bit(image)
    if fmt == "jpeg":
        image = flattened(image, WHITE)
        return image if image.mode in ("L", "RGB") else image.convert("RGB")
    wanted = "RGBA" if image.mode in ALPHA_MODES or "transparency" in image.info else "RGB"
    return image if image.mode == wanted else image.convert(wanted)


def encode(image: Any, encoding: Encoding, profile: bytes | None) -> tuple[bytes, tuple[str, ...]]:
    """The encoded file and its notes (a profile that could not be embedded)."""
    import io

    image = storable(image, encoding.format)
    icc, notes = icc_for(profile, image.mode)
    options: dict[str, Any] = {}
    if icc is not None or "icc_profile" in image.info:
        options["icc_profile"] = icc  # None: Pillow would copy the image's own, maybe of another colour space
    if encoding.format == "png":
        if encoding.png_encoder == "fast":
            from vantry.cli import fastpng

            return fastpng.save(image, encoding.compress_level, encoding.threads, **options), notes
        if encoding.compress_level is not None:
            options["compress_level"] = encoding.compress_level
    else:
        options["quality"] = encoding.quality
    buf = io.BytesIO()
    image.save(buf, format=FORMATS[encoding.format][0], **options)
    return buf.getvalue(), notes
