"""The vantry command on a batch of photos: -j 2 against -j 1, and PNG level 1
against Pillow's default level, each run as a whole command (in this process).

    python -m bench.cli_bench           (VANTRY_BENCH_QUICK=1 for a short run)

The floor of each row is the baseline command (-j 1; the default level), so
the figure is the speedup: baseline time / time with the option. The work-size
column also gives how much larger the output is at level 1. The photos are
noisy JPEGs, as a camera writes them; the flat images are single-colour PNGs.
"""

import contextlib
import functools
import io
import os
import pathlib
import tempfile

from PIL import Image

from bench import harness
from bench.harness import Table
from vantry.cli import main

FULL_BATCH, QUICK_BATCH = (16, 1024), (4, 256)  # files, side
JOBS_TARGET = 1.8  # on 2 cores: what the threads must give over one after another


def photo(side, seed):
    """A noisy photo-like JPEG: sensor noise over two gradients."""
    noise = Image.effect_noise((side, side), 30 + seed)
    ramp = Image.linear_gradient("L").resize((side, side))
    image = Image.merge("RGB", (Image.blend(noise, ramp, 0.5), noise, ramp.rotate(90)))
    buf = io.BytesIO()
    image.save(buf, format="JPEG", quality=90)
    return buf.getvalue()


def flat(side, seed):
    buf = io.BytesIO()
    Image.new("RGB", (side, side), (40 + seed, 90, 160)).save(buf, format="PNG")
    return buf.getvalue()


def write_batch(folder, make, count, side):
    folder.mkdir()
    suffix = "jpg" if make is photo else "png"
    paths = []
    for n in range(count):
        path = folder / f"{make.__name__}{n:03d}.{suffix}"
        path.write_bytes(make(side, n))
        paths.append(str(path))
    return paths


def command(argv):
    """The command as a shell runs it, its lines thrown away."""
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        code = main(argv)
    assert code == 0, f"vantry {' '.join(argv)} exited {code}"


def output_bytes(folder):
    return sum(path.stat().st_size for path in pathlib.Path(folder).iterdir())


def run(table):
    count, side = QUICK_BATCH if harness.QUICK else FULL_BATCH
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        photos = write_batch(root / "photos", photo, count, side)
        flats = write_batch(root / "flat", flat, count, side)

        def normalise(files, out, *options):
            return functools.partial(command, ["normalise", *files, "-o", str(root / out), *options])

        label = f"{count} photos {side}x{side}"
        table.compare("vantry normalise -j 2 against -j 1", label, normalise(photos, "j2", "-j", "2"),
                      normalise(photos, "j1", "-j", "1"), target=None if harness.QUICK else JOBS_TARGET)

        for files, kind in ((photos, "photos"), (flats, "flat images")):
            fast, default = normalise(files, f"{kind}-1", "-j", "1", "--compress-level", "1"), \
                normalise(files, f"{kind}-6", "-j", "1")
            fast(), default()
            growth = output_bytes(root / f"{kind}-1") / output_bytes(root / f"{kind}-6") - 1
            table.compare("vantry normalise --compress-level 1 against the default level",
                          f"{count} {kind} {side}x{side}, output {growth:+.1%}", fast, default)


if __name__ == "__main__":
    table = Table("the vantry command: options against the baseline command")
    run(table)
    table.print()
