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
    """How two sketched sets A and B overlap, in distinct items.

    `intersection` is |A n B|, `a_only` |A - B|, `b_only` |B - A|, `union`
    |A u B| (the sum of the three) and `jaccard` |A n B| / |A u B| (NaN
    when both sets are empty). With a confidence, `intersection_bounds` and
    `jaccard_bounds` are (lower, upper) intervals at that confidence; None
    otherwise.
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

    `a` and `b` are HyperLogLog sketches or stored sketches (bytes, packed or
    raw), of any precisions: the larger is folded to the smaller. The five
    figures are fitted jointly by maximum likelihood from the pairs of
    registers; with `confidence` (0.5 to 0.999, for example 0.95) the result
    also holds intervals for the intersection and the Jaccard index. Raises
    ValueError for bytes that are not a sketch.
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
    cores: a dict of NumPy float64 arrays keyed "intersection", "a_only",
    "b_only", "union" and "jaccard", and with `confidence` also
    "intersection_lower", "intersection_upper", "jaccard_lower" and
    "jaccard_upper"; ready for any data frame's constructor.

    `a` and `b` are Arrow binary columns (pyarrow, polars, DuckDB...),
    pandas Series or lists of bytes, of the same length. A row where either
    sketch is missing (null or None) is NaN throughout. Raises ValueError
    naming the first row and column that do not hold a sketch.
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
