from collections.abc import Callable

def group_lines(
    read: Callable[[memoryview], int],
    key: tuple[int, ...],
    values: tuple[int, ...],
    delimiter: int,
    p: int,
    confidence: float | None = None,
    sketches: bool = False,
) -> tuple[list[bytes], list[float], list[float] | None, list[float] | None, list[bytes] | None, int, int]: ...
