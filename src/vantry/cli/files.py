"""How the command reads its input files and writes its outputs.

Reading: only regular files are read. A FIFO, a device, a socket or a directory
is refused in one line before it is opened (so /dev/zero is never read and a
FIFO never waits for a writer); the open itself is non-blocking, and what was
opened is checked again, so a path swapped in between cannot slip through. No
more than MAX_INPUT_BYTES are read from one file.

Writing: the bytes go to a new temporary file in the output directory, created
exclusively (O_CREAT | O_EXCL | O_NOFOLLOW: never opened through an entry that is
already there, such as a planted link), then renamed over the final name. The
rename replaces the entry at that name, a link included, and never writes
through it, so nothing outside the output directory is written, and an
interrupted write leaves no half file.
"""

from __future__ import annotations

import os
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:  # for annotations only: pathlib costs the screen command's start-up urllib.parse
    import pathlib
    from typing import BinaryIO

# The largest file the command reads: above any photo or scan Pillow opens in
# practice, and a bound on what one file in hand can take.
MAX_INPUT_BYTES = 256 * 2**20
_READ_CHUNK = 2**20
_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
_CREATE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
_TEMPORARY_NAME_ATTEMPTS = 100

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class RefusedInput(ValueError):
    """An input the command does not read: not a regular file, or larger than it reads."""


def _too_large(size: str) -> RefusedInput:
    return RefusedInput(f"{size}, more than the {MAX_INPUT_BYTES // 2**20} MiB vantry reads from one file")


def check_regular(status: os.stat_result) -> None:
    """Refuse anything but a regular file of at most MAX_INPUT_BYTES."""
    if not stat.S_ISREG(status.st_mode):
        kind = next((name for test, name in _KINDS if test(status.st_mode)), "a special file")
        raise RefusedInput(f"not a regular file but {kind}; vantry reads regular files only")
    if status.st_size > MAX_INPUT_BYTES:
        raise _too_large(f"{status.st_size} bytes")


def check_input(path: str | os.PathLike[str]) -> None:
    """check_regular on what `path` names (links followed), without opening it."""
    check_regular(os.stat(path))


def _open_regular(path: str | os.PathLike[str]) -> tuple[int, os.stat_result]:
    """A descriptor of the regular file `path`, with its status."""
    check_input(path)  # a device is never opened: opening some has effects of its own
    fd = os.open(path, _OPEN_FLAGS)  # non-blocking: a FIFO put in its place cannot hold the open
    try:
        status = os.fstat(fd)
        check_regular(status)  # what was opened, in case the path changed since it was checked
    except BaseException:
        os.close(fd)
        raise
    return fd, status


def read_input(path: str | os.PathLike[str]) -> bytes:
    """The bytes of the regular file `path`, at most MAX_INPUT_BYTES of them."""
    fd, status = _open_regular(path)
    try:
        return _read_at_most(fd, status.st_size)
    finally:
        os.close(fd)


def open_input(path: str | os.PathLike[str]) -> BinaryIO:
    """The regular file `path` opened for reading, refused as read_input refuses it; for a
    reader that takes only what it needs of the file (an image's header)."""
    fd, _ = _open_regular(path)
    try:
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _read_at_most(fd: int, stated_size: int) -> bytes:
    """Read to the end, refusing a file that grows beyond MAX_INPUT_BYTES meanwhile.
    The first read asks for the stated size and a byte more, so a file that keeps
    its size is read in one call and returned without a copy."""
    parts: list[bytes] = []
    total = 0
    request = stated_size + 1
    while total <= MAX_INPUT_BYTES:
        part = os.read(fd, min(request, MAX_INPUT_BYTES + 1 - total))
        if not part:
            return parts[0] if len(parts) == 1 else b"".join(parts)
        parts.append(part)
        total += len(part)
        request = _READ_CHUNK
    raise _too_large("grew while being read")


def write_replacing(target: pathlib.Path, data: bytes) -> None:
    """Write `data` as `target`: into a temporary file created exclusively beside it, then renamed over it."""
    fd, partial = _create_temporary(target)
    try:
        with open(fd, "wb", closefd=True) as file:
            file.write(data)
        os.replace(partial, target)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise


def _create_temporary(target: pathlib.Path) -> tuple[int, pathlib.Path]:
    """A new hidden file beside `target`, opened for writing, with the permissions a plain
    open gives (0666 less the umask). A name already taken, by whatever entry, is skipped."""
    for _ in range(_TEMPORARY_NAME_ATTEMPTS):
        partial = target.with_name(f".{target.name}.{os.getpid()}.{os.urandom(4).hex()}.part")
        try:
            return os.open(partial, _CREATE_FLAGS, 0o666), partial
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {target}")
