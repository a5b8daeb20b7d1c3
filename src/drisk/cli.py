"""The drisk command-line tool: count distinct lines (or fields of lines,
or a column of a CSV, Parquet, Arrow IPC or Feather file), merge, compare
(overlap) and show sketches.

Estimates come from the improved estimator unless --estimator says otherwise
("ml" or "classic"); with --json they come with a 95 % interval. Every figure
printed is finite and at most 2^64, the number of distinct hashes.

Sketches are written in the packed form (drisk.pack: self-describing and
checksummed) and read in either form, packed or raw (to_bytes()). merge
takes sketches of any precisions and folds them to the smallest, saying so
in one "drisk: note: ..." line on stderr.

Exit status: 0 on success (also when the reader of stdout goes away); 2 for
any failure, reported as one line on stderr, "drisk: <what went wrong>"; 130
for Ctrl-C; 143 for SIGTERM. Nothing is written until every input has been
read and checked, and a saved sketch replaces its file atomically, so a
failed or interrupted run leaves existing files as they were.
"""

from __future__ import annotations

import argparse
import functools
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from types import FrameType
from typing import TYPE_CHECKING, NamedTuple, NoReturn, cast

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

    from drisk._estimate import Method

from drisk import HyperLogLog, __version__, pack, relative_error, summary, union
from drisk._cli_files import (
    EXIT_ERROR,
    AtomicOutput,
    CliError,
    escaped,
    note,
    optional_output,
    read_sketch,
    reason,
    remove_pending,
)
from drisk._cli_inputs import Choice, choice_from, count_input, parse_fields, stop_reading
from drisk._pack import form as form_of

#: The sketch type's own default, so that the tool's sketches merge with the library's.
DEFAULT_PRECISION = len(HyperLogLog()).bit_length() - 1
#: Inputs smaller than this never get a progress bar.
PROGRESS_MIN_BYTES = 64 * 1024 * 1024
#: Distinct 64-bit hashes there can be: the most any estimate can mean.
HASH_SPACE = 2.0**64
ESTIMATORS = ("improved", "ml", "classic")
#: The confidence of the interval the tool reports.
CONFIDENCE = 0.95

EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143


class Terminated(BaseException):
    """Raised by the SIGTERM handler, so that cleanup runs as for Ctrl-C."""


class Parser(argparse.ArgumentParser):
    """argparse with drisk's one-line error format."""

    def error(self, message: str) -> NoReturn:
        raise CliError(message)

    def _get_formatter(self) -> argparse.HelpFormatter:
        # argparse asks shutil for the terminal's width, and importing shutil
        # (which imports bz2 and lzma) costs every start a few milliseconds, for
        # a width only --help and errors use. The same width, found directly.
        formatter = cast("Callable[..., argparse.HelpFormatter]", self.formatter_class)
        return formatter(prog=self.prog, width=help_width())

    def _print_message(self, message: str, file: SupportsWrite[str] | None = None) -> None:
        # argparse's own version drops write errors; --help > /dev/full must fail.
        if message:
            (file or sys.stderr).write(message)


def help_width() -> int:
    """shutil.get_terminal_size().columns less argparse's margin of 2: $COLUMNS,
    else the width of the terminal on standard output, else 80."""
    try:
        columns = int(os.environ.get("COLUMNS", ""))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return (columns if columns > 0 else 80) - 2


def precision(text: str) -> int:
    try:
        p = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid precision {text!r}: expected a whole number from 4 to 18") from None
    if not 4 <= p <= 18:
        raise argparse.ArgumentTypeError(f"precision must be between 4 and 18, got {p}")
    return p


def positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return n


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
        "gzip, bzip2, xz and zstd input is recognised and decompressed. With --field, count a field "
        "of each line instead (as cut and awk number them); with --csv or for Parquet, Arrow IPC and "
        "Feather files (recognised by their content, read with pyarrow), count one --column. "
        "With --by, count per group instead: one line per key, the estimate, a tab and the key.",
        epilog="Examples: drisk count -f 1 access.log; drisk count -d , -f 3 data.csv; "
        "drisk count --csv --column user data.csv; drisk count --column user events.parquet; "
        "drisk count --by 7 -f 1 --top 10 access.log (distinct clients per URL)",
    )
    count.add_argument("files", nargs="*", metavar="FILE", help="input files; '-' is standard input")
    picking = count.add_argument_group("what to count (default: whole lines)")
    picking.add_argument(
        "-f",
        "--field",
        metavar="LIST",
        help="count field N of each line (numbered from 1); a list such as 1,3 or 2-4 counts "
        "those fields together, joined with the delimiter. Lines without the field are skipped "
        "and counted as skipped",
    )
    picking.add_argument(
        "-d",
        "--delimiter",
        metavar="C",
        help="the one-character field delimiter ('\\t' for a tab); without it, fields are "
        "separated by runs of blanks, as in awk. With --csv: the CSV delimiter (default ',')",
    )
    picking.add_argument(
        "--csv", action="store_true", help="read the input as CSV (RFC 4180 quoting) and count --column"
    )
    picking.add_argument(
        "--column",
        metavar="NAME|N",
        help="the column to count, by header name or number (from 1), of a CSV, Parquet, "
        "Arrow IPC or Feather file; a CSV header row is assumed with a NAME or --header",
    )
    picking.add_argument("--header", action="store_true", help="the first CSV row is a header, not data")
    grouping = count.add_argument_group("per group (like sort | uniq -c | sort -rn, for distinct values)")
    grouping.add_argument(
        "--by",
        metavar="LIST|NAME",
        help="count per group: one line per distinct key, the estimate, a tab and the key, "
        "largest first (equal estimates by key). The key is fields of each line (a list as for "
        "--field, with --field), or a column (a NAME or N, with --column). With --json, one "
        "object per group and line: key, estimate, and the 95%% interval as lower and upper",
    )
    grouping.add_argument(
        "--top", type=positive, metavar="N", help="with --by: only the N groups with the largest estimates"
    )
    count.add_argument(
        "-p",
        "--precision",
        type=precision,
        default=DEFAULT_PRECISION,
        metavar="P",
        help=f"sketch precision, 4 to 18: 2**P registers, error about 1.04/sqrt(2**P) "
        f"(default {DEFAULT_PRECISION}: {2**DEFAULT_PRECISION // 1024} KiB, "
        f"{100 * relative_error(DEFAULT_PRECISION):.1f}%%)",
    )
    count.add_argument(
        "--save",
        metavar="SKETCH",
        help="also write the sketch (packed) to this file; with --by, a Parquet table of the "
        "key and each group's packed sketch (needs pyarrow), which merge and show read",
    )
    add_json(count, instead_of_estimate=True)
    add_estimator(count)
    count.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    merge = commands.add_parser(
        "merge",
        help="union saved sketches and print the estimate",
        description="Union sketches saved with 'drisk count --save' and print the estimated number "
        "of distinct lines in all their inputs together. Sketches of different precision are "
        "folded to the smallest among them, and the tool says so in one line written to standard error.",
    )
    merge.add_argument("sketches", nargs="+", metavar="SKETCH", help="sketch files, packed or raw")
    merge.add_argument("-o", "--output", metavar="OUT", help="write the merged sketch (packed) to this file")
    merge.add_argument(
        "--by",
        metavar="KEY[,KEY]",
        help="roll tables of group sketches (count --by --save's) up by these key columns: one line "
        "per key, as count --by prints them; -o writes the table of the rolled-up groups (Parquet)",
    )
    add_json(merge, instead_of_estimate=True)
    add_estimator(merge)

    overlap = commands.add_parser(
        "overlap",
        help="how two saved sketches overlap",
        description="Estimate how the sets behind two saved sketches overlap: how many items both "
        "hold (intersection), how many only A or only B holds, their union and their Jaccard index "
        "(intersection / union), fitted jointly from both sketches by maximum likelihood, with 95%% "
        "intervals for the intersection and the Jaccard index. Sketches of different precision are "
        "compared at the smaller one. A table of group sketches (count --by ... --save) is taken "
        "whole; with --by, two such tables are matched key by key, one line per key: the five "
        "figures, a tab and the key, largest intersection first.",
        epilog="Examples: drisk overlap monday.hll tuesday.hll; "
        "drisk overlap --by page monday.parquet tuesday.parquet (returning users per page)",
    )
    overlap.add_argument("a", metavar="A", help="sketch file (packed or raw) or table of group sketches")
    overlap.add_argument("b", metavar="B", help="the same for the other set")
    overlap.add_argument(
        "--by",
        metavar="NAMES",
        help="match two tables of group sketches by these key columns (comma-separated), "
        "rolling each up to them first; a key only one table has meets an empty sketch",
    )
    overlap.add_argument(
        "--json",
        action="store_true",
        help="print a JSON object: intersection, a_only, b_only, union, jaccard and the intervals "
        "(one object per key and line with --by)",
    )

    show = commands.add_parser(
        "show",
        help="describe a saved sketch",
        description="Print a saved sketch's form (packed or raw), precision, register count, "
        "estimate with its 95% interval, error bound and the share of registers in use.",
    )
    show.add_argument("sketch", metavar="SKETCH", help="sketch file, packed or raw")
    add_json(show)
    add_estimator(show)
    return parser


