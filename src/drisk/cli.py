"""The drisk command-line tool: count distinct lines, merge and show sketches.

Every failure is one line on stderr, "drisk: <what went wrong>", with exit
status 2 (1 for sketches that cannot be merged, 130 for Ctrl-C, 143 for
SIGTERM). Nothing is written until every input has been read and checked,
and a saved sketch replaces its file atomically, so a failed or interrupted
run leaves existing files as they were.
"""
from __future__ import annotations

import argparse
import json
import os
import secrets
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from types import FrameType
from typing import TYPE_CHECKING, NoReturn, cast

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

from drisk import HyperLogLog, __version__, relative_error, update_file
from drisk._files import FileChangedError

DEFAULT_PRECISION = 14
#: Inputs smaller than this never get a progress bar.
PROGRESS_MIN_BYTES = 64 * 1024 * 1024
#: A sketch file is read up to this size. The raw format is at most
#: 1 + 2**18 bytes; the rest leaves room for a header.
MAX_SKETCH_BYTES = 2**18 + 4096
#: Distinct 64-bit hashes there can be: the most any estimate can mean.
HASH_SPACE = 2.0**64

EXIT_MERGE_MISMATCH = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143


class CliError(Exception):
    """A failure reported as one line with the given exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


class Terminated(BaseException):
    """Raised by the SIGTERM handler, so that cleanup runs as for Ctrl-C."""


class Parser(argparse.ArgumentParser):
    """argparse with drisk's one-line error format."""

    def error(self, message: str) -> NoReturn:
        raise CliError(message)

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse's own version drops write errors; --help > /dev/full must fail.
        if message:
            (file or sys.stderr).write(message)


def precision(text: str) -> int:
    try:
        p = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid precision {text!r}: expected a whole number from 4 to 18") from None
    if not 4 <= p <= 18:
        raise argparse.ArgumentTypeError(f"precision must be between 4 and 18, got {p}")
    return p


def build_parser() -> Parser:
    parser = Parser(
        prog="drisk",
        description="Estimate how many distinct lines there are, in bounded memory, "
        "with HyperLogLog sketches that can be saved and merged.",
        epilog="Example: seq 1 5000000 | drisk count",
    )
    parser.add_argument("--version", action="version", version=f"drisk {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    count = commands.add_parser(
        "count",
        help="estimate the number of distinct lines",
        description="Estimate the number of distinct lines in the FILEs (standard input when none "
        "is given, or for '-'). Lines end with \\n or \\r\\n; the ending is not part of the line. "
        "gzip, bzip2, xz and zstd input is recognised and decompressed.",
    )
    count.add_argument("files", nargs="*", metavar="FILE", help="input files; '-' is standard input")
    count.add_argument(
        "-p", "--precision", type=precision, default=DEFAULT_PRECISION, metavar="P",
        help=f"sketch precision, 4 to 18: 2**P registers, error about 1.04/sqrt(2**P) "
        f"(default {DEFAULT_PRECISION}: 16 KiB, 0.81%%)",
    )
    count.add_argument("--save", metavar="SKETCH", help="also write the sketch to this file")
    count.add_argument("--json", action="store_true", help="print a JSON object instead of the bare estimate")
    count.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    merge = commands.add_parser(
        "merge",
        help="union saved sketches and print the estimate",
        description="Union sketches saved with 'drisk count --save' (all of the same precision) "
        "and print the estimated number of distinct lines in all their inputs together.",
    )
    merge.add_argument("sketches", nargs="+", metavar="SKETCH", help="sketch files")
    merge.add_argument("-o", "--output", metavar="OUT", help="write the merged sketch to this file")
    merge.add_argument("--json", action="store_true", help="print a JSON object instead of the bare estimate")

    show = commands.add_parser(
        "show",
        help="describe a saved sketch",
        description="Print a saved sketch's precision, register count, estimate, error bound and "
        "the share of registers in use.",
    )
    show.add_argument("sketch", metavar="SKETCH", help="sketch file")
    show.add_argument("--json", action="store_true", help="print a JSON object")
    return parser


# --- messages ------------------------------------------------------------------


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


# --- sketches ------------------------------------------------------------------


def estimate(sketch: HyperLogLog) -> float:
    """The cardinality the tool reports for a sketch.

    The classic estimate, saturated at 2^64: registers near their maximum
    drive it past the number of distinct hashes (and count() to NaN where
    its large-range correction takes the log of a negative number).
    """
    value = sketch.count()
    return value if value <= HASH_SPACE else HASH_SPACE  # False for NaN too


