"""drisk: fast HyperLogLog distinct counting."""

from _drisk import HyperLogLog, __version__

__all__ = ["HyperLogLog", "__version__"]
