"""Tables of sketches, one per group: rollup() and estimates().

A sketch table has key columns and a column of sketches in the packed form
(one cell per group; the raw form of to_bytes() is read too). Such tables are
kept per day, say, and rolled up to coarser keys later without the raw rows.
The unions and estimates run in C++ (drisk._grouped) over the whole column at
once; the engine the table came from (pyarrow, polars, pandas) only gathers
each group's sketches. None of those packages is imported before a table of
theirs arrives.
"""

from __future__ import annotations

import array
import bisect
import importlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import drisk._grouped as _grouped
import drisk._stream as _stream
from drisk._stream import grouped_stream, reads_as_arrow, source_schema, stream_reader

if TYPE_CHECKING:
    import numpy.typing as npt

    from drisk._estimate import Method

__all__ = ["estimates", "rollup"]


def _require(name: str, why: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ImportError(f"{why} needs {name} (pip install {name})") from error


def key_names(by: str | Sequence[str] | None) -> list[str]:
    """The key column names of a `by` argument: one name, a list of names, or
    None (no keys: the whole table is one group)."""
    if by is None:
        return []
    if isinstance(by, str):
        return [by]
    names = list(by)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"by must name columns with str, got {type(name).__name__}")
    if len(set(names)) != len(names):
        raise ValueError(f"by names a column twice: {names}")
    return names


def check_columns(available: Sequence[str], wanted: Sequence[str], what: str) -> None:
    """Raise ValueError naming the wanted columns a table does not have, or
    has more than once."""
    have = set(available)
    missing = [name for name in wanted if name not in have]
    if missing:
        shown = ", ".join(repr(name) for name in missing)
        raise ValueError(f"{what}: no column named {shown} (the table has {', '.join(map(repr, available))})")
    if len(have) < len(available):
        twice = [name for name in wanted if list(available).count(name) > 1]
        if twice:
            raise ValueError(f"{what}: the table has {list(available).count(twice[0])} columns named {twice[0]!r}")


def pandas_labels(frame: Any, *names: Any) -> tuple[Any, list[Any], dict[str, Any]]:
    """A pandas DataFrame whose column labels are not all str, as Arrow needs
    them: the frame with every label as its str(), the given names (a label,
    a list of labels or None) the same way, and the way back from str to
    label. A label whose str() is another label's is refused."""
    labels = list(frame.columns)
    if all(isinstance(label, str) for label in labels):
        return frame, list(names), {}
    texts = [str(label) for label in labels]
    if len(set(texts)) < len(texts):
        clash = next(text for text in texts if texts.count(text) > 1)
        raise ValueError(f"the DataFrame has two columns named {clash!r} once made text: rename one")
    back = dict(zip(texts, labels))

    def as_text(name: Any, outer: bool = True) -> Any:
        if name is None or isinstance(name, str):
            return name
        if name in labels:
            return str(name)
        if outer and isinstance(name, (list, tuple)):
            return [as_text(n, False) for n in name]
        return name

    return frame.rename(columns=str), [as_text(name) for name in names], back


def pandas_frame(table: Any, dtypes: dict[str, Any], back: dict[str, Any]) -> Any:
    """A result table as a pandas DataFrame: each key column in the dtype it
    had (a nullable Int64 key stays Int64, where a plain conversion would
    make it float64 and 2**53 + 1 the same key as 2**53), and the labels
    given back their own types (`back`, from pandas_labels)."""
    pandas = importlib.import_module("pandas")
    columns = {}
    for name in table.column_names:
        dtype = dtypes.get(name)
        column = table.column(name)
        if dtype is not None and hasattr(dtype, "__from_arrow__"):
            series = column.to_pandas(types_mapper=lambda _type, dtype=dtype: dtype)
        else:
            series = column.to_pandas()
        columns[back.get(name, name)] = series
    return pandas.DataFrame(columns)


