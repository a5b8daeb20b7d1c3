from collections.abc import Callable, Iterable

from typing_extensions import Buffer

from _drisk import HyperLogLog

RELEASE_GIL_BYTES: int
SPLIT_BYTES: int
BATCH: int

def update_many(sketch: HyperLogLog, items: Iterable[bytes | str | int | float | bool | None]) -> int: ...
def update_lines(sketch: HyperLogLog, buffer: Buffer, final: bool = True) -> int: ...
def update_joined(sketch: HyperLogLog, parts: Iterable[Buffer]) -> None: ...
def usable_cpus() -> int: ...
def update_fields(
    sketch: HyperLogLog, buffer: Buffer, fields: tuple[int, ...], delimiter: int, final: bool = True
) -> tuple[int, int]: ...
def update_joined_fields(
    sketch: HyperLogLog, parts: Iterable[Buffer], fields: tuple[int, ...], delimiter: int
) -> bool: ...
def read_regular(
    sketch: HyperLogLog,
    fd: int,
    start: int,
    size: int,
    block: int,
    region: int,
    helper: bool,
    progress: Callable[[int], object] | None,
    fields: tuple[int, ...],
    delimiter: int,
) -> tuple[int, int, bool, bool]: ...
