"""update_many: many items into a sketch, from whatever holds them.

Columns are read in place by drisk._colread, without a Python object per
value: Arrow data through the Arrow PyCapsule interface, NumPy arrays through
the buffer protocol (datetime64 arrays, which the buffer protocol cannot
show, as their int64 counts with the unit beside them), pandas objects
through whichever of the two their storage offers. Everything else is walked
element by element by drisk._bulk.update_many. Every path counts a value as
the same item (the table at the top of src/core/item_text.hpp): a whole
float is its integer, a date or timestamp its isoformat() text, a decimal its
plain text. NumPy, pandas and pyarrow are never imported here: an object can
only be one of theirs if its module is already loaded.
"""

from __future__ import annotations

import array
import importlib
import sys
from collections.abc import Callable, Iterable
from typing import Any, Protocol, cast

from _drisk import HyperLogLog
from drisk._bulk import update_many as _update_items
from drisk._colread import update_arrow, update_buffer, update_times

# The element-by-element path, for lists, tuples and any other iterable.
_update_list: Callable[[HyperLogLog, Any], int] = _update_items


class ArrowStreamExportable(Protocol):
    """An object exporting Arrow data as a stream: a pyarrow ChunkedArray or
    Table, a polars Series or DataFrame, a DuckDB relation..."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...


class ArrowArrayExportable(Protocol):
    """An object exporting one Arrow array: a pyarrow Array or RecordBatch..."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...


#: One element of a plain iterable.
Item = bytes | str | int | float | bool | None
#: Everything update_many takes.
Items = Iterable[Item] | ArrowStreamExportable | ArrowArrayExportable

# NumPy kinds read as a buffer: booleans, signed and unsigned integers, floats.
_NUMBER_KINDS = "biuf"
# array.array type codes that are numbers (the others hold characters).
_NUMBER_CODES = frozenset("bBhHiIlLqQfd")
# datetime64 units read as they are; coarser ones are converted first: years,
# months and weeks to days (calendar dates), hours and minutes to seconds.
_TIME_UNITS = frozenset(["D", "s", "ms", "us", "ns"])
_AS_DAYS = frozenset(["Y", "M", "W"])
_FINER_THAN_NANOSECONDS = frozenset(["ps", "fs", "as"])


def update_many(sketch: HyperLogLog, items: Items) -> int:
    """Add every item to `sketch`; return how many were added.

    `items` may be any iterable of bytes, str, int, float, bool and None, or a
    column: an Arrow array, chunked array or one-column table (any object with
    ``__arrow_c_stream__`` or ``__arrow_c_array__``: pyarrow, polars, DuckDB
    relations...), a NumPy array, or a pandas Series or Index. Each value
    counts as one item whichever way it arrives: integers as their decimal
    text; a float equal to an integer as that integer (2.0 is "2"), other
    floats as their repr(); booleans as "True" and "False"; dates, times and
    timestamps as their isoformat() text (timestamps with a time zone in
    UTC, ending in "+00:00"); decimals as their plain text without trailing
    zeros. Missing values (None, NaN, NaT, pandas NA, Arrow nulls) are
    skipped and not counted. Durations, intervals and nested values raise
    TypeError before anything is added.

    A column is added all or nothing. From an iterable, the items before a
    refused one have been added, which is safe: adding an item twice never
    changes a sketch, so retrying the corrected batch gives the right sketch.

    Args:
        sketch: the HyperLogLog to add to.
        items: an iterable of values, or a column, as above.

    Returns:
        The number of values added (an int), missing values not counted.

    Raises:
        TypeError: for a value of a type drisk does not count (naming its
            index in an iterable), a column of such a type, a table of more
            than one column, or a lone str, bytes, bytearray or memoryview as
            `items` (its characters are never the items meant).
        ValueError: for a value whose text cannot be made: a time with a UTC
            offset, a Decimal of more than 320 characters of text, or a
            datetime64 finer than nanoseconds holding a value that is not
            whole nanoseconds. (A Python int outside the 64-bit range is a
            TypeError.)
        KeyboardInterrupt: on Ctrl-C, within a millisecond even on an endless
            iterator.

    Example:
        >>> import decimal, drisk
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_many(h, [b"ann", "bob", 42, 42.0, decimal.Decimal("42.00"), None])
        5
        >>> round(drisk.estimate(h))  # 42, 42.0 and Decimal("42.00") are one item
        3
    """
    kind = type(items)
    if kind is list or kind is tuple:
        return _update_list(sketch, items)
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(items, (pandas.Series, pandas.Index)):
        return _update_pandas(sketch, items, pandas)
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(items, numpy.ndarray):
        return _update_numpy(sketch, items, numpy)
    if hasattr(items, "__arrow_c_stream__") or hasattr(items, "__arrow_c_array__"):
        refuse_struct_column(items)
        return update_arrow(sketch, cast(ArrowStreamExportable, items))
    if isinstance(items, array.array) and items.typecode in _NUMBER_CODES:
        return update_buffer(sketch, items)
    polars = sys.modules.get("polars")
    if polars is not None and isinstance(items, polars.LazyFrame):
        # A query plan, not data: walking it would only meet polars' own error.
        raise TypeError("a polars LazyFrame holds no values until it is collected: call .collect() first")
    # Any other iterable, element by element. A single str, bytes, bytearray
    # or memoryview is refused there: its characters are never the items meant.
    return _update_list(sketch, items)


