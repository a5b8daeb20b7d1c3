"""Feeding files and streams to a sketch, line by line, in bounded memory.

Everything here hashes into a blank scratch sketch and merges it into the
caller's sketch only once the whole input has been read, so an error or an
interrupt part-way leaves the caller's sketch as it was.

Regular files are read with pread() in blocks by two threads (each hashing
its own blocks into its own scratch sketch), never memory-mapped: a mapped
file that another process truncates kills the reader with SIGBUS, and some
files (/proc, /sys, some network file systems) cannot be mapped at all. The
line that straddles two blocks is read again by the calling thread, which
keeps track of where the current line began.
"""

from __future__ import annotations

import importlib
import io
import itertools
import os
import select
import stat
import threading
import time
from collections.abc import Callable, Iterator
from typing import IO, TYPE_CHECKING, Protocol, Union, cast

if TYPE_CHECKING:
    from typing_extensions import Buffer

from _drisk import HyperLogLog
from drisk._bulk import update_joined, update_lines

#: Bytes read from a stream at a time. A line longer than this is still one
#: item, hashed piece by piece without being held whole.
CHUNK_SIZE = 4 * 1024 * 1024
#: Bytes of a regular file read (and hashed) by one thread at a time. Under
#: update_lines' two-core split threshold, so the two readers each keep to
#: one core; small enough to stay in cache between read and hash.
BLOCK_SIZE = 1024 * 1024

Progress = Callable[[int], object]


class ReadableStream(Protocol):
    """A binary stream: a raw or buffered file, a socket file, BytesIO."""

    def readinto(self, buffer: Buffer, /) -> int | None: ...


#: typing's BinaryIO (the type of sys.stdin.buffer) leaves out readinto().
BinaryStream = ReadableStream | IO[bytes]
PathOrFile = Union[str, "os.PathLike[str]", BinaryStream, IO[str]]  # noqa: UP007 (a quoted member)


class FileChangedError(OSError):
    """A regular file shrank while it was being read (e.g. truncated by
    logrotate's copytruncate), so its lines cannot be counted consistently."""

    def __init__(self, *args: object) -> None:  # arguments: for unpickling
        super().__init__(*(args or ("file changed while reading",)))


# --- arguments ---------------------------------------------------------------


def _check_sketch(sketch: object) -> None:
    if not isinstance(sketch, HyperLogLog):
        exc = TypeError(f"'{type(sketch).__name__}' object is not an instance of 'HyperLogLog'")
        exc.add_note("while processing 'sketch'")
        raise exc


def _bad_argument(name: str, accepted: str, value: object) -> TypeError:
    message = f"{name} must be {accepted}, not '{type(value).__name__}'"
    if isinstance(value, bytes):
        message += " (decode a bytes path with os.fsdecode())"
    exc = TypeError(message)
    exc.add_note(f"while processing '{name}'")
    return exc


def _scratch(sketch: HyperLogLog) -> HyperLogLog:
    return HyperLogLog(len(sketch).bit_length() - 1)


# --- streams -----------------------------------------------------------------


def _waiting_reader(stream: ReadableStream) -> Callable[[memoryview], int]:
    """stream.readinto, waiting for data where a non-blocking stream has none
    yet (readinto() returning None) instead of taking that for the end.

    On a terminal, a buffered stream's readinto1() instead: readinto() would
    go on reading after the end of input (Ctrl-D) to fill the buffer."""
    readinto = stream.readinto
    try:
        if stream.isatty() and callable(getattr(stream, "readinto1", None)):  # type: ignore[attr-defined]
            readinto = stream.readinto1  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        pass
    poller: select.poll | None = None
    try:
        fd = stream.fileno()  # type: ignore[attr-defined]
        poller = select.poll()
        poller.register(fd, select.POLLIN)
    except (AttributeError, OSError, ValueError, TypeError):
        poller = None  # no descriptor to wait on: poll by sleeping

    def read(view: memoryview) -> int:
        pause = 0.001
        while True:
            try:
                got = readinto(view)
            except BlockingIOError:
                got = None
            if got is not None:
                if type(got) is not int or not 0 <= got <= len(view):
                    raise ValueError(f"readinto() returned {got!r} for a buffer of {len(view)} bytes")
                return got
            if poller is not None:
                poller.poll()
            else:
                time.sleep(pause)
                pause = min(pause * 2, 0.05)

    return read


