"""pack(), unpack(), load() and pickling through the packed form.

The oracle is a pure-Python writer and reader of the format, written from its
description (packed.hpp) with xxhash's own XXH3-64 for the checksum.
"""

import pickle
import random

import pytest
import xxhash
from hypothesis import given
from hypothesis import strategies as st

import drisk
import drisk._pack
from drisk import HyperLogLog, load, pack, unpack

MAGIC = b"\xe2HLL"
DENSE, SPARSE = 0, 1


# ---------------------------------------------------------------------------
# The reference writer and reader
# ---------------------------------------------------------------------------


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def sparse_body(registers):
    body, following = bytearray(), 0
    for index, value in enumerate(registers):
        if value:
            body += varint((index - following) << 6 | value)
            following = index + 1
    return bytes(body)


def framed(p, encoding, body, version=1):
    """Header, body and a correct checksum, whatever the fields say."""
    data = MAGIC + bytes([version, encoding, p]) + body
    return data + xxhash.xxh3_64_intdigest(data).to_bytes(8, "little")


def reference_pack(p, registers):
    m = 2**p
    sparse = sparse_body(registers)
    if len(sparse) < m - m // 32:
        return framed(p, SPARSE, sparse)
    return framed(p, DENSE, bytes(registers))


def reference_unpack(data):
    """(p, registers), or ValueError for anything the format does not allow."""
    if len(data) < 15 or data[:4] != MAGIC or data[4] != 1:
        raise ValueError("frame")
    if xxhash.xxh3_64_intdigest(data[:-8]) != int.from_bytes(data[-8:], "little"):
        raise ValueError("checksum")
    encoding, p, body = data[5], data[6], data[7:-8]
    if not 4 <= p <= 18:
        raise ValueError("p")
    m, top = 2**p, 65 - p
    if encoding == DENSE:
        if len(body) != m or max(body) > top:
            raise ValueError("dense")
        return p, bytes(body)
    if encoding != SPARSE:
        raise ValueError("encoding")
    registers, following, pos = bytearray(m), 0, 0
    while pos < len(body):
        entry = shift = 0
        while True:
            if shift == 28 or pos == len(body):
                raise ValueError("entry")
            byte = body[pos]
            pos += 1
            entry |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        index, value = following + (entry >> 6), entry & 63
        if index >= m or not 1 <= value <= top:
            raise ValueError("entry")
        registers[index] = value
        following = index + 1
    return p, bytes(registers)


def sketch_with(p, registers):
    return HyperLogLog.from_bytes(bytes([p]) + bytes(registers))


def random_registers(p, zero_fraction, seed):
    rng = random.Random(seed)
    return [0 if rng.random() < zero_fraction else rng.randint(1, 65 - p) for _ in range(2**p)]


def fed(p, n):
    h = HyperLogLog(p)
    drisk.update_many(h, [f"item-{i}" for i in range(n)])
    return h


# ---------------------------------------------------------------------------
# Layout and sizes
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("p", range(4, 19))
@pytest.mark.parametrize("zero_fraction", [1.0, 0.999, 0.9, 0.5, 0.05, 0.0])
def test_matches_the_reference_writer_and_round_trips(p, zero_fraction):
    registers = random_registers(p, zero_fraction, seed=p)
    h = sketch_with(p, registers)
    data = pack(h)
    assert data == reference_pack(p, registers)
    assert reference_unpack(data) == (p, bytes(registers))
    again = unpack(data)
    assert again.to_bytes() == h.to_bytes()
    assert again.count() == h.count()


@pytest.mark.parametrize("p", range(4, 19))
def test_empty_sketch_is_at_most_16_bytes(p):
    data = pack(HyperLogLog(p))
    assert len(data) <= 16
    assert data[:7] == MAGIC + bytes([1, SPARSE, p])


@pytest.mark.parametrize("p", [4, 10, 14, 18])
def test_full_sketch_is_at_most_m_plus_16_bytes(p):
    registers = random_registers(p, 0.0, seed=1)
    data = pack(sketch_with(p, registers))
    assert len(data) <= 2**p + 16
    # The dense body is the raw form, p included.
    assert data[6:-8] == bytes([p]) + bytes(registers)


