"""Per-group counts for the drisk tool (`drisk count --by`), and the tables
of group sketches that `--save` writes and `merge` and `show` read.

Lines (files, standard input, compressed input) go to the C++ core in one
call (drisk._linegroups.group_lines), which reads them through LineInputs,
finds each line's key and value fields and keeps one sketch per key. A CSV
column and a table's column go through sketch_by() (pyarrow), CSV a batch of
rows at a time, and the sketches of the batches and files are rolled up by
key.

A table of group sketches is a Parquet file with the key column and
`sketch`, each group's sketch packed (drisk.unpack reads it): the table
sketch_by() gives, which rollup() can union to coarser keys later.
"""

from __future__ import annotations

import contextlib
import heapq
import importlib
import io
import itertools
import os
import sys
from collections.abc import Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any, cast

import drisk._grouped as _grouped
from drisk import HyperLogLog, summary, unpack
from drisk._cli_files import CliError, escaped, note, quoted, reason
from drisk._cli_inputs import (
    TABLE_NAMES,
    Choice,
    _seekable,
    _table_column,
    checked,
    column_index,
    csv_rows,
    head_of,
    looks_binary,
    prefetched,
    refuse_feather_version_1,
    table_kind,
)
from drisk._stream import text_types
from drisk._streams import Progress

if TYPE_CHECKING:
    from drisk._streams import ReadableStream

#: The name of the key column of a saved table of line groups.
LINE_KEY = "key"
#: CSV rows sketched at a time.
BATCH_ROWS = 256 * 1024
#: Distinct 64-bit hashes there can be: the most any estimate can mean.
HASH_SPACE = 2.0**64
#: What reading or writing a table of group sketches needs.
PYARROW_NEEDED = "needs pyarrow (pip install 'drisk[arrow]')"


class Groups:
    """The groups of one count: keys (bytes for lines, Python values for
    CSV and tables), their figures, the packed sketches when kept, and the
    items and skipped lines or rows."""

    def __init__(self) -> None:
        self.keys: list[Any] = []
        self.estimates: list[float] = []
        self.lower: list[float] = []
        self.upper: list[float] = []
        self.sketches: list[bytes] | None = None
        self.key_name = LINE_KEY
        self.items = 0
        self.skipped = 0
        self.table: Any = None  # the sketch table of CSV and tables, for --save
        # CSV and tables: the groups' sketch column and the confidence, for
        # the intervals of the groups printed alone (bounds()).
        self.cells: Any = None
        self.confidence = 0.95

    def bounds(self, k: int) -> tuple[float, float]:
        """Group k's interval: as computed, or from its sketch when only
        the estimates were."""
        if self.lower:
            return self.lower[k], self.upper[k]
        info = summary(unpack(self.cells[k].as_py()), self.confidence, "improved")
        return info["lower"], info["upper"]


def require_pyarrow(why: str) -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        raise CliError(f"{why} {PYARROW_NEEDED}") from None


# --- lines ------------------------------------------------------------------------


