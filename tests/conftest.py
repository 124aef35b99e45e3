"""Shared helpers for the vantry test suite."""

import gc
import io
import sys

import pytest
from PIL import Image


def encode_image(width, height, mode="RGB", fmt="PNG", color=None):
    """Encoded bytes of a new single-colour image."""
    if color is None:
        color = {"1": 1, "L": 128, "P": 3, "LA": (128, 255), "RGBA": (10, 20, 30, 255)}.get(mode, (10, 20, 30))
    buf = io.BytesIO()
    Image.new(mode, (width, height), color).save(buf, format=fmt)
    return buf.getvalue()


def deep_grey(mode):
    """A 256 x 2 image of a 16-bit, 32-bit integer or float grey mode whose 8-bit reading is
    0..255 along both rows: the first row exact (k * 257, k / 255), the second just short of
    halfway down to the step below (it rounds up to k, where clipping or truncating would not)."""
    if mode == "F":
        values = [k / 255 for k in range(256)] + [max(k - 0.49, 0) / 255 for k in range(256)]
    else:
        values = [k * 257 for k in range(256)] + [max(k * 257 - 128, 0) for k in range(256)]
    img = Image.new("F" if mode == "F" else "I", (256, 2))
    img.putdata(values)
    return img if mode in ("I", "F") else img.convert(mode)


# What deep_grey reads as in 8 bits.
DEEP_GREY_8_BIT = bytes(range(256)) * 2


def _allocated_after(fn, calls):
    for _ in range(calls):
        fn()
    gc.collect()
    return sys.getallocatedblocks()


def module_state_sizes():
    """The number of strong references each loaded vantry module holds.

    gc.get_referents runs the module's traverse, which visits its namespace
    and every reference its state keeps.
    """
    return {name: len(gc.get_referents(m)) for name, m in list(sys.modules.items()) if name.startswith("vantry.")}


def assert_no_leak(fn, calls=2000, rounds=4, warmup=3):
    """Fail when ``fn`` leaves memory blocks behind or makes a module state grow.

    ``fn`` runs ``calls`` times per round after a few warm-up rounds; a leak of
    one object per call grows the allocated blocks by ``calls`` per round, while
    caches (interning, the warnings machinery, library registries) settle during
    the warm-up. Error paths are checked by passing a ``fn`` that catches the
    expected exception. A module state is filled once, at import, so any
    reference it gains during the rounds is a fault, however small.
    """
    for _ in range(warmup):
        _allocated_after(fn, calls)
    states = module_state_sizes()
    counts = [_allocated_after(fn, calls) for _ in range(rounds)]
    # A leak grows every round; a cache that fills late grows one round only.
    growth = min(later - earlier for earlier, later in zip(counts, counts[1:]))
    assert growth < calls // 4, f"allocated blocks grew by {growth} or more in every round of {calls} calls: {counts}"
    grown = {name: (before, module_state_sizes().get(name)) for name, before in states.items()}
    grown = {name: sizes for name, sizes in grown.items() if sizes[1] is not None and sizes[1] > sizes[0]}
    assert not grown, f"module states grew (references before, after): {grown}"


def raises(exc_type, fn, *args, **kwargs):
    """A callable for assert_no_leak that runs fn and expects exc_type."""

    def run():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")

    return run


# Subclasses of the exact types that typed parameters require (and refuse).
class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


@pytest.fixture
def png():
    return encode_image
