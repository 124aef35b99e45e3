"""Image subcommands: ratio, normalise, letterbox and scale.

Each makes a step for the batch runner: a frozen dataclass of plain settings
whose call turns the bytes of one file into an Outcome. Steps import Pillow and
the extension modules when called, so they pickle to Dask workers and
`vantry --help` loads none of them.

Photos are taken as they are shown: a file whose EXIF orientation says it is
displayed turned or mirrored is turned upright before it is measured or
transformed (--no-exif-rotate measures the stored pixels). Files without such
a tag go to the modules byte for byte as before.
"""

from __future__ import annotations

import argparse
import functools
import io
import struct
from typing import Any, BinaryIO, NamedTuple

from vantry.cli import batch, output
from vantry.cli.batch import Outcome
from vantry.cli.common import UsageError, colour, describe, epilog, non_negative, positive
from vantry.cli.output import Encoding

TYPE_CHECKING = False
if TYPE_CHECKING:
    import pathlib

ORIENTATION = 0x0112  # the EXIF tag
QUARTER_TURNS = frozenset({5, 6, 7, 8})  # orientations shown with width and height exchanged
# Every PNG chunk Pillow's getexif() takes an orientation from is named in the file by one of these:
# the eXIf chunk; a text chunk keyed "exif" or "Raw profile type exif" (as ImageMagick writes EXIF);
# XMP ("XML:com.adobe.xmp"), read when there is no EXIF orientation.
PNG_ORIENTATION_MARKERS = (b"eXIf", b"exif", b"xmp")
BATCH_CODES = {0: "every file done", 1: "a file failed (the other files are still done)",
               2: "bad usage: an option or value refused before any file is read", 130: "interrupted (Ctrl-C)"}


# --- pixels as shown ------------------------------------------------------------

def _open(data: bytes) -> Any:
    from PIL import Image

    return Image.open(io.BytesIO(data))


def _orientation(img: Any, data: bytes) -> int:
    """The EXIF orientation of an opened image, as Pillow's getexif() reads it: 1 (as stored) when it carries none."""
    if img.format == "PNG" and not any(marker in data for marker in PNG_ORIENTATION_MARKERS):
        # To find chunks after the pixels, getexif() decodes every pixel of a PNG; one that names
        # none of the chunks it reads carries no orientation, wherever its chunks are.
        return 1
    value = img.getexif().get(ORIENTATION, 1)
    return value if value in range(1, 9) else 1


def _decoded(data: bytes, exif_rotate: bool) -> Any:
    """The image fully decoded, turned as shown when exif_rotate and it carries a rotation."""
    from PIL import ImageOps

    # Loaded fully, so the stream is done with when the block ends and the image stays usable.
    with _open(data) as img:
        img.load()
        if exif_rotate and _orientation(img, data) != 1:
            return ImageOps.exif_transpose(img)
        return img


def _source(img: Any) -> tuple[bytes | None, tuple[str, ...]]:
    """What the output keeps of an opened input: its ICC profile; and a note when it
    holds more frames or pages than the first, the only one used."""
    frames = getattr(img, "n_frames", 1)
    notes = (f"note: {frames} frames or pages; only the first is used",) if frames > 1 else ()
    return img.info.get("icc_profile"), notes


def _rgba(image: Any) -> Any:
    """The image as Aspecta.adjust_size converts it: high-depth grey scaled to 8 bits, then RGBA."""
    return output.eight_bit(image).convert("RGBA")


def _raw(image: Any) -> bytes:
    """The image in an uncompressed container: a fast way to hand decoded pixels to a module that reads bytes."""
    buf = io.BytesIO()
    image.save(buf, format="TIFF")
    return buf.getvalue()


# --- steps ----------------------------------------------------------------------

