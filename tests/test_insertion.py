"""Construction and insertion: registers agree with XXH3-64 on every path."""

import random

import pytest
import xxhash

from _drisk import HyperLogLog
from support import nonzero_registers


def expected_register(item: bytes, p: int):
    """Index and rank of one item, computed independently from xxhash."""
    h = xxhash.xxh3_64_intdigest(item)
    index = h >> (64 - p)
    rest = (h << p) & (2**64 - 1)
    rank = 65 - p if rest == 0 else 64 - rest.bit_length() + 1
    return index, min(rank, 65 - p)


def oracle_registers(items, p):
    regs = bytearray(2**p)
    for item in items:
        j, r = expected_register(item, p)
        regs[j] = max(regs[j], r)
    return bytes(regs)


@pytest.mark.parametrize("p, m", [(None, 4096), (4, 16), (12, 4096), (18, 262144)])
def test_construction(p, m):
    h = HyperLogLog() if p is None else HyperLogLog(p)
    assert len(h) == m
    assert repr(h) == f"HyperLogLog(p={p or 12})"
    assert h.registers() == bytes(m)


@pytest.mark.parametrize("p", [0, 3, 19, 20, 255])
def test_precision_out_of_range(p):
    with pytest.raises(ValueError, match=rf"^p must be between 4 and 18 inclusive, got {p}$"):
        HyperLogLog(p)


@pytest.mark.parametrize(
    "p, item, index, rank",
    [
        (12, b"", 720, 2),
        (4, b"", 2, 1),
        (18, b"", 46106, 12),
        (12, b"a", 3692, 2),
        (12, b"ab", 2695, 3),
        (12, b"abcd", 1609, 2),
        (12, b"hello world", 3396, 2),
        (12, b"abcdefghijklmnopq", 3239, 1),
        (12, bytes(range(129)), 3783, 2),
        (12, bytes(i % 251 for i in range(2000)), 2259, 1),
        (12, b"\xc3\xa9", 3961, 2),
    ],
)
def test_single_item_registers(p, item, index, rank):
    h = HyperLogLog(p)
    h.update(item)
    assert nonzero_registers(h) == {index: rank}
    h.update(item)
    assert nonzero_registers(h) == {index: rank}


@pytest.mark.parametrize("text", ["", "é", "plain ascii", "日本語テキスト", "emoji 🎉", "x" * 300])
def test_update_str_equals_update_of_utf8(text):
    a, b = HyperLogLog(), HyperLogLog()
    a.update_str(text)
    b.update(text.encode("utf-8"))
    assert a.registers() == b.registers()


# Lengths that cover every XXH3 path: 0, 1-3, 4-8, 9-16, 17-128, 129-240, >240
# (with the stripe and block boundaries of the long path).
LENGTHS = [0, 1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 64, 127, 128, 129, 200, 240, 241, 1024, 1025, 5000]


@pytest.mark.parametrize("p", [4, 7, 12, 16, 18])
def test_registers_agree_with_xxhash(p):
    rng = random.Random(p)
    items = [rng.randbytes(n) for n in LENGTHS for _ in range(40)]
    h = HyperLogLog(p)
    for item in items:
        h.update(item)
    assert h.registers() == oracle_registers(items, p)


def test_insertion_never_lowers_a_loaded_register():
    h = HyperLogLog.from_bytes(b"\x04" + bytes([255]) * 16)
    for i in range(100):
        h.update(str(i).encode())
    assert h.registers() == bytes([255]) * 16