class LineInputs:
    """One read function over the decoded bytes of several inputs in turn,
    with a newline put after an input whose last line has none, so that no
    line runs from one input into the next. Its failures are one-line
    errors naming the input."""

    def __init__(self, files: Sequence[str], progress: Progress | None) -> None:
        self.pending = list(files)
        self.progress = progress
        self.opened: io.FileIO | None = None
        self.decoded: IO[bytes] | None = None
        self.source: Any = None
        self.kind: str | None = None
        self.errors: tuple[type[BaseException], ...] = ()
        self.shown = ""
        self.last = 0x0A  # the last byte of the current input, a newline before any

    def close(self) -> None:
        if self.opened is not None:
            self.opened.close()
        self.opened = self.decoded = None

    def read(self, view: memoryview) -> int:
        while True:
            if self.decoded is None:
                if not self.pending:
                    return 0
                self.open(self.pending.pop(0))
            got = self.read_current(view)
            if got:
                self.last = view[got - 1]
                return got
            self.close()
            if self.last != 0x0A:
                self.last = 0x0A
                view[0] = 0x0A
                return 1

    def open(self, name: str) -> None:
        from drisk._compressed import open_decoded

        self.shown = shown = "standard input" if name == "-" else quoted(name)
        try:
            head = head_of(name)
            kind = table_kind(head)
            if kind is not None:
                raise CliError(f"{shown} is {TABLE_NAMES[kind]}, not text: with --by, pick its columns with --column")
            if looks_binary(head):
                note(f"{shown} holds NUL bytes, as binary files do: counting its lines all the same")
            self.opened = None if name == "-" else open(name, "rb", buffering=0)  # noqa: SIM115
            raw = cast("ReadableStream", sys.stdin.buffer if self.opened is None else self.opened)
            if self.opened is not None and self.progress is not None:
                raw = ProgressReader(self.opened, self.progress)
            self.decoded, self.kind, self.source, self.errors = open_decoded(raw)
        except OSError as exc:
            self.close()
            raise CliError(f"cannot read {shown}: {reason(exc)}") from None
        except (ValueError, ModuleNotFoundError) as exc:
            self.close()
            raise CliError(f"{shown}: {exc}") from None

    def read_current(self, view: memoryview) -> int:
        assert self.decoded is not None
        try:
            return cast("ReadableStream", self.decoded).readinto(view) or 0
        except self.errors as exc:
            if self.source.error is not None:
                raise CliError(f"cannot read {self.shown}: {error_text(self.source.error)}") from None
            what = "truncated" if isinstance(exc, EOFError) else "corrupt"
            raise CliError(f"{self.shown}: {what} {self.kind} data: {exc}") from None
        except OSError as exc:
            raise CliError(f"cannot read {self.shown}: {reason(exc)}") from None
        except ValueError as exc:
            raise CliError(f"{self.shown}: {exc}") from None


class ProgressReader:
    """A file whose reads are reported to a progress bar, in bytes of the
    file (compressed or not), as the size the bar was given counts them."""

    def __init__(self, raw: io.FileIO, progress: Progress) -> None:
        self.raw, self.progress = raw, progress

    def readinto(self, buffer: Any) -> int | None:
        got = self.raw.readinto(buffer)
        if got:
            self.progress(got)
        return got

    def fileno(self) -> int:
        return self.raw.fileno()

    def isatty(self) -> bool:
        return self.raw.isatty()


def error_text(exc: BaseException) -> str:
    return reason(exc) if isinstance(exc, OSError) else str(exc)


def count_lines_by(
    files: Sequence[str],
    key: tuple[int, ...],
    values: tuple[int, ...],
    delimiter: int,
    p: int,
    confidence: float | None,
    keep: bool,
    progress: Progress | None,
) -> Groups:
    """Per-key sketches of the `values` fields of every line of `files`;
    the bounds only with a confidence."""
    from drisk._linegroups import group_lines

    inputs = LineInputs(files, progress)
    try:
        keys, estimates, lower, upper, sketches, items, skipped = group_lines(
            inputs.read, key, values, delimiter, p, confidence, keep
        )
    finally:
        inputs.close()
    groups = Groups()
    groups.keys, groups.estimates, groups.lower, groups.upper = keys, estimates, lower or [], upper or []
    groups.sketches, groups.items, groups.skipped = sketches, items, skipped
    return groups


# --- CSV and tables -----------------------------------------------------------------


