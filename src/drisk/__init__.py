"""drisk: fast, exact-to-the-bit HyperLogLog distinct counting.

    >>> import drisk
    >>> h = drisk.HyperLogLog(14)
    >>> drisk.update_many(h, [b"alice", "bob", b"alice"])
    3
    >>> round(h.count())
    2

Importing drisk also makes sketches picklable (and so copyable with the copy
module, and transferable to multiprocessing workers): a sketch pickles as its
packed form (see pack()).
"""

from __future__ import annotations

import copyreg
import importlib
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from _drisk import HyperLogLog
from drisk._bulk import update_lines
from drisk._columns import update_many
from drisk._files import FileChangedError, update_file, update_stream
from drisk._pack import pack, unpack
from drisk._sketches import error_bounds, estimate, fold, load, relative_error, summary, union
from drisk._version import __version__

if TYPE_CHECKING:
    from drisk._overlap import Overlap, overlap, overlaps
    from drisk._rows import count_by, sketch_by
    from drisk._tables import estimates, rollup

# The table functions' modules are imported on first use: the tool and most
# scripts never need them, and they cost a few milliseconds of every start.
# (The sketch functions above stay eager: a finalizer may call them at exit,
# when nothing can be imported any more.)
_LATER = {
    "count_by": "drisk._rows",
    "sketch_by": "drisk._rows",
    "estimates": "drisk._tables",
    "rollup": "drisk._tables",
    "Overlap": "drisk._overlap",
    "overlap": "drisk._overlap",
    "overlaps": "drisk._overlap",
}


def __getattr__(name: str) -> Any:
    home = _LATER.get(name)
    if home is None:
        raise AttributeError(f"module 'drisk' has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value  # later lookups skip this function
    return value


__all__ = [
    "FileChangedError",
    "HyperLogLog",
    "Overlap",
    "__version__",
    "count_by",
    "error_bounds",
    "estimate",
    "estimates",
    "fold",
    "load",
    "overlap",
    "overlaps",
    "pack",
    "relative_error",
    "rollup",
    "sketch_by",
    "summary",
    "union",
    "unpack",
    "update_file",
    "update_lines",
    "update_many",
    "update_stream",
]


def _restore(data: bytes) -> HyperLogLog:
    """Rebuild a sketch pickled in the raw form: by drisk 0.1.0, or one holding
    register values that only raw bytes give. Module-level, so that pickle can
    name it; older pickles name it too, so it stays."""
    return HyperLogLog.from_bytes(data)


def _restore_packed(data: bytes) -> HyperLogLog:
    """Rebuild a sketch pickled in the packed form."""
    return unpack(data)


def _reduce(sketch: HyperLogLog) -> tuple[Callable[[bytes], HyperLogLog], tuple[bytes]]:
    try:
        return _restore_packed, (pack(sketch),)
    except ValueError:
        # Registers above 65 - p (only from_bytes() gives them) have no packed form.
        return _restore, (sketch.to_bytes(),)


copyreg.pickle(HyperLogLog, _reduce)


def __dir__() -> list[str]:
    return list(__all__)


def _register_dask_sizeof(sizeof: Any) -> None:
    """The dask.sizeof entry point: Dask's memory accounting sees a sketch's
    registers, not just its object header."""

    @sizeof.register(HyperLogLog)  # type: ignore[untyped-decorator, unused-ignore]
    def sizeof_sketch(sketch: HyperLogLog) -> int:
        return sys.getsizeof(sketch) + len(sketch)