def add_json(parser: Parser, instead_of_estimate: bool = False) -> None:
    """--json: count and merge print it in place of the bare estimate."""
    text = "print a JSON object"
    if instead_of_estimate:
        text += " (estimate, 95%% interval, ...) instead of the bare estimate"
    parser.add_argument("--json", action="store_true", help=text)


def add_estimator(parser: Parser) -> None:
    parser.add_argument(
        "--estimator",
        choices=ESTIMATORS,
        default="improved",
        help="improved (Ertl's improved raw estimator, the default), ml (maximum likelihood) "
        "or classic (HyperLogLog's original, biased near 2.5 times as many lines as registers)",
    )


# --- sketches ------------------------------------------------------------------


def capped(value: float) -> float:
    """A figure as the tool reports it: at most 2^64.

    The classic estimator passes the number of distinct hashes when the
    registers are near their maximum (and is NaN where its large-range
    correction takes the log of a negative number); the others stay finite
    but can pass it too. No count of distinct hashes can.
    """
    return value if value <= HASH_SPACE else HASH_SPACE  # False for NaN too


class Assessment(NamedTuple):
    """What the tool reports about a sketch, read from one snapshot."""

    estimate: float
    lower: float
    upper: float
    estimator: str
    p: int
    registers_in_use: int

    @classmethod
    def of(cls, sketch: HyperLogLog, estimator: str) -> Assessment:
        info = summary(sketch, CONFIDENCE, cast("Method", estimator))
        return cls(
            capped(info["estimate"]),
            capped(info["lower"]),
            capped(info["upper"]),
            estimator,
            info["p"],
            info["registers_in_use"],
        )

    def fields(self) -> dict[str, object]:
        """The keys every --json object starts with."""
        return {
            "estimate": self.estimate,
            "estimator": self.estimator,
            "lower": self.lower,
            "upper": self.upper,
            "p": self.p,
            "relative_standard_error": relative_error(self.p),
        }


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


def as_json(info: dict[str, object]) -> str:
    import json  # only for --json: the tool starts faster without it

    return json.dumps(info, allow_nan=False)


# --- count -----------------------------------------------------------------------


@contextmanager
def progress_bar(total: int | None, enabled: bool) -> Iterator[Callable[[int], object] | None]:
    if not enabled or not sys.stderr or not sys.stderr.isatty() or (total is not None and total < PROGRESS_MIN_BYTES):
        yield None
        return
    from tqdm import tqdm

    with tqdm(
        total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr, desc="drisk", leave=False
    ) as bar:
        yield bar.update


def input_size(files: Sequence[str]) -> int | None:
    total = 0
    for name in files:
        try:
            total += os.stat(name).st_size if name != "-" else os.fstat(sys.stdin.fileno()).st_size
        except (OSError, ValueError, AttributeError):
            return None
    return total or None