def binary_array(buffers: tuple[int, int, bytes | None, bytes, bytes]) -> Any:
    """A pyarrow large_binary array over the buffers union_lists() returns."""
    pa = _require("pyarrow", "building a sketch column")
    rows, nulls, validity, offsets, data = buffers
    return pa.Array.from_buffers(
        pa.large_binary(),
        rows,
        [pa.py_buffer(validity) if validity is not None else None, pa.py_buffer(offsets), pa.py_buffer(data)],
        null_count=nulls,
    )


def binary_list(buffers: tuple[int, int, bytes | None, bytes, bytes]) -> list[bytes | None]:
    """The same column as a list of bytes and None, without pyarrow."""
    rows, _nulls, validity, offsets, data = buffers
    ends = memoryview(offsets).cast("q")
    view = memoryview(data)
    out: list[bytes | None] = []
    for i in range(rows):
        if validity is not None and not (validity[i >> 3] >> (i & 7)) & 1:
            out.append(None)
        else:
            out.append(bytes(view[ends[i] : ends[i + 1]]))
    return out


def rollup(table: Any, by: str | Sequence[str] | None = None, sketch: str = "sketch") -> Any:
    """Union the sketches of `table` by coarser keys: one row per distinct
    combination of the `by` columns, holding those columns and `sketch`, the
    packed union of the group's sketches.

    A missing key is a group of its own. A union is at the smallest precision
    among the sketches it takes; null sketches are skipped, and a group
    without any sketch gets a null. The order of the rows is not specified.

    Args:
        table: a pyarrow Table, a polars DataFrame or a pandas DataFrame with
            key columns and a column of stored sketches (packed or raw bytes);
            anything else exporting an Arrow stream (a RecordBatchReader, a
            DuckDB relation) is read too.
        by: the coarser keys: a column name or a list of them; None or []
            gives one row for the whole table.
        sketch: the name of the sketch column.

    Returns:
        A table of the same kind as `table` (a pyarrow Table for another Arrow
        stream), with the `by` columns and `sketch`.

    Raises:
        ValueError: for unknown columns, a sketch column that is also a key,
            and a sketch cell that is not a sketch (naming its row), before
            any work.
        TypeError: for a sketch column that is not binary, or names that are
            not str.

    Example:
        >>> import drisk, pyarrow as pa
        >>> events = pa.table({"day": [1, 1, 2], "page": ["/", "/", "/"], "user": ["ann", "bob", "bob"]})
        >>> daily = drisk.sketch_by(events, ["day", "page"], "user")
        >>> monthly = drisk.rollup(daily, "page")
        >>> monthly["page"].to_pylist(), drisk.estimates(monthly["sketch"]).round().tolist()
        (['/'], [2.0])
    """
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(table, pandas.DataFrame):
        _, (by, sketch), _ = pandas_labels(table, by, sketch)
    keys = key_names(by)
    if not isinstance(sketch, str):
        raise TypeError(f"sketch must be a column name (str), got {type(sketch).__name__}")
    if sketch in keys:
        raise ValueError(f"the sketch column {sketch!r} cannot be a key too")
    polars = sys.modules.get("polars")
    if polars is not None and isinstance(table, polars.DataFrame):
        return _rollup_polars(table, keys, sketch, polars)
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(table, pandas.DataFrame):
        pa = _require("pyarrow", "rollup of a pandas DataFrame")
        table, (keys, sketch), back = pandas_labels(table, keys, sketch)
        check_columns(list(table.columns), [*keys, sketch], "rollup")
        arrow = pa.Table.from_pandas(table[[*keys, sketch]], preserve_index=False)
        dtypes = {name: table[name].dtype for name in keys}
        return pandas_frame(_rollup_arrow(arrow, keys, sketch, pa), dtypes, back)
    if polars is not None and isinstance(table, polars.LazyFrame):
        return _rollup_polars(table.select([*keys, sketch]).collect(), keys, sketch, polars)
    if not reads_as_arrow(table):
        raise TypeError(
            f"rollup takes a pyarrow Table, a polars DataFrame or LazyFrame, a pandas DataFrame, "
            f"or any Arrow stream, not {type(table).__name__}"
        )
    pa = _require("pyarrow", "rollup of an Arrow table")
    reader = stream_reader(table, [*keys, sketch], keys, pa)
    if reader is not None:
        schema = source_schema(table, reader)
        check_columns(schema.names, [*keys, sketch], "rollup")
        _grouped.check(_stream.empty_table(reader.schema, pa).column(sketch))
        return grouped_stream(
            reader,
            {name: schema.field(name).type for name in keys},
            [*keys, sketch],
            lambda chunk: _rollup_arrow(chunk, keys, sketch, pa),
            lambda parts: _rollup_arrow(parts, keys, sketch, pa),
            pa,
            _stream.ROLLUP_CHUNK_BYTES,
        )
    if not isinstance(table, pa.Table):
        table = pa.table(table)
    return _rollup_arrow(table, keys, sketch, pa)


