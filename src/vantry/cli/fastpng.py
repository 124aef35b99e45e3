"""The command's PNG writer: Pillow's filtered scanlines, deflated faster.

Pillow filters each row the same way at every compression level; deflating is
nearly all of its cost. So Pillow writes the image stored (level 0: its chunks,
the ICC profile and metadata, and the filtered rows in stored deflate blocks,
cheap to unwrap), and this module deflates the rows again and puts the file back
together with the other chunks exactly as Pillow wrote them. Decoded, the
pixels are Pillow's own.

The deflate is zlib-ng's (the zlib-ng wheel) when it is installed, else the
standard library's zlib with Pillow's own settings. A large image is cut into
pieces of a fixed size deflated in threads (both libraries release the GIL while they work),
each piece primed with the 32 KiB before it and ended on a byte boundary
(a sync flush), as pigz does, so the pieces join into one zlib stream. Each
piece is deflated twice, with the library's ordinary matching and with run-length
matching only, and the smaller kept: on noisy photos and on flat graphics
alike the output is then no larger than Pillow's. Small images are written by
Pillow itself.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Iterator
from typing import Any

_zlib_ng: Any
try:
    from zlib_ng import zlib_ng as _zlib_ng
except ImportError:  # no wheel for this Python, or installed without its dependencies
    _zlib_ng = None

SIGNATURE = b"\x89PNG\r\n\x1a\n"
WINDOW = 32 * 1024  # deflate's window: the dictionary each piece starts from
# Bytes of filtered rows per piece: enough that a piece costs far more than handing it to a
# thread, and that its flush and restart cost nothing to speak of in size.
PIECE = 2 * 1024 * 1024
# Rows whose first piece deflates to less than 1/WHOLE_RATIO of it are deflated in one piece.
WHOLE_RATIO = 8
# Smaller images (in samples) are Pillow's own: their deflate takes no time to speak of,
# and on a few hundred bytes zlib's is the smaller.
SMALL = 512 * 1024
IDAT_SIZE = 1024 * 1024  # bytes of deflate data per IDAT chunk
MEM_LEVEL = 9  # as Pillow's encoder
# The zlib header's FLEVEL bits, as zlib sets them for a level (informative only).
_HEADERS = {0: b"\x78\x01", 1: b"\x78\x01", 2: b"\x78\x5e", 3: b"\x78\x5e", 4: b"\x78\x5e", 5: b"\x78\x5e",
            6: b"\x78\x9c", 7: b"\x78\xda", 8: b"\x78\xda", 9: b"\x78\xda"}
DEFAULT_LEVEL = 6


def save(image: Any, level: int | None, threads: int, **options: Any) -> bytes:
    """`image` as a PNG at `level` (None: 6) deflated in up to `threads` threads; options go to Pillow."""
    import io

    buf = io.BytesIO()
    if image.width * image.height * len(image.getbands()) < SMALL:
        image.save(buf, format="PNG", **options, **({} if level is None else {"compress_level": level}))
        return buf.getvalue()
    image.save(buf, format="PNG", compress_level=0, **options)
    stored = buf.getvalue()
    del buf  # a 12 MP image's rows are 48 MB: one copy of them at a time
    if level == 0:
        return stored
    return rewritten(stored, DEFAULT_LEVEL if level is None else level, threads)


def rewritten(png: bytes, level: int, threads: int) -> bytes:
    """`png` with its image data deflated again at `level`, every other chunk as it is."""
    before: list[bytes] = []
    after: list[bytes] = []
    data: list[bytes] = []
    for kind, chunk in _chunks(png):
        if kind == b"IDAT":
            data.append(chunk[8:-4])
        else:
            (after if data else before).append(chunk)
    rows = zlib.decompress(b"".join(data))
    del data
    stream = deflated(rows, threads, level, _filtered(before[0]))
    idat = [_chunk(b"IDAT", stream[at:at + IDAT_SIZE]) for at in range(0, len(stream), IDAT_SIZE)]
    return b"".join([SIGNATURE, *before, *idat, *after])


def _filtered(ihdr: bytes) -> bool:
    """Whether Pillow filters the rows of this image: not palette images nor those of under
    8 bits a sample (the zlib strategy Pillow then picks is the ordinary one)."""
    bit_depth, colour_type = ihdr[16], ihdr[17]
    return bit_depth >= 8 and colour_type != 3


def _chunks(png: bytes) -> Iterator[tuple[bytes, bytes]]:
    """(type, whole chunk) of each chunk of a PNG Pillow just wrote."""
    at = len(SIGNATURE)
    while at < len(png):
        (length,) = struct.unpack_from(">I", png, at)
        end = at + 12 + length
        yield png[at + 4:at + 8], png[at:end]
        at = end


def _chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(body, zlib.crc32(kind)))


def deflated(data: bytes, threads: int, level: int, filtered: bool = True) -> bytes:
    """`data` as one zlib stream, its pieces deflated `threads` at a time. The pieces have a
    fixed size, so the bytes are the same whatever the thread count (-j, the machine).
    Rows that deflate to almost nothing (flat graphics) are deflated whole instead: there
    each piece's restart would weigh on the size, and the whole takes no time."""
    view = memoryview(data)
    starts = range(0, max(len(data), 1), PIECE)

    def piece(start: int) -> bytes:
        window = view[max(0, start - WINDOW):start]
        return _piece(window, view[start:start + PIECE], level, filtered, last=start + PIECE >= len(data))

    first = piece(0)
    if len(starts) == 1:
        pieces = [first]
    elif len(first) * WHOLE_RATIO < PIECE:
        pieces = [_piece(view[:0], view, level, filtered, last=True)]
    elif threads == 1:
        pieces = [first, *map(piece, starts[1:])]
    else:
        import concurrent.futures

        with concurrent.futures.ThreadPoolExecutor(min(threads, len(starts) - 1), "vantry-deflate") as pool:
            pieces = [first, *pool.map(piece, starts[1:])]
    return _HEADERS[level] + b"".join(pieces) + struct.pack(">I", zlib.adler32(data))


def _piece(window: memoryview, data: memoryview, level: int, filtered: bool, last: bool) -> bytes:
    """Raw deflate of `data` following `window`, ended on a byte boundary (or finished):
    the smaller of ordinary and run-length matching."""
    library = _zlib_ng if _zlib_ng is not None else zlib
    # The standard zlib with Pillow's own strategy; zlib-ng's ordinary matching is smaller on photos.
    ordinary = zlib.Z_FILTERED if library is zlib and filtered else zlib.Z_DEFAULT_STRATEGY
    flush = zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH
    best = b""
    for strategy in (zlib.Z_RLE, ordinary):
        settings: dict[str, Any] = {"zdict": window} if len(window) else {}
        compressor = library.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS, MEM_LEVEL, strategy, **settings)
        out = compressor.compress(data) + compressor.flush(flush)
        if not best or len(out) < len(best):
            best = out
    return best
