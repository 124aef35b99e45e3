"""The vantry command on a batch of photos: -j 2 against -j 1, PNG level 1
against the default level, the command's PNG writer against Pillow's (the
extension modules' bytes) and the same job written with pyvips, each run as a
whole command (in this process).

    python -m bench.cli_bench           (VANTRY_BENCH_QUICK=1 for a short run)

The floor of each row is the baseline command (-j 1; the default level), so
the figure is the speedup: baseline time / time with the option. The work-size
column also gives how much larger the output is at level 1, or how large the
new writer's (or pyvips's) output is against Pillow's writer's. The photos are
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
WRITER_TARGET = 1.8  # the command's PNG writer over Pillow's, on 12 MP photos
PEER_BATCH = 2  # 12 MP photos in the writer and pyvips rows


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


def pyvips_normalise(files, out):
    """The normalise job written with pyvips: the photo centred on a transparent canvas 10 %
    taller, saved as PNG at level 6 with adaptive row filters as Pillow's (libvips's default,
    no filter, is faster but 1.4x as large on these photos); None when pyvips is not installed.
    libvips runs each image on every core."""
    try:
        import pyvips
    except (ImportError, OSError):
        return None

    def job():
        pathlib.Path(out).mkdir(exist_ok=True)
        for path in files:
            image = pyvips.Image.new_from_file(path, access="sequential").bandjoin(255)
            height = image.height + int(image.height * 0.1)
            canvas = image.embed(0, (height - image.height) // 2, image.width, height,
                                 extend="background", background=[0, 0, 0, 0])
            canvas.pngsave(str(pathlib.Path(out) / (pathlib.Path(path).stem + ".png")), compression=6, filter="all")
    return job


def run_writers(table, root, count, size):
    """The command's PNG writer against Pillow's, -j 1 and the default -j, and the pyvips script."""
    width, height = size
    for make in (photo, flat):
        files = write_batch(root / make.__name__, make, count, size)
        kind = "photo-like" if make is photo else "flat"
        for jobs in (["-j", "1"], []):
            def normalise(out, *options, files=files, jobs=jobs):
                return functools.partial(command, ["normalise", *files, "-o", str(root / out), *jobs, *options])

            fast, pillow = normalise(f"{kind}-fast"), normalise(f"{kind}-pillow", "--png-encoder", "pillow")
            fast(), pillow()
            ratio = output_bytes(root / f"{kind}-fast") / output_bytes(root / f"{kind}-pillow")
            shown = " ".join(jobs) or "default -j"
            table.compare("vantry normalise: the command's PNG writer against --png-encoder pillow",
                          f"{count} {kind} {width}x{height}, {shown}, output x{ratio:.3f}", fast, pillow,
                          target=WRITER_TARGET if make is photo and not harness.QUICK else None)
        peer = pyvips_normalise(files, str(root / f"{kind}-pyvips"))
        if peer is not None and make is photo:
            peer()
            ratio = output_bytes(root / f"{kind}-pyvips") / output_bytes(root / f"{kind}-pillow")
            # Both on every core: vantry at its default -j, libvips with its own threads.
            table.compare("vantry normalise against the same job with pyvips (output size against Pillow's)",
                          f"{count} {kind} {width}x{height}, pyvips output x{ratio:.3f}",
                          normalise(f"{kind}-fast"), peer,
                          target=1.0 if not harness.QUICK else None)


def run(table):
    for count, size in QUICK_BATCHES if harness.QUICK else FULL_BATCHES:
        with tempfile.TemporaryDirectory() as tmp:
            run_batch(table, pathlib.Path(tmp), count, size)
    with tempfile.TemporaryDirectory() as tmp:
        run_writers(table, pathlib.Path(tmp), *((1, (1024, 1024)) if harness.QUICK else (PEER_BATCH, PHOTO_12MP)))


if __name__ == "__main__":
    table = Table("the vantry command: options against the baseline command")
    run(table)
    table.print()