def load_sketch(path: str) -> HyperLogLog:
    """A sketch file, read with a size cap and checked register by register."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_SKETCH_BYTES + 1)
    except OSError as exc:
        raise CliError(f"cannot read {quoted(path)}: {reason(exc)}") from None
    if len(data) > MAX_SKETCH_BYTES:
        raise CliError(f"{quoted(path)} is not a valid sketch: larger than {MAX_SKETCH_BYTES} bytes")
    try:
        sketch = HyperLogLog.from_bytes(data)
    except ValueError as exc:
        raise CliError(f"{quoted(path)} is not a valid sketch: {exc}") from None
    # A register holds at most 65 - p (the rank of an all-zero remainder of
    # the hash): anything above that cannot come from counting.
    p = data[0]
    registers = sketch.registers()
    if registers.translate(None, bytes(range(66 - p))):
        index, value = next((i, r) for i, r in enumerate(registers) if r > 65 - p)
        raise CliError(f"{quoted(path)} is not a valid sketch: register {index} is {value}, "
                       f"above {65 - p}, the most possible for p={p}")
    return sketch


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
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
        for _ in range(100):
            self.temporary: str | None = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.drisk-tmp")
            try:
                self.fd = os.open(self.temporary, flags, 0o666)  # less the umask
                break
            except FileExistsError:
                continue
            except OSError as exc:
                self.temporary = None
                raise self.failure(exc) from None
        else:
            raise CliError(f"cannot write {self.shown}: no free temporary name")
        if info is not None:
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


# --- output ----------------------------------------------------------------------


def emit(text: str | None) -> None:
    """Prints a result (None: only flushes what is pending). Standard output
    failing (a full disk, say) is an error like any other, reported once:
    the unwritten rest is dropped, so that the interpreter's final flush
    does not fail again."""
    try:
        if text is not None:
            print(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        silence_stdout()
        raise CliError(f"cannot write to standard output: {reason(exc)}") from None


def silence_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def summary(sketch: HyperLogLog, **extra: object) -> dict[str, object]:
    return {"estimate": estimate(sketch), "p": len(sketch).bit_length() - 1,
            "relative_standard_error": relative_error(sketch), **extra}


def as_json(info: dict[str, object]) -> str:
    return json.dumps(info, allow_nan=False)


# --- count -----------------------------------------------------------------------


@contextmanager
def progress_bar(total: int | None, enabled: bool) -> Iterator[Callable[[int], object] | None]:
    if not enabled or not sys.stderr or not sys.stderr.isatty() or (
            total is not None and total < PROGRESS_MIN_BYTES):
        yield None
        return
    from tqdm import tqdm

    with tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
              desc="drisk", leave=False) as bar:
        yield bar.update


def input_size(files: Sequence[str]) -> int | None:
    total = 0
    for name in files:
        try:
            total += os.stat(name).st_size if name != "-" else os.fstat(sys.stdin.fileno()).st_size
        except (OSError, ValueError, AttributeError):
            return None
    return total or None


def count_input(sketch: HyperLogLog, name: str, progress: Callable[[int], object] | None) -> int:
    """Adds the lines of one input; its failures become one-line errors."""
    shown = "standard input" if name == "-" else quoted(name)
    try:
        if name == "-":
            return update_file(sketch, sys.stdin.buffer, progress=progress)
        return update_file(sketch, name, progress=progress)
    except FileChangedError as exc:
        raise CliError(f"{shown}: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot read {shown}: {reason(exc)}") from None
    except (ValueError, ModuleNotFoundError) as exc:  # corrupt or undecodable compressed data
        raise CliError(f"{shown}: {exc}") from None


def run_count(args: argparse.Namespace) -> int:
    files: list[str] = args.files or ["-"]
    if "-" in files and sys.stdin is None:
        raise CliError("cannot read standard input: it is closed")
    sketch = HyperLogLog(args.precision)
    with optional_output(args.save) as output:
        started = time.perf_counter()
        lines = 0
        with progress_bar(input_size(files), not args.quiet) as progress:
            for name in files:
                lines += count_input(sketch, name, progress)
        seconds = time.perf_counter() - started
        value = estimate(sketch)
        if output is not None:
            output.commit(sketch.to_bytes())
    if args.json:
        emit(as_json(summary(sketch, lines=lines, seconds=round(seconds, 6))))
    else:
        emit(str(round(value)))
    return 0


# --- merge and show ----------------------------------------------------------------


def run_merge(args: argparse.Namespace) -> int:
    sketches = [load_sketch(path) for path in args.sketches]
    merged = sketches[0].copy()
    for path, sketch in zip(args.sketches[1:], sketches[1:]):
        try:
            merged.merge(sketch)
        except ValueError as exc:
            raise CliError(f"{quoted(path)}: {exc}", EXIT_MERGE_MISMATCH) from None
    value = estimate(merged)
    if args.output is not None:
        with AtomicOutput(args.output) as output:
            output.commit(merged.to_bytes())
    if args.json:
        emit(as_json(summary(merged, sketches=len(args.sketches))))
    else:
        emit(str(round(value)))
    return 0


def run_show(args: argparse.Namespace) -> int:
    sketch = load_sketch(args.sketch)
    registers = sketch.registers()
    in_use = 1 - registers.count(0) / len(registers)
    info = summary(sketch, m=len(sketch), nonzero_registers=in_use)
    if args.json:
        emit(as_json(info))
        return 0
    emit(f"p: {info['p']}\n"
         f"m: {len(sketch)}\n"
         f"estimate: {estimate(sketch):.1f}\n"
         f"relative standard error: {relative_error(sketch):.4%} (1.04/sqrt(m))\n"
         f"non-zero registers: {in_use:.2%}")
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "count": run_count,
    "merge": run_merge,
    "show": run_show,
}


# --- entry point -------------------------------------------------------------------


def on_sigterm(signum: int, frame: FrameType | None) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, on_sigterm)
    try:
        return run(argv)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def run(argv: Sequence[str] | None) -> int:
    try:
        if sys.stdout is None:
            raise CliError("cannot write to standard output: it is closed")
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as done:  # --help or --version, printed
            emit(None)
            return cast(int, done.code)
        except BrokenPipeError:
            raise
        except OSError as exc:  # from printing --help or --version
            silence_stdout()
            raise CliError(f"cannot write to standard output: {reason(exc)}") from None
        return COMMANDS[args.command](args)
    except CliError as exc:
        fail(str(exc))
        return exc.status
    except KeyboardInterrupt:
        fail("interrupted")
        return EXIT_INTERRUPTED
    except Terminated:
        fail("terminated")
        return EXIT_TERMINATED
    except MemoryError:
        fail("out of memory")
        return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (for example `drisk count | head`): not an error of ours.
        silence_stdout()
        return 0


def fail(message: str) -> None:
    if sys.stderr is not None:
        print(f"drisk: {escaped(message)}", file=sys.stderr)


if __name__ == "__main__":
    raise SystemExit(main())