def run_count(args: argparse.Namespace) -> int:
    choice = choice_from(args.field, args.delimiter, args.csv, args.column, args.header)
    files: list[str] = args.files or ["-"]
    if args.top is not None and args.by is None:
        raise CliError("--top goes with --by")
    if "-" in files and sys.stdin is None:
        raise CliError("cannot read standard input: it is closed")
    if args.by is not None:
        return run_count_by(args, choice, files)
    sketch = HyperLogLog(args.precision)
    with optional_output(args.save) as output:
        started = time.perf_counter()
        items = skipped = 0
        with progress_bar(input_size(files), not args.quiet) as progress:
            for i, name in enumerate(files):
                counted = count_input(sketch, name, choice, progress, files[i + 1] if i + 1 < len(files) else None)
                items, skipped = items + counted.items, skipped + counted.skipped
        seconds = time.perf_counter() - started
        info = Assessment.of(sketch, args.estimator)
        if output is not None:
            output.commit(pack(sketch))
    if args.field is None and args.column is None:
        emit_result(info, args.json, lines=items, seconds=round(seconds, 6))
        return 0
    # Lines (or rows) read, of which `skipped` had no such field (or a null).
    unit = "lines" if args.field is not None else "rows"
    emit_result(info, args.json, **{unit: items + skipped}, items=items, skipped=skipped, seconds=round(seconds, 6))
    if skipped:
        what = (
            f"{'fields' if ',' in args.field or '-' in args.field else 'field'} {args.field}"
            if unit == "lines"
            else "a value"
        )
        note(f"skipped {skipped} of {items + skipped} {unit} without {what}")
    return 0


def run_count_by(args: argparse.Namespace, choice: Choice, files: list[str]) -> int:
    from drisk import _cli_groups

    if args.field is None and args.column is None:
        raise CliError("--by counts per group a field (--field) or a column (--column): pass one")
    if args.estimator != "improved":
        raise CliError("--by reports the improved estimator's figures: drop --estimator")
    if args.save is not None:
        _cli_groups.require_pyarrow("--save with --by")
    with optional_output(args.save) as output:
        if args.field is not None:
            key, values = parse_fields(args.by), choice.fields[0]
            with progress_bar(input_size(files), not args.quiet) as progress:
                # The bounds only for --json: a million groups' cost 50 MB.
                bounds = CONFIDENCE if args.json else None
                groups = _cli_groups.count_lines_by(
                    files, key, values, choice.fields[1], args.precision, bounds, output is not None, progress
                )
        else:
            by: list[str | int] = []
            for part in args.by.split(","):
                if part.strip().isdigit():
                    if int(part) < 1:
                        raise CliError("columns are numbered from 1")
                    by.append(int(part))
                elif part.strip():
                    by.append(part.strip())
                    if choice.csv:
                        choice.header = True  # a column named: the first row names them
                else:
                    raise CliError(f"--by names or numbers key columns, separated by commas: got {args.by!r}")
            groups = _cli_groups.count_columns_by(files, choice, by, args.precision, CONFIDENCE, output is not None)
        if output is not None:
            output.commit(_cli_groups.table_bytes(groups))
    emit(_cli_groups.group_lines_text(groups, args.top, args.json) or None)
    if groups.skipped:
        unit = "lines" if args.field is not None else "rows"
        what = f"the key (--by {args.by}) or the value (-f {args.field})" if unit == "lines" else "a value"
        note(f"skipped {groups.skipped} of {groups.items + groups.skipped} {unit} without {what}")
    return 0


def emit_result(info: Assessment, json_wanted: bool, **extra: object) -> None:
    """count's and merge's answer: the bare estimate, or the JSON object."""
    emit(as_json({**info.fields(), **extra}) if json_wanted else str(round(info.estimate)))


# --- merge and show ----------------------------------------------------------------


def run_merge(args: argparse.Namespace) -> int:
    # Each input is folded into the result as soon as it is read and checked,
    # so that memory stays at two sketches however many inputs there are;
    # nothing is written before the last one has been checked.
    from drisk import _cli_groups

    if args.by is not None:
        return run_merge_by(args)
    merged: HyperLogLog | None = None
    sizes: set[int] = set()
    for path in args.sketches:
        if _cli_groups.is_table(path):
            table = _cli_groups.SketchTable(path)
            sketch = table.sketch
            sizes.update(2**p for p in table.precisions)  # its groups' own, folded into one
        else:
            sketch = read_sketch(path)[0]
        sizes.add(len(sketch))
        if merged is None:
            merged = sketch
        elif len(sketch) == len(merged):
            merged.merge(sketch)
        else:
            merged = union(merged, sketch)  # folded to the smaller precision of the two
    assert merged is not None  # argparse asks for at least one
    info = Assessment.of(merged, args.estimator)
    if args.output is not None:
        with AtomicOutput(args.output) as output:
            output.commit(pack(merged))
    emit_result(info, args.json, sketches=len(args.sketches))
    if len(sizes) > 1:
        # Last, once everything has succeeded: stderr holds one line either way.
        note(f"folded to p={info.p} (the smallest precision among the inputs)")
    return 0