def count_columns_by(
    files: Sequence[str], choice: Choice, by: Sequence[str | int], p: int, confidence: float, keep: bool
) -> Groups:
    """Per-key sketches of a CSV column (with --csv) or a table's column; `by`
    names or numbers one key column or several."""
    pa = require_pyarrow("--by with --csv or a table")
    from drisk import rollup

    tables: list[Any] = []
    groups = Groups()
    key_names: list[str] = []
    check_table_columns(files, choice, by, pa)
    shared = SharedTables(p, pa)
    for i, name in enumerate(files):
        shown = "standard input" if name == "-" else quoted(name)
        try:
            kind = table_kind(head_of(name))
            if kind is not None and i + 1 < len(files):
                shared.read_ahead(files[i + 1], choice, by)
            if kind is None and not choice.csv:
                raise CliError(f"{shown}: --column reads CSV (with --csv) or Parquet, Arrow IPC and Feather files")
            if kind is not None and choice.csv:
                raise CliError(f"{shown} is {TABLE_NAMES[kind]}, not CSV: drop --csv")
            sketched: list[Any] = []
            if kind is None:
                names, items, skipped = csv_sketches(name, shown, choice, by, pa, shared)
            else:
                sketched, names, items, skipped = table_sketches(name, shown, kind, choice, by, p, pa, shared)
        except OSError as exc:
            raise CliError(f"cannot read {shown}: {reason(exc)}") from None
        except (ValueError, TypeError, ModuleNotFoundError, pa.ArrowException) as exc:
            raise CliError(f"{shown}: {exc}") from None
        if not key_names:
            key_names = names
        tables.extend(t.rename_columns([*key_names, "sketch"]) for t in sketched)
        groups.items += items
        groups.skipped += skipped
    try:
        shared.close()
        alone = not tables and len(shared.done) == 1  # one group table: each key once already
        tables.extend(t.rename_columns([*key_names, "sketch"]) for t in shared.done)
        if alone:
            whole = tables[0]
        else:
            whole = rollup(pa.concat_tables(tables), key_names) if tables else None
    except (ValueError, TypeError, pa.ArrowException) as exc:  # keys of different types, say
        raise CliError(f"cannot put the inputs' groups together: {exc}") from None
    return fill_groups(groups, whole, key_names, confidence, keep)


def fill_groups(groups: Groups, whole: Any, key_names: list[str], confidence: float, keep: bool) -> Groups:
    """`groups` with the keys and figures of a sketch table (None: none)."""
    groups.key_name = ",".join(key_names)
    if keep and whole is not None:
        groups.table = whole
    if whole is None or whole.num_rows == 0:
        return groups
    columns = [whole.column(key).to_pylist() for key in key_names]
    groups.keys = columns[0] if len(columns) == 1 else list(zip(*columns))
    # Every group's estimate in one pass in C++ (the ranking needs them
    # all); the intervals only for the groups printed with --json.
    groups.cells = whole.column("sketch")
    groups.confidence = confidence
    groups.estimates = cast("list[float]", memoryview(_grouped.estimates(groups.cells)).cast("d").tolist())
    return groups


def merge_by(paths: Sequence[str], keys: list[str], confidence: float, keep: bool) -> tuple[Groups, set[int]]:
    """The group sketches of several tables of group sketches (count --by
    --save's, or any Parquet table with these key columns and a binary
    `sketch` column) rolled up by `keys`, and the precisions they held.
    Every table's columns are checked before any table's rows are read;
    then the key and sketch columns alone are read, a batch at a time, each
    batch checked in full, and rolled up as one stream."""
    pa = require_pyarrow("merge --by")
    pq = importlib.import_module("pyarrow.parquet")
    from drisk import rollup

    files = []
    for path in paths:
        shown = quoted(path)
        if not is_table(path):
            raise CliError(f"{shown} is not a table of group sketches (merge --by reads Parquet tables)")
        with reading_table(shown, pa):
            parquet = pq.ParquetFile(path)
        names = parquet.schema_arrow.names
        for name in [*keys, "sketch"]:
            if name not in names:
                raise CliError(f"{shown}: no column {name!r} (columns: {', '.join(names)})")
        kind = parquet.schema_arrow.field("sketch").type
        if not (pa.types.is_binary(kind) or pa.types.is_large_binary(kind)):
            raise CliError(f"{shown} is not a valid sketch table: its 'sketch' column holds {kind}, not binary")
        files.append((path, parquet))
    wanted = [*keys, "sketch"]
    schema = pa.schema([files[0][1].schema_arrow.field(name) for name in wanted])
    seen: set[int] = set()

    def batches() -> Any:
        for path, parquet in files:
            shown = quoted(path)
            rows = 0
            try:
                for batch in parquet.iter_batches(batch_size=1 << 16, columns=wanted):
                    for name in wanted:
                        checked(batch.column(name), name, rows, shown)
                    seen.update(precisions(batch.column("sketch")))
                    rows += batch.num_rows
                    yield batch.cast(schema)
            except (OSError, ValueError, TypeError, pa.ArrowException) as exc:
                raise CliError(f"{shown}: {exc}") from None

    try:
        whole = rollup(pa.RecordBatchReader.from_batches(schema, batches()), keys)
    except (ValueError, TypeError, pa.ArrowException) as exc:
        raise CliError(f"cannot put the tables' groups together: {exc}") from None
    return fill_groups(Groups(), whole, keys, confidence, keep), seen