class _Source(io.RawIOBase):
    """A blocking raw reader over a waiting read function: first the bytes
    already taken off the stream to sniff its format, then the stream.
    Reports progress in bytes of the underlying stream. The first read of 0
    bytes is the end: a terminal is not asked twice for end of input."""

    def __init__(
        self,
        read: Callable[[memoryview], int],
        prefix: bytes = b"",
        progress: Progress | None = None,
        ended: bool = False,
    ) -> None:
        super().__init__()
        self._read = read
        self._prefix = prefix
        self._progress = progress
        self._ended = ended
        #: The last error of the underlying stream, to tell it from a
        #: decompressor's complaint about the data.
        self.error: BaseException | None = None

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as out:
            if self._prefix:
                got = min(len(out), len(self._prefix))
                out[:got] = self._prefix[:got]
                self._prefix = self._prefix[got:]
            elif self._ended or not out:
                return 0
            else:
                try:
                    got = self._read(out)
                except BaseException as exc:
                    self.error = exc
                    raise
                self._ended = not got
            if got and self._progress is not None:
                self._progress(got)
            return got


def _absorb(sketch: HyperLogLog, read: Callable[[memoryview], int], chunk_size: int) -> int:
    """Lines read with `read` into one reused buffer of chunk_size bytes.

    A line cut by the end of the buffer is moved to the front and completed
    by the next read. A line that fills the whole buffer is added as one item
    from its pieces (see _absorb_long_line), so memory stays at one buffer.
    """
    buf = bytearray(chunk_size)
    keep = 0  # bytes not yet added at the front of buf
    seen = 0  # of which this many are known to hold no newline
    lines = 0
    with memoryview(buf) as view:
        while True:
            got = read(view[keep:])
            if not got:
                break
            end = keep + got
            cut = buf.rfind(b"\n", seen, end) + 1
            if cut:
                lines += update_lines(sketch, view[:cut])
                buf[: end - cut] = buf[cut:end]
                keep = seen = end - cut
            elif end == chunk_size:
                # What follows a long line may hold whole lines already.
                rest = _absorb_long_line(sketch, read, buf, view)
                lines += 1
                if rest is None:
                    return lines  # the line ran to the end of the input
                keep, seen = rest, 0
            else:
                keep = seen = end
        if keep:
            lines += update_lines(sketch, view[:keep])
    return lines


