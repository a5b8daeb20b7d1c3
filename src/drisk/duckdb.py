"""SQL over stored sketches in DuckDB.

    >>> import drisk, drisk.duckdb, duckdb, pyarrow as pa
    >>> events = pa.table({"day": [1, 1, 2], "page": ["/", "/a", "/"], "user": ["ann", "bob", "bob"]})
    >>> daily = drisk.sketch_by(events, ["day", "page"], "user")
    >>> con = duckdb.connect()
    >>> drisk.duckdb.register(con)
    >>> con.sql("SELECT page, round(drisk_estimate(drisk_union(list(sketch)))) AS users "
    ...         "FROM daily GROUP BY page ORDER BY page").fetchall()
    [('/', 2.0), ('/a', 1.0)]

register() adds four scalar functions, vectorized through Arrow (one call of
drisk's C++ per batch of rows, not one per row)::

    drisk_estimate(BLOB) -> DOUBLE    the estimate of a sketch (Ertl's improved
                                      estimator); NULL for NULL
    drisk_union(BLOB[]) -> BLOB       the packed union of a list of sketches,
                                      at the smallest precision among them;
                                      NULL sketches are skipped, and a list
                                      without any gives NULL
    drisk_intersection(BLOB, BLOB) -> DOUBLE
                                      how many items two sketches share, by
                                      joint maximum likelihood (drisk.overlap);
                                      NULL when either is NULL
    drisk_jaccard(BLOB, BLOB) -> DOUBLE
                                      their Jaccard index, the same way (NaN
                                      for two empty sketches)

DuckDB is imported by register() only.
"""

from __future__ import annotations

import functools
import importlib
import re
from collections.abc import Callable
from typing import Any

import drisk._grouped as _grouped
from drisk._tables import binary_array

__all__ = ["register"]


# DuckDB hands a function its rows a batch at a time, without their place in
# the query: the row the core names is the row within the batch, which would
# mislead. The refusal keeps what is wrong with the cell and says where the row
# can be found.
_BATCH_PLACE = re.compile(r"^(row \d+( of (a|b))?|list \d+, item (\d+)): ")
_WHERE = {"a": "the first sketch", "b": "the second sketch"}


def _sql_errors(name: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    def wrap(function: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(function)
        def call(*columns: Any) -> Any:
            try:
                return function(*columns)
            except ValueError as error:
                text = str(error)
                place = _BATCH_PLACE.match(text)
                if place is None:
                    raise
                which = f"item {place.group(4)} of a list" if place.group(4) else _WHERE.get(place.group(3), "a cell")
                raise ValueError(
                    f"{name} refused {which}: {text[place.end() :]} (DuckDB passes rows in batches "
                    f"without their place in the query; drisk.estimates() of the column names the row)"
                ) from None

        return call

    return wrap


@_sql_errors("drisk_estimate")
def _estimate(sketches: Any) -> Any:
    pa = importlib.import_module("pyarrow")

    values = _grouped.estimates(sketches)
    data = pa.Array.from_buffers(pa.float64(), len(sketches), [None, pa.py_buffer(values)])
    # A null sketch has no estimate: NULL, as SQL has it (NaN is a value).
    return pa.compute.if_else(pa.compute.is_null(sketches), pa.scalar(None, pa.float64()), data)


@_sql_errors("drisk_union")
def _union(lists: Any) -> Any:
    return binary_array(_grouped.union_lists(lists))


def _overlap_figure(index: int) -> Any:
    """A function of two sketch columns giving one of overlaps()' figures."""

    def figure(a: Any, b: Any) -> Any:
        pa = importlib.import_module("pyarrow")

        values = _grouped.overlaps(a, b)[index]
        data = pa.Array.from_buffers(pa.float64(), len(a), [None, pa.py_buffer(values)])
        missing = pa.compute.or_(pa.compute.is_null(a), pa.compute.is_null(b))
        return pa.compute.if_else(missing, pa.scalar(None, pa.float64()), data)

    return figure


# Positions in overlaps()' tuple: (a_only, b_only, intersection, union, jaccard).
_intersection = _sql_errors("drisk_intersection")(_overlap_figure(2))
_jaccard = _sql_errors("drisk_jaccard")(_overlap_figure(4))


def register(con: Any) -> None:
    """Add drisk_estimate(BLOB), drisk_union(BLOB[]),
    drisk_intersection(BLOB, BLOB) and drisk_jaccard(BLOB, BLOB) to a DuckDB
    connection (see the module's documentation).

    Args:
        con: a duckdb.DuckDBPyConnection (duckdb.connect()).

    Returns:
        None; the functions are there for every later query of `con`.

    Raises:
        ModuleNotFoundError: without DuckDB or pyarrow.
        duckdb.Error: whatever DuckDB raises on adding a function, as for a
            connection that already has one of these names.

    Example:
        >>> import drisk, drisk.duckdb, duckdb
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_many(h, ["ann", "bob"])
        2
        >>> con = duckdb.connect()
        >>> drisk.duckdb.register(con)
        >>> con.execute("SELECT round(drisk_estimate(?))", [drisk.pack(h)]).fetchone()
        (2.0,)
    """
    import duckdb

    importlib.import_module("pyarrow.compute")  # for _estimate

    blob = duckdb.sqltype("BLOB")
    con.create_function(
        "drisk_estimate",
        _estimate,
        [blob],
        duckdb.sqltype("DOUBLE"),
        type="arrow",
        null_handling="special",
        side_effects=False,
    )
    con.create_function(
        "drisk_union", _union, [duckdb.list_type(blob)], blob, type="arrow", null_handling="special", side_effects=False
    )
    for name, function in (("drisk_intersection", _intersection), ("drisk_jaccard", _jaccard)):
        con.create_function(
            name,
            function,
            [blob, blob],
            duckdb.sqltype("DOUBLE"),
            type="arrow",
            null_handling="special",
            side_effects=False,
        )