def check_table_columns(files: Sequence[str], choice: Choice, by: Sequence[str | int], pa: Any) -> None:
    """Every table file's columns named, checked against its schema before
    any file's rows are read (a file that cannot be opened is left for the
    reading to report)."""
    for name in files:
        if name == "-":
            continue
        shown = quoted(name)
        try:
            kind = table_kind(head_of(name))
            if kind is None or choice.csv:
                continue
            names = table_reader(name, kind, pa, shown)[0].names
        except (OSError, ValueError, TypeError, pa.ArrowException):
            continue  # the reading says what is wrong
        for column in [choice.column, *by]:
            _table_column(names, Choice(choice.fields, False, column, False, ","), shown)


def csv_sketches(
    name: str, shown: str, choice: Choice, by: Sequence[str | int], pa: Any, shared: SharedTables
) -> tuple[list[str], int, int]:
    """A CSV input's rows (csv_rows) added to the shared group table a batch
    at a time; rows too short for a key or the value are skipped. Values and
    keys are the str the csv module gives."""
    items = skipped = 0
    with csv_rows(name, shown, choice.delimiter) as rows:
        header = next(rows, None) if choice.header else None
        value_index = csv_index(header, choice, choice.column, shown)
        key_indexes = [csv_index(header, choice, key, shown) for key in by]
        if value_index in key_indexes:
            raise CliError(f"{shown}: --by and --column name the same column")
        if header is not None:
            names = [header[index] for index in key_indexes]
        else:
            names = [LINE_KEY] if len(by) == 1 else [f"{LINE_KEY}{k + 1}" for k in range(len(by))]
        need = max(*key_indexes, value_index)
        keys: list[list[str]] = [[] for _ in key_indexes]
        values: list[str] = []
        # Named by position, as a table file's keys are in the shared table.
        positions = [str(k) for k in range(len(key_indexes))]
        inside = pa.schema([pa.field(n, pa.string()) for n in [*positions, "values"]])
        table = shared.table_for(inside, {n: pa.string() for n in positions})
        assert table is not None  # the core groups on text keys

        def flush() -> None:
            if values:
                columns = [pa.array(column, pa.string()) for column in [*keys, values]]
                table.add(pa.RecordBatch.from_arrays(columns, schema=inside))
                for column in keys:
                    column.clear()
                values.clear()

        for row in rows:
            if len(row) > need:
                for column, index in zip(keys, key_indexes):
                    column.append(row[index])
                values.append(row[value_index])
            else:
                skipped += 1
            if len(values) == BATCH_ROWS:
                items += len(values)
                flush()
        items += len(values)
        flush()
    return names, items, skipped


def csv_index(header: list[str] | None, choice: Choice, column: str | int | None, shown: str) -> int:
    if header is None and choice.header:
        raise CliError(f"{shown}: no header row: the input is empty")
    if header is None:
        if isinstance(column, str):
            raise CliError(f"{shown}: a column name needs a header row")
        return int(column or 1) - 1
    picked = Choice(choice.fields, True, column, True, choice.delimiter)
    return column_index(header, picked, shown)


