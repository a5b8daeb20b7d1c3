"""Sketches per group from raw rows: sketch_by() and count_by().

One pass over a table: the key columns are numbered (each distinct
combination of keys one group, a missing key a group of its own, as SQL's
GROUP BY has it), then the C++ core (drisk._grouped.sketch_rows) hashes the
values column through the same identity as update_many() and keeps one
sketch per group, sparse while small. The result is a frame of the input's
kind with the key columns and the packed sketches (or the estimates), so
that rollup() can later union it to coarser keys.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Sequence
from typing import Any

import drisk._grouped as _grouped
from drisk._columns import refuse_struct_column
from drisk._sketches import error_bounds
from drisk._stream import empty_table, grouped_stream, reads_as_arrow, source_schema, stream_reader, table_stream
from drisk._tables import (
    _require,
    _rollup_arrow,
    binary_array,
    check_columns,
    group_ids,
    key_names,
    pandas_frame,
    pandas_labels,
)

__all__ = ["count_by", "sketch_by"]

DEFAULT_P = 12


def sketch_by(data: Any, by: str | Sequence[str], values: str, p: int = DEFAULT_P) -> Any:
    """One sketch per group of `data`'s rows: a row per distinct combination
    of the `by` columns, holding those columns and `sketch`, the packed
    sketch (drisk.unpack reads it) of precision `p` of the group's `values`.

    A missing key is a group of its own, as in SQL's GROUP BY; missing values
    are skipped (a group whose values are all missing gets an empty sketch).
    Each group's sketch has exactly the registers update_many() gives from
    that group's values alone. The order of the rows is not specified.

    Args:
        data: a pyarrow Table, a polars DataFrame or LazyFrame (read a
            batch at a time), a pandas DataFrame, or anything exporting an
            Arrow stream (a RecordBatchReader, a DuckDB result).
        by: the key column: a name, or a list of names.
        values: the name of the column whose distinct values are sketched.
        p: the precision of the sketches, 4 to 18 (12 by default, as
            everywhere in drisk).

    Returns:
        A table of the same kind as `data` (a pyarrow Table for an Arrow
        stream, a polars DataFrame for a LazyFrame), with the key columns
        and the binary column `sketch`.

    Raises:
        ValueError: for unknown columns, a values column that is also a key,
            a key named "sketch", or a `p` outside 4 to 18; before any work.
        TypeError: for a values column of a type that cannot be counted, a
            key column that cannot be grouped on, or arguments of the wrong
            type; before any work.

    Example:
        >>> import drisk, pyarrow as pa
        >>> events = pa.table({"page": ["/", "/a", "/"], "user": ["ann", "bob", "bob"]})
        >>> table = drisk.sketch_by(events, "page", "user").sort_by("page")
        >>> table.column_names
        ['page', 'sketch']
        >>> [round(drisk.estimate(drisk.unpack(cell))) for cell in table["sketch"].to_pylist()]
        [2, 1]
    """
    keys, kind, table, pa, back, dtypes = _prepare(data, by, values, p, "sketch_by", "sketch")
    if isinstance(table, tuple):
        reader, schema = table
        return _finish(kind, _sketch_stream(reader, schema, keys, values, p, pa), back, dtypes)
    return _finish(kind, _sketch_table(table, keys, values, p, pa), back, dtypes)


def _sketch_table(table: Any, keys: list[str], values: str, p: int, pa: Any) -> Any:
    ids, count, key_columns = group_ids(table, keys, pa, table.num_rows)
    sketches = binary_array(_grouped.sketch_rows(table.column(values), ids, count, p))
    return pa.table([*key_columns, sketches], names=[*keys, "sketch"])


def _sketch_stream(reader: Any, schema: Any, keys: list[str], values: str, p: int, pa: Any) -> Any:
    """sketch_by() of a stream, a chunk at a time into one group table
    (drisk._stream); the keys come back in their types of `schema`."""
    key_types = {name: schema.field(name).type for name in keys}
    table = table_stream(reader, key_types, values, p, pa)
    if table is not None:
        return table
    return grouped_stream(
        reader,
        {name: schema.field(name).type for name in keys},
        [*keys, values],
        lambda chunk: _sketch_table(chunk, keys, values, p, pa),
        lambda parts: _rollup_arrow(parts, keys, "sketch", pa),
        pa,
    )


def count_by(
    data: Any, by: str | Sequence[str], values: str, p: int = DEFAULT_P, confidence: float | None = None
) -> Any:
    """The estimated number of distinct `values` per group, as sketch_by()
    would sketch them but without keeping the sketches.

    Args:
        data: as for sketch_by().
        by: as for sketch_by().
        values: as for sketch_by().
        p: as for sketch_by().
        confidence: if given, the confidence of an interval (0.5 to 0.999, as
            for error_bounds()) added as the columns `lower` and `upper`.

    Returns:
        A table of the same kind as `data`, with the key columns and `estimate`
        (float64), plus `lower` and `upper` when a confidence is given.

    Raises:
        ValueError: as sketch_by() does, and for a confidence outside 0.5 to
            0.999.
        TypeError: as sketch_by() does.

    Example:
        >>> import drisk, polars as pl
        >>> events = pl.DataFrame({"page": ["/", "/a", "/"], "user": ["ann", "bob", "bob"]})
        >>> counts = drisk.count_by(events, "page", "user", confidence=0.95).sort("page")
        >>> counts.columns
        ['page', 'estimate', 'lower', 'upper']
        >>> counts["estimate"].round().to_list()
        [2.0, 1.0]
    """
    if confidence is not None and not (isinstance(confidence, (int, float)) and 0.5 <= confidence <= 0.999):
        # As error_bounds() takes it, checked before any work.
        raise ValueError(f"confidence must be between 0.5 and 0.999 inclusive, got {confidence!r}")
    keys, kind, table, pa, back, dtypes = _prepare(data, by, values, p, "count_by", "estimate", "lower", "upper")
    if isinstance(table, tuple):
        reader, schema = table
        return _finish(kind, _count_stream(reader, schema, keys, values, p, confidence, pa), back, dtypes)
    ids, count, key_columns = group_ids(table, keys, pa, table.num_rows)
    estimate, lower, upper = _grouped.count_rows(table.column(values), ids, count, p, confidence)
    columns = [*key_columns, _floats(pa, estimate)]
    names = [*keys, "estimate"]
    if lower is not None and upper is not None:
        columns += [_floats(pa, lower), _floats(pa, upper)]
        names += ["lower", "upper"]
    return _finish(kind, pa.table(columns, names=names), back, dtypes)


def _count_stream(
    reader: Any, schema: Any, keys: list[str], values: str, p: int, confidence: float | None, pa: Any
) -> Any:
    """count_by() of a stream: through one group table in the core, the
    estimates (and intervals) made there; for keys only pyarrow groups on,
    the sketch table, then each group's estimate (and interval) from its
    sketch, as count_by() of a table gives them."""
    counted = table_stream(reader, {name: schema.field(name).type for name in keys}, values, p, pa, confidence)
    if counted is not None:
        return counted
    table = _sketch_stream(reader, schema, keys, values, p, pa)
    sketches = table.column("sketch")
    columns = [*(table.column(name) for name in keys), _floats(pa, _grouped.estimates(sketches))]
    names = [*keys, "estimate"]
    if confidence is not None:
        bounds = [error_bounds(cell, confidence) for cell in sketches.to_pylist()]
        columns += [pa.array([b[0] for b in bounds], pa.float64()), pa.array([b[1] for b in bounds], pa.float64())]
        names += ["lower", "upper"]
    return pa.table(columns, names=names)


def _floats(pa: Any, data: bytes | bytearray) -> Any:
    return pa.Array.from_buffers(pa.float64(), len(data) // 8, [None, pa.py_buffer(data)])


def _prepare(
    data: Any, by: Any, values: Any, p: Any, what: str, *outputs: str
) -> tuple[list[str], str, Any, Any, dict[str, Any], dict[str, Any]]:
    """The key names, the kind of frame, the pyarrow table of the key and
    value columns, pyarrow itself, and for a pandas DataFrame the way back
    to labels that are not all text and its key columns' dtypes; every
    argument checked."""
    back: dict[str, Any] = {}
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(data, pandas.DataFrame):
        data, (by, values), back = pandas_labels(data, by, values)
    if by is None:
        raise TypeError(f"{what} needs by: a column name or a list of names")
    keys = key_names(by)
    if not isinstance(values, str):
        raise TypeError(f"values must be a column name (str), got {type(values).__name__}")
    if values in keys:
        raise ValueError(f"the values column {values!r} cannot be a key too")
    taken = [name for name in keys if name in outputs]
    if taken:
        raise ValueError(f"{what}: a key column cannot be named {taken[0]!r} (the result has a column of that name)")
    if isinstance(p, bool) or not isinstance(p, int):
        raise TypeError(f"p must be an int, got {type(p).__name__}")
    wanted = [*keys, values]
    reader = None
    dtypes: dict[str, Any] = {}
    polars = sys.modules.get("polars")
    if polars is not None and isinstance(data, polars.LazyFrame) and not hasattr(data, "collect_batches"):
        data = data.collect()  # a polars before collect_batches()
    if polars is not None and isinstance(data, polars.LazyFrame):
        # Streamed: the query's result a batch at a time, never whole.
        kind = "polars"
        check_columns(data.collect_schema().names(), wanted, what)
        pa = _require("pyarrow", f"{what} of a polars LazyFrame")
        lazy = data.select(wanted)
        schema = _polars_to_arrow(lazy.head(0).collect(), wanted, what, pa).schema
        reader = pa.RecordBatchReader.from_batches(schema, _polars_batches(lazy, schema, pa))
        table = empty_table(schema, pa)
    elif polars is not None and isinstance(data, polars.DataFrame):
        kind = "polars"
        check_columns(data.columns, wanted, what)
        pa = _require("pyarrow", f"{what} of a polars DataFrame")
        table = _polars_to_arrow(data, wanted, what, pa)
    elif pandas is not None and isinstance(data, pandas.DataFrame):
        kind = "pandas"
        check_columns([str(c) for c in data.columns], wanted, what)
        pa = _require("pyarrow", f"{what} of a pandas DataFrame")
        table = pa.Table.from_pandas(data[wanted], preserve_index=False)
        dtypes = {name: data[name].dtype for name in keys}
    elif reads_as_arrow(data):
        kind = "arrow"
        pa = _require("pyarrow", f"{what} of an Arrow table")
        reader = stream_reader(data, wanted, keys, pa)
        if reader is not None:
            # Read a chunk at a time by the caller; checked on its schema.
            schema = source_schema(data, reader)
            check_columns(schema.names, wanted, what)
            table = empty_table(reader.schema, pa).select(wanted)
        else:
            if not isinstance(data, pa.Table):
                data = pa.table(data)
            check_columns(data.column_names, wanted, what)
            table = data.select(wanted)
    else:
        raise TypeError(
            f"{what} takes a pyarrow Table, a polars or pandas DataFrame, or any Arrow stream, "
            f"not {type(data).__name__}"
        )
    # The values' type and p, refused before the keys are grouped.
    refuse_struct_column(table.column(values))
    _grouped.sketch_rows(table.column(values).slice(0, 0), pa.array([], pa.int32()), 0, p)
    # A stream goes on as (reader, the keys' own types); a table as itself.
    return keys, kind, (reader, schema) if reader is not None else table, pa, back, dtypes


#: Rows of a polars LazyFrame's result taken at a time.
POLARS_BATCH_ROWS = 1 << 20


def _polars_batches(lazy: Any, schema: Any, pa: Any) -> Any:
    """The record batches of a LazyFrame's result, each of `schema` (the
    Arrow types of its first, empty, result)."""
    for frame in lazy.collect_batches(chunk_size=POLARS_BATCH_ROWS):
        table = _polars_arrow(frame)
        if table.schema != schema:
            table = table.cast(schema)
        yield from table.to_batches()


def _polars_arrow(frame: Any) -> Any:
    """A polars DataFrame as a pyarrow table without a copy where polars
    allows: its strings and binaries as the views it holds them in (the
    default, large_string, copies every value)."""
    level = getattr(importlib.import_module("polars"), "CompatLevel", None)
    if level is None:
        return frame.to_arrow()
    return frame.to_arrow(compat_level=level.newest())


def _polars_to_arrow(frame: Any, names: list[str], what: str, pa: Any) -> Any:
    """The columns of a polars DataFrame as a pyarrow table, a column Arrow
    has no type for (polars' 128-bit integers, say) refused by name."""
    try:
        return _polars_arrow(frame.select(names))
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError):
        for name in names:
            try:
                _polars_arrow(frame.select(name))
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError, pa.ArrowTypeError):
                dtype = frame.schema[name]
                raise TypeError(
                    f"{what}: the column {name!r} is {dtype}, which has no Arrow type to read it by "
                    f"(cast it to a type Arrow has, such as Int64 or String)"
                ) from None
        raise


def _finish(kind: str, table: Any, back: dict[str, Any], dtypes: dict[str, Any]) -> Any:
    if kind == "polars":
        return importlib.import_module("polars").from_arrow(table)
    if kind == "pandas":
        return pandas_frame(table, dtypes, back)
    return table