def test_100_items_at_p14_is_at_most_400_bytes():
    assert len(pack(fed(14, 100))) <= 400


def test_dense_while_sparse_saves_too_little():
    # 5 m items leave ~0.7 % of the registers at zero: a sparse body would be
    # a little smaller, not a 32nd.
    h = fed(10, 5 * 1024)
    registers = h.registers()
    assert 0 < registers.count(0) and len(sparse_body(registers)) < 1024
    assert pack(h)[5] == DENSE


@st.composite
def valid_sketches(draw):
    p = draw(st.integers(4, 10))
    m = 2**p
    used = draw(st.dictionaries(st.integers(0, m - 1), st.integers(1, 65 - p), max_size=m))
    if draw(st.booleans()):  # mostly full
        used = {i: used.get(i, 1 + i % (65 - p)) for i in range(m)}
    return p, [used.get(i, 0) for i in range(m)]


@given(valid_sketches())
def test_round_trip_property(sketch):
    p, registers = sketch
    h = sketch_with(p, registers)
    data = pack(h)
    assert data == reference_pack(p, registers)
    again = unpack(data)
    assert again.registers() == bytes(registers)
    assert pack(again) == data


# ---------------------------------------------------------------------------
# Damaged and foreign data
# ---------------------------------------------------------------------------

SAMPLES = {
    "empty p=4": lambda: pack(HyperLogLog(4)),
    "sparse p=9": lambda: pack(fed(9, 40)),
    "dense p=5": lambda: pack(fed(5, 2000)),
    "sparse, long gaps p=18": lambda: pack(fed(18, 3)),
}


@pytest.mark.parametrize("name", SAMPLES)
def test_every_truncation_and_extension_is_refused(name):
    data = SAMPLES[name]()
    for length in range(len(data)):
        with pytest.raises(ValueError):
            unpack(data[:length])
    for extra in (b"\x00", b"\x00" * 8, data[-8:]):
        with pytest.raises(ValueError):
            unpack(data + extra)


@pytest.mark.parametrize("name", SAMPLES)
def test_every_single_byte_change_is_refused(name):
    data = SAMPLES[name]()
    for position in range(len(data)):
        for value in range(256):
            if value != data[position]:
                changed = data[:position] + bytes([value]) + data[position + 1 :]
                with pytest.raises(ValueError):
                    unpack(changed)


def top(p):
    return 65 - p


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "truncated packed sketch: 0 bytes, the smallest packed sketch has 15"),
        (MAGIC[:3], "truncated packed sketch: 3 bytes"),
        (MAGIC + b"\x01\x01\x04", "truncated packed sketch: 7 bytes"),
        (b"PK\x03\x04" + bytes(40), "not a packed sketch: it does not start with the magic number E2 48 4C 4C"),
        (
            b"\x04" + bytes(16),
            "it has the length of a raw to_bytes() sketch; read that with HyperLogLog.from_bytes or drisk.load",
        ),
        (framed(4, SPARSE, b"", version=2), "packed sketch of format version 2, this drisk reads version 1"),
        (framed(4, SPARSE, b"")[:-1] + b"\x00", "damaged packed sketch: checksum mismatch"),
        (framed(3, SPARSE, b""), "damaged packed sketch: p must be between 4 and 18 inclusive, got 3"),
        (framed(19, SPARSE, b""), "damaged packed sketch: p must be between 4 and 18 inclusive, got 19"),
        (framed(4, 2, b""), "damaged packed sketch: unknown encoding 2"),
        (framed(4, DENSE, bytes(15)), "damaged packed sketch: dense body of 15 bytes, p=4 needs 16"),
        (framed(4, DENSE, bytes(17)), "damaged packed sketch: dense body of 17 bytes, p=4 needs 16"),
        (
            framed(4, DENSE, bytes(5) + bytes([62]) + bytes(10)),
            "damaged packed sketch: register 5 holds 62, above 61, the largest value insertion stores at p=4",
        ),
        (
            framed(14, SPARSE, varint(7 << 6 | 52)),
            "damaged packed sketch: register 7 holds 52, above 51, the largest value insertion stores at p=14",
        ),
        (
            framed(4, SPARSE, varint(3 << 6 | 0)),
            "damaged packed sketch: sparse entry at offset 7 gives register 3 the value 0",
        ),
        (
            framed(4, SPARSE, varint(1) + varint(15 << 6 | 1)),
            "damaged packed sketch: sparse entry at offset 8 names register 16, past the last of p=4 (15)",
        ),
        (framed(4, SPARSE, varint(1) + b"\x81"), "damaged packed sketch: sparse entry at offset 8 is cut short"),
        (
            framed(18, SPARSE, b"\x81\x80\x80\x80\x00"),
            "damaged packed sketch: sparse entry at offset 7 runs past 4 bytes",
        ),
    ],
)
def test_refusals(data, message):
    with pytest.raises(ValueError) as info:
        unpack(data)
    assert message in str(info.value)
    assert not hasattr(info.value, "__notes__")


