"""The public entry points for files and streams: update_stream() and
update_file(), line by line, in bounded memory.

Everything here hashes into a blank scratch sketch and merges it into the
caller's sketch only once the whole input has been read, so an error or an
interrupt part-way leaves the caller's sketch as it was.

update_file() picks the reader: a regular file (by path, or an open file
whose position is known exactly) goes to _regular, which reads it with
pread() in C++ by two threads; anything else is read as a stream (_streams). With
decompression on, the first bytes are sniffed first and compressed input is
decoded by _compressed. A new input format is recognised in
_compressed.sniff() and decoded in _compressed._decoder().
"""

from __future__ import annotations

import io
import os
import stat
from typing import IO, TYPE_CHECKING, cast

from _drisk import HyperLogLog
from drisk._compressed import SNIFF_BYTES, sniff, update_compressed
from drisk._regular import FileChangedError, read_regular_file
from drisk._streams import (
    CHUNK_SIZE,
    WHOLE_LINES,
    EncodedText,
    Fields,
    Progress,
    ReadableStream,
    Source,
    absorb,
    bad_argument,
    check_sketch,
    scratch_for,
    waiting_reader,
)

if TYPE_CHECKING:
    from drisk._streams import BinaryStream, PathOrFile

__all__ = ["FileChangedError", "update_file", "update_stream"]


def update_stream(
    sketch: HyperLogLog,
    stream: BinaryStream,
    *,
    chunk_size: int = CHUNK_SIZE,
    progress: Progress | None = None,
) -> int:
    """Add every line of a binary stream to `sketch`; return the line count.

    The stream is read with readinto() in chunks of `chunk_size` bytes into
    one reused buffer; a line cut by a chunk boundary is carried over into
    the next chunk, and a line longer than the buffer is hashed piece by
    piece, so memory stays at one buffer however long the lines are. Line
    endings are "\\n" or "\\r\\n"; a last line without one counts too.

    A non-blocking stream whose readinto() returns None (no data yet) is
    waited on (with poll() on its file descriptor, or by sleeping briefly if
    it has none); only a read of 0 bytes ends the input.

    The sketch changes only once the whole stream has been read: if reading
    fails (or is interrupted), it is left as it was.

    Args:
        sketch: the HyperLogLog to add to.
        stream: a binary stream with a readinto() method (io.BytesIO, a file
            opened in "rb" mode, sys.stdin.buffer, a socket's makefile("rb")).
        chunk_size: the size of the reused buffer, in bytes (4 MiB by default).
        progress: if given, called with the number of bytes of each chunk read.

    Returns:
        The number of lines added (an int).

    Raises:
        TypeError: for a `stream` without readinto().
        ValueError: for a `chunk_size` that is not positive.
        OSError: whatever reading the stream raises, the sketch unchanged.

    Example:
        >>> import io, drisk
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_stream(h, io.BytesIO(b"ann\\nbob\\r\\nann\\ncid"))
        4
        >>> round(drisk.estimate(h))
        3
    """
    check_sketch(sketch)
    if isinstance(stream, io.TextIOBase) or not callable(getattr(stream, "readinto", None)):
        raise bad_argument("stream", "a binary stream with a readinto() method", stream)
    if chunk_size <= 0:
        raise ValueError(f"chunk_size must be positive, got {chunk_size}")
    scratch = scratch_for(sketch)
    read = waiting_reader(cast(ReadableStream, stream))
    lines, _ = absorb(scratch, Source(read, b"", progress).readinto, chunk_size)
    sketch.merge(scratch)
    return lines


#: File objects whose position is known exactly (a buffered reader's tell()
#: accounts for its read-ahead), so a regular file behind them can be read
#: with pread() from there. Anything else is read through its own methods.
_SEEKABLE_TYPES = (io.FileIO, io.BufferedReader, io.BufferedRandom)
#: Regular files are read with pread(), which Windows lacks.
_HAS_PREAD = hasattr(os, "pread")