class SharedTables:
    """One group table in the core for the consecutive table files whose
    key columns read as the same types, so that their groups' sketches grow
    in one place instead of a table a file rolled up at the end."""

    def __init__(self, p: int, pa: Any) -> None:
        self.p, self.pa = p, pa
        self.current: Any = None
        self.types: dict[str, Any] = {}
        self.done: list[Any] = []
        # Parquet files whose reading started before their turn: their
        # schema and a function giving the batches already on their way.
        self.ahead: dict[str, tuple[Any, Any]] = {}

    def read_ahead(self, name: str, choice: Choice, by: Sequence[str | int]) -> None:
        """Starts reading the Parquet file `name`'s key and value columns on
        a thread of its own, for its turn. Anything else, and any failure,
        is left for its turn."""
        if name == "-" or name in self.ahead or choice.csv:
            return
        try:
            if table_kind(head_of(name)) != "Parquet":
                return
            schema, batches = table_reader(name, "Parquet", self.pa, quoted(name))
            names = schema.names
            keys, value = table_columns(names, choice, by, quoted(name))
            wanted = [*keys, value]
            reading = batches(wanted)
        except (CliError, OSError, ValueError, TypeError, self.pa.ArrowException):
            return
        self.ahead[name] = (schema, lambda columns: reading if columns == wanted else batches(columns))

    def table_for(self, schema: Any, types: dict[str, Any]) -> Any:
        """The group table for batches of `schema` (the keys first, named by
        position, then "values"), whose keys come back in `types`; None for
        keys only pyarrow groups on."""
        from drisk._stream import GroupTable

        if self.current is not None and self.current.same_keys(schema):
            return self.current
        self.close()
        table = GroupTable(list(types), "values", self.p, self.pa)
        if not table.probe(schema):
            return None
        self.current, self.types = table, types
        return table

    def close(self) -> None:
        if self.current is not None:
            self.done.append(self.current.finish(self.types))
            self.current = None


def table_columns(names: list[str], choice: Choice, by: Sequence[str | int], shown: str) -> tuple[list[str], str]:
    """The key columns and the value column of a table whose columns are
    `names`, as --by and --column name or number them; CliError for a
    column it lacks, a key named twice or a key that is the value."""
    value = _table_column(names, choice, shown)
    keys = [_table_column(names, Choice(choice.fields, False, key, False, ","), shown) for key in by]
    if value in keys:
        raise CliError(f"{shown}: --by and --column name the same column, {value!r}")
    if len(set(keys)) < len(keys):
        raise CliError(f"{shown}: --by names a column twice")
    return keys, value


def table_sketches(
    name: str, shown: str, kind: str, choice: Choice, by: Sequence[str | int], p: int, pa: Any, shared: SharedTables
) -> tuple[list[Any], list[str], int, int]:
    """A table file's groups. Every column named is checked against the
    schema before any row is read; then the key and value columns alone are
    read batch by batch (a Parquet file's text keys as the dictionaries it
    stores), each batch checked in full before anything reads it, and added
    to the shared group table (or, for keys only pyarrow groups on, sketched
    as a stream of its own: the sketch table returned)."""
    from drisk import sketch_by

    what = TABLE_NAMES[kind]
    source: Any = name
    if name == "-":
        if kind != "Arrow IPC stream" and not _seekable(sys.stdin.buffer):
            raise CliError(f"{shown} is {what}, which cannot be read through a pipe: pass its path")
        source = sys.stdin.buffer
    started = shared.ahead.pop(name, None) if name != "-" else None
    schema, batches = started if started is not None else table_reader(source, kind, pa, shown)
    names = schema.names
    keys, value = table_columns(names, choice, by, shown)
    wanted = [*keys, value]
    counts = {"rows": 0, "items": 0}

    def checked_batches() -> Any:
        for batch in batches(wanted):
            for column in wanted:
                checked(batch.column(column), column, counts["rows"], shown)
            counts["rows"] += batch.num_rows
            counts["items"] += batch.num_rows - batch.column(value).null_count
            yield batch

    stream = checked_batches()
    first = next(stream, None)  # its schema: text keys may come as dictionaries
    head = [first] if first is not None else []
    read = first.schema if first is not None else pa.schema([schema.field(column) for column in wanted])
    # In the shared table the keys are named by position: files may name them apart.
    positions = [str(k) for k in range(len(keys))]
    inside = pa.schema([pa.field(n, f.type) for n, f in zip([*positions, "values"], read)])
    table = shared.table_for(inside, {n: schema.field(key).type for n, key in zip(positions, keys)})
    if table is not None:
        for batch in itertools.chain(head, stream):
            table.add(pa.RecordBatch.from_arrays(batch.columns, schema=inside))
        return [], keys, counts["items"], counts["rows"] - counts["items"]
    reader = pa.RecordBatchReader.from_batches(read, itertools.chain(head, stream))
    sketched = sketch_by(reader, keys, value, p)
    for key in keys:  # the file's own key types (text keys were read as dictionaries)
        kind_of = schema.field(key).type
        if sketched.schema.field(key).type != kind_of:
            sketched = sketched.set_column(
                sketched.schema.get_field_index(key), key, sketched.column(key).cast(kind_of)
            )
    return [sketched], keys, counts["items"], counts["rows"] - counts["items"]


