"""Feeding files and streams to a sketch, line by line, in bounded memory."""
from __future__ import annotations

import io
import mmap
import os
import stat
from collections.abc import Callable
from typing import TYPE_CHECKING, Protocol, Union

if TYPE_CHECKING:
    from typing_extensions import Buffer

from _drisk import HyperLogLog
from drisk._bulk import update_lines

#: Bytes read from a stream at a time.
CHUNK_SIZE = 4 * 1024 * 1024
#: Bytes of a regular file mapped at a time. Only one window is mapped at
#: once, so memory stays flat however large the file is.
WINDOW_SIZE = 64 * 1024 * 1024

Progress = Callable[[int], object]


class ReadableStream(Protocol):
    """A binary stream: a raw or buffered file, a socket file, BytesIO."""

    def readinto(self, buffer: Buffer, /) -> int | None: ...


PathOrFile = Union[str, "os.PathLike[str]", ReadableStream]


def update_stream(
    sketch: HyperLogLog,
    stream: ReadableStream,
    *,
    chunk_size: int = CHUNK_SIZE,
    progress: Progress | None = None,
) -> int:
    """Add every line of a binary stream to `sketch`; return the line count.

    The stream is read in chunks of `chunk_size` bytes into one reused
    buffer. A line cut by a chunk boundary is carried over whole into the
    next chunk, and a line longer than the buffer grows it. Line endings are
    "\\n" or "\\r\\n"; a last line without one counts too. `progress`, if
    given, is called with the number of bytes of each chunk read.
    """
    if chunk_size <= 0:
        raise ValueError(f"chunk_size must be positive, got {chunk_size}")
    buf = bytearray(chunk_size)
    keep = 0  # bytes of an unfinished line at the front of buf
    lines = 0
    readinto = stream.readinto
    while True:
        with memoryview(buf) as whole, whole[keep:] as free:
            got = readinto(free)
        if not got:
            break
        if progress is not None:
            progress(got)
        end = keep + got
        cut = buf.rfind(b"\n", keep, end) + 1
        if cut == 0:
            keep = end
            if keep == len(buf):
                buf.extend(bytes(len(buf)))
            continue
        with memoryview(buf) as whole, whole[:cut] as complete:
            lines += update_lines(sketch, complete)
        buf[: end - cut] = buf[cut:end]
        keep = end - cut
    if keep:
        with memoryview(buf) as whole, whole[:keep] as last:
            lines += update_lines(sketch, last)
    return lines


def _update_mapped(
    sketch: HyperLogLog, fd: int, start: int, size: int, progress: Progress | None
) -> int:
    """Lines of bytes start..size of a regular file, mapped a window at a time."""
    lines = 0
    offset = start  # first byte not yet absorbed
    window = WINDOW_SIZE
    while offset < size:
        base = offset - offset % mmap.ALLOCATIONGRANULARITY
        length = min(window, size - base)
        final = base + length == size
        with mmap.mmap(fd, length, offset=base, access=mmap.ACCESS_READ) as mapped:
            if hasattr(mapped, "madvise"):
                mapped.madvise(mmap.MADV_SEQUENTIAL)
            skip = offset - base
            end = length if final else mapped.rfind(b"\n", skip) + 1
            if end == 0:
                window *= 2  # one line longer than the window
                continue
            with memoryview(mapped) as whole, whole[skip:end] as part:
                lines += update_lines(sketch, part)
        if progress is not None:
            progress(base + end - offset)
        offset = base + end
    return lines


def update_file(
    sketch: HyperLogLog,
    file: PathOrFile,
    *,
    progress: Progress | None = None,
) -> int:
    """Add every line of a file to `sketch`; return the line count.

    `file` is a path or a binary file object (for example
    `sys.stdin.buffer`). Regular files are memory-mapped a window at a time
    and read in place; pipes and other streams go through update_stream().
    Memory use stays flat however large the input is.
    """
    if isinstance(file, (str, os.PathLike)):
        with open(file, "rb") as opened:
            return update_file(sketch, opened, progress=progress)
    try:
        fd = file.fileno()  # type: ignore[attr-defined]
        info = os.fstat(fd)
    except (AttributeError, OSError, io.UnsupportedOperation):
        return update_stream(sketch, file, progress=progress)
    if not stat.S_ISREG(info.st_mode) or info.st_size == 0:
        return update_stream(sketch, file, progress=progress)
    # Whatever a buffered reader already holds comes first, then the rest of
    # the file from the descriptor's position.
    start = os.lseek(fd, 0, os.SEEK_CUR)
    if isinstance(file, io.BufferedReader) and file.tell() != start:
        return update_stream(sketch, file, progress=progress)
    lines = _update_mapped(sketch, fd, start, info.st_size, progress)
    os.lseek(fd, info.st_size, os.SEEK_SET)
    return lines
