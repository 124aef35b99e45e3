"""The vantry command on a batch of photos: -j 2 against -j 1, and PNG level 1
against Pillow's default level, each run as a whole command (in this process).

    python -m bench.cli_bench           (VANTRY_BENCH_QUICK=1 for a short run)

The floor of each row is the baseline command (-j 1; the default level), so
the figure is the speedup: baseline time / time with the option. The work-size
column also gives how much larger the output is at level 1. The photos are
photo-like JPEGs (1/f texture, edges, sensor noise; see bench/images.py), as a
camera writes them, one batch of them at 12 MP; the flat images are
single-colour PNGs.
"""

import contextlib
import functools
import os
import pathlib
import tempfile

from bench import harness
from bench.harness import Table
from bench.images import PHOTO_12MP, encoded, flat_of, jpeg_photo
from vantry.cli import main

# (files, (width, height)) per batch
FULL_BATCHES, QUICK_BATCHES = [(16, (1024, 1024)), (4, PHOTO_12MP)], [(4, (256, 256))]
JOBS_TARGET = 1.8  # on 2 cores: what the threads must give over one after another


def photo(size, seed):
    return jpeg_photo(*size, seed)


def flat(size, seed):
    return encoded(flat_of(*size, seed))


def write_batch(folder, make, count, size):
    folder.mkdir()
    suffix = "jpg" if make is photo else "png"
    paths = []
    for n in range(count):
        path = folder / f"{make.__name__}{n:03d}.{suffix}"
        path.write_bytes(make(size, n))
        paths.append(str(path))
    return paths


def command(argv):
    """The command as a shell runs it, its lines thrown away."""
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        code = main(argv)
    assert code == 0, f"vantry {' '.join(argv)} exited {code}"


def output_bytes(folder):
    return sum(path.stat().st_size for path in pathlib.Path(folder).iterdir())


def run_batch(table, root, count, size):
    width, height = size
    photos = write_batch(root / "photos", photo, count, size)
    flats = write_batch(root / "flat", flat, count, size)

    def normalise(files, out, *options):
        return functools.partial(command, ["normalise", *files, "-o", str(root / out), *options])

    label = f"{count} photo-like {width}x{height}"
    table.compare("vantry normalise -j 2 against -j 1", label, normalise(photos, "j2", "-j", "2"),
                  normalise(photos, "j1", "-j", "1"), target=None if harness.QUICK else JOBS_TARGET)

    for files, kind in ((photos, "photo-like"), (flats, "flat")):
        fast, default = normalise(files, f"{kind}-1", "-j", "1", "--compress-level", "1"), \
            normalise(files, f"{kind}-6", "-j", "1")
        fast(), default()
        growth = output_bytes(root / f"{kind}-1") / output_bytes(root / f"{kind}-6") - 1
        table.compare("vantry normalise --compress-level 1 against the default level",
                      f"{count} {kind} {width}x{height}, output {growth:+.1%}", fast, default)


def run(table):
    for count, size in QUICK_BATCHES if harness.QUICK else FULL_BATCHES:
        with tempfile.TemporaryDirectory() as tmp:
            run_batch(table, pathlib.Path(tmp), count, size)


if __name__ == "__main__":
    table = Table("the vantry command: options against the baseline command")
    run(table)
    table.print()
