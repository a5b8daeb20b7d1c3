"""Distinct counts of Dask collections, one sketch per partition.

    >>> import dask.dataframe as dd, drisk, drisk.dask, pandas as pd
    >>> rows = pd.DataFrame({"day": [1, 1, 2, 2], "page": ["/", "/a", "/", "/"], "user": ["ann", "bob", "bob", "cid"]})
    >>> df = dd.from_pandas(rows, npartitions=2)
    >>> round(drisk.dask.nunique(df.user))                       # one float
    3
    >>> h = drisk.dask.sketch(df.user, p=16)                     # the merged HyperLogLog
    >>> per_day = df.groupby("day").agg({"user": drisk.dask.aggregation(p=12)}).compute()
    >>> per_day["user"].round().sort_index().tolist()
    [2.0, 2.0]
    >>> table = drisk.dask.sketch_by(df, ["day", "page"], "user").compute()   # a sketch table
    >>> len(table)
    3

Every partition of a Dask ``Series``, ``Index`` or ``Bag`` becomes one sketch
(through :func:`drisk.update_many`) where the partition lives, and the
sketches are merged in a tree, ``split_every`` at a time, into fresh copies:
no input sketch is ever modified. Only sketches travel between workers, in the
packed form (:func:`drisk.pack`), so a sketch of the default p = 12 (the
precision of ``HyperLogLog()``, as everywhere in drisk) costs at most 4 KiB on
the wire however large its partition.

Values are the items :func:`drisk.update_many` makes of them, read in place
from the partition's column: missing values (``None``, ``NaN``, ``NA``) are
skipped, as ``nunique()`` skips them, and numbers count as their text, so an
integer column gives the same sketch as ``drisk count`` on a file with one
value per line.

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
    raise ImportError("drisk.dask needs Dask, which is not installed: pip install drisk[dask]") from error

import drisk
from drisk import HyperLogLog, pack, unpack, update_many

if TYPE_CHECKING:
    import dask.dataframe as dd

__all__ = ["aggregation", "nunique", "sketch", "sketch_by"]

#: Sketches merged per task in the tree reduction, unless told otherwise.
SPLIT_EVERY = 8

# Make sure a sketch's registers count in Dask's memory accounting even where
# the dask.sizeof entry point is not installed (a source checkout on sys.path).
drisk._register_dask_sizeof(dask.sizeof.sizeof)


# ---------------------------------------------------------------------------
# One partition
# ---------------------------------------------------------------------------


def _sketch_partition(partition: Any, p: int) -> HyperLogLog:
    """The sketch of one partition. update_many reads a pandas column or
    index, and Arrow data, in place (missing values skipped, numbers as their
    text), and walks the list of a Bag partition."""
    sketch = HyperLogLog(p)
    update_many(sketch, partition)
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
    return drisk.estimate(sketch, method=cast(Any, method))  # checked by drisk.estimate


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
        raise TypeError(f"expected a Dask Series, Index or Bag, got {type(collection).__qualname__!r}")
    return list(cast(Any, collection).to_delayed())


def _tree(parts: Sequence[Delayed], split_every: int) -> Delayed:
    """Merges packed partition sketches split_every at a time, level by level."""
    level = list(parts)
    while len(level) > 1:
        level = [
            delayed(_merge_packed, pure=True)(*level[i : i + split_every]) for i in range(0, len(level), split_every)
        ]
    return level[0]


def sketch(
    collection: Any,
    p: int = 12,
    split_every: int | None = None,
    *,
    compute: bool = True,
) -> Any:
    """The sketch of every value of a Dask ``Series``, ``Index`` or ``Bag``.

    Register for register the sketch that :func:`drisk.update_many` would
    build from all the values in one process.

    Args:
        collection: a Dask ``Series``, ``Index`` or ``Bag`` (not a whole
            DataFrame: pick a column).
        p: the precision, 4 to 18 (12 by default).
        split_every: how many sketches are merged at a time in the tree (at
            least 2); Dask's default when None.
        compute: when false, a ``dask.delayed.Delayed`` that computes to the
            sketch, for use inside a larger graph.

    Returns:
        A :class:`~_drisk.HyperLogLog`, or a ``Delayed`` of one.

    Raises:
        TypeError: for a DataFrame or anything else than the collections
            above.
        ValueError: for a ``split_every`` below 2 or a ``p`` outside 4 to 18.

    Example:
        >>> import dask.dataframe as dd, drisk, drisk.dask, pandas as pd
        >>> users = dd.from_pandas(pd.Series(["ann", "bob", "ann", None]), npartitions=2)
        >>> h = drisk.dask.sketch(users)
        >>> one = drisk.HyperLogLog()
        >>> drisk.update_many(one, ["ann", "bob", "ann", None])
        3
        >>> h.registers() == one.registers()
        True
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
    p: int = 12,
    method: str = "improved",
    split_every: int | None = None,
) -> float:
    """The estimated number of distinct values of a Dask ``Series``, ``Index``
    or ``Bag`` (missing values not counted).

    The estimate comes from :func:`drisk.estimate` with ``method`` when this
    drisk has it, otherwise from ``HyperLogLog.count()``.

    Args:
        collection: as for :func:`sketch`.
        p: the precision, 4 to 18 (12 by default).
        method: the estimator, as for :func:`drisk.estimate`.
        split_every: as for :func:`sketch`.

    Returns:
        The estimate, a float.

    Raises:
        TypeError: as :func:`sketch` does.
        ValueError: as :func:`sketch` does, and for an unknown ``method``.

    Example:
        >>> import dask.dataframe as dd, drisk.dask, pandas as pd
        >>> ids = dd.from_pandas(pd.Series(range(1000)), npartitions=4)
        >>> abs(drisk.dask.nunique(ids, p=14) - 1000) < 30
        True
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
    """A ``dask.dataframe.Aggregation`` for distinct counts per group, for
    ``groupby(...).agg()``.

    Args:
        p: the precision of the groups' sketches, 4 to 18 (12 by default).
        result: ``"estimate"`` (the default): the column holds each group's
            estimate (a float); ``"sketch"``: each group's sketch in the packed
            form (bytes: :func:`drisk.unpack` or :func:`drisk.load` read them),
            ready to be stored and merged with other days' later.
        method: the estimator of ``result="estimate"``, as for
            :func:`drisk.estimate`.

    Returns:
        A ``dask.dataframe.Aggregation``.

    Raises:
        ValueError: for an unknown ``result``.

    Example:
        >>> import dask.dataframe as dd, drisk, drisk.dask, pandas as pd
        >>> rows = pd.DataFrame({"day": [1, 1, 2], "user": ["ann", "bob", "bob"]})
        >>> df = dd.from_pandas(rows, npartitions=2)
        >>> packed = df.groupby("day").agg({"user": drisk.dask.aggregation(result="sketch")}).compute()
        >>> round(drisk.estimate(drisk.unpack(packed.loc[1, "user"])))
        2
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


