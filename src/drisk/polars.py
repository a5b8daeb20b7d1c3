"""polars expressions over sketch columns: union() and estimate().

    >>> import polars as pl, drisk.polars
    >>> monthly = daily.group_by("page").agg(drisk.polars.union("sketch"))
    >>> monthly.select("page", drisk.polars.estimate("sketch").alias("users"))

Both call drisk's C++ once per batch (the whole column, or every group's list
at once inside group_by().agg()), never once per row. polars is imported only
when one of them is used.
"""

from __future__ import annotations

import importlib
from typing import Any

import drisk._grouped as _grouped
from drisk._tables import binary_array, binary_list

__all__ = ["estimate", "union"]


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
