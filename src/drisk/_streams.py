"""Lines of a stream into a sketch, in one reused buffer, and the argument
checks that every file and stream entry point shares.

A stream is anything with readinto(): a raw or buffered file, a pipe, a
socket file, BytesIO, a decompressor. waiting_reader() turns it into a read
function that blocks (a non-blocking stream's "no data yet" is waited on, not
taken for the end); absorb() splits what that function reads into lines and
hashes them, carrying a line cut by the end of the buffer over to the next
read, so memory stays at one buffer however long the input and its lines.
"""

from __future__ import annotations

import io
import os
import select
import time
from collections.abc import Callable, Iterator
from typing import IO, TYPE_CHECKING, Protocol, Union

if TYPE_CHECKING:
    from typing_extensions import Buffer

from _drisk import HyperLogLog
from drisk._bulk import update_fields, update_joined, update_joined_fields, update_lines

#: Bytes read from a stream at a time. A line longer than this is still one
#: item, hashed piece by piece without being held whole.
CHUNK_SIZE = 4 * 1024 * 1024

Progress = Callable[[int], object]

#: Which part of each line is the item, as the core takes it: the field
#: numbers (ascending from 1; none for the whole line) and the delimiter (a
#: byte value, or -1 for runs of blanks).
Fields = tuple[tuple[int, ...], int]
WHOLE_LINES: Fields = ((), -1)


class ReadableStream(Protocol):
    """A binary stream: a raw or buffered file, a socket file, BytesIO."""

    def readinto(self, buffer: Buffer, /) -> int | None: ...


if TYPE_CHECKING:
    # For annotations only: building these unions at import took 1.5 ms of
    # every start of the tool.
    #: typing's BinaryIO (the type of sys.stdin.buffer) leaves out readinto().
    BinaryStream = ReadableStream | IO[bytes]
    PathOrFile = Union[str, "os.PathLike[str]", BinaryStream, IO[str]]  # noqa: UP007 (a quoted member)


# --- arguments ---------------------------------------------------------------


def check_sketch(sketch: object) -> None:
    if not isinstance(sketch, HyperLogLog):
        exc = TypeError(f"'{type(sketch).__name__}' object is not an instance of 'HyperLogLog'")
        exc.add_note("while processing 'sketch'")
        raise exc


def bad_argument(name: str, accepted: str, value: object) -> TypeError:
    message = f"{name} must be {accepted}, not '{type(value).__name__}'"
    if isinstance(value, bytes):
        message += " (decode a bytes path with os.fsdecode())"
    exc = TypeError(message)
    exc.add_note(f"while processing '{name}'")
    return exc


def scratch_for(sketch: HyperLogLog) -> HyperLogLog:
    """A blank sketch of the same precision: the input is hashed into it and
    merged into `sketch` only once all of it has been read."""
    return HyperLogLog(len(sketch).bit_length() - 1)


# --- reading -----------------------------------------------------------------


def waiting_reader(stream: ReadableStream) -> Callable[[memoryview], int]:
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


class Source(io.RawIOBase):
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


class EncodedText(io.RawIOBase):
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


# --- lines -------------------------------------------------------------------


def absorb(
    sketch: HyperLogLog,
    read: Callable[[memoryview], int],
    chunk_size: int = CHUNK_SIZE,
    fields: Fields = WHOLE_LINES,
) -> tuple[int, int]:
    """Lines read with `read` into one reused buffer of chunk_size bytes;
    returns the items added and the lines skipped for lack of a field.

    A line cut by the end of the buffer is moved to the front and completed
    by the next read. A line that fills the whole buffer is added as one item
    from its pieces (see _absorb_long_line), so memory stays at one buffer.
    """
    numbers, delimiter = fields

    def add(lines: memoryview) -> tuple[int, int]:
        if not numbers:
            return update_lines(sketch, lines), 0
        return update_fields(sketch, lines, numbers, delimiter)

    buf = bytearray(chunk_size)
    keep = 0  # bytes not yet added at the front of buf
    seen = 0  # of which this many are known to hold no newline
    items = skipped = 0
    with memoryview(buf) as view:
        while True:
            got = read(view[keep:])
            if not got:
                break
            end = keep + got
            cut = buf.rfind(b"\n", seen, end) + 1
            if cut:
                added, passed = add(view[:cut])
                items, skipped = items + added, skipped + passed
                buf[: end - cut] = buf[cut:end]
                keep = seen = end - cut
            elif end == chunk_size:
                # What follows a long line may hold whole lines already.
                had, rest = _absorb_long_line(sketch, read, buf, view, fields)
                items, skipped = items + had, skipped + (not had)
                if rest is None:
                    return items, skipped  # the line ran to the end of the input
                keep, seen = rest, 0
            else:
                keep = seen = end
        if keep:
            added, passed = add(view[:keep])
            items, skipped = items + added, skipped + passed
    return items, skipped


def _absorb_long_line(
    sketch: HyperLogLog,
    read: Callable[[memoryview], int],
    buf: bytearray,
    view: memoryview,
    fields: Fields = WHOLE_LINES,
) -> tuple[bool, int | None]:
    """Adds the line that fills `buf` (no newline in it) and its rest from
    `read`, as one item (or its fields); returns whether it was added (not
    skipped for lack of a field) and how many bytes after it are left at the
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

    if fields[0]:
        had = update_joined_fields(sketch, parts(), *fields)
    else:
        update_joined(sketch, parts())
        had = True
    if not after:
        return had, None
    start, end = after
    buf[: end - start] = buf[start:end]
    return had, end - start