def table_reader(source: Any, kind: str, pa: Any, shown: str) -> tuple[Any, Any]:
    """A table file's schema (read from its footer or first message, no
    rows) and a function giving the batches of some of its columns."""
    refuse_feather_version_1(kind, shown)
    if kind == "Parquet":
        pq = importlib.import_module("pyarrow.parquet")
        parquet = pq.ParquetFile(source)
        schema = parquet.schema_arrow

        def parquet_batches(columns: list[str]) -> Any:
            text = text_types(pa)
            keys = [c for c in columns[:-1] if schema.field(c).type in text]
            # Text keys as the dictionaries the file stores: a tenth of the
            # time of decoding each row's text.
            reading = pq.ParquetFile(source, read_dictionary=keys) if keys else parquet
            # Decoded by a thread of its own from now on, a batch or two
            # ahead of the sketching, in batches small enough for the two
            # to overlap.
            return prefetched(reading.iter_batches(batch_size=1 << 18, columns=columns))

        return schema, parquet_batches
    if kind == "Arrow IPC":
        file = pa.ipc.open_file(source)
        return file.schema, lambda columns: (file.get_batch(k).select(columns) for k in range(file.num_record_batches))
    stream = pa.ipc.open_stream(source)
    return stream.schema, lambda columns: (batch.select(columns) for batch in stream)


# --- output -----------------------------------------------------------------------


def capped(value: float) -> float:
    return value if value <= HASH_SPACE else HASH_SPACE


def key_text(key: Any) -> str:
    """A key as the text lines show it: UTF-8 (bytes that are not, as
    \\xNN), anything unprintable escaped so that a group stays on one line;
    a missing key (tables) as the empty text; several keys (--by a,b on
    CSV and tables) separated by tabs."""
    if isinstance(key, tuple):
        return "\t".join(map(key_text, key))
    if key is None:
        return ""
    if isinstance(key, bytes):
        return escaped(key.decode("utf-8", "surrogateescape"))
    return escaped(str(key))


def json_key(key: Any) -> Any:
    """A key as --json gives it: text (bytes that are not UTF-8 as \\xNN),
    a number or boolean as itself, a missing key as null; several keys as a
    list."""
    if isinstance(key, tuple):
        return [json_key(part) for part in key]
    if key is None or isinstance(key, (bool, int, str)):
        return key
    if isinstance(key, float):
        return key if key == key and abs(key) != float("inf") else str(key)
    if isinstance(key, bytes):
        return key.decode("utf-8", "backslashreplace")
    return str(key)


def ranked(groups: Groups, top: int | None) -> list[int]:
    """The groups' positions by estimate (as printed, rounded) descending,
    then by key ascending (a missing key first); the first `top` only."""

    def sortable(key: Any) -> Any:
        if isinstance(key, tuple):
            return tuple(map(sortable, key))
        return (key is not None, key if key is not None else 0)

    def order(k: int) -> tuple[float, Any]:
        return (-round(capped(groups.estimates[k])), sortable(groups.keys[k]))

    positions = range(len(groups.keys))
    if top is not None and top < len(groups.keys):
        return heapq.nsmallest(top, positions, key=order)
    return sorted(positions, key=order)


def group_lines_text(groups: Groups, top: int | None, as_json: bool) -> str:
    order = ranked(groups, top)
    if not as_json:
        return "\n".join(f"{round(capped(groups.estimates[k]))}\t{key_text(groups.keys[k])}" for k in order)
    import json

    def line(k: int) -> str:
        lower, upper = groups.bounds(k)
        record = {"key": json_key(groups.keys[k]), "estimate": capped(groups.estimates[k])}
        return json.dumps({**record, "lower": capped(lower), "upper": capped(upper)}, allow_nan=False)

    return "\n".join(line(k) for k in order)