#: Rows of sketches united in one call where the groups are few (at most
#: FEW_GROUPS): the core cannot split one group's union between its checks
#: for Ctrl-C, so a long column of few groups is united a slice of rows at a
#: time (some milliseconds each), then the slices' unions. Many groups are
#: split between the checks by the core itself.
UNION_SLICE_ROWS = 1 << 16
FEW_GROUPS = UNION_SLICE_ROWS // 16


def _rollup_arrow(table: Any, keys: list[str], sketch: str, pa: Any) -> Any:
    check_columns(table.column_names, [*keys, sketch], "rollup")
    ids, count, key_columns = group_ids(table, keys, pa, table.num_rows)
    unions = _unions(table.column(sketch), ids, count, pa)
    return pa.table([*key_columns, unions], names=[*keys, sketch])


def _unions(column: Any, ids: Any, count: int, pa: Any) -> Any:
    """The union of each group's sketches, as a column of `count` cells."""
    rows = len(column)
    if rows <= UNION_SLICE_ROWS or count > FEW_GROUPS:
        return binary_array(_grouped.union_groups(column, ids, count))
    # Each slice gives a cell per group (null where the slice has none of
    # its rows), the slices' cells then united: at most rows / 16 of them.
    slices = [
        binary_array(
            _grouped.union_groups(column.slice(start, UNION_SLICE_ROWS), ids.slice(start, UNION_SLICE_ROWS), count)
        )
        for start in range(0, rows, UNION_SLICE_ROWS)
    ]
    again = array.array("I", range(count)) * len(slices)
    again_ids = pa.Array.from_buffers(pa.uint32(), len(again), [None, pa.py_buffer(again)])
    return binary_array(_grouped.union_groups(pa.chunked_array(slices), again_ids, count))


def group_ids(table: Any, keys: list[str], pa: Any, rows: int) -> tuple[Any, int, list[Any]]:
    """(each row's group id, the number of groups, the key columns of the
    groups in id order) for the distinct combinations of the key columns of a
    pyarrow table; a missing key is a value of its own, and keys are equal as
    the values they hold count as equal (-0.0 and 0.0 are one key, every NaN
    another). The core numbers the keys batch by batch (Ctrl-C stops it),
    and each group's keys are taken from the row where it first comes, in
    their own types."""
    pc = importlib.import_module("pyarrow.compute")
    if not keys:
        # Group 0 for every row: zeroed bytes are not even resident until
        # written, and uint32 ids are read where they lie.
        return pa.Array.from_buffers(pa.uint32(), rows, [None, pa.py_buffer(bytes(4 * rows))]), 1, []
    small: tuple[Any, int, list[Any]] | None = _small_integer_ids(table, keys, pa, pc, rows)
    if small is not None:
        return small
    try:
        ids, first = _grouped.key_ids(table.select(keys))
    except TypeError:
        # A key type the core does not read (durations, intervals...).
        return _encoded_group_ids(table, keys, pa, pc)
    key_columns = [first_rows_of(table.column(name), first, pa) for name in keys]
    return pa.Array.from_buffers(pa.uint32(), rows, [None, pa.py_buffer(ids)]), len(first) // 8, key_columns