def update_file(
    sketch: HyperLogLog,
    file: PathOrFile,
    *,
    decompress: bool = True,
    progress: Progress | None = None,
) -> int:
    """Add every line of a file to `sketch`; return the line count.

    An open file is counted from its current position, buffered read-ahead
    included, and left at the end of what was counted. Regular files are
    read with pread(), by two threads for large files, up to the size they
    had when counting began. Pipes and other streams are read to their end,
    waiting on non-blocking ones. Memory stays flat however large the input
    and however long its lines.

    With `decompress` (the default), input starting with the magic number of
    gzip (all members), bzip2 or xz is decompressed with the standard
    library (gzip with `isal` when installed), and zstd with the `zstandard`
    package. Text files are read through their text layer and never
    decompressed: each line (as the text file splits it) is added as its
    UTF-8 encoding, as update_str() would add it.

    The sketch changes only once the whole input has been read: if reading
    fails (or is interrupted), it is left as it was.

    Args:
        sketch: the HyperLogLog to add to.
        file: a path (str or os.PathLike), a binary file object (for example
            `sys.stdin.buffer`, or anything with readinto()), or a text file
            that has a `.buffer` (for example `sys.stdin`).
        decompress: whether compressed input is decompressed (True) or its
            raw bytes counted (False).
        progress: if given, called with the number of bytes read as reading
            goes on.

    Returns:
        The number of lines added (an int).

    Raises:
        TypeError: for anything else as `file` (a bytes path, an
            io.StringIO), saying what is accepted.
        FileChangedError: if a regular file shrinks while it is read (say,
            truncated by logrotate's copytruncate); an OSError.
        OSError: if the file cannot be opened or read.
        ValueError: for corrupt or truncated compressed data.
        ModuleNotFoundError: for zstd input without the `zstandard` package.

    Example:
        >>> import drisk, os, tempfile
        >>> path = os.path.join(tempfile.mkdtemp(), "access.log")
        >>> with open(path, "wb") as f:
        ...     _ = f.write(b"ann\\nbob\\nann\\n")
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_file(h, path)
        3
        >>> round(drisk.estimate(h))
        2
    """
    return update_file_fields(sketch, file, decompress=decompress, progress=progress)[0]


def update_file_fields(
    sketch: HyperLogLog,
    file: PathOrFile,
    *,
    decompress: bool = True,
    progress: Progress | None = None,
    fields: Fields = WHOLE_LINES,
) -> tuple[int, int]:
    """update_file() for the tool, which may count a field of each line:
    returns the items added and the lines skipped for lack of a field."""
    check_sketch(sketch)
    accepted = "a path (str or os.PathLike), a binary file or a text file with a .buffer"
    if isinstance(file, (str, os.PathLike)):
        path = os.fspath(file)
        if not isinstance(path, str):
            raise bad_argument("file", accepted, path)
        with open(path, "rb", buffering=0) as raw:
            return _update_binary(sketch, raw, decompress, progress, fields)
    if isinstance(file, io.TextIOBase):
        if not isinstance(getattr(file, "buffer", None), io.BufferedIOBase):
            raise bad_argument("file", accepted, file)
        return _update_text(sketch, cast(IO[str], file), progress, fields)
    if not callable(getattr(file, "readinto", None)):
        raise bad_argument("file", accepted, file)
    return _update_binary(sketch, cast(ReadableStream, file), decompress, progress, fields)


def _update_binary(
    sketch: HyperLogLog, file: ReadableStream, decompress: bool, progress: Progress | None, fields: Fields
) -> tuple[int, int]:
    scratch = scratch_for(sketch)
    if type(file) in _SEEKABLE_TYPES:
        seekable = cast(io.BufferedIOBase, file)
        seekable.flush()  # a read-write file's pending writes, for pread() to see
        fd = seekable.fileno()
        info = os.fstat(fd)
        # /proc files claim size 0 and are read as streams.
        if seekable.readable() and stat.S_ISREG(info.st_mode) and info.st_size > 0 and _HAS_PREAD:
            start = seekable.tell()
            if start >= info.st_size:
                return 0, 0
            kind = sniff(os.pread(fd, SNIFF_BYTES, start)) if decompress else None
            if kind is None:
                counts = read_regular_file(scratch, fd, start, info.st_size, progress, fields)
                if counts is not None:
                    seekable.seek(info.st_size)
                    sketch.merge(scratch)
                    return counts
                # Shorter than its size says: read what it holds as a stream.
                seekable.seek(start)
                scratch = scratch_for(sketch)
    read = waiting_reader(file)
    prefix = b""
    ended = False
    if decompress:
        head = bytearray(SNIFF_BYTES)
        with memoryview(head) as view:
            size = 0
            while size < SNIFF_BYTES and not ended:
                got = read(view[size:])
                size += got
                ended = not got
        prefix = bytes(head[:size])
        kind = sniff(prefix)
    source = Source(read, prefix, progress, ended)
    if decompress and kind is not None:
        counts = update_compressed(scratch, kind, source, fields)
    else:
        counts = absorb(scratch, source.readinto, fields=fields)
    sketch.merge(scratch)
    return counts


def _update_text(sketch: HyperLogLog, text: IO[str], progress: Progress | None, fields: Fields) -> tuple[int, int]:
    # A text file cannot tell "no data yet" from the end of a non-blocking
    # stream (it returns "" for both), so its descriptor is made blocking
    # while it is read.
    fd = None
    try:
        fd = text.fileno()
        was_blocking = os.get_blocking(fd)
    except (OSError, ValueError, AttributeError):
        fd, was_blocking = None, True
    if fd is not None and not was_blocking:
        os.set_blocking(fd, True)
    try:
        scratch = scratch_for(sketch)
        counts = absorb(scratch, Source(EncodedText(text).readinto, b"", progress).readinto, fields=fields)
    finally:
        if fd is not None and not was_blocking:
            os.set_blocking(fd, False)
    sketch.merge(scratch)
    return counts
