"""Fuzz update_lines with arbitrary buffers against a Python line splitter."""

import sys

import atheris

with atheris.instrument_imports():
    import drisk
    from drisk import HyperLogLog


def expected_lines(data: bytes, final: bool) -> list[bytes]:
    parts = data.split(b"\n")
    tail = parts.pop()
    if final and tail:
        parts.append(tail)
    return [x[:-1] if x.endswith(b"\r") else x for x in parts]


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    p = fdp.ConsumeIntInRange(4, 10)
    final = fdp.ConsumeBool()
    kind = fdp.ConsumeIntInRange(0, 2)
    raw = fdp.ConsumeBytes(fdp.remaining_bytes())
    buffer = (raw, bytearray(raw), memoryview(raw))[kind]
    h = HyperLogLog(p)
    lines = expected_lines(raw, final)
    assert drisk.update_lines(h, buffer, final) == len(lines)
    reference = HyperLogLog(p)
    for line in lines:
        reference.update(line)
    assert h.registers() == reference.registers()


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
