"""Grouped sketches of inputs that arrive as a stream: sketch_by(),
count_by() and rollup() of a RecordBatchReader, a DuckDB result, a pyarrow
dataset or scanner, or anything else exporting an Arrow stream.

Such an input is never read whole. Its batches, cut down to the columns the
call reads, are gathered into chunks. sketch_by() feeds each chunk to one
group table in the core (GroupTable): the chunk's keys are numbered, its
values absorbed into the groups' sketches, and of the chunk only the rows
that start a new group are kept, for their keys; the sketches are packed
once, at the end. Keys the core does not group on, and rollup() (whose
rows are sketches), go through the in-memory path a chunk of about
CHUNK_BYTES at a time, each chunk leaving a partial sketch table; the
partial tables are rolled up together whenever their rows pass twice those
of the last roll-up (and ROLLUP_ROWS), and once at the end.

So memory holds a chunk, the groups' sketches and their keys, whatever the
length of the input; and no key column is ever concatenated past one chunk,
so Arrow's 2 GiB limit on the offsets of a string column is not met either
(the kept keys are held as large_string or large_binary, and the result has
the input's key types again where its keys fit them).

The result is the in-memory path's, group for group: a union of sketches of
one precision has exactly the registers of one sketch of all their values,
and keys are numbered by the same rules in both.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable, Iterator
from typing import Any

#: Bytes of the read columns gathered into one chunk before it is sketched.
CHUNK_BYTES = 256 << 20
#: The same for rollup(): its rows are sketches, hundreds of bytes each, and
#: the partial tables are small beside them.
ROLLUP_CHUNK_BYTES = 32 << 20
#: Partial rows below which the partial tables are not rolled up before the end.
ROLLUP_ROWS = 1 << 20
#: Bytes of the read columns gathered into one batch of a group table.
TABLE_CHUNK_BYTES = 64 << 20
#: Batches of a file, and files, a dataset scan reads ahead. pyarrow's
#: defaults, 16 and 4, held 120-150 MiB more of decoded batches at the peak
#: of a month's sketch_by, for no time saved on two cores.
SCAN_BATCHES_AHEAD = 4
SCAN_FILES_AHEAD = 1
#: Rows a batch asked of a DuckDB result.
DUCKDB_BATCH_ROWS = 1 << 16


def stream_reader(data: Any, columns: list[str], keys: list[str], pa: Any) -> Any:
    """A RecordBatchReader over `data` when it is a stream to read a batch at
    a time (anything with an Arrow stream that is not a pyarrow Table, and a
    pyarrow dataset or scanner, read for `columns` only); None for a table in
    memory."""
    dataset = sys.modules.get("pyarrow.dataset")
    if dataset is not None:
        if isinstance(data, dataset.Dataset):
            if any(name not in data.schema.names for name in columns):
                return data.scanner().to_reader()  # the caller names what is missing
            scanner = _keys_as_dictionaries(data, keys, dataset, pa).scanner(
                columns=columns,
                memory_pool=scan_pool(pa),
                batch_readahead=SCAN_BATCHES_AHEAD,
                fragment_readahead=SCAN_FILES_AHEAD,
            )
            return scanner.to_reader()
        if isinstance(data, dataset.Scanner):
            return data.to_reader()
    if isinstance(data, pa.RecordBatchReader):
        return data
    if isinstance(data, (pa.Table, pa.RecordBatch)) or not hasattr(data, "__arrow_c_stream__"):
        return None
    if type(data).__module__.startswith("duckdb") and hasattr(data, "to_arrow_reader"):
        # DuckDB's own stream hands over a million rows a batch, which for
        # a column of sketches is a few hundred MiB at once.
        try:
            return data.to_arrow_reader(DUCKDB_BATCH_ROWS)
        except TypeError:
            pass
    if not hasattr(pa.RecordBatchReader, "from_stream"):  # pyarrow before 15
        return None
    return pa.RecordBatchReader.from_stream(data)


def empty_table(schema: Any, pa: Any) -> Any:
    """A table of `schema` with no rows. Not schema.empty_table(), which
    imports pandas where it is installed (a third of a second in the tool's
    process)."""
    return pa.Table.from_batches([], schema=schema)


def scan_pool(pa: Any) -> Any:
    """The memory pool a scan's decoded buffers come from: jemalloc where
    pyarrow has it, else the system's allocator. Not pyarrow's default,
    mimalloc, which gives freed pages back and faults them in again as huge
    pages, which some virtual machines zero slowly (the 30 days' Parquet took
    twice the time, most of it in the kernel). Against the system's
    allocator, jemalloc keeps the scan's threads' freed buffers from
    scattering over per-thread heaps: the month's peak was 50-100 MiB lower,
    and the tool's count --column spent a third less in the kernel."""
    try:
        return pa.jemalloc_memory_pool()
    except NotImplementedError:  # a pyarrow built without it (Windows)
        return pa.system_memory_pool()