def mixed_entries(p, count, rng):
    """`count` valid entries whose varints take 1 to 4 bytes (as far as 2**p
    allows), as (gap, value) pairs that fit in 2**p registers."""
    entries, used = [], 0
    for _ in range(count):
        # Gaps giving 1, 2, 3 and 4 byte entries: below 2, 2**8, 2**15, 2**22.
        limit = rng.choice([2, 2**8, 2**15, 2**22])
        gap = rng.randrange(min(limit, max(1, 2**p - used - (count - len(entries)))))
        entries.append((gap, rng.randint(1, 65 - p)))
        used += gap + 1
    return entries


# A damaged entry, its bytes and the refusal it must get at its offset.
FAULTS = {
    "runs past 4 bytes": (b"\x81\x80\x80\x80\x00", "runs past 4 bytes"),
    "five continuation bytes": (b"\xff" * 5, "runs past 4 bytes"),
    "value 0": (varint(0), "the value 0"),
    "value too high": (varint(63), "above"),
    "past the last register": (varint(2**18 << 6 | 1), "past the last of"),
}


@pytest.mark.parametrize("p", [4, 12, 18])
@pytest.mark.parametrize("fault", FAULTS)
def test_a_damaged_entry_is_refused_at_its_offset_wherever_it_lies(p, fault):
    # Valid entries of every length before the damaged one put it at every
    # position within and across 8-byte words; the offset comes from the
    # lengths of the reference writer's varints.
    bad, what = FAULTS[fault]
    rng = random.Random(f"{p} {fault}")
    for before in range(24):
        entries = mixed_entries(p, before, rng) if before < 2**p else []
        body = b"".join(varint(gap << 6 | value) for gap, value in entries)
        for after in (b"", b"\x01" * 9):
            data = framed(p, SPARSE, body + bad + after)
            with pytest.raises(ValueError, match=what) as info:
                unpack(data)
            message = str(info.value)
            if fault == "value too high":  # named by its register, not its offset
                index = sum(gap + 1 for gap, _ in entries)
                assert message.startswith(f"damaged packed sketch: register {index} holds 63")
            else:
                assert message.startswith(f"damaged packed sketch: sparse entry at offset {7 + len(body)} ")


@pytest.mark.parametrize("p", range(4, 19))
def test_entries_of_every_length_decode_as_the_reference_reads_them(p):
    rng = random.Random(p)
    for count in [*range(1, 20), 100, 1000]:
        if count > 2**p:
            continue
        entries = mixed_entries(p, count, rng)
        data = framed(p, SPARSE, b"".join(varint(gap << 6 | value) for gap, value in entries))
        expected_p, registers = reference_unpack(data)
        assert unpack(data).to_bytes() == bytes([expected_p]) + registers
        # Every cut of the body is refused exactly when the reference refuses it.
        for cut in range(len(data) - 8 - 7):
            cut_data = framed(p, SPARSE, data[7 : 7 + cut])
            try:
                expected = reference_unpack(cut_data)
            except ValueError:
                with pytest.raises(ValueError):
                    unpack(cut_data)
            else:
                assert unpack(cut_data).to_bytes() == bytes([expected[0]]) + expected[1]