def run_merge_by(args: argparse.Namespace) -> int:
    from drisk import _cli_groups

    keys = [name.strip() for name in args.by.split(",")]
    if not all(keys) or len(set(keys)) != len(keys):
        raise CliError(f"--by names key columns, each once, separated by commas: got {args.by!r}")
    if args.estimator != "improved":
        raise CliError("--by reports the improved estimator's figures: drop --estimator")
    with optional_output(args.output) as output:
        groups, seen = _cli_groups.merge_by(args.sketches, keys, CONFIDENCE, output is not None)
        if output is not None:
            output.commit(_cli_groups.table_bytes(groups))
    emit(_cli_groups.group_lines_text(groups, None, args.json) or None)
    if len(seen) > 1:
        note(f"folded to p={min(seen)} (the smallest precision among the inputs)")
    return 0


def read_any_sketch(path: str) -> HyperLogLog:
    """A sketch file, or the union of a table of group sketches' groups."""
    from drisk import _cli_groups

    return _cli_groups.SketchTable(path).sketch if _cli_groups.is_table(path) else read_sketch(path)[0]


def show_table(args: argparse.Namespace) -> int:
    from drisk._cli_groups import SketchTable

    table = SketchTable(args.sketch)
    info = Assessment.of(table.sketch, args.estimator)
    keys = ", ".join(repr(name) for name in table.keys) or "none"
    if args.json:
        extra = {"m": len(table.sketch), "form": "table", "groups": table.groups, "key_columns": table.keys}
        emit(as_json({**info.fields(), **extra, "file_bytes": table.file_bytes}))
        return 0
    emit(
        f"form: table of group sketches (Parquet), {table.file_bytes} bytes\n"
        f"groups: {table.groups} (key columns: {keys})\n"
        f"p: {info.p}\n"
        f"estimate, all groups together: {info.estimate:.1f} ({info.estimator} estimator)\n"
        f"95% interval: {info.lower:.1f} to {info.upper:.1f}\n"
        f"relative standard error: {relative_error(table.sketch):.4%} (1.04/sqrt(m))"
    )
    return 0


def run_show(args: argparse.Namespace) -> int:
    from drisk._cli_groups import is_table

    if is_table(args.sketch):
        return show_table(args)
    sketch, data = read_sketch(args.sketch)
    info = Assessment.of(sketch, args.estimator)
    in_use = info.registers_in_use / len(sketch)
    form = form_of(data)
    if args.json:
        emit(
            as_json(
                {**info.fields(), "m": len(sketch), "nonzero_registers": in_use, "form": form, "file_bytes": len(data)}
            )
        )
        return 0
    kind, _, encoding = form.partition("-")
    emit(
        f"form: {kind}{f' ({encoding})' if encoding else ''}, {len(data)} bytes\n"
        f"p: {info.p}\n"
        f"m: {len(sketch)}\n"
        f"estimate: {info.estimate:.1f} ({info.estimator} estimator)\n"
        f"95% interval: {info.lower:.1f} to {info.upper:.1f}\n"
        f"relative standard error: {relative_error(sketch):.4%} (1.04/sqrt(m))\n"
        f"non-zero registers: {in_use:.2%}"
    )
    return 0


