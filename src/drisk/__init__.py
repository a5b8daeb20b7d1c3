"""drisk: fast, exact-to-the-bit HyperLogLog distinct counting.

    >>> import drisk
    >>> h = drisk.HyperLogLog(14)
    >>> drisk.update_many(h, [b"alice", "bob", b"alice"])
    3
    >>> round(h.count())
    2

Importing drisk also makes sketches picklable (and so copyable with the copy
module, and transferable to multiprocessing workers): a sketch pickles as its
serialized bytes.
"""
from __future__ import annotations

import copyreg
import math
from collections.abc import Callable

from _drisk import HyperLogLog, __version__
from drisk._bulk import update_lines
from drisk._columns import update_many
from drisk._estimate import error_bounds, estimate, fold, summary, union
from drisk._files import FileChangedError, update_file, update_stream

__all__ = [
    "FileChangedError",
    "HyperLogLog",
    "__version__",
    "error_bounds",
    "estimate",
    "fold",
    "relative_error",
    "summary",
    "union",
    "update_file",
    "update_lines",
    "update_many",
    "update_stream",
]


def relative_error(sketch_or_p: HyperLogLog | int) -> float:
    """The relative standard error 1.04 / sqrt(m) of a sketch (or precision)."""
    m = len(sketch_or_p) if isinstance(sketch_or_p, HyperLogLog) else 2**sketch_or_p
    return 1.04 / math.sqrt(m)


def _restore(data: bytes) -> HyperLogLog:
    """Rebuild a pickled sketch. Module-level, so that pickle can name it."""
    return HyperLogLog.from_bytes(data)


def _reduce(sketch: HyperLogLog) -> tuple[Callable[[bytes], HyperLogLog], tuple[bytes]]:
    return _restore, (sketch.to_bytes(),)


copyreg.pickle(HyperLogLog, _reduce)


def __dir__() -> list[str]:
    return list(__all__)