def first_rows_of(column: Any, first: bytes, pa: Any) -> Any:
    """The rows of `column` at the positions `first` (int64, ascending: each
    group's first row), as one array. pyarrow's take() of a chunked column
    concatenates the whole column first, so each chunk gives its own rows."""
    count = len(first) // 8
    kind = column.type
    if pa.types.is_string_view(kind) or pa.types.is_binary_view(kind):
        # pyarrow cannot take from views: the core copies those rows out.
        plain = pa.large_string() if pa.types.is_string_view(kind) else pa.large_binary()
        return binary_array(_grouped.take_views(column, first)).view(plain).cast(kind)

    rows = pa.Array.from_buffers(pa.int64(), count, [None, pa.py_buffer(first)])
    if not isinstance(column, pa.ChunkedArray) or column.num_chunks <= 1:
        taken = column.take(rows)
        return taken.combine_chunks() if isinstance(taken, pa.ChunkedArray) else taken
    # The first rows ascend: each chunk's are a slice of them, made relative
    # to the chunk's start by pyarrow (a scalar made from buffers, as
    # pa.scalar() of a Python int imports pandas).
    pc = importlib.import_module("pyarrow.compute")
    positions = memoryview(first).cast("q")
    pieces = []
    start = 0
    for chunk in column.chunks:
        end = start + len(chunk)
        low, high = bisect.bisect_left(positions, start), bisect.bisect_left(positions, end)
        if high > low:
            offset = pa.Array.from_buffers(pa.int64(), 1, [None, pa.py_buffer(array.array("q", [start]))])[0]
            pieces.append(chunk.take(pc.subtract(rows.slice(low, high - low), offset)))
        start = end
    if not pieces:
        return column.chunk(0).slice(0, 0)
    if pa.types.is_dictionary(column.type):
        return pa.chunked_array(pieces, column.type).unify_dictionaries().combine_chunks()
    return pa.concat_arrays(pieces)


def _encoded_group_ids(table: Any, keys: list[str], pa: Any, pc: Any) -> tuple[Any, int, list[Any]]:
    """group_ids() by pyarrow's dictionary encoding, for key types the core
    does not read: one column at a time, each step numbering the distinct
    (group so far, key) pairs, so the ids never grow past the rows."""
    stages = []  # (dictionary of the key, its size, dictionary of the combined ids)
    ids = None
    for name in keys:
        column = table.column(name)
        column = column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()
        kind = column.type
        if pa.types.is_dictionary(kind):
            column = column.dictionary_decode()
        if pa.types.is_string_view(column.type) or pa.types.is_binary_view(column.type):
            # Grouped on as their plain form (pyarrow cannot take from views),
            # cast back below.
            plain = pa.large_string() if pa.types.is_string_view(column.type) else pa.large_binary()
            column = column.cast(plain)
        # pyarrow's compute functions trust their input; a key column read
        # from a damaged file (one wild offset in the middle, which the IPC
        # readers let through) would crash dictionary_encode. A full check
        # costs a few percent of the encoding.
        try:
            column.validate(full=True)
        except pa.ArrowInvalid as error:
            raise ValueError(f"the key column {name!r} is malformed: {error}") from None
        try:
            encoded = pc.dictionary_encode(column, null_encoding="encode")
        except (pa.ArrowNotImplementedError, pa.ArrowTypeError) as error:
            raise TypeError(f"the key column {name!r} of type {kind} cannot be grouped on") from error
        card = len(encoded.dictionary)
        codes = encoded.indices.cast(pa.int64())
        if ids is None:
            ids, combined = codes, None
        else:
            pairs = pc.dictionary_encode(pc.add(pc.multiply(ids, card), codes))
            ids, combined = pairs.indices.cast(pa.int64()), pairs.dictionary
        stages.append((encoded.dictionary, card, kind, combined))
    count = len(stages[-1][3]) if stages[-1][3] is not None else stages[-1][1]
    # Back from the last numbering to each key: group g of a step is the pair
    # (group of the step before, key code) numbered combined[g].
    columns = []
    group = pa.array(range(count), pa.int64()) if count else pa.array([], pa.int64())
    for dictionary, card, kind, combined in reversed(stages):
        if combined is not None:
            value = combined.take(group)
            code, group = pc.subtract(value, pc.multiply(pc.divide(value, card), card)), pc.divide(value, card)
        else:
            code = group
        column = dictionary.take(code)
        if column.type != kind:
            try:
                column = column.cast(kind)
            except (pa.ArrowNotImplementedError, pa.ArrowInvalid):
                pass
        columns.append(column)
    columns.reverse()
    return ids, count, columns


