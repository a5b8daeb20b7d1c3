"""Fuzz update_lines and update_fields with arbitrary buffers against a
Python line splitter and field picker."""

import re
import sys

import atheris

with atheris.instrument_imports():
    import drisk
    import drisk._bulk
    from drisk import HyperLogLog


def expected_lines(data: bytes, final: bool) -> list[bytes]:
    parts = data.split(b"\n")
    tail = parts.pop()
    if final and tail:
        parts.append(tail)
    return [x[:-1] if x.endswith(b"\r") else x for x in parts]


def picked_fields(line: bytes, numbers: tuple[int, ...], delimiter: int) -> bytes | None:
    """Fields as awk (no delimiter) or cut (one) number them; None when the
    line lacks one."""
    if delimiter == -1:
        stripped = line.strip(b" \t")
        fields = re.split(rb"[ \t]+", stripped) if stripped else []
        separator = b" "
    else:
        separator = bytes([delimiter])
        fields = line.split(separator) if line else []
    if len(fields) < max(numbers):
        return None
    return separator.join(fields[n - 1] for n in numbers)


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    p = fdp.ConsumeIntInRange(4, 10)
    final = fdp.ConsumeBool()
    kind = fdp.ConsumeIntInRange(0, 2)
    numbers = tuple(sorted({fdp.ConsumeIntInRange(1, 5) for _ in range(fdp.ConsumeIntInRange(1, 3))}))
    delimiter = fdp.PickValueInList([-1, ord(","), ord(" "), ord("\t"), 0])
    raw = fdp.ConsumeBytes(fdp.remaining_bytes())
    buffer = (raw, bytearray(raw), memoryview(raw))[kind]
    h = HyperLogLog(p)
    lines = expected_lines(raw, final)
    assert drisk.update_lines(h, buffer, final) == len(lines)
    reference = HyperLogLog(p)
    for line in lines:
        reference.update(line)
    assert h.registers() == reference.registers()
    items = [picked_fields(line, numbers, delimiter) for line in lines]
    picked = [item for item in items if item is not None]
    fields = HyperLogLog(p)
    assert drisk._bulk.update_fields(fields, buffer, numbers, delimiter, final) == (
        len(picked),
        len(items) - len(picked),
    )
    reference = HyperLogLog(p)
    for item in picked:
        reference.update(item)
    assert fields.registers() == reference.registers()


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