def refuse_struct_column(column: object) -> None:
    """A struct column is refused, as the documentation says, even of one field: it
    would otherwise reach the reader as a table of one column (Arrow passes
    both alike), and be counted as its field."""
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(column, (pa.Array, pa.ChunkedArray)) and pa.types.is_struct(column.type):
        kind = str(column.type)
    else:
        polars = sys.modules.get("polars")
        if polars is None or not isinstance(column, polars.Series) or not isinstance(column.dtype, polars.Struct):
            return
        kind = str(column.dtype)
    raise TypeError(f"Arrow values of type {kind} cannot be counted: count one of its fields")


def _dtype_error(dtype: object) -> TypeError:
    return TypeError(f"values of dtype {dtype} cannot be counted")


def _update_numpy(sketch: HyperLogLog, values: Any, numpy: Any) -> int:
    if isinstance(values, numpy.ma.MaskedArray):
        values = values.compressed()  # masked entries are missing
    if values.ndim != 1:
        raise ValueError(f"an array of {values.ndim} dimensions cannot be counted: pass a one-dimensional one")
    kind = values.dtype.kind
    if kind in _NUMBER_KINDS and values.dtype.itemsize <= 8:
        return update_buffer(sketch, values)
    if kind == "M":
        return _update_datetime64(sketch, values, numpy, utc=False)
    if kind in "OUS":
        # Python objects, or fixed-width text: element by element.
        return _update_list(sketch, values.tolist())
    raise _dtype_error(values.dtype)


def _update_datetime64(sketch: HyperLogLog, values: Any, numpy: Any, utc: bool) -> int:
    """A datetime64 array: [D] (and coarser) as dates, finer units as
    timestamps, in UTC when `utc` (the values being instants of a zone)."""
    unit, step = numpy.datetime_data(values.dtype)
    if unit in _AS_DAYS or (unit == "D" and step != 1):
        values = values.astype("M8[D]")
    elif unit in _FINER_THAN_NANOSECONDS:
        nanoseconds = values.astype("M8[ns]")
        if not numpy.array_equal(nanoseconds.astype(values.dtype), values, equal_nan=True):
            raise ValueError(f"values of dtype {values.dtype} finer than a nanosecond cannot be counted")
        values = nanoseconds
    elif unit not in _TIME_UNITS or step != 1:
        values = values.astype("M8[s]")  # hours, minutes, multiples of a unit, generic
    unit = numpy.datetime_data(values.dtype)[0]
    counts = values.view(numpy.dtype("int64").newbyteorder(values.dtype.byteorder))
    if not counts.dtype.isnative:
        counts = counts.astype(numpy.int64)
    return update_times(sketch, counts, unit, utc)


def _update_pandas(sketch: HyperLogLog, values: Any, pandas: Any) -> int:
    dtype = values.dtype
    if isinstance(dtype, pandas.CategoricalDtype):
        return _update_categorical(sketch, values.array)
    numpy = sys.modules["numpy"]  # pandas needs it
    if isinstance(dtype, pandas.DatetimeTZDtype):
        # Instants: their UTC counts, written in UTC.
        return _update_datetime64(sketch, numpy.asarray(values.array.tz_convert(None)), numpy, utc=True)
    if isinstance(dtype, numpy.dtype):
        if dtype.kind in _NUMBER_KINDS or dtype.kind == "M":
            return _update_numpy(sketch, values.to_numpy(), numpy)
        if dtype.kind != "O":
            raise _dtype_error(dtype)
        return _update_list(sketch, _present(values).tolist())
    # An extension array: Arrow-backed, or masked numbers (Int64, boolean...)
    # which pyarrow takes without a copy of the values.
    pyarrow = _pyarrow()
    if pyarrow is not None:
        try:
            column = pyarrow.array(values.array)
        except (pyarrow.ArrowInvalid, pyarrow.ArrowTypeError, pyarrow.ArrowNotImplementedError) as error:
            raise _dtype_error(dtype) from error
        return update_arrow(sketch, column)
    present = _present(values).to_numpy()
    if present.dtype.kind in _NUMBER_KINDS or present.dtype.kind == "O":
        return _update_numpy(sketch, present, numpy)
    raise _dtype_error(dtype)


def _present(values: Any) -> Any:
    """values without its missing entries (the same object when it has none)."""
    missing = values.isna()
    return values[~missing] if missing.any() else values


def _update_categorical(sketch: HyperLogLog, categorical: Any) -> int:
    """Each category in use, once: the sketch is the same as from every row,
    since adding an item twice changes nothing. Returns the count of rows."""
    numpy = sys.modules["numpy"]
    codes = categorical.codes  # -1 marks a missing value
    categories = categorical.categories
    used = numpy.zeros(len(categories) + 1, dtype=bool)
    used[codes] = True  # code -1 lands in the spare last slot
    update_many(sketch, categories[used[:-1]])
    return len(codes) - int(numpy.count_nonzero(codes < 0))


def _pyarrow() -> Any:
    """The pyarrow module, or None when it is not installed."""
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        return None


__all__ = ["ArrowArrayExportable", "ArrowStreamExportable", "Item", "Items", "update_many"]
