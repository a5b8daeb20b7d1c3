"""to_bytes(), registers() and from_bytes()."""

import random

import pytest

from _drisk import HyperLogLog


def test_layout():
    assert HyperLogLog(4).to_bytes() == b"\x04" + bytes(16)
    h = HyperLogLog()
    assert h.registers() == bytes(4096)
    h.update(b"abc")
    assert h.to_bytes()[1:] == h.registers()
    assert h.to_bytes()[0] == 12


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "empty byte buffer"),
        (b"\x03", "p must be between 4 and 18 inclusive, got 3"),
        (b"\x00" + bytes(1), "p must be between 4 and 18 inclusive, got 0"),
        (b"\xff", "p must be between 4 and 18 inclusive, got 255"),
        (b"\x13" + bytes(524288), "p must be between 4 and 18 inclusive, got 19"),
        (b"\x04", "expected 16 register bytes for p=4, got 0"),
        (b"\x04" + bytes(15), "expected 16 register bytes for p=4, got 15"),
        (b"\x04" + bytes(17), "expected 16 register bytes for p=4, got 17"),
        (b"\x0c" + bytes(4095), "expected 4096 register bytes for p=12, got 4095"),
        (b"\x12" + bytes(262146), "expected 262144 register bytes for p=18, got 262146"),
    ],
)
def test_refusals(data, message):
    with pytest.raises(ValueError) as info:
        HyperLogLog.from_bytes(data)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("p", [4, 12, 14, 18])
def test_round_trip(p):
    rng = random.Random(p)
    h = HyperLogLog(p)
    for _ in range(1000):
        h.update(rng.randbytes(rng.randrange(30)))
    data = h.to_bytes()
    g = HyperLogLog.from_bytes(data)
    assert len(data) == 2**p + 1
    assert g.to_bytes() == data
    assert (len(g), repr(g), g.count()) == (len(h), repr(h), h.count())


@pytest.mark.parametrize("p", [4, 12, 18])
def test_any_register_byte_round_trips(p):
    data = bytes([p]) + random.Random(p).randbytes(2**p)
    assert HyperLogLog.from_bytes(data).to_bytes() == data


def test_all_255_accepted():
    h = HyperLogLog.from_bytes(b"\x04" + bytes([255]) * 16)
    assert h.registers() == bytes([255]) * 16


def test_returned_bytes_do_not_follow_later_updates():
    h = HyperLogLog(4)
    regs, data = h.registers(), h.to_bytes()
    h.update(b"x")
    assert regs == bytes(16) and data == b"\x04" + bytes(16)


def test_from_bytes_copies_its_input():
    source = b"\x04" + bytes(16)
    h = HyperLogLog.from_bytes(source)
    h.update(b"x")
    assert source == b"\x04" + bytes(16)
