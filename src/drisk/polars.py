"""polars expressions over sketch columns: union(), estimate(),
intersection() and jaccard().

    >>> import polars as pl, drisk.polars
    >>> monthly = daily.group_by("page").agg(drisk.polars.union("sketch"))
    >>> monthly.select("page", drisk.polars.estimate("sketch").alias("users"))
    >>> both = first.join(last, on="page", suffix="_last")
    >>> both.select("page", drisk.polars.intersection("sketch", "sketch_last").alias("returned"))

Both call drisk's C++ once per batch (the whole column, or every group's list
at once inside group_by().agg()), never once per row. polars is imported only
when one of them is used.
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
    """An expression for the union of a sketch column (a name or an
    expression): one packed sketch for the whole column in select(), one per
    group in group_by().agg(). Null sketches are skipped; a group without any
    gives null. The union is at the smallest precision among its sketches."""
    import polars as pl

    return (
        _expr(column)
        .implode()
        .map_batches(_union_lists, return_dtype=pl.Binary, is_elementwise=True, returns_scalar=True)
    )


def estimate(column: Any) -> Any:
    """An expression for the estimate of each sketch of a column (Ertl's
    improved estimator, as drisk.estimate); null sketches give NaN."""
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
    """An expression for how many items the sketches of two columns (names
    or expressions) share, row by row, by joint maximum likelihood as
    drisk.overlap fits it; NaN where either sketch is null."""
    import polars as pl

    return pl.map_batches(
        [_expr(a), _expr(b)], _overlap_figure(2, "intersection"), return_dtype=pl.Float64, is_elementwise=True
    )


def jaccard(a: Any, b: Any) -> Any:
    """An expression for the Jaccard index of the sketches of two columns,
    row by row, as drisk.overlap fits it; NaN where either sketch is null
    and for two empty sketches."""
    import polars as pl

    return pl.map_batches(
        [_expr(a), _expr(b)], _overlap_figure(4, "jaccard"), return_dtype=pl.Float64, is_elementwise=True
    )
