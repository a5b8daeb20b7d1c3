"""Distinct counts of Dask collections, one sketch per partition::

    import dask.dataframe as dd, drisk.dask

    df = dd.read_parquet("events/")
    drisk.dask.nunique(df.user)                 # one float
    h = drisk.dask.sketch(df.user, p=16)        # the merged HyperLogLog
    df.groupby("day").agg({"user": drisk.dask.aggregation(p=12)})

Every partition of a Dask ``Series``, ``Index`` or ``Bag`` becomes one sketch
(through :func:`drisk.update_many`) where the partition lives, and the
sketches are merged in a tree, ``split_every`` at a time, into fresh copies:
no input sketch is ever modified. Only sketches travel between workers, in the
packed form (:func:`drisk.pack`), so a p = 14 sketch costs at most 16 KiB on
the wire however large its partition.

Missing values (``None``, ``NaN``, ``NA``) are skipped, as ``nunique()``
skips them. Columns of ``str`` or ``bytes`` values are hashed as
:func:`drisk.update_many` hashes them; columns that it does not take (integers,
for instance) are counted by the text of each value, so an integer column
gives the same sketch as ``drisk count`` on a file with one value per line.

Needs Dask (``pip install drisk[dask]``); ``import drisk`` does not.
"""
from __future__ import annotations

import functools
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, cast

try:
    import dask.sizeof
    from dask.delayed import Delayed, delayed
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "drisk.dask needs Dask, which is not installed: pip install drisk[dask]"
    ) from error

import drisk
from drisk import HyperLogLog, pack, unpack, update_lines, update_many

if TYPE_CHECKING:
    import dask.dataframe as dd

__all__ = ["aggregation", "nunique", "sketch"]

#: Sketches merged per task in the tree reduction, unless told otherwise.
SPLIT_EVERY = 8

#: Integers turned into text at a time (bounded memory, 32-bit Arrow offsets).
TEXT_CHUNK = 1 << 20

# Make sure a sketch's registers count in Dask's memory accounting even where
# the dask.sizeof entry point is not installed (a source checkout on sys.path).
drisk._register_dask_sizeof(dask.sizeof.sizeof)


# ---------------------------------------------------------------------------
# One partition
# ---------------------------------------------------------------------------


def _values(partition: Any) -> Any:
    """A partition's values without missing ones (pandas objects), or as given."""
    dropna = getattr(partition, "dropna", None)
    return dropna() if callable(dropna) else partition


def _is_text(values: Any) -> bool:
    """Whether update_many is known to take these values as they are: a Bag
    partition, or a pandas column of strings or Python objects."""
    dtype = getattr(values, "dtype", None)
    if dtype is None:
        return True
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    return bool(pd.api.types.is_string_dtype(dtype) or pd.api.types.is_object_dtype(dtype))


