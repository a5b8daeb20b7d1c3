from collections.abc import Iterable

from typing_extensions import Buffer

from _drisk import HyperLogLog

RELEASE_GIL_BYTES: int
SPLIT_BYTES: int
BATCH: int

def update_many(sketch: HyperLogLog, items: Iterable[bytes | str | int | float | bool | None]) -> int: ...
def update_lines(sketch: HyperLogLog, buffer: Buffer, final: bool = True) -> int: ...
def update_joined(sketch: HyperLogLog, parts: Iterable[Buffer]) -> None: ...
def usable_cpus() -> int: ...