def _png_may_carry_orientation(file: BinaryIO) -> bool:
    """Whether a PNG file has a chunk getexif() may read an orientation from, found by walking
    the chunk headers (each chunk's data is skipped, a text chunk's keyword excepted)."""
    file.seek(8)  # past the signature
    while len(head := file.read(8)) == 8:
        length, kind = int.from_bytes(head[:4], "big"), head[4:]
        if kind == b"eXIf":
            return True
        keyword = file.read(min(length, 80)) if kind in (b"tEXt", b"zTXt", b"iTXt") else b""
        if any(marker in keyword.lower() for marker in PNG_ORIENTATION_MARKERS):
            return True
        if kind == b"IEND":
            break
        file.seek(length - len(keyword) + 4, io.SEEK_CUR)  # the rest of the data, and the CRC
    return False


def shown_size_header(path: str, exif_rotate: bool) -> bytes:
    """A header-only image (a BMP header) of the size the file at `path` is shown at: what ratio
    hands to the module, so only the file's header is read, never its pixels or the whole file.
    Common JPEG and PNG files are read by the module's own header reader; Pillow reads the rest."""
    from vantry import simplora
    from vantry.cli.files import open_input

    with open_input(path) as file:
        size = simplora._shown_size(file.fileno(), exif_rotate)
        if size is None or not _opens_quietly(*size):
            size = _shown_size_by_pillow(file, exif_rotate)
    return _bmp_header(*size)


def _opens_quietly(width: int, height: int) -> bool:
    """Whether Pillow's open of an image of that size neither warns nor refuses (nor reads leniently)."""
    from PIL import Image, ImageFile

    limit = Image.MAX_IMAGE_PIXELS
    return not ImageFile.LOAD_TRUNCATED_IMAGES and (limit is None or width * height <= limit)


def _shown_size_by_pillow(file: BinaryIO, exif_rotate: bool) -> tuple[int, int]:
    from PIL import Image

    with Image.open(file) as img:
        width, height = img.size
        if exif_rotate and not (img.format == "PNG" and not _png_may_carry_orientation(file)):
            value = img.getexif().get(ORIENTATION, 1)
            if value in QUARTER_TURNS:
                width, height = height, width
    return width, height


def _bmp_header(width: int, height: int) -> bytes:
    """The headers of a 24-bit BMP of that size and no pixels: the format Pillow tries first and
    reads fastest, which is all the module's size read needs."""
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(info), 0, 0, 14 + len(info)) + info


class Measure(NamedTuple):
    """ratio: the exact and approximate ratio of a header-only image of the size as shown."""

    approx_range: int

    def __call__(self, header: bytes) -> Outcome:
        from vantry.simplora import ImageSimplora, _size_ratios

        width, height = struct.unpack_from("<ii", header, 18)
        if _opens_quietly(width, height):
            return Outcome(None, _size_ratios(width, height, self.approx_range))
        # The module's own read of such a size warns (or refuses): that note stays the file's.
        tool = ImageSimplora(approx_search_range=self.approx_range)
        return Outcome(None, (tool.get_raw_simple_ratio(header), tool.get_approx_simple_ratio(header)))


def _enlarged_size(width: int, height: int, expand: float) -> tuple[int, int]:
    """The size Aspecta.adjust_size gives: the shorter side (both, for a square) times 1 + expand/100."""
    scale = 1 + expand / 100
    if height > width:
        return int(width * scale), height
    if width > height:
        return width, int(height * scale)
    return int(width * scale), int(height * scale)