# --- tables of group sketches ----------------------------------------------------------


def table_bytes(groups: Groups) -> bytes:
    """The Parquet file of a count's group sketches: the key column (a
    string column, binary when some line key is not UTF-8) and `sketch`."""
    pa = require_pyarrow("--save with --by")
    pq = importlib.import_module("pyarrow.parquet")
    table = groups.table
    if table is None:
        keys: list[Any] = groups.keys
        key_type = pa.string()
        try:
            keys = [key.decode("utf-8") for key in groups.keys]
        except UnicodeDecodeError:
            key_type = pa.binary()
            keys = groups.keys
        table = pa.table(
            {
                groups.key_name: pa.array(keys, key_type),
                "sketch": pa.array(groups.sketches or [], pa.large_binary()),
            }
        )
    out = io.BytesIO()
    pq.write_table(table, out)
    return out.getvalue()


def is_table(path: str) -> bool:
    """Whether a file starts as a Parquet file does (a sketch file never
    does: neither form starts with those bytes)."""
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"PAR1"
    except OSError:
        return False  # read_sketch says what is wrong


def precisions(column: Any) -> set[int]:
    """The precisions of a checked sketch column's cells: byte 6 of a packed
    sketch (which starts with 0xE2), byte 0 of a raw one."""
    pa = importlib.import_module("pyarrow")
    pc = importlib.import_module("pyarrow.compute")
    first = pc.binary_slice(column, 0, 1)
    # The magic byte as an Arrow scalar made from buffers: compute functions
    # turn a Python value into one with pa.scalar(), which imports pandas.
    magic = pa.Array.from_buffers(
        pa.binary(), 1, [None, pa.py_buffer(bytes([0, 0, 0, 0, 1, 0, 0, 0])), pa.py_buffer(b"\xe2")]
    )
    stated = pc.if_else(pc.equal(first, magic[0]), pc.binary_slice(column, 6, 7), first)
    return {value[0] for value in pc.unique(stated).to_pylist() if value}


@contextlib.contextmanager
def reading_table(shown: str, pa: Any) -> Iterator[None]:
    """A table of group sketches opened or read: pyarrow's failures as the
    tool's one line."""
    try:
        yield
    except OSError as exc:
        raise CliError(f"cannot read {shown}: {exc}") from None
    except (ValueError, TypeError, pa.ArrowException) as exc:
        raise CliError(f"{shown} is not a valid sketch table: {exc}") from None


class SketchTable:
    """A table of group sketches, read and checked: the union of all its
    groups' sketches, and what show tells about it."""

    def __init__(self, path: str) -> None:
        shown = quoted(path)
        pa = require_pyarrow(f"{shown} is a Parquet file: reading it")
        pq = importlib.import_module("pyarrow.parquet")
        from drisk import rollup

        with reading_table(shown, pa):
            # Not pq.read_table, which goes through pyarrow.dataset, which
            # imports pandas.
            table = pq.ParquetFile(path).read()
        invalid = f"{shown} is not a valid sketch table"
        if "sketch" not in table.column_names:
            raise CliError(f"{invalid}: no 'sketch' column (columns: {', '.join(table.column_names)})")
        column = table.column("sketch")
        if not (pa.types.is_binary(column.type) or pa.types.is_large_binary(column.type)):
            raise CliError(f"{invalid}: its 'sketch' column holds {column.type}, not binary")
        try:
            union = rollup(table.select(["sketch"]), None).column("sketch")[0].as_py()
        except ValueError as exc:
            raise CliError(f"{invalid}: {exc}") from None
        if union is None and table.num_rows > 0:
            raise CliError(f"{invalid}: it holds no sketch, only nulls")
        # No groups at all (no line had the key and the value): an empty
        # sketch of the tool's default precision.
        self.sketch: HyperLogLog = unpack(union) if union is not None else HyperLogLog()
        self.table = table  # checked: its sketch column holds sketches and nulls only
        self.precisions = precisions(column)
        self.groups = table.num_rows
        self.keys = [name for name in table.column_names if name != "sketch"]
        self.file_bytes = os.path.getsize(path)
