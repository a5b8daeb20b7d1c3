"""The sketch functions (estimate, error_bounds, summary, fold, union,
relative_error) over a sketch or its stored bytes, and load(), which reads
either stored form.

The estimators are C++ (drisk._estimate) and take HyperLogLog objects; a
stored sketch, as a file, a table cell or a cache keeps it (bytes in the
packed form of pack() or the raw form of to_bytes()), is read first, as
load() reads it, so that `drisk.estimate(cell)` needs no unpack() of its own.
The functions keep the C++ ones' signatures and documentation.
"""

from __future__ import annotations

import functools
import math
import operator
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

import drisk._estimate as _estimate
from _drisk import HyperLogLog
from drisk._pack import form as _form
from drisk._pack import unpack

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from drisk._estimate import Method, Summary

#: The types read as stored sketches.
STORED = (bytes, bytearray, memoryview)

F = TypeVar("F", bound=Callable[..., Any])


def _sketch(value: Any) -> Any:
    """A stored sketch read into a HyperLogLog; anything else as it is, for
    the C++ function to refuse by its own rule and name."""
    return load(value) if isinstance(value, STORED) else value


def _takes_stored(native: Callable[..., Any]) -> Callable[[F], F]:
    """The documentation of the C++ function, with a word on stored sketches."""

    def wrap(function: F) -> F:
        functools.update_wrapper(function, native)
        text = (native.__doc__ or "").split("--\n\n", 1)[-1]
        function.__doc__ = (
            text + "\n\nA sketch may be given as its stored bytes (packed or raw), read as load() reads them."
        )
        del function.__wrapped__  # type: ignore[attr-defined]  # the signature is the Python one
        return function

    return wrap


@_takes_stored(_estimate.estimate)
def estimate(sketch: HyperLogLog | Buffer, method: Method = "improved") -> float:
    return _estimate.estimate(_sketch(sketch), method)


@_takes_stored(_estimate.error_bounds)
def error_bounds(
    sketch: HyperLogLog | Buffer, confidence: float = 0.95, method: Method = "improved"
) -> tuple[float, float]:
    return _estimate.error_bounds(_sketch(sketch), confidence, method)


@_takes_stored(_estimate.summary)
def summary(sketch: HyperLogLog | Buffer, confidence: float = 0.95, method: Method = "improved") -> Summary:
    return _estimate.summary(_sketch(sketch), confidence, method)


@_takes_stored(_estimate.fold)
def fold(sketch: HyperLogLog | Buffer, p: int) -> HyperLogLog:
    return _estimate.fold(_sketch(sketch), p)


@_takes_stored(_estimate.union)
def union(*sketches: HyperLogLog | Buffer) -> HyperLogLog:
    return _estimate.union(*map(_sketch, sketches))


def relative_error(sketch_or_p: HyperLogLog | Buffer | int) -> float:
    """The relative standard error 1.04 / sqrt(m) of a sketch (or precision).

    Args:
        sketch_or_p: a HyperLogLog, a stored sketch (bytes, packed or raw),
            or a precision p (an int, 4 to 18).

    Returns:
        The float 1.04 / sqrt(2**p), the standard error of an estimate relative
        to the count, in the middle range of counts.

    Raises:
        ValueError: for a precision no sketch can have, as HyperLogLog(p) does.
        TypeError: for a precision that is not an integer.

    Example:
        >>> import drisk
        >>> drisk.relative_error(12)
        0.01625
        >>> drisk.relative_error(drisk.HyperLogLog(16))
        0.0040625
    """
    if isinstance(sketch_or_p, HyperLogLog):
        return 1.04 / math.sqrt(len(sketch_or_p))
    if isinstance(sketch_or_p, STORED):
        return 1.04 / math.sqrt(len(load(sketch_or_p)))
    p = operator.index(sketch_or_p)  # type: ignore[arg-type]  # a TypeError for anything else
    if not 4 <= p <= 18:
        raise ValueError(f"p must be between 4 and 18 inclusive, got {p}")
    return 1.04 / math.sqrt(2**p)


def load(data: Buffer) -> HyperLogLog:
    """A sketch from either stored form: the raw form of to_bytes() (exactly
    1 + 2**p bytes after a valid p, 4 to 18) or the packed form of pack().

    Args:
        data: a stored sketch, as any bytes-like object.

    Returns:
        A new HyperLogLog.

    Raises:
        ValueError: for anything else, as unpack() explains; so for a buffer
            whose bytes are not one contiguous run (a strided view), which no
            stored sketch is.

    Example:
        >>> import drisk
        >>> h = drisk.HyperLogLog()
        >>> drisk.update_many(h, ["ann", "bob"])
        2
        >>> drisk.load(drisk.pack(h)).registers() == drisk.load(h.to_bytes()).registers() == h.registers()
        True
    """
    with memoryview(data) as view:
        if not view.c_contiguous:
            raise ValueError("not a stored sketch: a non-contiguous buffer (copy it to bytes first)")
    try:
        raw = _form(data) == "raw"
    except ValueError:
        raw = False  # neither form: unpack() says what is wrong
    return HyperLogLog.from_bytes(bytes(data)) if raw else unpack(data)