def reads_as_arrow(data: Any) -> bool:
    """Whether `data` is read as Arrow: a table or array in memory, any
    Arrow stream, or a pyarrow dataset or scanner."""
    dataset = sys.modules.get("pyarrow.dataset")
    if dataset is not None and isinstance(data, (dataset.Dataset, dataset.Scanner)):
        return True
    return hasattr(data, "__arrow_c_stream__") or hasattr(data, "__arrow_c_array__")


def text_types(pa: Any) -> tuple[Any, ...]:
    """The string and binary types whose columns a Parquet file can hand
    over as dictionaries."""
    return (pa.string(), pa.large_string(), pa.binary(), pa.large_binary())


def source_schema(data: Any, reader: Any) -> Any:
    """The schema of the data itself: a dataset's own, where its reader
    may read text keys as dictionaries; else the reader's."""
    dataset = sys.modules.get("pyarrow.dataset")
    return data.schema if dataset is not None and isinstance(data, dataset.Dataset) else reader.schema


def _keys_as_dictionaries(data: Any, keys: list[str], dataset: Any, pa: Any) -> Any:
    """A dataset of Parquet files that reads its text key columns as
    dictionaries, as the files store them: a tenth of the time of decoding
    every row's text, and a fraction of the memory the scanner's read-ahead
    holds. Anything else (another format, a filtered dataset, keys from the
    directory names) is read as it is."""
    text = text_types(pa)
    partitioning = getattr(data, "partitioning", None)
    partitioned = set(partitioning.schema.names) if partitioning is not None else set()
    wanted = [name for name in keys if data.schema.field(name).type in text and name not in partitioned]
    if (
        not wanted
        or type(data) is not dataset.FileSystemDataset
        or not isinstance(data.format, dataset.ParquetFileFormat)
        or getattr(data, "_scan_options", None)
    ):
        return data
    try:
        fragments = list(data.get_fragments())
        old = data.format.read_options
        options = dataset.ParquetReadOptions(
            dictionary_columns=wanted, coerce_int96_timestamp_unit=old.coerce_int96_timestamp_unit
        )
        schema = pa.schema(
            [
                pa.field(f.name, pa.dictionary(pa.int32(), f.type), f.nullable) if f.name in wanted else f
                for f in data.schema
            ]
        )
        return dataset.FileSystemDataset.from_paths(
            [fragment.path for fragment in fragments],
            schema=schema,
            format=dataset.ParquetFileFormat(
                read_options=options, default_fragment_scan_options=data.format.default_fragment_scan_options
            ),
            filesystem=data.filesystem,
            partitions=[fragment.partition_expression for fragment in fragments],
        )
    except (AttributeError, TypeError, ValueError):  # an older pyarrow
        return data


def chunks(reader: Any, columns: list[str], pa: Any, chunk_bytes: int) -> Iterator[Any]:
    """The reader's batches, cut to `columns`, as tables of about `chunk_bytes`."""
    gathered: list[Any] = []
    size = 0
    for batch in reader:
        batch = batch.select(columns)
        gathered.append(batch)
        size += batch.nbytes
        if size >= chunk_bytes:
            chunk = pa.Table.from_batches(gathered, schema=gathered[0].schema)
            gathered, size = [], 0
            yield chunk
            del chunk  # not kept while the next chunk is gathered
    if gathered:
        yield pa.Table.from_batches(gathered, schema=gathered[0].schema)


