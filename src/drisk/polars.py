"""polars expressions over sketch columns: union(), estimate(),
intersection() and jaccard().

    >>> import drisk, drisk.polars, polars as pl
    >>> events = pl.DataFrame(
    ...     {"day": [1, 1, 1, 2], "page": ["/", "/a", "/", "/"], "user": ["ann", "bob", "bob", "bob"]}
    ... )
    >>> daily = drisk.sketch_by(events, ["day", "page"], "user")
    >>> monthly = daily.group_by("page").agg(drisk.polars.union("sketch")).sort("page")
    >>> monthly.select("page", drisk.polars.estimate("sketch").round().alias("users")).rows()
    [('/', 2.0), ('/a', 1.0)]
    >>> first, last = daily.filter(pl.col("day") == 1), daily.filter(pl.col("day") == 2)
    >>> both = first.join(last, on="page", suffix="_last")
    >>> both.select("page", drisk.polars.intersection("sketch", "sketch_last").round().alias("returned")).rows()
    [('/', 1.0)]

They call drisk's C++ once per batch (the whole column, or every group's
list at once inside group_by().agg()), never once per row. polars is
imported only when one of them is used.
"""

from __future__ import annotations

import importlib
from typing import Any

import drisk._grouped as _grouped
from drisk._tables import binary_array, binary_list

__all__ = ["estimate", "intersection", "jaccard", "union"]


def _expr(column: Any) -> Any:
    import polars as pl

    if isinstance(column, str):
        return pl.col(column)
    if isinstance(column, pl.Expr):
        return column
    raise TypeError(f"column must be a column name or a polars expression, got {type(column).__name__}")


def _union_lists(lists: Any) -> Any:
    import polars as pl

    buffers = _grouped.union_lists(lists)
    try:
        importlib.import_module("pyarrow")
    except ImportError:
        return pl.Series(lists.name, binary_list(buffers), dtype=pl.Binary)
    return pl.Series(lists.name, pl.from_arrow(binary_array(buffers)), dtype=pl.Binary)


def _estimates(sketches: Any) -> Any:
    import polars as pl

    values = _grouped.estimates(sketches)
    try:
        import numpy
    except ImportError:
        return pl.Series(sketches.name, memoryview(values).cast("d").tolist(), dtype=pl.Float64)
    return pl.Series(sketches.name, numpy.frombuffer(values, dtype=numpy.float64))


def union(column: Any) -> Any:
    """An expression for the union of a sketch column: one packed sketch for
    the whole column in select(), one per group in group_by().agg(). Null
    sketches are skipped; a group without any gives null. The union is at
    the smallest precision among its sketches.

    Args:
        column: the sketch column, a name or a polars expression; its cells
            are stored sketches (packed or raw bytes) or null.

    Returns:
        A polars expression of binary type.

    Raises:
        ModuleNotFoundError: without polars.

    When the query runs, a cell that is not a sketch fails it with drisk's
    ValueError naming the row.

    Example:
        >>> import drisk, drisk.polars, polars as pl
        >>> a, b = drisk.HyperLogLog(), drisk.HyperLogLog()
        >>> drisk.update_many(a, ["ann"]), drisk.update_many(b, ["bob"])
        (1, 1)
        >>> frame = pl.DataFrame({"sketch": [drisk.pack(a), drisk.pack(b), None]})
        >>> round(drisk.estimate(drisk.unpack(frame.select(drisk.polars.union("sketch")).item())))
        2
    """
    import polars as pl

    return (
        _expr(column)
        .implode()
        .map_batches(_union_lists, return_dtype=pl.Binary, is_elementwise=True, returns_scalar=True)
    )


def estimate(column: Any) -> Any:
    """An expression for the estimate of each sketch of a column (Ertl's
    improved estimator, as drisk.estimate); null sketches give NaN.

    Args:
        column: the sketch column, a name or a polars expression.

    Returns:
        A polars expression of type Float64.

    Raises:
        ModuleNotFoundError: without polars.

    Example:
        >>> import drisk, drisk.polars, polars as pl
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_many(h, ["ann", "bob"])
        2
        >>> frame = pl.DataFrame({"sketch": [drisk.pack(h), None]})
        >>> frame.select(drisk.polars.estimate("sketch").round())["sketch"].to_list()
        [2.0, nan]
    """
    import polars as pl

    return _expr(column).map_batches(_estimates, return_dtype=pl.Float64, is_elementwise=True)


def _overlap_figure(index: int, name: str) -> Any:
    """A function of two sketch Series giving one of overlaps()' figures."""

    def figure(series: Any) -> Any:
        import polars as pl

        a, b = series
        values = _grouped.overlaps(a, b)[index]
        try:
            import numpy
        except ImportError:
            return pl.Series(name, memoryview(values).cast("d").tolist(), dtype=pl.Float64)
        return pl.Series(name, numpy.frombuffer(values, dtype=numpy.float64))

    return figure


def intersection(a: Any, b: Any) -> Any:
    """An expression for how many items the sketches of two columns share,
    row by row, by joint maximum likelihood as drisk.overlap fits it; NaN
    where either sketch is null.

    Args:
        a: the first sketch column, a name or a polars expression.
        b: the second, of the same frame.

    Returns:
        A polars expression of type Float64.

    Raises:
        ModuleNotFoundError: without polars.

    Example:
        >>> import drisk, drisk.polars, polars as pl
        >>> a, b = drisk.HyperLogLog(), drisk.HyperLogLog()
        >>> drisk.update_many(a, ["ann", "bob"]), drisk.update_many(b, ["bob", "cid"])
        (2, 2)
        >>> frame = pl.DataFrame({"a": [drisk.pack(a)], "b": [drisk.pack(b)]})
        >>> frame.select(drisk.polars.intersection("a", "b").round()).item()
        1.0
    """
    import polars as pl

    return pl.map_batches(
        [_expr(a), _expr(b)], _overlap_figure(2, "intersection"), return_dtype=pl.Float64, is_elementwise=True
    )


def jaccard(a: Any, b: Any) -> Any:
    """An expression for the Jaccard index of the sketches of two columns,
    row by row, as drisk.overlap fits it; NaN where either sketch is null
    and for two empty sketches.

    Args:
        a: the first sketch column, a name or a polars expression.
        b: the second, of the same frame.

    Returns:
        A polars expression of type Float64.

    Raises:
        ModuleNotFoundError: without polars.

    Example:
        >>> import drisk, drisk.polars, polars as pl
        >>> a = drisk.HyperLogLog()
        >>> drisk.update_many(a, ["ann", "bob"])
        2
        >>> frame = pl.DataFrame({"a": [drisk.pack(a)], "b": [drisk.pack(a)]})
        >>> frame.select(drisk.polars.jaccard("a", "b")).item()
        1.0
    """
    import polars as pl

    return pl.map_batches(
        [_expr(a), _expr(b)], _overlap_figure(4, "jaccard"), return_dtype=pl.Float64, is_elementwise=True
    )