def _absorb_long_line(
    sketch: HyperLogLog, read: Callable[[memoryview], int], buf: bytearray, view: memoryview
) -> int | None:
    """Adds the line that fills `buf` (no newline in it) and its rest from
    `read`, as one item; returns how many bytes after it are left at the
    front of `buf`, or None if the input ended with the line.

    The line ending is left out as update_lines leaves it out: "\\n", a
    "\\r" right before that "\\n" (even when the two arrive in different
    reads), and a "\\r" that ends the input.
    """
    after: list[int] = []  # start and end in buf of the bytes that follow the line

    def parts() -> Iterator[memoryview | bytes]:
        size = len(buf)  # view[:size] continues the line, without a newline
        while True:
            cr = buf[size - 1] == 0x0D
            if size > cr:
                yield view[: size - cr]
            got = read(view)
            if not got:
                return  # the end of the input ends the line; a final "\r" goes
            newline = buf.find(b"\n", 0, got)
            if cr and newline != 0:
                yield b"\r"  # it did not end the line after all
            if newline < 0:
                size = got
                continue
            stop = newline - (newline > 0 and buf[newline - 1] == 0x0D)
            if stop:
                yield view[:stop]
            after[:] = [newline + 1, got]
            return

    update_joined(sketch, parts())
    if not after:
        return None
    start, end = after
    buf[: end - start] = buf[start:end]
    return end - start


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
    it has none); only a read of 0 bytes ends the input. `progress`, if
    given, is called with the number of bytes of each chunk read.

    The sketch changes only once the whole stream has been read: if reading
    fails (or is interrupted), it is left as it was.
    """
    _check_sketch(sketch)
    if isinstance(stream, io.TextIOBase) or not callable(getattr(stream, "readinto", None)):
        raise _bad_argument("stream", "a binary stream with a readinto() method", stream)
    if chunk_size <= 0:
        raise ValueError(f"chunk_size must be positive, got {chunk_size}")
    scratch = _scratch(sketch)
    read = _waiting_reader(cast(ReadableStream, stream))
    lines = _absorb(scratch, _Source(read, b"", progress).readinto, chunk_size)
    sketch.merge(scratch)
    return lines


# --- compressed input --------------------------------------------------------

#: Enough bytes to recognise every supported compressed format.
SNIFF_BYTES = 10


def _sniff(head: bytes) -> str | None:
    """The compression format whose magic number `head` starts with, if any."""
    if head.startswith(b"\x1f\x8b\x08"):
        return "gzip"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    # "BZh", the block size digit, then the magic of a first block or of the
    # end of an empty stream: ten bytes, as "BZh" alone begins some text.
    if head[:3] == b"BZh" and head[3:4].isdigit() and head[3:4] != b"0" and head[4:10] in (b"1AY&SY", b"\x17rE8P\x90"):
        return "bzip2"
    return None


class _ZstdFrames:
    """Follows the frame structure of zstd data as it passes, to tell input
    that ends between frames from input cut off inside one (the zstandard
    package's stream reader takes both for a normal end)."""

    def __init__(self) -> None:
        self._head = b""
        self._want = 4  # header bytes the current step needs
        self._skip = 0  # bytes to pass over before the next header
        self._step: Callable[[bytes], None] = self._magic
        self._checksum = 0
        self.broken = False  # not zstd after all: leave the complaint to the decoder

    @property
    def between_frames(self) -> bool:
        return self.broken or (self._step == self._magic and not self._head and not self._skip)

    def feed(self, data: memoryview) -> None:
        pos, n = 0, len(data)
        while pos < n and not self.broken:
            if self._skip:
                step = min(self._skip, n - pos)
                self._skip -= step
                pos += step
                continue
            take = min(self._want - len(self._head), n - pos)
            self._head += bytes(data[pos : pos + take])
            pos += take
            if len(self._head) == self._want:
                head, self._head = self._head, b""
                self._step(head)

    def _expect(self, want: int, step: Callable[[bytes], None], skip: int = 0) -> None:
        self._want, self._step, self._skip = want, step, skip

    def _magic(self, head: bytes) -> None:
        magic = int.from_bytes(head, "little")
        if magic == 0xFD2FB528:
            self._expect(1, self._descriptor)
        elif magic & 0xFFFFFFF0 == 0x184D2A50:  # skippable frame: a size, then data
            self._expect(4, lambda size: self._expect(4, self._magic, int.from_bytes(size, "little")))
        else:
            self.broken = True

    def _descriptor(self, head: bytes) -> None:
        flags = head[0]
        single_segment = flags >> 5 & 1
        content_size = (single_segment, 2, 4, 8)[flags >> 6]
        dictionary = (0, 1, 2, 4)[flags & 3]
        self._checksum = 4 if flags & 4 else 0
        self._expect(3, self._block, (1 - single_segment) + dictionary + content_size)

    def _block(self, head: bytes) -> None:
        header = int.from_bytes(head, "little")
        kind, size = header >> 1 & 3, header >> 3
        body = 1 if kind == 1 else size
        if header & 1:  # the frame's last block, then its checksum
            self._expect(4, self._magic, body + self._checksum)
        else:
            self._expect(3, self._block, body)


class _ZstdReader(io.RawIOBase):
    """zstd decompression of every frame of `source`, in bounded memory."""

    def __init__(self, source: _Source) -> None:
        super().__init__()
        try:
            zstandard = importlib.import_module("zstandard")
        except ImportError:
            raise ModuleNotFoundError(
                "reading zstd-compressed input needs the zstandard package: pip install zstandard", name="zstandard"
            ) from None
        self.errors: tuple[type[BaseException], ...] = (zstandard.ZstdError,)
        self._frames = frames = _ZstdFrames()

        class Tee:
            """The compressed bytes on their way to the decoder."""

            @staticmethod
            def read(size: int = -1) -> bytes:
                data = source.read(size if size >= 0 else CHUNK_SIZE) or b""
                with memoryview(data) as view:
                    frames.feed(view)
                return data

        self._reader = zstandard.ZstdDecompressor().stream_reader(Tee(), read_across_frames=True, closefd=False)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        got: int = self._reader.readinto(buffer)
        if got == 0 and not self._frames.between_frames:
            raise EOFError("Compressed file ended before the end-of-stream marker was reached")
        return got


def _decoder(kind: str, source: _Source) -> tuple[IO[bytes], tuple[type[BaseException], ...]]:
    """A reader of the decompressed data, and the errors its decoder raises
    on bad data. Optional packages are imported by name, untyped."""
    errors: tuple[type[BaseException], ...] = (EOFError, OSError)
    raw = cast(IO[bytes], source)
    if kind == "gzip":
        import zlib

        try:  # ISA-L decodes gzip about twice as fast as zlib, when installed
            igzip = importlib.import_module("isal.igzip")
            errors += (zlib.error, importlib.import_module("isal.isal_zlib").error)
            return igzip.GzipFile(fileobj=raw, mode="rb"), errors
        except ImportError:
            import gzip

            return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb")), errors + (zlib.error,)
    if kind == "bzip2":
        import bz2

        return cast(IO[bytes], bz2.BZ2File(raw)), errors
    if kind == "xz":
        import lzma

        return cast(IO[bytes], lzma.LZMAFile(raw)), errors + (lzma.LZMAError,)
    zstd = _ZstdReader(source)
    return cast(IO[bytes], zstd), errors + zstd.errors


def _update_compressed(sketch: HyperLogLog, kind: str, source: _Source) -> int:
    """Lines of the decompressed data of `source`."""
    decoder, errors = _decoder(kind, source)
    with decoder:
        try:
            return _absorb(sketch, _waiting_reader(cast(ReadableStream, decoder)), CHUNK_SIZE)
        except errors as exc:
            if source.error is not None:
                raise  # the input failed, not the decoder
            if isinstance(exc, EOFError):
                raise ValueError(f"truncated {kind} data: {exc}") from exc
            raise ValueError(f"corrupt {kind} data: {exc}") from exc


# --- regular files -----------------------------------------------------------


def _pread_exact(fd: int, view: memoryview, offset: int) -> int:
    """Fills view from the file at offset, as far as the file goes."""
    done = 0
    while done < len(view):
        got = os.preadv(fd, [view[done:]], offset + done)
        if not got:
            break
        done += got
    return done


def _helpers_wanted() -> bool:
    try:
        return len(os.sched_getaffinity(0)) > 1
    except (AttributeError, OSError):
        return (os.cpu_count() or 1) > 1


class _RegularFile:
    """Lines of bytes start..size of a regular file, read in blocks by two
    threads. The caller's thread also puts the blocks back in order: it adds
    the line that straddles each pair of blocks and checks that the file did
    not shrink on the way."""

    def __init__(self, sketch: HyperLogLog, fd: int, start: int, size: int, progress: Progress | None) -> None:
        self.sketch = sketch  # the caller's thread hashes into this one
        self.fd, self.start, self.size = fd, start, size
        self.progress = progress
        self.blocks = -(-(size - start) // BLOCK_SIZE)
        self.claim = itertools.count().__next__  # atomic under the GIL
        self.done: dict[int, tuple[int, int, int, int]] = {}
        self.stop = False
        self.failure: BaseException | None = None
        self.lines = 0
        self.next_block = 0
        self.line_start = start  # where the line not yet added begins
        self.eof_at: int | None = None  # where the file turned out to end

    def run(self) -> tuple[int, int]:
        """Returns the line count and the offset just past what was read."""
        helper_sketch = _scratch(self.sketch)
        helper = None
        if self.blocks > 1 and _helpers_wanted():
            # Not a daemon: should the caller give up waiting for it (a second
            # Ctrl-C), the interpreter still lets it finish its block rather
            # than ending it inside drisk's C++ code at exit.
            helper = threading.Thread(target=self._help, args=(helper_sketch,), name="drisk-reader", daemon=False)
            try:
                helper.start()
            except RuntimeError:  # no thread to be had: read alone
                helper = None
        try:
            self._work(self.sketch)
        finally:
            self.stop = True
            if helper is not None:
                helper.join()
        if self.failure is not None:
            raise self.failure
        self._put_in_order()
        end = self.size if self.eof_at is None else self.eof_at
        if self.eof_at is not None and os.fstat(self.fd).st_size < self.size:
            raise FileChangedError
        if self.line_start < end:
            self._add_line(self.line_start, end)
        self.sketch.merge(helper_sketch)
        return self.lines, end

    def _help(self, sketch: HyperLogLog) -> None:
        try:
            self._work(sketch)
        except BaseException as exc:  # noqa: BLE001 - handed to the calling thread
            self.failure = exc
            self.stop = True

    def _work(self, sketch: HyperLogLog) -> None:
        """Claims blocks one after another, hashes the whole lines inside each."""
        mine = sketch is self.sketch
        buf = bytearray(BLOCK_SIZE)
        with memoryview(buf) as view:
            while not self.stop:
                k = self.claim()
                if k >= self.blocks:
                    return
                offset = self.start + k * BLOCK_SIZE
                got = _pread_exact(self.fd, view[: min(BLOCK_SIZE, self.size - offset)], offset)
                first = buf.find(b"\n", 0, got)
                last = buf.rfind(b"\n", 0, got)
                lines = update_lines(sketch, view[first + 1 : last + 1]) if last > first else 0
                self.done[k] = (got, first, last, lines)
                if mine:
                    self._put_in_order()

    def _put_in_order(self) -> None:
        while self.next_block in self.done:
            got, first, last, lines = self.done.pop(self.next_block)
            offset = self.start + self.next_block * BLOCK_SIZE
            self.next_block += 1
            self.lines += lines
            if self.progress is not None and got:
                self.progress(got)
            if self.eof_at is not None:
                if got:  # data past a point where the file had ended
                    raise FileChangedError
                continue
            if first >= 0:
                self._add_line(self.line_start, offset + first + 1)
                self.line_start = offset + last + 1
            if got < min(BLOCK_SIZE, self.size - offset):
                self.eof_at = offset + got

    def _add_line(self, start: int, end: int) -> None:
        """Adds the one line in bytes start..end: it ends with its newline, or
        at the end of the file."""
        if end - start <= BLOCK_SIZE:
            line = bytearray(end - start)
            with memoryview(line) as view:
                if _pread_exact(self.fd, view, start) < len(line):
                    raise FileChangedError
            self.lines += update_lines(self.sketch, line)
            return
        # Too long to hold: hash it piece by piece, without its line ending.
        ending = os.pread(self.fd, 2, end - 2)
        if ending.endswith(b"\n"):
            end -= 2 if ending == b"\r\n" else 1
        elif ending.endswith(b"\r"):
            end -= 1
        buf = bytearray(BLOCK_SIZE)

        def parts() -> Iterator[memoryview]:
            with memoryview(buf) as view:
                for offset in range(start, end, BLOCK_SIZE):
                    piece = view[: min(BLOCK_SIZE, end - offset)]
                    if _pread_exact(self.fd, piece, offset) < len(piece):
                        raise FileChangedError
                    yield piece

        update_joined(self.sketch, parts())
        self.lines += 1


# --- files -------------------------------------------------------------------

#: File objects whose position is known exactly (a buffered reader's tell()
#: accounts for its read-ahead), so a regular file behind them can be read
#: with pread() from there. Anything else is read through its own methods.
_SEEKABLE_TYPES = (io.FileIO, io.BufferedReader, io.BufferedRandom)


def update_file(
    sketch: HyperLogLog,
    file: PathOrFile,
    *,
    decompress: bool = True,
    progress: Progress | None = None,
) -> int:
    """Add every line of a file to `sketch`; return the line count.

    `file` is a path (str or os.PathLike), a binary file object (for example
    `sys.stdin.buffer`, or anything with readinto()), or a text file that
    has a `.buffer` (for example `sys.stdin`). An open file is counted from
    its current position, buffered read-ahead included, and left at the end
    of what was counted.

    Regular files are read with pread(), by two threads for large files, up
    to the size they had when counting began; if a file shrinks meanwhile
    (say, truncated by logrotate), FileChangedError (an OSError) is raised.
    Pipes and other streams are read to their end, waiting on non-blocking
    ones. Memory stays flat however large the input and however long its
    lines.

    With `decompress` (the default), input starting with the magic number of
    gzip (all members), bzip2 or xz is decompressed with the standard
    library (gzip with `isal` when installed), and zstd with the `zstandard`
    package (ModuleNotFoundError if it is missing). Corrupt or truncated
    compressed data raises ValueError. Text files are read through their
    text layer and never decompressed: each line (as the text file splits
    it) is added as its UTF-8 encoding, as update_str() would add it.

    The sketch changes only once the whole input has been read: if reading
    fails (or is interrupted), it is left as it was.
    """
    _check_sketch(sketch)
    accepted = "a path (str or os.PathLike), a binary file or a text file with a .buffer"
    if isinstance(file, (str, os.PathLike)):
        path = os.fspath(file)
        if not isinstance(path, str):
            raise _bad_argument("file", accepted, path)
        with open(path, "rb", buffering=0) as raw:
            return _update_binary(sketch, raw, decompress, progress)
    if isinstance(file, io.TextIOBase):
        if not isinstance(getattr(file, "buffer", None), io.BufferedIOBase):
            raise _bad_argument("file", accepted, file)
        return _update_text(sketch, cast(IO[str], file), progress)
    if not callable(getattr(file, "readinto", None)):
        raise _bad_argument("file", accepted, file)
    return _update_binary(sketch, cast(ReadableStream, file), decompress, progress)


def _update_binary(sketch: HyperLogLog, file: ReadableStream, decompress: bool, progress: Progress | None) -> int:
    scratch = _scratch(sketch)
    if type(file) in _SEEKABLE_TYPES:
        seekable = cast(io.BufferedIOBase, file)
        seekable.flush()  # a read-write file's pending writes, for pread() to see
        fd = seekable.fileno()
        info = os.fstat(fd)
        # /proc files claim size 0 and are read as streams.
        if seekable.readable() and stat.S_ISREG(info.st_mode) and info.st_size > 0:
            start = seekable.tell()
            if start >= info.st_size:
                return 0
            kind = _sniff(os.pread(fd, SNIFF_BYTES, start)) if decompress else None
            if kind is None:
                lines, end = _RegularFile(scratch, fd, start, info.st_size, progress).run()
                seekable.seek(end)
                sketch.merge(scratch)
                return lines
    read = _waiting_reader(file)
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
        kind = _sniff(prefix)
    source = _Source(read, prefix, progress, ended)
    if decompress and kind is not None:
        lines = _update_compressed(scratch, kind, source)
    else:
        lines = _absorb(scratch, source.readinto, CHUNK_SIZE)
    sketch.merge(scratch)
    return lines


class _EncodedText(io.RawIOBase):
    """The UTF-8 bytes of what a text file reads."""

    def __init__(self, text: IO[str]) -> None:
        super().__init__()
        self._text = text
        self._pending = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        if not self._pending:
            chunk = self._text.read(CHUNK_SIZE // 4)
            if not chunk:
                return 0
            self._pending = memoryview(chunk.encode("utf-8", "surrogateescape"))
        with memoryview(buffer) as view, view.cast("B") as out:
            got = min(len(out), len(self._pending))
            out[:got] = self._pending[:got]
        self._pending = self._pending[got:]
        return got


def _update_text(sketch: HyperLogLog, text: IO[str], progress: Progress | None) -> int:
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
        scratch = _scratch(sketch)
        lines = _absorb(scratch, _Source(_EncodedText(text).readinto, b"", progress).readinto, CHUNK_SIZE)
    finally:
        if fd is not None and not was_blocking:
            os.set_blocking(fd, False)
    sketch.merge(scratch)
    return lines
