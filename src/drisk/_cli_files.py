"""The files of the drisk tool: sketch files read and checked with a size
cap, outputs that replace their file atomically, and the one-line failure
(CliError) that either turns into, with file names escaped onto one line.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager, suppress

from drisk import HyperLogLog, load
from drisk._pack import form as form_of

#: A sketch file is read up to this size: a packed sketch has at most
#: 4 * 2**18 + 15 bytes (a sparse body of 4-byte entries for every register
#: at p = 18, which drisk never writes but reads, as unpack() does; dense
#: ones take 2**18 + 15), a raw one 1 + 2**18.
MAX_SKETCH_BYTES = 4 * 2**18 + 15
EXIT_ERROR = 2


class CliError(Exception):
    """A failure reported as one line with the given exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


def escaped(text: str) -> str:
    """text with everything unprintable escaped, so that it stays on one line:
    control characters as in repr(), and bytes that were not valid in the
    file system encoding (surrogateescape) as \\xNN."""
    if text.isprintable():
        return text
    out = []
    for char in text:
        if char.isprintable():
            out.append(char)
        elif "\udc80" <= char <= "\udcff":
            out.append(f"\\x{ord(char) - 0xDC00:02x}")
        else:
            out.append(char.encode("unicode_escape").decode("ascii"))
    return "".join(out)


def quoted(path: str) -> str:
    return f"'{escaped(path)}'"


def reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


# --- sketch files -------------------------------------------------------------


def read_sketch(path: str) -> tuple[HyperLogLog, bytes]:
    """A sketch file in either form, read with a size cap and checked, and
    its contents."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_SKETCH_BYTES + 1)
    except OSError as exc:
        raise CliError(f"cannot read {quoted(path)}: {reason(exc)}") from None
    invalid = f"{quoted(path)} is not a valid sketch"
    if len(data) > MAX_SKETCH_BYTES:
        raise CliError(f"{invalid}: larger than {MAX_SKETCH_BYTES} bytes")
    if not data:
        raise CliError(f"{invalid}: the file is empty")
    try:
        sketch = load(data)
    except ValueError as exc:
        if 4 <= data[0] <= 18:
            # Most likely a raw sketch cut short or grown (a valid p is never
            # the first byte of the magic number): say that rather than only
            # that the magic number is missing.
            p = data[0]
            raise CliError(
                f"{invalid}: {len(data)} bytes, neither a raw sketch (p={p} takes "
                f"{1 + 2**p} bytes) nor a packed one (no magic number)"
            ) from None
        raise CliError(f"{invalid}: {exc}") from None
    if form_of(data) == "raw":
        # A register holds at most 65 - p (the rank of an all-zero remainder
        # of the hash): anything above that cannot come from counting. The
        # packed form refuses such values itself; the raw form takes any byte.
        p = data[0]
        registers = sketch.registers()
        if registers.translate(None, bytes(range(66 - p))):
            index, value = next((i, r) for i, r in enumerate(registers) if r > 65 - p)
            raise CliError(f"{invalid}: register {index} is {value}, above {65 - p}, the most possible for p={p}")
    return sketch, data


# --- outputs ------------------------------------------------------------------


# Temporary files made and neither committed nor removed yet.
PENDING: set[str] = set()


def remove_pending() -> None:
    """Removes the temporary files that an interrupted run left: those whose
    AtomicOutput a signal stopped before anything could close it."""
    for temporary in list(PENDING):
        with suppress(OSError):
            os.unlink(temporary)
        PENDING.discard(temporary)


class AtomicOutput:
    """A file that is replaced, atomically, only by commit().

    Created up front, the temporary file beside the target proves the
    directory writable before any work is done; closing without commit()
    removes it. A symlink is written through (its target is replaced), and
    anything that is not a regular file (a FIFO, a device, a directory) is
    refused. A new file gets the umask's mode; a replaced one keeps its mode
    and, where allowed, its owner and group.
    """

    def __init__(self, path: str) -> None:
        self.shown = quoted(path)
        if not path:
            raise CliError("cannot write '': empty file name")
        self.target = os.path.realpath(path)
        try:
            info: os.stat_result | None = os.lstat(self.target)
        except FileNotFoundError:
            info = None
        except OSError as exc:
            raise self.failure(exc) from None
        if info is not None and stat.S_ISLNK(info.st_mode):  # a symlink loop
            raise CliError(f"cannot write {self.shown}: Too many levels of symbolic links")
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise CliError(f"cannot write {self.shown}: Is a directory")
        if info is not None and not stat.S_ISREG(info.st_mode):
            raise CliError(f"cannot write {self.shown}: not a regular file")
        directory, name = os.path.split(self.target)
        # O_CLOEXEC is POSIX's; O_BINARY is Windows', without which the C
        # runtime would turn every newline byte of a sketch into two.
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
        self.fd = -1
        for _ in range(100):
            self.temporary: str | None = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.drisk-tmp")
            # Noted before it exists: a signal may interrupt the rest of this
            # constructor, or come before the caller's `with` takes the object.
            PENDING.add(self.temporary)
            try:
                self.fd = os.open(self.temporary, flags, 0o666)  # less the umask
                break
            except FileExistsError:
                PENDING.discard(self.temporary)
                continue
            except OSError as exc:
                PENDING.discard(self.temporary)
                self.temporary = None
                raise self.failure(exc) from None
        else:
            raise CliError(f"cannot write {self.shown}: no free temporary name")
        if info is not None and os.name == "posix":  # the replaced file's mode and owner
            try:
                os.fchmod(self.fd, stat.S_IMODE(info.st_mode))
            except OSError as exc:
                self.close()
                raise self.failure(exc) from None
            if (info.st_uid, info.st_gid) != (os.geteuid(), os.getegid()):
                try:
                    os.fchown(self.fd, info.st_uid, info.st_gid)
                except OSError:
                    pass  # not ours to give away: the file becomes the caller's

    def failure(self, exc: OSError) -> CliError:
        return CliError(f"cannot write {self.shown}: {reason(exc)}")

    def commit(self, data: bytes) -> None:
        assert self.temporary is not None
        try:
            written = 0
            while written < len(data):
                written += os.write(self.fd, data[written:])
            os.fsync(self.fd)
            os.close(self.fd)
            self.fd = -1
            os.replace(self.temporary, self.target)
            PENDING.discard(self.temporary)
            self.temporary = None
        except OSError as exc:
            raise self.failure(exc) from None

    def close(self) -> None:
        if self.temporary is not None:
            if self.fd >= 0:
                os.close(self.fd)
                self.fd = -1
            with suppress(FileNotFoundError):  # renamed just before an interrupt
                os.unlink(self.temporary)
            PENDING.discard(self.temporary)
            self.temporary = None

    def __enter__(self) -> AtomicOutput:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


@contextmanager
def optional_output(path: str | None) -> Iterator[AtomicOutput | None]:
    if path is None:
        yield None
        return
    with AtomicOutput(path) as output:
        yield output


def note(message: str) -> None:
    """Something the user should know about a successful run, on stderr."""
    if sys.stderr is not None:
        with suppress(OSError):  # the answer is out; a lost note is no failure
            print(f"drisk: note: {message}", file=sys.stderr, flush=True)