# ---------------------------------------------------------------------------
# Sketch tables
# ---------------------------------------------------------------------------


def _sketch_table(partition: Any, keys: list[str], values: str, p: int) -> Any:
    return drisk.sketch_by(partition, keys, values, p)


def _rollup_table(partition: Any, keys: list[str]) -> Any:
    return drisk.rollup(partition, keys)


def sketch_by(frame: dd.DataFrame, by: str | Sequence[str], values: str, p: int = 12) -> dd.DataFrame:
    """A Dask DataFrame of sketches per group, as :func:`drisk.sketch_by`
    makes them: the ``by`` columns and ``sketch``, each group's packed sketch
    of its ``values``. Each partition becomes a partial sketch table where it
    lives; the partial tables are shuffled by key (only sketches travel) and
    rolled up (:func:`drisk.rollup`), so every group's sketch is the one
    ``drisk.sketch_by`` gives on the whole data in one process.

    Args:
        frame: a Dask DataFrame.
        by: the key column: a name, or a list of names.
        values: the name of the column whose distinct values are sketched.
        p: the precision of the sketches, 4 to 18 (12 by default).

    Returns:
        A Dask DataFrame with the ``by`` columns and ``sketch`` (bytes), lazy
        until computed.

    Raises:
        ValueError: for unknown columns, here, before any task runs.
        TypeError: for a values column that cannot be counted, or a ``frame``
            that is not a Dask DataFrame, here, before any task runs.

    Example:
        >>> import dask.dataframe as dd, drisk, drisk.dask, pandas as pd
        >>> rows = pd.DataFrame({"page": ["/", "/a", "/", "/"], "user": ["ann", "bob", "bob", "ann"]})
        >>> table = drisk.dask.sketch_by(dd.from_pandas(rows, npartitions=2), "page", "user").compute()
        >>> sorted(zip(table["page"], drisk.estimates(table["sketch"]).round().tolist()))
        [('/', 2.0), ('/a', 1.0)]
    """
    import dask.dataframe as dd

    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"expected a Dask DataFrame, got {type(frame).__qualname__!r}")
    if by is None:
        raise TypeError("sketch_by needs by: a column name or a list of names")
    keys = [by] if isinstance(by, str) else list(by)
    # The empty meta frame has the columns' types: every check runs on it.
    meta = drisk.sketch_by(frame._meta, keys, values, p)
    partial = frame[[*keys, values]].map_partitions(_sketch_table, keys, values, p, meta=meta)
    if not keys:
        whole = partial.repartition(npartitions=1)
    else:
        whole = partial.shuffle(on=keys)
    result: dd.DataFrame = whole.map_partitions(_rollup_table, keys, meta=meta)
    return result