class Normalise(NamedTuple):
    """normalise: Aspecta.adjust_size, on the photo as shown, in the format asked for."""

    proportion: str | None
    mode: str
    expand: float
    encoding: Encoding
    exif_rotate: bool

    def __call__(self, data: bytes) -> Outcome:
        from PIL import Image

        from vantry.aspecta import Aspecta

        tool = Aspecta(proportion=self.proportion, need_adjust=self.mode)
        with _open(data) as img:
            orientation = _orientation(img, data) if self.exif_rotate else 1
            width, height = img.size[::-1] if orientation in QUARTER_TURNS else img.size
            profile, notes = _source(img)
        ratio = tool._get_closest_standard_ratio(width, height)
        if self.proportion is not None and self.proportion != ratio:
            # The module hands an image of another ratio back untouched; it is still written in the format asked for.
            encoded, more = output.encode(_decoded(data, self.exif_rotate), self.encoding, profile)
            return Outcome(encoded, (self.proportion, "unchanged", f"{width}x{height}"), notes + more)
        size = _enlarged_size(width, height, self.expand)
        # Pillow refuses to open images of more than twice MAX_IMAGE_PIXELS (decompression bombs).
        limit = Image.MAX_IMAGE_PIXELS and 2 * Image.MAX_IMAGE_PIXELS
        if limit and size[0] * size[1] > limit:
            raise ValueError(f"the output would be {size[0]}x{size[1]}, more pixels than Pillow opens ({limit}); "
                             "use a smaller --expand")
        facts = (ratio, f"{size[0]}x{size[1]}")
        if self.encoding.default_png:
            # The module's own bytes, from the file itself or from the photo turned upright (the module
            # converts to RGBA first; converting before or after turning gives the same pixels).
            source = data if orientation == 1 else _raw(_rgba(_decoded(data, self.exif_rotate)))
            encoded = tool.adjust_size(source, expand_percent=self.expand)
            icc, more = output.icc_for(profile, "RGBA")
            return Outcome(output.png_with_icc(encoded, icc) if icc else encoded, facts, notes + more)
        picture = _enlarge(_rgba(_decoded(data, self.exif_rotate)), size, self.mode, tool.fill_color)
        encoded, more = output.encode(picture, self.encoding, profile)
        return Outcome(encoded, facts, notes + more)