def _small_integer_ids(table: Any, keys: list[str], pa: Any, pc: Any, rows: int) -> Any:
    """group_ids() of keys whose values are one to one with integers (integer
    and date32 columns, and text dictionaries by their indices into one
    dictionary for all chunks) when their ranges multiply to about the rows
    or fewer (days, page ids, pages of a Parquet file): the core numbers each
    row's combination of keys in one pass, without hashing. None when the
    keys are not such."""
    limit = max(rows, 1 << 20)
    span = 1
    described = []
    for name in keys:
        column = _integer_codes(table.column(name), name, pa)
        if column is None:
            return None
        low, high = pc.min_max(column).values()
        nulls = column.null_count > 0
        width = int(nulls) + (high.as_py() - low.as_py() + 1 if low.is_valid else 0)
        span *= max(width, 1)
        if span > limit:
            return None
        described.append((column, low.as_py() if low.is_valid else 0, max(width, 1), nulls))
    ids, first = _grouped.integer_key_ids(described)
    key_columns = [first_rows_of(table.column(name), first, pa) for name in keys]
    return pa.Array.from_buffers(pa.uint32(), rows, [None, pa.py_buffer(ids)]), len(first) // 8, key_columns


#: Dictionary values whose entries are equal keys exactly when their bytes are.
_TEXT_TYPES = ("string", "large_string", "binary", "large_binary")


def _integer_codes(column: Any, name: str, pa: Any) -> Any:
    """A key column as integers that are equal exactly when its keys are,
    nulls where it has them; None for a column that has no such form here.
    A date32 is its day number; a dictionary of text, once its chunks share
    one dictionary, is its indices into that one."""
    kind = column.type
    if pa.types.is_integer(kind):
        return column
    if pa.types.is_date32(kind):
        return column.cast(pa.int32())
    if not pa.types.is_dictionary(kind) or str(kind.value_type) not in _TEXT_TYPES:
        return None
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    # The batches of one Parquet row group share its dictionary: each
    # distinct dictionary is checked and unified once, then each chunk's
    # indices are mapped through its dictionary's new positions (a take,
    # which refuses an index out of range), unless one dictionary with no
    # repeated entry leaves them as they are.
    if not chunks:
        return pa.chunked_array([], pa.int32())
    distinct: dict[tuple[int, ...], int] = {}
    dictionaries: list[Any] = []
    for chunk in chunks:
        if distinct.setdefault(_where(chunk.dictionary), len(dictionaries)) == len(dictionaries):
            dictionaries.append(chunk.dictionary)
    if any(dictionary.null_count for dictionary in dictionaries):
        return None  # a null entry and a null index are one key: not by indices
    for dictionary in dictionaries:
        # pyarrow's unification trusts the dictionaries: checked in full, as
        # the core's own views check what they read.
        try:
            dictionary.validate(full=True)
        except pa.ArrowInvalid as error:
            raise ValueError(f"the key column {name!r} is malformed: {error}") from None
    pc = importlib.import_module("pyarrow.compute")
    if len(dictionaries) == 1:
        # One dictionary: each entry's first equal entry (a dictionary may
        # repeat one), and the indices as they are when none repeats, their
        # range checked: no copy of a column of any length.
        only = dictionaries[0]
        encoded = only.dictionary_encode()
        if len(encoded.dictionary) == len(only):
            for chunk in chunks:
                low, high = pc.min_max(chunk.indices).values()
                if low.is_valid and (low.as_py() < 0 or high.as_py() >= len(only)):
                    raise ValueError(f"the key column {name!r} is malformed: an index past its dictionary")
            return pa.chunked_array([chunk.indices for chunk in chunks], kind.index_type)
        moved = [encoded.indices]
    else:
        longest = max(len(dictionary) for dictionary in dictionaries)
        positions = pa.Array.from_buffers(pa.int32(), longest, [None, pa.py_buffer(array.array("i", range(longest)))])
        unified = pa.chunked_array(
            [pa.DictionaryArray.from_arrays(positions[: len(d)], d) for d in dictionaries],
            pa.dictionary(pa.int32(), kind.value_type),
        ).unify_dictionaries()
        moved = [piece.indices for piece in unified.chunks]
    codes: list[Any] = []
    for chunk in chunks:
        try:
            codes.append(pc.take(moved[distinct[_where(chunk.dictionary)]], chunk.indices))
        except IndexError:
            raise ValueError(f"the key column {name!r} is malformed: an index past its dictionary") from None
    return pa.chunked_array(codes, moved[0].type)


