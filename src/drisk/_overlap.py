"""How much two sketched sets overlap: overlap() and overlaps().

The intersection of two sets, the parts only one of them has, their union
and their Jaccard index, fitted jointly from the two sketches' register
pairs by maximum likelihood (Ertl, "Cardinality estimation of set
intersections and complements", 2017), which is far more accurate than
inclusion-exclusion (|A| + |B| - |A u B|) where the overlap is small. The
work is in C++ (drisk._grouped.overlaps), a whole column of pairs at once.
"""

from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import drisk._grouped as _grouped
from _drisk import HyperLogLog

if TYPE_CHECKING:
    import numpy.typing as npt

__all__ = ["Overlap", "overlap", "overlaps"]

#: The names of overlaps()' arrays, in the order the C++ returns them.
FIGURES = ("a_only", "b_only", "intersection", "union", "jaccard")
BOUNDS = ("intersection_lower", "intersection_upper", "jaccard_lower", "jaccard_upper")


@dataclass(frozen=True, slots=True)
class Overlap:
    """How two sketched sets A and B overlap, in distinct items: a frozen
    dataclass, as overlap() returns it.

    Attributes:
        intersection: the number of items both sets hold.
        a_only: the number of items only A holds.
        b_only: the number of items only B holds.
        union: the number of items either holds (the sum of the three).
        jaccard: intersection / union (NaN when both sets are empty).
        confidence: the confidence of the intervals, or None.
        intersection_bounds: (lower, upper) for the intersection at that
            confidence; None without one.
        jaccard_bounds: (lower, upper) for the Jaccard index; None without a
            confidence.
    """

    intersection: float
    a_only: float
    b_only: float
    union: float
    jaccard: float
    confidence: float | None = None
    intersection_bounds: tuple[float, float] | None = None
    jaccard_bounds: tuple[float, float] | None = None


def _cell(sketch: Any, name: str) -> Any:
    """A sketch as a cell of the C++ reader: a HyperLogLog's raw form, or
    stored bytes (packed or raw) as they are."""
    if isinstance(sketch, HyperLogLog):
        return sketch.to_bytes()
    if isinstance(sketch, (bytes, bytearray, memoryview)):
        return sketch
    raise TypeError(
        f"{name} must be a sketch (a HyperLogLog, or bytes in the packed or raw form), not {type(sketch).__name__}"
    )


def overlap(a: Any, b: Any, confidence: float | None = None) -> Overlap:
    """How the sets sketched by `a` and `b` overlap, as an Overlap.

    The five figures are fitted jointly by maximum likelihood from the pairs
    of registers of the two sketches (Ertl, 2017). Swapping `a` and `b`
    mirrors the result exactly.

    Args:
        a: a HyperLogLog, or a stored sketch (bytes, packed or raw).
        b: the same; of any precision, the larger of the two is folded to the
            smaller.
        confidence: if given (0.5 to 0.999, for example 0.95), the result also
            holds intervals for the intersection and the Jaccard index.

    Returns:
        An Overlap.

    Raises:
        ValueError: for bytes that are not a sketch, or a confidence outside
            0.5 to 0.999.
        TypeError: for an argument that is neither a sketch nor bytes.

    Example:
        >>> import drisk
        >>> a, b = drisk.HyperLogLog(), drisk.HyperLogLog()
        >>> drisk.update_many(a, range(0, 2000))
        2000
        >>> drisk.update_many(b, range(1000, 3000))
        2000
        >>> both = drisk.overlap(a, b, confidence=0.95)
        >>> abs(both.intersection - 1000) < 100, both.intersection_bounds[0] < 1000 < both.intersection_bounds[1]
        (True, True)
    """
    values = _grouped.overlaps([_cell(a, "a")], [_cell(b, "b")], confidence)
    figures = {name: float(memoryview(data).cast("d")[0]) for name, data in zip(FIGURES + BOUNDS, values)}
    if confidence is None:
        return Overlap(
            figures["intersection"], figures["a_only"], figures["b_only"], figures["union"], figures["jaccard"]
        )
    return Overlap(
        figures["intersection"],
        figures["a_only"],
        figures["b_only"],
        figures["union"],
        figures["jaccard"],
        float(confidence),
        (figures["intersection_lower"], figures["intersection_upper"]),
        (figures["jaccard_lower"], figures["jaccard_upper"]),
    )


def overlaps(a: Any, b: Any, confidence: float | None = None) -> dict[str, npt.NDArray[Any]]:
    """overlap() for every row of two aligned sketch columns, in C++ on two
    cores.

    Args:
        a: an Arrow binary column (pyarrow, polars, DuckDB...), a pandas
            Series or a list of bytes, each cell a stored sketch or missing.
        b: the same, of the same length.
        confidence: if given (0.5 to 0.999), the intervals are added.

    Returns:
        A dict of NumPy float64 arrays keyed "intersection", "a_only",
        "b_only", "union" and "jaccard", and with `confidence` also
        "intersection_lower", "intersection_upper", "jaccard_lower" and
        "jaccard_upper"; ready for any data frame's constructor. A row where
        either sketch is missing (null or None) is NaN throughout.

    Raises:
        ValueError: naming the first row and column (a or b) that do not hold
            a sketch, for columns of different lengths, or a confidence outside
            0.5 to 0.999.
        ImportError: without NumPy.

    Example:
        >>> import drisk
        >>> a, b = drisk.HyperLogLog(), drisk.HyperLogLog()
        >>> drisk.update_many(a, ["ann", "bob"]), drisk.update_many(b, ["bob", "cid"])
        (2, 2)
        >>> figures = drisk.overlaps([drisk.pack(a), None], [drisk.pack(b), drisk.pack(b)])
        >>> figures["intersection"].round().tolist(), figures["union"].round().tolist()
        ([1.0, nan], [3.0, nan])
    """
    numpy = _numpy()
    values = _grouped.overlaps(_column(a, numpy), _column(b, numpy), confidence)
    names = FIGURES + BOUNDS if confidence is not None else FIGURES
    arrays = {name: numpy.frombuffer(data, dtype=numpy.float64) for name, data in zip(names, values)}
    ordered = ("intersection", "a_only", "b_only", "union", "jaccard") + (BOUNDS if confidence is not None else ())
    return {name: arrays[name] for name in ordered}


def _numpy() -> Any:
    try:
        return importlib.import_module("numpy")
    except ImportError as error:
        raise ImportError("drisk.overlaps needs numpy (pip install numpy)") from error


def _column(column: Any, numpy: Any) -> Any:
    """A column as the C++ reader takes it: Arrow data as it is, pandas and
    NumPy columns as lists of bytes and None."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(column, (pandas.Series, pandas.Index)):
        return [
            value if isinstance(value, (bytes, bytearray, memoryview)) or not pandas.isna(value) else None
            for value in column.tolist()
        ]
    if isinstance(column, numpy.ndarray):
        return column.tolist()
    return column
