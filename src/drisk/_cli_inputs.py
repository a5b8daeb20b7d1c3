"""What the drisk tool counts in an input: its lines, a field of each line,
a column of a CSV file, or a column of a Parquet, Arrow IPC or Feather file.

Tables are recognised by their magic bytes, whatever their names, and read
with pyarrow through update_many's columnar path; a table is never counted
as lines. CSV is read with the standard library's csv module (RFC 4180:
quoted fields may hold delimiters, doubled quotes and newlines), and each
value is added as the str the csv module gives, as update_many(sketch,
[...]) would add it. Each reader imports its engine only when it is used.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import os
import stat
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any, cast

from drisk._cli_files import CliError, note, quoted, reason
from drisk._compressed import sniff
from drisk._files import FileChangedError, update_file_fields
from drisk._streams import WHOLE_LINES, Fields, Progress

if TYPE_CHECKING:
    from _drisk import HyperLogLog
    from drisk._streams import ReadableStream

#: The largest number of fields -f takes (the core's limit).
MAX_FIELDS = 16
#: Values handed to update_many at a time when reading CSV and tables.
BATCH_ROWS = 64 * 1024
#: Rows of a Parquet column read and counted at a time: as many as a row
#: group commonly holds, so that each call's fixed cost is spread thin.
TABLE_BATCH_ROWS = 1 << 20


class Counted:
    """What one input gave: items added, and lines or rows skipped (without
    the field, or null in a table column)."""

    __slots__ = ("items", "skipped")

    def __init__(self, items: int, skipped: int) -> None:
        self.items, self.skipped = items, skipped


class Choice:
    """What count takes from each input, from the command line. (Plain
    classes: a NamedTuple costs the tool's start-up a millisecond.)"""

    __slots__ = ("column", "csv", "delimiter", "fields", "header")

    def __init__(self, fields: Fields, csv: bool, column: str | int | None, header: bool, delimiter: str) -> None:
        self.fields = fields  # WHOLE_LINES, or the -f numbers and the -d byte
        self.csv = csv
        self.column = column  # --column: a name, or a 1-based number
        self.header = header  # the first CSV row names the columns
        self.delimiter = delimiter  # for CSV


# --- options ---------------------------------------------------------------------


def parse_fields(text: str) -> tuple[int, ...]:
    """-f's list, as cut takes it: numbers and ranges N-M, separated by
    commas; in ascending order, each once."""
    numbers: set[int] = set()
    for part in text.split(","):
        low, dash, high = part.partition("-")
        try:
            first = int(low)
            last = int(high) if dash else first
        except ValueError:
            raise CliError(f"invalid field list {text!r}: expected numbers from 1, such as 1 or 1,3 or 2-4") from None
        if first < 1 or last < first:
            raise CliError(f"invalid field list {text!r}: fields are numbered from 1, ranges go upwards")
        numbers.update(range(first, min(last, first + MAX_FIELDS) + 1))
        if len(numbers) > MAX_FIELDS:
            raise CliError(f"too many fields in {text!r}: at most {MAX_FIELDS}")
    return tuple(sorted(numbers))


def parse_delimiter(text: str) -> str:
    """-d: one ASCII character other than a newline; "\\t" also means a tab."""
    if text == "\\t":
        return "\t"
    if len(text) != 1 or not text.isascii() or text in "\r\n":
        raise CliError(f"the delimiter must be one ASCII character other than a newline, got {text!r}")
    return text


def choice_from(field: str | None, delimiter: str | None, csv: bool, column: str | None, header: bool) -> Choice:
    """Checks that the options go together."""
    sep = parse_delimiter(delimiter) if delimiter is not None else None
    if field is not None and (csv or column is not None):
        raise CliError("--field picks a field of text lines; use --column with --csv and tables")
    if csv and column is None:
        raise CliError("--csv needs --column NAME or --column N")
    if header and not csv:
        raise CliError("--header goes with --csv")
    fields = WHOLE_LINES
    if field is not None:
        fields = (parse_fields(field), ord(sep) if sep is not None else -1)
    elif sep is not None and not csv:
        raise CliError("--delimiter goes with --field or --csv")
    picked: str | int | None = column
    if column is not None and column.isdigit():
        picked = int(column)
        if picked < 1:
            raise CliError("columns are numbered from 1")
    return Choice(fields, csv, picked, header or isinstance(picked, str), sep or ",")


# --- what an input is --------------------------------------------------------------

#: Magic bytes at the start of a table file, and its kind.
TABLE_MAGIC = {b"PAR1": "Parquet", b"ARROW1": "Arrow IPC", b"FEA1": "Feather"}
#: How messages name each kind.
TABLE_NAMES = {
    "Parquet": "a Parquet file",
    "Arrow IPC": "an Arrow IPC (Feather) file",
    "Feather": "a Feather (version 1) file",
    "Arrow IPC stream": "an Arrow IPC stream",
}
#: An Arrow IPC stream starts with a continuation marker.
IPC_STREAM_MAGIC = b"\xff\xff\xff\xff"


def table_kind(head: bytes) -> str | None:
    for magic, kind in TABLE_MAGIC.items():
        if head.startswith(magic):
            return kind
    if head.startswith(IPC_STREAM_MAGIC) and len(head) >= 8:
        return "Arrow IPC stream"
    return None


#: Bytes looked at for a table's magic number or a binary file's NUL bytes.
HEAD_BYTES = 4096


def head_of(name: str) -> bytes:
    """The first bytes of an input, left in place for whoever reads it: a
    regular file's, or what standard input's buffer can peek at. A named
    pipe (say, bash's <(...)) is not read here: what is read from it is gone."""
    if name == "-":
        stdin = sys.stdin.buffer
        peek = getattr(stdin, "peek", None)
        return peek(8)[:8] if callable(peek) else b""
    with open(name, "rb", buffering=0) as f:
        return f.read(HEAD_BYTES) if stat.S_ISREG(os.fstat(f.fileno()).st_mode) else b""


def looks_binary(head: bytes) -> bool:
    """Whether uncompressed input holds NUL bytes, as binary files do and
    text never does."""
    return b"\0" in head and sniff(head) is None


# --- counting ------------------------------------------------------------------------


def count_input(
    sketch: HyperLogLog, name: str, choice: Choice, progress: Progress | None, after: str | None = None
) -> Counted:
    """Adds what `choice` takes from one input; its failures become one-line
    errors. `after` names the input that comes next, if any: a table file's
    reading starts on a thread of its own while this input is counted."""
    shown = "standard input" if name == "-" else quoted(name)
    try:
        head = head_of(name)
        kind = table_kind(head)
        if kind is not None:
            if after is not None:
                _read_ahead(after, choice)
            return count_table(sketch, name, shown, kind, choice)
        if choice.csv:
            return count_csv(sketch, name, shown, choice)
        if choice.column is not None:
            raise CliError(f"{shown}: --column reads CSV (with --csv) or Parquet, Arrow IPC and Feather files")
        if looks_binary(head):
            note(f"{shown} holds NUL bytes, as binary files do: counting its lines all the same")
        source: str | IO[bytes] = sys.stdin.buffer if name == "-" else name
        return Counted(*update_file_fields(sketch, source, progress=progress, fields=choice.fields))
    except FileChangedError as exc:
        raise CliError(f"{shown}: {exc}") from None
    except OSError as exc:
        raise CliError(f"cannot read {shown}: {reason(exc)}") from None
    except (ValueError, ModuleNotFoundError) as exc:  # corrupt or undecodable compressed data
        raise CliError(f"{shown}: {exc}") from None


#: The longest CSV field read: as long as a C long holds on every platform.
CSV_FIELD_LIMIT = 2**31 - 1


@contextlib.contextmanager
def csv_rows(name: str, shown: str, delimiter: str) -> Iterator[Iterator[list[str]]]:
    """The rows of a CSV input (gzip, bzip2, xz, zstd: decompressed), as the
    csv module reads them from UTF-8 (a byte order mark dropped; bytes that
    are not UTF-8 kept as surrogates). Bad CSV, values that are not UTF-8
    and damaged compressed data end the block as one CliError."""
    import csv

    from drisk._compressed import open_decoded

    # The csv module refuses a field over 128 KiB by default; a value has no
    # such limit anywhere else in drisk (a line, a column cell), nor here.
    # Each field is held whole while its row is read, as a line is.
    csv.field_size_limit(CSV_FIELD_LIMIT)
    opened = None if name == "-" else open(name, "rb", buffering=0)  # noqa: SIM115
    raw = cast("ReadableStream", sys.stdin.buffer if opened is None else opened)
    try:
        binary, kind, source, errors = open_decoded(raw)
        text = io.TextIOWrapper(binary, encoding="utf-8-sig", errors="surrogateescape", newline="")
        try:
            yield csv.reader(text, delimiter=delimiter, strict=True)
        except csv.Error as exc:
            raise CliError(f"{shown}: bad CSV: {exc}") from None
        except UnicodeEncodeError as exc:  # a surrogate from a byte that is not UTF-8
            raise CliError(f"{shown}: a value is not valid UTF-8: {exc.reason}") from None
        except errors as exc:
            if source.error is not None:
                raise  # the input failed, not the decoder
            what = "truncated" if isinstance(exc, EOFError) else "corrupt"
            raise CliError(f"{shown}: {what} {kind} data: {exc}") from None
        finally:
            text.detach()
    finally:
        if opened is not None:
            opened.close()


def count_csv(sketch: HyperLogLog, name: str, shown: str, choice: Choice) -> Counted:
    """One column of CSV (csv_rows); rows too short to have the column are
    skipped. Values are added as str, all or nothing."""
    from drisk import update_many
    from drisk._streams import scratch_for

    scratch = scratch_for(sketch)
    items = skipped = 0
    with csv_rows(name, shown, choice.delimiter) as rows:
        index = column_index(next(rows, None), choice, shown) if choice.header else int(choice.column or 1) - 1
        batch: list[str] = []
        for row in rows:
            if len(row) > index:
                batch.append(row[index])
            else:
                skipped += 1
            if len(batch) == BATCH_ROWS:
                items += update_many(scratch, batch)
                batch.clear()
        items += update_many(scratch, batch)
    sketch.merge(scratch)
    return Counted(items, skipped)


def column_index(header: list[str] | None, choice: Choice, shown: str) -> int:
    if header is None:
        raise CliError(f"{shown}: no header row: the input is empty")
    if isinstance(choice.column, int):
        if choice.column > len(header):
            raise CliError(f"{shown}: no column {choice.column}: the header has {len(header)}")
        return choice.column - 1
    if choice.column not in header:
        raise CliError(f"{shown}: no column {choice.column!r} (columns: {', '.join(header)})")
    return header.index(str(choice.column))


def count_table(sketch: HyperLogLog, name: str, shown: str, kind: str, choice: Choice) -> Counted:
    """One column of a Parquet, Arrow IPC or Feather file, batch by batch
    through update_many's Arrow path; nulls are skipped."""
    what = TABLE_NAMES[kind]
    refuse_feather_version_1(kind, shown)
    if choice.csv or choice.fields != WHOLE_LINES:
        raise CliError(f"{shown} is {what}, not text: pick one of its columns with --column alone")
    if choice.column is None:
        raise CliError(f"{shown} is {what}: pass --column NAME (or N) to count one of its columns")
    try:
        pa = importlib.import_module("pyarrow")
    except ImportError:
        raise CliError(f"{shown} is {what}: reading it needs pyarrow (pip install 'drisk[arrow]')") from None
    from drisk import update_many
    from drisk._streams import scratch_for

    source = name
    if name == "-":
        if kind != "Arrow IPC stream" and not _seekable(sys.stdin.buffer):
            raise CliError(f"{shown} is {what}, which cannot be read through a pipe: pass its path")
        source = sys.stdin.buffer  # type: ignore[assignment]
    scratch = scratch_for(sketch)
    items = rows = 0
    try:
        started = _AHEAD.pop(name, None) if name != "-" else None
        reading = started if started is not None else prefetched(_column_batches(source, kind, choice, shown))
        column = next(reading)
        for batch in reading:
            checked(batch, column, rows, shown)
            rows += len(batch)
            items += update_many(scratch, batch)
    except (OSError, ValueError, TypeError, pa.ArrowException) as exc:
        # ArrowException: most of pyarrow's errors derive from the others too,
        # but not all (a schema naming a 4-bit integer is NotImplementedError,
        # a stream naming a dictionary it never sent a KeyError).
        raise CliError(f"{shown}: cannot read {what}: {exc}") from None
    sketch.merge(scratch)
    return Counted(items, rows - items)


def refuse_feather_version_1(kind: str, shown: str) -> None:
    """Feather's first version is refused: pyarrow reads it without checking
    it (a damaged file crashed the process in pyarrow's reader, before any
    of drisk's checks could run) and has deprecated it. Its successor, the
    Arrow IPC file, is read and checked."""
    if kind == "Feather":
        raise CliError(
            f"{shown} is a Feather version 1 file, which drisk does not read (pyarrow reads that deprecated "
            f"format unchecked): write it again as Arrow IPC (Feather version 2) first"
        )


#: The read-ahead threads started, each with the event that stops it.
_READERS: list[tuple[Any, Any]] = []


def stop_reading(timeout: float) -> bool:
    """Stops every read-ahead thread and waits for them to end, up to
    `timeout` seconds in all; whether they did. A thread left running at
    the interpreter's shutdown would be ended there inside whatever it was
    freeing: a pyarrow reader's destructor, which aborts the process."""
    import time

    for _, stop in _READERS:
        stop.set()
    deadline = time.monotonic() + timeout
    for thread, _ in _READERS:
        thread.join(max(0.0, deadline - time.monotonic()))
    return not any(thread.is_alive() for thread, _ in _READERS)


def prefetched(items: Iterable[Any], depth: int = 2) -> Iterator[Any]:
    """The items of `items`, taken from it by a thread of their own up to
    `depth` ahead, so that reading a file's next batch (pyarrow decodes
    without the interpreter lock) overlaps hashing this one. The thread
    starts at once, before the first item is asked for; it stops when the
    iterator is exhausted, closed or dropped. A failure of the reading is
    raised here, where the item would have come."""
    import queue
    import threading
    import weakref

    ahead: queue.Queue[tuple[bool, Any]] = queue.Queue(maxsize=depth)
    stop = threading.Event()

    def put(entry: tuple[bool, Any]) -> bool:
        while not stop.is_set():
            try:
                ahead.put(entry, timeout=0.05)
                return True
            except queue.Full:
                continue
        return False

    def read() -> None:
        try:
            for item in items:
                if not put((True, item)):
                    return
            put((False, None))
        except BaseException as exc:  # noqa: BLE001 (anything the reading raises is the consumer's)
            put((False, exc))

    def drain() -> Iterator[Any]:
        try:
            while True:
                more, item = ahead.get()
                if not more:
                    if item is not None:
                        raise item
                    return
                yield item
        finally:
            stop.set()

    taken = drain()
    weakref.finalize(taken, stop.set)
    thread = threading.Thread(target=read, name="drisk-read-ahead", daemon=True)
    _READERS[:] = [(t, s) for t, s in _READERS if t.is_alive()]
    _READERS.append((thread, stop))
    thread.start()
    return taken


def checked(column: Any, name: str, first_row: int, shown: str) -> None:
    """A column read from a file, validated in full before anything reads
    its values: a file is not to be trusted (pyarrow's readers check a
    binary column's first and last offsets, not those between)."""
    pa = importlib.import_module("pyarrow")
    try:
        column.validate(full=True)
    except pa.ArrowInvalid as exc:
        where = f" (in the batch from row {first_row})" if first_row else ""
        raise CliError(f"{shown}: the column {name!r} is damaged{where}: {exc}") from None


def _seekable(stream: object) -> bool:
    try:
        return bool(stream.seekable()) and os.fstat(stream.fileno()).st_size > 0  # type: ignore[attr-defined]
    except (AttributeError, OSError, ValueError):
        return False


#: The table files whose reading has started ahead of their turn (_read_ahead).
_AHEAD: dict[str, Iterator[Any]] = {}


def _read_ahead(name: str, choice: Choice) -> None:
    """Starts reading the table file `name` (its column's name, then its
    batches, a couple ahead) on a thread of its own, for count_table to take
    up at its turn: the next file's first batches are decoded while this one
    is counted. Anything but a table file is left for its turn, as is any
    failure of the reading, which comes out there."""
    if name == "-" or name in _AHEAD:
        return
    try:
        kind = table_kind(head_of(name))
    except OSError:
        return
    if kind is None or kind == "Feather" or choice.csv or choice.fields != WHOLE_LINES or choice.column is None:
        return
    _AHEAD[name] = prefetched(_column_batches(name, kind, choice, quoted(name)))


def _column_batches(source: object, kind: str, choice: Choice, shown: str) -> Iterator[Any]:
    """The name of the column `choice` picks from a table file, then its
    arrays, batch by batch."""
    names, batches = _table_batches(source, kind)
    column = _table_column(names, choice, shown)
    yield column
    yield from batches(column)


def _table_batches(source: object, kind: str) -> tuple[list[str], Callable[[str], Iterable[Any]]]:
    """The column names of a table file and a function giving one column's
    arrays, batch by batch. (pyarrow is untyped: imported by name.)"""
    pa = importlib.import_module("pyarrow")
    if kind == "Parquet":
        pq = importlib.import_module("pyarrow.parquet")
        parquet = pq.ParquetFile(source)
        return parquet.schema_arrow.names, lambda column: (
            b.column(0) for b in parquet.iter_batches(batch_size=TABLE_BATCH_ROWS, columns=[column])
        )
    reader = pa.ipc.open_file(source) if kind == "Arrow IPC" else pa.ipc.open_stream(source)
    names = reader.schema.names
    if kind == "Arrow IPC":
        return names, lambda column: (
            reader.get_batch(k).column(names.index(column)) for k in range(reader.num_record_batches)
        )
    return names, lambda column: (batch.column(names.index(column)) for batch in reader)


def _table_column(names: list[str], choice: Choice, shown: str) -> str:
    if isinstance(choice.column, int):
        if choice.column > len(names):
            raise CliError(f"{shown}: no column {choice.column}: the table has {len(names)}")
        return names[choice.column - 1]
    if choice.column not in names:
        raise CliError(f"{shown}: no column {choice.column!r} (columns: {', '.join(names)})")
    return str(choice.column)
