"""merge() and copy()."""

import random

import pytest

from _drisk import HyperLogLog


def fed(p, items):
    h = HyperLogLog(p)
    for item in items:
        h.update(item)
    return h


def random_sketch(rng, p):
    return HyperLogLog.from_bytes(bytes([p]) + rng.randbytes(2**p))


@pytest.mark.parametrize("p", [4, 12, 18])
def test_merge_laws(p):
    rng = random.Random(p)
    a, b, c = (random_sketch(rng, p) for _ in range(3))

    ab = a.copy()
    ab.merge(b)
    ba = b.copy()
    ba.merge(a)
    assert ab.registers() == ba.registers()  # commutative
    assert ab.registers() == bytes(map(max, a.registers(), b.registers()))

    again = ab.copy()
    again.merge(b)
    assert again.registers() == ab.registers()  # idempotent

    left = ab.copy()
    left.merge(c)
    bc = b.copy()
    bc.merge(c)
    right = a.copy()
    right.merge(bc)
    assert left.registers() == right.registers()  # associative


def test_merge_equals_union_of_items():
    xs = [f"x{i}".encode() for i in range(5000)]
    ys = [f"y{i}".encode() for i in range(3000)] + xs[:1000]
    a, b = fed(12, xs), fed(12, ys)
    a.merge(b)
    both = fed(12, xs + ys)
    assert a.registers() == both.registers()
    assert a.count() == both.count()


def test_merge_with_empty():
    a = fed(12, [b"1", b"2"])
    before = a.to_bytes()
    a.merge(HyperLogLog(12))
    assert a.to_bytes() == before
    e = HyperLogLog(12)
    e.merge(a)
    assert e.to_bytes() == before and e.count() == a.count()


@pytest.mark.parametrize("p, q", [(12, 14), (14, 12), (4, 18)])
def test_merge_precision_mismatch_touches_nothing(p, q):
    a, b = fed(p, [b"a"]), fed(q, [b"b"])
    before_a, before_b = a.to_bytes(), b.to_bytes()
    with pytest.raises(ValueError) as info:
        a.merge(b)
    assert str(info.value) == f"cannot merge sketches with different p ({p} vs {q})"
    assert not hasattr(info.value, "__notes__")
    assert a.to_bytes() == before_a and b.to_bytes() == before_b


def test_merge_never_modifies_other():
    a, b = fed(8, [b"a"]), fed(8, [b"b", b"c"])
    before = b.to_bytes()
    a.merge(b)
    assert b.to_bytes() == before


def test_copy_is_independent():
    h = fed(12, [b"a"])
    c = h.copy()
    assert type(c) is HyperLogLog and c is not h
    assert c.to_bytes() == h.to_bytes()
    c.update(b"something else")
    assert c.to_bytes() != h.to_bytes()
    assert h.registers().count(0) == 4095


def test_copy_keeps_registers_above_insertion_range():
    h = HyperLogLog.from_bytes(b"\x04" + bytes(range(240, 256)))
    assert h.copy().to_bytes() == h.to_bytes()