def _enlarge(image: Any, size: tuple[int, int], mode: str, fill: Any) -> Any:
    """The picture Aspecta.adjust_size draws, for encoding at another PNG level or in another
    format: stretched (resize), or composited over a canvas (fill)."""
    from PIL import Image

    if mode == "resize":
        return image.resize(size, Image.Resampling.LANCZOS)
    canvas = Image.new("RGBA", size, fill)
    at = ((size[0] - image.width) // 2, (size[1] - image.height) // 2)
    if image.getchannel("A").getextrema()[0] == 255:
        canvas.paste(image, at)  # opaque: the composite's bytes, at a third of its cost
    else:
        canvas.alpha_composite(image, at)
    return canvas


class Letterbox(NamedTuple):
    """letterbox: image_resize into the box, transparent pixels flattened onto the background first."""

    width: int
    height: int
    background: tuple[int, int, int]
    encoding: Encoding
    exif_rotate: bool

    def __call__(self, data: bytes) -> Outcome:
        from vantry.resize import image_resize

        with _open(data) as img:
            profile, notes = _source(img)
        # The module pastes without blending: a transparent logo would show its hidden colours as a box.
        image = output.flattened(_decoded(data, self.exif_rotate), self.background)
        ratio = min(self.width / image.width, self.height / image.height)
        if int(image.width * ratio) == 0 or int(image.height * ratio) == 0:
            raise ValueError(f"a {image.width}x{image.height} image is too thin for a {self.width}x{self.height} box: "
                             "scaled to fit, its short side would be 0 pixels; use a larger box")
        boxed = image_resize(image, self.width, self.height, self.background)
        encoded, more = output.encode(boxed, self.encoding, profile)
        return Outcome(encoded, (f"{boxed.width}x{boxed.height}",), notes + more)


class Scale(NamedTuple):
    """scale: PreforaImageScale to the nearest preferred size."""

    encoding: Encoding
    exif_rotate: bool

    def __call__(self, data: bytes) -> Outcome:
        from vantry.prefora import PreforaImageScale

        with _open(data) as img:
            profile, notes = _source(img)
        # 32-bit integer grey as 16 bits and float as 8, so resampling cannot push them out of range.
        image = output.sixteen_bit(_decoded(data, self.exif_rotate))
        scaled = PreforaImageScale(image).start()
        encoded, more = output.encode(scaled, self.encoding, profile)
        return Outcome(encoded, (f"{scaled.width}x{scaled.height}",), notes + more)


# --- commands -------------------------------------------------------------------

def _written(path: str, target: pathlib.Path | None, outcome: Outcome) -> str:
    return f"{path} -> {target} ({', '.join(outcome.facts)})"


def cmd_ratio(args: argparse.Namespace) -> int:
    def line(path: str, target: pathlib.Path | None, outcome: Outcome) -> str:
        exact, approx = outcome.facts
        if args.json:
            import json  # here: only --json needs it, and its import costs the start-up

            return json.dumps({"file": str(path), "exact": exact, "approx": approx})
        return f"{path}: {exact} (about {approx})"

    read = functools.partial(shown_size_header, exif_rotate=args.exif_rotate)
    return batch.run(batch.Batch(args.images, Measure(args.range), line, "measured", read=read), args)


def _standard_proportion(text: str | None) -> str | None:
    """--proportion as one of the standard ratio texts: the gate compares texts exactly,
    so any other text would leave every image unchanged."""
    from vantry.aspecta import Aspecta

    if text is None or not text.strip():
        return None  # as the module takes a blank proportion: no gate
    standard = list(Aspecta.STANDARD_RATIO_LIST)
    if text.strip() in standard:
        return text.strip()
    listed = f"the ten standard ratios are {', '.join(standard)}"
    try:
        width, height = Aspecta._parse_ratio(text)
    except ValueError as exc:
        raise UsageError(f"--proportion {text!r}: {describe(exc)}; {listed}") from None
    same = [r for r in standard if (width, height) != (0, 0) and
            width * Aspecta._parse_ratio(r)[1] == height * Aspecta._parse_ratio(r)[0]]
    hint = f" (write it as {same[0]})" if same else ""
    raise UsageError(f"--proportion {text!r} is not a standard ratio{hint}; {listed}")


def cmd_normalise(args: argparse.Namespace) -> int:
    step = Normalise(_standard_proportion(args.proportion), args.mode, args.expand, output.encoding_of(args),
                     args.exif_rotate)

    def line(path: str, target: pathlib.Path | None, outcome: Outcome) -> str:
        if outcome.facts[1:2] == ("unchanged",):
            proportion, _, size = outcome.facts
            return f"{path} -> {target} (unchanged, {size}: its nearest ratio is not {proportion})"
        return _written(path, target, outcome)

    return batch.run(batch.Batch(args.images, step, line, "normalised", args.output), args)


def cmd_letterbox(args: argparse.Namespace) -> int:
    from PIL import Image

    limit = Image.MAX_IMAGE_PIXELS
    if limit is not None and args.width * args.height > limit:
        raise UsageError(f"a {args.width}x{args.height} box is {args.width * args.height} pixels, beyond Pillow's "
                         f"limit of {limit} (Image.MAX_IMAGE_PIXELS); choose a smaller WIDTH and HEIGHT")
    step = Letterbox(args.width, args.height, args.bg, output.encoding_of(args), args.exif_rotate)
    return batch.run(batch.Batch(args.images, step, _written, "letterboxed", args.output), args)


def cmd_scale(args: argparse.Namespace) -> int:
    step = Scale(output.encoding_of(args), args.exif_rotate)
    return batch.run(batch.Batch(args.images, step, _written, "scaled", args.output), args)


# --- parsers --------------------------------------------------------------------

def _images_argument(p: argparse.ArgumentParser) -> None:
    p.add_argument("images", nargs="+", metavar="IMAGE",
                   help="image files of any format Pillow reads (JPEG, PNG, WebP, TIFF...)")


def _shared_options(p: argparse.ArgumentParser, writes: bool) -> None:
    batch.add_options(p, writes, threads_help=writes)  # ratio reads headers only
    p.add_argument("--no-exif-rotate", dest="exif_rotate", action="store_false",
                   help="use the pixels as stored; by default a photo whose EXIF orientation turns it "
                        "is turned upright first")


def register(sub: Any, formatter: type[argparse.HelpFormatter]) -> None:
    p = sub.add_parser(
        "ratio", help="exact and approximate aspect ratios of images", formatter_class=formatter,
        description="Print each image's exact aspect ratio in lowest terms and the nearest ratio of small "
                    "terms, read from the file header.",
        epilog=epilog(["vantry ratio photos/*.jpg", "vantry ratio --json --range 32 scan.png"], BATCH_CODES))
    _images_argument(p)
    p.add_argument("--range", type=positive, default=10, metavar="N",
                   help="largest term of the approximate ratio (default 10)")
    p.add_argument("--json", action="store_true", help="one JSON object per image: file, exact, approx")
    _shared_options(p, writes=False)
    p.set_defaults(func=cmd_ratio)

    p = sub.add_parser(
        "normalise", help="enlarge the shorter side of images, write them into OUT", formatter_class=formatter,
        description="Enlarge the shorter side of each image by --expand percent (both sides of a square), on a "
                    "transparent canvas (fill) or by stretching (resize), and write it (PNG by default). The result "
                    "keeps no standard ratio: 1920x1080 becomes 1920x1188.",
        epilog=epilog(["vantry normalise photos/*.jpg -o out",
                       "vantry normalise *.png --proportion 3:4 --mode resize --expand 20 -o out"], BATCH_CODES))
    _images_argument(p)
    p.add_argument("--proportion", metavar="W:H",
                   help="only enlarge images whose nearest standard ratio is W:H (one of 1:1 2:3 3:2 3:4 4:3 "
                        "4:5 5:4 9:16 16:9 21:9); the others are written unchanged")
    p.add_argument("--mode", choices=("fill", "resize"), default="fill",
                   help="fill: centre the image on a transparent canvas; resize: stretch it (default fill)")
    p.add_argument("--expand", type=non_negative, default=10.0, metavar="PERCENT",
                   help="enlargement of the shorter side in percent, 0 or more (default 10)")
    _shared_options(p, writes=True)
    p.set_defaults(func=cmd_normalise)

    p = sub.add_parser(
        "letterbox", help="fit images into WIDTH x HEIGHT on a background, write them into OUT",
        formatter_class=formatter,
        description="Scale each image uniformly until it touches the WIDTH x HEIGHT box and centre it on a "
                    "background of exactly that size; transparent pixels are flattened onto the background.",
        epilog=epilog(["vantry letterbox photos/*.jpg 1024 1024 -o boxed",
                       "vantry letterbox banner.png 1920 1080 --bg 255,255,255 --compress-level 1 -o out"],
                      BATCH_CODES))
    _images_argument(p)
    p.add_argument("width", type=positive, metavar="WIDTH", help="width of the box and of every output")
    p.add_argument("height", type=positive, metavar="HEIGHT", help="height of the box and of every output")
    p.add_argument("--bg", type=colour, default=(0, 0, 0), metavar="R,G,B",
                   help="background of the bars and of transparent pixels (default 0,0,0)")
    _shared_options(p, writes=True)
    p.set_defaults(func=cmd_letterbox)

    p = sub.add_parser(
        "scale", help="scale images to the editing model's nearest preferred size, write them into OUT",
        formatter_class=formatter,
        description="Stretch each image to the preferred size of the image-editing model (about one megapixel) "
                    "nearest to it in aspect ratio.",
        epilog=epilog(["vantry scale photos/*.jpg -o scaled",
                       "vantry scale photos/*.jpg -o scaled --dask tcp://scheduler:8786"], BATCH_CODES))
    _images_argument(p)
    _shared_options(p, writes=True)
    p.set_defaults(func=cmd_scale)