@st.composite
def checksummed(draw):
    """Correctly framed and checksummed data with arbitrary fields and body."""
    p = draw(st.integers(3, 10))
    encoding = draw(st.sampled_from([DENSE, SPARSE, 2]))
    kind = draw(st.sampled_from(["bytes", "registers", "entries"]))
    if kind == "bytes":
        body = draw(st.binary(max_size=64))
    elif kind == "registers":  # the dense length; values all valid, or any up to 63
        modulus = draw(st.sampled_from([64, 66 - p]))
        body = bytes(b % modulus for b in draw(st.binary(min_size=2**p, max_size=2**p)))
    else:  # well-formed entries, gaps and values anywhere
        entries = draw(st.lists(st.tuples(st.integers(0, 2**p), st.integers(0, 63)), max_size=20))
        body = b"".join(varint(gap << 6 | value) for gap, value in entries)
    return framed(p, encoding, body)


@given(checksummed())
def test_unpack_accepts_exactly_what_the_reference_accepts(data):
    try:
        expected = reference_unpack(data)
    except ValueError:
        with pytest.raises(ValueError):
            unpack(data)
    else:
        assert unpack(data).to_bytes() == bytes([expected[0]]) + expected[1]


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_unpack_takes_any_bytes_like_object(wrap):
    h = fed(8, 50)
    assert unpack(wrap(pack(h))).registers() == h.registers()


@pytest.mark.parametrize(
    "call, message, note",
    [
        (lambda: unpack("text"), "a bytes-like object is required, not 'str'", "while processing 'data'"),
        (lambda: unpack(None), "a bytes-like object is required, not 'NoneType'", "while processing 'data'"),
        (
            lambda: pack(b"\x04" + bytes(16)),
            "'bytes' object is not an instance of 'HyperLogLog'",
            "while processing 'sketch'",
        ),
    ],
)
def test_wrong_types(call, message, note):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)
    assert info.value.__notes__ == [note]


def test_pack_refuses_registers_insertion_cannot_produce():
    raw = b"\x04" + bytes(3) + bytes([62]) + bytes(12)
    h = HyperLogLog.from_bytes(raw)
    with pytest.raises(ValueError, match="cannot pack this sketch: register 3 holds 62, above 61"):
        pack(h)
    assert h.to_bytes() == raw


# ---------------------------------------------------------------------------
# load()
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("form", ["raw", "packed"])
@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
@pytest.mark.parametrize("p", [4, 12, 18])
def test_load_reads_both_forms(form, wrap, p):
    h = fed(p, 300)
    data = h.to_bytes() if form == "raw" else pack(h)
    assert load(wrap(data)).registers() == h.registers()


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "truncated packed sketch"),
        (b"\x04" + bytes(15), "not a packed sketch"),
        (b"\x13" + bytes(2**19), "not a packed sketch"),
        (pack(HyperLogLog(4))[:-1] + b"?", "checksum mismatch"),
    ],
    ids=["empty", "raw, one byte short", "raw, p=19", "damaged"],
)
def test_load_refuses_everything_else(data, message):
    with pytest.raises(ValueError, match=message):
        load(data)


@pytest.mark.parametrize("form", ["raw", "packed"])
@pytest.mark.parametrize("step", [2, -1])
def test_load_refuses_a_strided_buffer(form, step):
    h = fed(4, 30)
    data = h.to_bytes() if form == "raw" else pack(h)
    spread = bytearray(len(data) * abs(step))
    spread[:: abs(step)] = data
    view = memoryview(spread)[::step] if step > 0 else memoryview(data[::-1])[::-1]
    assert bytes(view) == data  # the right bytes, but not one run
    with pytest.raises(ValueError, match="^not a stored sketch: a non-contiguous buffer"):
        load(view)
    assert load(bytes(view)).registers() == h.registers()


