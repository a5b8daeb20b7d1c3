"""Type information for the _drisk extension module."""

from typing import SupportsIndex, final

__all__: list[str]
__version__: str

@final
class HyperLogLog:
    """HyperLogLog(p=12): a distinct-count sketch of 2**p one-byte registers."""

    def __new__(cls, p: SupportsIndex = 12) -> HyperLogLog: ...
    def update(self, data: bytes) -> None:
        """Add a single item."""
    def update_str(self, s: str) -> None:
        """Add a str item, hashed as its UTF-8 encoding."""
    def count(self) -> float:
        """The estimated number of distinct items added."""
    def merge(self, other: HyperLogLog) -> None:
        """In-place union with another sketch of the same `p`."""
    def copy(self) -> HyperLogLog:
        """An independent sketch with the same registers."""
    def registers(self) -> bytes:
        """Raw register bytes, exposed for debugging/serialization."""
    def to_bytes(self) -> bytes:
        """The serialized sketch: one byte p, then the 2**p registers."""
    @staticmethod
    def from_bytes(data: bytes) -> HyperLogLog:
        """Rebuild a sketch from the output of to_bytes()."""
    def __len__(self) -> int:
        """The register count 2**p."""