def _where(values: Any) -> tuple[int, ...]:
    """Where an array's values lie: arrays alive at once that give the same
    are the same values."""
    return (len(values), values.offset, *(b.address if b is not None else 0 for b in values.buffers()))


def _rollup_polars(frame: Any, keys: list[str], sketch: str, pl: Any) -> Any:
    check_columns(frame.columns, [*keys, sketch], "rollup")
    try:
        pa = importlib.import_module("pyarrow")
    except ImportError:
        return _rollup_polars_alone(frame, keys, sketch, pl)
    ids, count, key_columns = group_ids(frame.select(keys).to_arrow(), keys, pa, frame.height)
    unions = binary_array(_grouped.union_groups(frame.get_column(sketch), ids, count))
    return pl.from_arrow(pa.table([*key_columns, unions], names=[*keys, sketch]))


def _rollup_polars_alone(frame: Any, keys: list[str], sketch: str, pl: Any) -> Any:
    """rollup() of a polars DataFrame without pyarrow: polars groups, and
    drisk.polars.union makes the unions."""
    from drisk.polars import union

    _grouped.check(frame.get_column(sketch))
    if not keys:
        return frame.select(union(sketch))
    return frame.group_by(keys, maintain_order=True).agg(union(sketch))


def estimates(sketches: Any, method: Method = "improved") -> npt.NDArray[Any]:
    """The estimate of every sketch of a column, as a NumPy float64 array.

    Args:
        sketches: an Arrow binary column (pyarrow, polars, DuckDB...), a
            pandas Series or a list of bytes, each cell a stored sketch (packed
            or raw) or missing.
        method: as for estimate(): "improved" (the default), "ml" or
            "classic".

    Returns:
        A NumPy float64 array, one estimate per cell; None and null cells
        give NaN.

    Raises:
        ValueError: naming the first row that is not a sketch, or for an
            unknown `method`.
        ImportError: without NumPy.

    Example:
        >>> import drisk
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_many(h, ["ann", "bob"])
        2
        >>> drisk.estimates([drisk.pack(h), None, drisk.pack(drisk.HyperLogLog())]).round().tolist()
        [2.0, nan, 0.0]
    """
    numpy = _require("numpy", "drisk.estimates")
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(sketches, (pandas.Series, pandas.Index)):
        sketches = [_cell(value, pandas) for value in sketches.tolist()]
    elif isinstance(sketches, numpy.ndarray):
        sketches = sketches.tolist()
    values: npt.NDArray[Any] = numpy.frombuffer(_grouped.estimates(sketches, method), dtype=numpy.float64)
    return values


def _cell(value: Any, pandas: Any) -> Any:
    """A pandas cell as estimates() takes it: its missing markers as None."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return value
    return None if pandas.isna(value) else value