def _add_lines(sketch: HyperLogLog, text: Any) -> None:
    """Adds every value of an Arrow string array as one line of a single
    buffer, "value\n" each: one update_lines call, no Python object per value.
    The caller makes sure that no value holds "\n" or ends in "\r", which
    update_lines would cut or drop."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    if len(text) == 0:
        return
    lines = pc.binary_join_element_wise(text, pa.scalar("", text.type), pa.scalar("\n", text.type))
    offsets = memoryview(lines.buffers()[1]).cast("q" if pa.types.is_large_string(lines.type) else "i")
    data = memoryview(lines.buffers()[2])
    update_lines(sketch, data[offsets[lines.offset] : offsets[lines.offset + len(lines)]])


def _arrow_chunks(values: Any) -> list[Any] | None:
    """The Arrow chunks of a pandas column of Arrow-backed strings, or None
    for any other column (or without pyarrow)."""
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    dtype = values.dtype
    arrow_backed = getattr(dtype, "storage", None) == "pyarrow" or isinstance(dtype, pd.ArrowDtype)
    if not arrow_backed:
        return None
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    array = pa.array(values)
    chunks = list(array.chunks) if isinstance(array, pa.ChunkedArray) else [array]
    if not all(pa.types.is_string(c.type) or pa.types.is_large_string(c.type) for c in chunks):
        return None
    return chunks


def _one_line_each(text: Any) -> bool:
    """Whether no value of an Arrow string array holds "\n" or ends in "\r"."""
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    return not (pc.any(pc.match_substring(text, "\n")).as_py() or pc.any(pc.ends_with(text, "\r")).as_py())


def _add_strings(sketch: HyperLogLog, values: Any) -> None:
    """Adds a partition of str or bytes values as update_many would.

    update_many walks a list fastest (iterating a pandas column goes through
    pandas one element at a time), so pandas columns go in as a list; an
    Arrow-backed string column whose values hold no line break goes in as
    lines, which gives the same sketch without creating a str per value."""
    chunks = _arrow_chunks(values) if hasattr(values, "dtype") else None
    if chunks is not None and all(map(_one_line_each, chunks)):
        for chunk in chunks:
            _add_lines(sketch, chunk)
        return
    tolist = getattr(values, "tolist", None)
    update_many(sketch, tolist() if callable(tolist) else values)


def _add_as_text(sketch: HyperLogLog, values: Any) -> None:
    """Adds each value of a pandas column as its text, str(value) in UTF-8.
    Integers are cast to text by Arrow when pyarrow is there."""
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    if pd.api.types.is_integer_dtype(values.dtype) and not pd.api.types.is_bool_dtype(values.dtype):
        try:
            import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
            import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            pass
        else:
            array = pa.array(values)
            for start in range(0, len(array), TEXT_CHUNK):
                _add_lines(sketch, pc.cast(array.slice(start, TEXT_CHUNK), pa.string()))
            return
    update_many(sketch, [str(value) for value in values.tolist()])


def _sketch_partition(partition: Any, p: int) -> HyperLogLog:
    """The sketch of one partition."""
    values = _values(partition)
    sketch = HyperLogLog(p)
    if _is_text(values):
        _add_strings(sketch, values)
        return sketch
    try:
        # A drisk whose update_many takes such columns natively uses that.
        update_many(sketch, values)
    except TypeError:
        sketch = HyperLogLog(p)  # nothing half-added survives
        _add_as_text(sketch, values)
    return sketch


def _merge(*sketches: HyperLogLog) -> HyperLogLog:
    """The union of sketches, as a new sketch (the inputs are not modified)."""
    out = sketches[0].copy()
    for other in sketches[1:]:
        out.merge(other)
    return out


# Tasks hand sketches to each other packed: bytes are what the workers and the
# scheduler store, measure and send best (a HyperLogLog result would also have
# its type pickled for the scheduler on every task).


def _packed_partition(partition: Any, p: int) -> bytes:
    return pack(_sketch_partition(partition, p))


def _merge_packed(*packed: bytes) -> bytes:
    return pack(_merge(*(unpack(data) for data in packed)))


def _estimate(sketch: HyperLogLog, method: str) -> float:
    """The sketch's estimate by drisk.estimate where this drisk has it;
    otherwise by count(), whatever the method."""
    estimate = getattr(drisk, "estimate", None)
    if estimate is None:
        return sketch.count()
    return float(estimate(sketch, method=method))


# ---------------------------------------------------------------------------
# Whole collections
# ---------------------------------------------------------------------------


def _partitions(collection: Any) -> list[Delayed]:
    """One Delayed per partition of a Dask Series, Index or Bag."""
    import dask.bag as db

    kinds: tuple[type, ...] = (db.Bag,)
    try:
        import dask.dataframe as dd
    except ImportError:  # Dask without its dataframe part: Bags only
        pass
    else:
        if isinstance(collection, dd.DataFrame):
            raise TypeError("sketch a column of the DataFrame (df['name']), not the whole frame")
        kinds += (dd.Series, dd.Index)
    if not isinstance(collection, kinds):
        raise TypeError(
            f"expected a Dask Series, Index or Bag, got {type(collection).__qualname__!r}"
        )
    return list(cast(Any, collection).to_delayed())


def _tree(parts: Sequence[Delayed], split_every: int) -> Delayed:
    """Merges packed partition sketches split_every at a time, level by level."""
    level = list(parts)
    while len(level) > 1:
        level = [
            delayed(_merge_packed, pure=True)(*level[i : i + split_every])
            for i in range(0, len(level), split_every)
        ]
    return level[0]


def sketch(
    collection: Any,
    p: int = 14,
    split_every: int | None = None,
    *,
    compute: bool = True,
) -> Any:
    """The sketch of every value of a Dask ``Series``, ``Index`` or ``Bag``.

    Register for register the sketch that :func:`drisk.update_many` would
    build from all the values in one process. With ``compute=False``, a
    ``dask.delayed.Delayed`` that computes to it, for use inside a larger
    graph.
    """
    HyperLogLog(p)  # a bad p fails here, not on a worker
    if split_every is None:
        split_every = SPLIT_EVERY
    if split_every < 2:
        raise ValueError(f"split_every must be at least 2, got {split_every}")
    parts = [delayed(_packed_partition, pure=True)(part, p) for part in _partitions(collection)]
    if not parts:  # a collection without partitions
        parts = [delayed(pack(HyperLogLog(p)))]
    total = _tree(parts, split_every)
    if compute:
        return unpack(cast(Any, total).compute())
    return delayed(unpack, pure=True)(total)


def nunique(
    collection: Any,
    p: int = 14,
    method: str = "improved",
    split_every: int | None = None,
) -> float:
    """The estimated number of distinct values of a Dask ``Series``, ``Index``
    or ``Bag`` (missing values not counted).

    The estimate comes from :func:`drisk.estimate` with ``method`` when this
    drisk has it, otherwise from ``HyperLogLog.count()``.
    """
    return _estimate(sketch(collection, p, split_every), method)


# ---------------------------------------------------------------------------
# Per-group counts
# ---------------------------------------------------------------------------


def _merge_group(packed: Iterable[bytes]) -> bytes:
    return _merge_packed(*packed)


def _chunk(grouped: Any, p: int) -> Any:
    return grouped.agg(functools.partial(_packed_partition, p=p))


def _combine(grouped: Any) -> Any:
    return grouped.agg(_merge_group)


def _finalize_estimate(packed: Any, method: str) -> Any:
    return packed.map(lambda data: _estimate(unpack(data), method)).astype("float64")


def _finalize_sketch(packed: Any) -> Any:
    return packed


def aggregation(
    p: int = 12,
    result: Literal["estimate", "sketch"] = "estimate",
    method: str = "improved",
) -> dd.Aggregation:
    """A ``dask.dataframe.Aggregation`` for distinct counts per group::

        df.groupby("day").agg({"user": drisk.dask.aggregation(p=12)})

    With ``result="estimate"`` the column holds each group's estimate (a
    float); with ``result="sketch"``, each group's sketch in the packed form
    (bytes: :func:`drisk.unpack` or :func:`drisk.load` read them), ready to be
    stored and merged with other days' later.
    """
    import dask.dataframe as dd

    HyperLogLog(p)  # a bad p fails here, not on a worker
    finalize: Any
    if result == "estimate":
        finalize = functools.partial(_finalize_estimate, method=method)
    elif result == "sketch":
        finalize = _finalize_sketch
    else:
        raise ValueError(f"result must be 'estimate' or 'sketch', got {result!r}")
    made: dd.Aggregation = cast(Any, dd.Aggregation)(
        name=f"drisk-{result}-p{p}",
        chunk=functools.partial(_chunk, p=p),
        agg=_combine,
        finalize=finalize,
    )
    return made