def run_overlap(args: argparse.Namespace) -> int:
    from drisk import _cli_overlap

    if args.by is None:
        a, b = read_any_sketch(args.a), read_any_sketch(args.b)
        emit(_cli_overlap.overlap_text(a, b, CONFIDENCE, args.json))
        return 0
    by = [name.strip() for name in args.by.split(",")]
    if not all(by) or len(set(by)) != len(by):
        raise CliError(f"--by names key columns, each once, separated by commas: got {args.by!r}")
    emit(_cli_overlap.by_key_text(args.a, args.b, by, CONFIDENCE, args.json) or None)
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "count": run_count,
    "merge": run_merge,
    "overlap": run_overlap,
    "show": run_show,
}


# --- entry point -------------------------------------------------------------------


def on_sigterm(signum: int, frame: FrameType | None) -> None:
    raise Terminated


def entry() -> None:
    """The program (the `drisk` script and python -m drisk): main(), and out.
    After Ctrl-C or SIGTERM it leaves at once: everything of its own is done
    by then (the partial output removed, the one line written), and the
    interpreter's shutdown (every buffer freed, Arrow's thread pools joined)
    took up to a fifth of a second more on a month of Parquet files, all of
    it after the user asked to stop."""
    if (
        sys.argv[1:2] in (["count"], ["show"], ["merge"])
        and "numpy" not in sys.modules
        and "pyarrow" not in sys.modules
        and not needs_numpy(arrow_config())
    ):
        # These commands never need numpy (overlap does), which pyarrow
        # would import where it is installed: a tenth of a second of each
        # run that reads a table (a sixth of a count of a month's Parquet
        # column).
        sys.modules["numpy"] = None  # type: ignore[assignment]
    code = main()
    # A file's reading ahead stops when the command ends, failed or not: it
    # must not meet the interpreter's shutdown (stop_reading). One still in
    # a read after a second (a pipe that does not end) is left as Ctrl-C
    # leaves everything.
    if code in (EXIT_INTERRUPTED, EXIT_TERMINATED) or not stop_reading(READERS_TIMEOUT):
        for stream in (sys.stdout, sys.stderr):
            with suppress(Exception):
                if stream is not None:
                    stream.flush()
        os._exit(code)
    sys.exit(code)


@functools.cache
def arrow_config() -> tuple[str, ...]:
    """The lines of the header in which the installed pyarrow says how its
    Arrow was built (none without pyarrow); read once, without importing it."""
    import importlib.util

    try:
        spec = importlib.util.find_spec("pyarrow")
        where = spec.submodule_search_locations if spec is not None else None
        if where:
            config = os.path.join(list(where)[0], "include", "arrow", "util", "config.h")
            with open(config, encoding="utf-8", errors="replace") as header:
                return tuple(line.strip() for line in header)
    except (ImportError, ValueError, OSError):
        pass
    return ()


def arrow_pool(config: Sequence[str]) -> str:
    """jemalloc where pyarrow was built with it (naming a pool it lacks would
    print a warning), else the system's allocator."""
    return "jemalloc" if "#define ARROW_JEMALLOC" in config else "system"


#: Seconds the program waits, as it ends, for its read-ahead threads.
READERS_TIMEOUT = 1.0

#: The first pyarrow that does not need numpy (its import takes numpy only
#: where it is installed).
ARROW_WITHOUT_NUMPY = 18


def needs_numpy(config: Sequence[str]) -> bool:
    """Whether the installed pyarrow needs numpy (True when unknown)."""
    for line in config:
        words = line.split()
        if words[:2] == ["#define", "ARROW_VERSION_MAJOR"] and len(words) == 3 and words[2].isdigit():
            return int(words[2]) < ARROW_WITHOUT_NUMPY
    return True


def main(argv: Sequence[str] | None = None) -> int:
    if "pyarrow" not in sys.modules and "ARROW_DEFAULT_MEMORY_POOL" not in os.environ:
        # The tool's own process, and a pool the user names is theirs: the
        # pool a scan takes in the library (_stream.scan_pool), named before
        # pyarrow is imported.
        os.environ["ARROW_DEFAULT_MEMORY_POOL"] = arrow_pool(arrow_config())
    if "numpy" not in sys.modules:
        # pyarrow imports numpy, whose OpenBLAS starts a thread a core that
        # spins for work the tool never gives: on two cores, a tenth of a
        # count's processor time taken from the decoding.
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, on_sigterm)
    try:
        return run(argv)
    finally:
        remove_pending()
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