def reference_form(data):
    """The form load() reads `data` in, told as the format's description
    tells the two apart; None for neither."""
    if len(data) >= 15 and data[:4] == MAGIC and data[5] in (DENSE, SPARSE):
        return "packed-dense" if data[5] == DENSE else "packed-sparse"
    if data and 4 <= data[0] <= 18 and len(data) == 1 + 2 ** data[0]:
        return "raw"
    return None


@pytest.mark.parametrize("p", [4, 12, 18])
@pytest.mark.parametrize("n", [0, 100, 100_000])
def test_form_names_what_pack_and_to_bytes_wrote(p, n):
    h = fed(p, n)
    packed = pack(h)
    dense = len(packed) == 2**p + 15  # the dense body is the registers, one byte each
    assert drisk._pack.form(packed) == ("packed-dense" if dense else "packed-sparse")
    assert drisk._pack.form(bytearray(h.to_bytes())) == "raw"


@pytest.mark.parametrize(
    "data",
    [b"", b"\x04", b"\x04" + bytes(15), b"\x04" + bytes(17), b"\x13" + bytes(2**19), MAGIC, pack(HyperLogLog(4))[:14]]
    + [pack(HyperLogLog(4))[:5] + bytes([encoding]) + pack(HyperLogLog(4))[6:] for encoding in (2, 255)],
    ids=["empty", "p alone", "raw, one byte short", "raw, one byte long", "raw, p=19", "magic alone", "short packed"]
    + ["encoding 2", "encoding 255"],
)
def test_form_refuses_data_in_neither_form(data):
    assert reference_form(data) is None
    with pytest.raises(ValueError, match="^not a stored sketch: neither the raw form"):
        drisk._pack.form(data)


raw_like = st.builds(lambda p, extra: bytes([p]) + bytes(2**p + extra), st.integers(0, 19), st.integers(-1, 1))


@given(st.binary(max_size=40) | checksummed() | raw_like)
def test_form_agrees_with_the_reference(data):
    try:
        form = drisk._pack.form(data)
    except ValueError:
        form = None
    assert form == reference_form(data)


# ---------------------------------------------------------------------------
# Pickling
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("protocol", range(0, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("n", [0, 100, 100_000])
def test_pickles_carry_the_packed_form(protocol, n):
    h = fed(12, n)
    data = pickle.dumps(h, protocol=protocol)
    assert b"_restore_packed" in data
    if protocol >= 3:  # bytes are stored as they are from protocol 3 on
        assert pack(h) in data and len(data) < len(pack(h)) + 64
    assert pickle.loads(data).to_bytes() == h.to_bytes()


def test_registers_without_a_packed_form_pickle_raw():
    raw = b"\x04" + bytes(range(240, 256))
    data = pickle.dumps(HyperLogLog.from_bytes(raw))
    assert raw in data and b"_restore_packed" not in data
    assert pickle.loads(data).to_bytes() == raw


class OldReducer:
    """What drisk 0.1.0 pickled for a sketch: drisk._restore(raw bytes)."""

    def __init__(self, raw):
        self.raw = raw

    def __reduce__(self):
        return drisk._restore, (self.raw,)


# pickle.dumps(h) as drisk 0.1.0 writes it (protocol 4), for h = HyperLogLog(4)
# after h.update(b"a"); h.update(b"b").
OLD_PICKLE = bytes.fromhex(
    "8004952e000000000000008c05647269736b948c085f726573746f72659493944311040000000000020000000000000000020094859452942e"
)


def test_a_pickle_of_drisk_0_1_0_loads():
    h = pickle.loads(OLD_PICKLE)
    assert list(h.registers()) == [0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0]
    g = HyperLogLog(4)
    g.update(b"a")
    g.update(b"b")
    assert h.registers() == g.registers()


@pytest.mark.parametrize("protocol", range(0, pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_of_the_raw_form_still_load(protocol):
    h = fed(10, 500)
    old = pickle.dumps(OldReducer(h.to_bytes()), protocol=protocol)
    assert b"_restore" in old and b"_restore_packed" not in old
    assert pickle.loads(old).to_bytes() == h.to_bytes()
