"""The drisk command-line tool: count distinct lines, merge and show sketches.

Every failure is one line on stderr, "drisk: <what went wrong>", with exit
status 2 (1 for sketches that cannot be merged, 130 for Ctrl-C).
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import NoReturn, cast

from drisk import HyperLogLog, __version__, relative_error, update_file
from drisk._files import ReadableStream

DEFAULT_PRECISION = 14
#: Inputs smaller than this never get a progress bar.
PROGRESS_MIN_BYTES = 64 * 1024 * 1024

EXIT_MERGE_MISMATCH = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


class CliError(Exception):
    """A failure reported as one line with the given exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """argparse with drisk's one-line error format."""

    def error(self, message: str) -> NoReturn:
        raise CliError(message)


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
        "is given, or for '-'). Lines end with \\n or \\r\\n; the ending is not part of the line.",
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


def describe_os_error(exc: OSError, path: str) -> str:
    reason = exc.strerror or str(exc)
    return f"cannot read '{path}': {reason}"


def load_sketch(path: str) -> HyperLogLog:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise CliError(describe_os_error(exc, path)) from None
    try:
        return HyperLogLog.from_bytes(data)
    except ValueError as exc:
        raise CliError(f"'{path}' is not a valid sketch: {exc}") from None


def save_sketch(sketch: HyperLogLog, path: str) -> None:
    """Writes atomically: a reader never sees half a sketch."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".drisk-", dir=directory)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(sketch.to_bytes())
            os.replace(tmp, path)
        except BaseException:
            os.unlink(tmp)
            raise
    except OSError as exc:
        raise CliError(f"cannot write '{path}': {exc.strerror or exc}") from None


@contextmanager
def progress_bar(total: int | None, enabled: bool) -> Iterator[Callable[[int], object] | None]:
    if not enabled or not sys.stderr.isatty() or (total is not None and total < PROGRESS_MIN_BYTES):
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
        except (OSError, ValueError):
            return None
    return total or None


def summary(sketch: HyperLogLog, **extra: object) -> dict[str, object]:
    return {"estimate": sketch.count(), "p": len(sketch).bit_length() - 1,
            "relative_standard_error": relative_error(sketch), **extra}


def run_count(args: argparse.Namespace) -> int:
    files: list[str] = args.files or ["-"]
    sketch = HyperLogLog(args.precision)
    started = time.perf_counter()
    lines = 0
    with progress_bar(input_size(files), not args.quiet) as progress:
        for name in files:
            if name == "-":
                # Typed as BinaryIO, which leaves out the readinto() it has.
                stdin = cast(ReadableStream, sys.stdin.buffer)
                lines += update_file(sketch, stdin, progress=progress)
                continue
            try:
                lines += update_file(sketch, name, progress=progress)
            except IsADirectoryError:
                raise CliError(f"cannot read '{name}': Is a directory") from None
            except OSError as exc:
                raise CliError(describe_os_error(exc, name)) from None
    seconds = time.perf_counter() - started
    if args.save:
        save_sketch(sketch, args.save)
    if args.json:
        print(json.dumps(summary(sketch, lines=lines, seconds=round(seconds, 6))))
    else:
        print(round(sketch.count()))
    return 0


def run_merge(args: argparse.Namespace) -> int:
    merged = load_sketch(args.sketches[0]).copy()
    for path in args.sketches[1:]:
        try:
            merged.merge(load_sketch(path))
        except ValueError as exc:
            raise CliError(f"{path}: {exc}", EXIT_MERGE_MISMATCH) from None
    if args.output:
        save_sketch(merged, args.output)
    if args.json:
        print(json.dumps(summary(merged, sketches=len(args.sketches))))
    else:
        print(round(merged.count()))
    return 0


def run_show(args: argparse.Namespace) -> int:
    sketch = load_sketch(args.sketch)
    registers = sketch.registers()
    in_use = 1 - registers.count(0) / len(registers)
    info = summary(sketch, m=len(sketch), nonzero_registers=in_use)
    if args.json:
        print(json.dumps(info))
        return 0
    print(f"p: {info['p']}")
    print(f"m: {len(sketch)}")
    print(f"estimate: {sketch.count():.1f}")
    print(f"relative standard error: {relative_error(sketch):.4%} (1.04/sqrt(m))")
    print(f"non-zero registers: {in_use:.2%}")
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "count": run_count,
    "merge": run_merge,
    "show": run_show,
}


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return COMMANDS[args.command](args)
    except CliError as exc:
        print(f"drisk: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print("drisk: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (for example `drisk count | head`): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    raise SystemExit(main())