def _widened(table: Any, keys: list[str], pa: Any) -> Any:
    """`table` with its string and binary keys in their 64-bit-offset form."""
    for name in keys:
        kind = table.schema.field(name).type
        wide = {pa.string(): pa.large_string(), pa.binary(): pa.large_binary()}.get(kind)
        if wide is not None:
            table = table.set_column(table.schema.get_field_index(name), name, table.column(name).cast(wide))
    return table


class GroupTable:
    """Sketches per group of batches added one by one, through one group
    table in the core (drisk._grouped.group_table): batches are gathered
    into chunks of about `chunk_bytes`; each chunk's keys are numbered and
    its values absorbed into the groups' sketches, which stay in the core
    until finish(); of each chunk only the rows that start a new group are
    kept, for their keys. probe() comes first; every batch's key columns
    must have the types it saw (same_keys() tells)."""

    def __init__(self, keys: list[str], values: str, p: int, pa: Any, chunk_bytes: int | None = None) -> None:
        import drisk._grouped as _grouped
        import drisk._tables as _tables  # which imports this module

        self._grouped, self._tables = _grouped, _tables
        self.keys, self.values, self.pa = keys, values, pa
        self.pc = importlib.import_module("pyarrow.compute")
        self.table = _grouped.group_table(p)
        self.chunk_bytes = TABLE_CHUNK_BYTES if chunk_bytes is None else chunk_bytes
        self.key_types: list[Any] | None = None
        self.pieces: list[list[Any]] = [[] for _ in keys]
        self.gathered: list[Any] = []
        self.size = 0

    def same_keys(self, schema: Any) -> bool:
        """Whether batches of `schema` may join this table."""
        return [schema.field(name).type for name in self.keys] == self.key_types

    def probe(self, schema: Any) -> bool:
        """Whether the core groups on the keys of `schema` (False: only
        pyarrow does); reads nothing."""
        empty = empty_table(schema, self.pa).select([*self.keys, self.values])
        try:
            self._grouped.add_rows(self.table, empty.select(self.keys), empty.column(self.values))
        except TypeError:
            return False
        self.key_types = [empty.schema.field(name).type for name in self.keys]
        return True

    def add(self, batch: Any) -> None:
        batch = batch.select([*self.keys, self.values])
        if self.gathered and batch.schema != self.gathered[0].schema:
            self._flush()  # the values' type changed: a chunk holds one schema
        self.gathered.append(batch)
        self.size += batch.nbytes
        if self.size >= self.chunk_bytes:
            self._flush()

    def _flush(self) -> None:
        if not self.gathered:
            return
        pa, keys = self.pa, self.keys
        chunk = pa.Table.from_batches(self.gathered, schema=self.gathered[0].schema)
        self.gathered, self.size = [], 0
        # One key column the core numbers alone (an integer by its value, a
        # dictionary by its entries). Several that are integers of small
        # range (days, a Parquet file's dictionary indices) are numbered
        # within the chunk without hashing: the table then numbers one row
        # per group of the chunk.
        small = None if len(keys) == 1 else self._tables._small_integer_ids(chunk, keys, pa, self.pc, chunk.num_rows)
        if small is not None:
            ids, _, key_columns = small
            key_rows = pa.table(key_columns, names=keys)
            first = self._grouped.add_rows(self.table, key_rows, chunk.column(self.values), ids)
        else:
            key_rows = chunk.select(keys)
            first = self._grouped.add_rows(self.table, key_rows, chunk.column(self.values))
        if first:
            for k, name in enumerate(keys):
                taken = self._tables.first_rows_of(key_rows.column(name), first, pa)
                self.pieces[k].append(_widened_column(taken, pa))

    def finish(self, key_types: dict[str, Any]) -> Any:
        """The sketch table (the keys and "sketch"), its keys in `key_types`
        (name to type) where they fit."""
        columns = self._key_columns(key_types)
        sketches = self._tables.binary_array(self._grouped.table_sketches(self.table))
        return _typed(self.pa.table([*columns, sketches], names=[*self.keys, "sketch"]), key_types, self.pa)

    def counts(self, key_types: dict[str, Any], confidence: float | None) -> Any:
        """The keys and each group's "estimate" (and with a confidence its
        "lower" and "upper" bounds), as count_by() of a table gives them,
        without packing the sketches."""
        pa = self.pa
        columns = self._key_columns(key_types)
        names = list(self.keys)
        for name, data in zip(("estimate", "lower", "upper"), self._grouped.table_estimates(self.table, confidence)):
            if data is not None:
                columns.append(pa.Array.from_buffers(pa.float64(), len(data) // 8, [None, pa.py_buffer(data)]))
                names.append(name)
        return _typed(pa.table(columns, names=names), key_types, pa)

    def _key_columns(self, key_types: dict[str, Any]) -> list[Any]:
        self._flush()
        pa = self.pa
        columns = []
        for k, name in enumerate(self.keys):
            kind = self.pieces[k][0].type if self.pieces[k] else key_types[name]
            column = pa.chunked_array(self.pieces[k], kind)
            if pa.types.is_dictionary(kind):
                column = column.unify_dictionaries()
            columns.append(column.combine_chunks())
        return columns


#: table_stream()'s default: the sketches, not the counts.
SKETCHES = object()


def table_stream(
    reader: Any, key_types: dict[str, Any], values: str, p: int, pa: Any, confidence: Any = SKETCHES
) -> Any:
    """The sketch table of a whole stream through one GroupTable, or given a
    confidence (None for none) its counts (GroupTable.counts); None when
    the core does not group on these keys (the caller goes through
    grouped_stream())."""
    table = GroupTable(list(key_types), values, p, pa)
    if not table.probe(reader.schema):
        return None
    for batch in reader:
        table.add(batch)
    return table.finish(key_types) if confidence is SKETCHES else table.counts(key_types, confidence)


def _widened_column(column: Any, pa: Any) -> Any:
    wide = {pa.string(): pa.large_string(), pa.binary(): pa.large_binary()}.get(column.type)
    return column if wide is None else column.cast(wide)


def _typed(table: Any, key_types: dict[str, Any], pa: Any) -> Any:
    """`table` with its keys in `key_types` (name to type) where they fit."""
    for name, kind in key_types.items():
        if table.schema.field(name).type != kind:
            try:
                table = table.set_column(table.schema.get_field_index(name), name, table.column(name).cast(kind))
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                pass  # keys past 2 GiB of text stay in the large form
    return table


def grouped_stream(
    reader: Any,
    key_types: dict[str, Any],
    columns: list[str],
    partial: Callable[[Any], Any],
    rollup: Callable[[Any], Any],
    pa: Any,
    chunk_bytes: int | None = None,
) -> Any:
    """The sketch table of a whole stream: `partial` makes one chunk's table
    (keys and "sketch"), `rollup` unites tables of those by the keys; the
    keys come back in `key_types` (name to type) where they fit."""
    keys = list(key_types)
    parts: list[Any] = []
    rows = 0
    settled = 0  # rows after the last roll-up
    for chunk in chunks(reader, columns, pa, CHUNK_BYTES if chunk_bytes is None else chunk_bytes):
        part = _widened(partial(chunk), keys, pa)
        del chunk  # nor here
        parts.append(part)
        rows += part.num_rows
        if len(parts) > 1 and rows > max(2 * settled, ROLLUP_ROWS):
            parts = [_widened(rollup(pa.concat_tables(parts)), keys, pa)]
            rows = settled = parts[0].num_rows
    if not parts:
        parts = [_widened(partial(empty_table(reader.schema, pa).select(columns)), keys, pa)]
    table = parts[0] if len(parts) == 1 else rollup(pa.concat_tables(parts))
    return _typed(table, key_types, pa)
