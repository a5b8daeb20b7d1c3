"""Fuzz HyperLogLog.from_bytes with arbitrary buffers, then every method."""

import pickle
import sys

import atheris

with atheris.instrument_imports():
    import drisk
    from drisk import HyperLogLog


def exercise(h: HyperLogLog, data: bytes) -> None:
    p = data[0]
    assert h.to_bytes() == data
    assert h.registers() == data[1:]
    assert len(h) == 2**p and repr(h) == f"HyperLogLog(p={p})"
    value = h.count()
    assert isinstance(value, float)
    c = h.copy()
    assert c.to_bytes() == data
    c.merge(h)
    assert c.to_bytes() == data  # merging a sketch into its copy changes nothing
    c.update(data[:32])
    c.update_str(data[:8].hex())
    assert all(x >= y for x, y in zip(c.registers(), h.registers()))
    empty = HyperLogLog(p)
    empty.merge(h)
    assert empty.to_bytes() == data
    assert pickle.loads(pickle.dumps(h)).to_bytes() == data
    drisk.update_lines(c, data, False)
    try:
        h.merge(HyperLogLog(4 if p != 4 else 5))
    except ValueError:
        pass
    else:
        raise AssertionError("merge accepted a different p")
    assert h.to_bytes() == data


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        # Arbitrary bytes: mostly refused, which must be a ValueError.
        raw = fdp.ConsumeBytes(fdp.remaining_bytes())
    else:
        # A well-formed header with arbitrary registers: mostly accepted.
        p = fdp.ConsumeIntInRange(4, 12)
        body = fdp.ConsumeBytes(2**p)
        raw = bytes([p]) + body * (2**p // max(len(body), 1)) + body[: 2**p % max(len(body), 1)]
        if not body:
            raw = bytes([p]) + bytes(2**p)
    try:
        h = HyperLogLog.from_bytes(raw)
    except ValueError:
        return
    exercise(h, raw)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
