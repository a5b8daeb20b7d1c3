from collections.abc import Iterable

from typing_extensions import Buffer

from _drisk import HyperLogLog

def update_many(sketch: HyperLogLog, items: Iterable[bytes | str]) -> int: ...
def update_lines(sketch: HyperLogLog, buffer: Buffer, final: bool = True) -> int: ...
