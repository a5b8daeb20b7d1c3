"""docs/format.md describes the stored forms precisely enough for a reader in
another language: the reader it shows, run as it stands, and the rules it
gives (hash to register, the writer's choice of body, the version rule, the
worked example) are held against drisk's own writer and reader."""

import random

import pytest
import xxhash

import drisk
from support import DOCS, code_blocks

PAGE = DOCS / "format.md"


def page_reader():
    """read_packed() as the page defines it (its block runs whole: it checks
    itself on a sketch of 100 items)."""
    [block] = [code for code in code_blocks(PAGE, "python") if "def read_packed" in code]
    namespace = {}
    exec(compile(block, str(PAGE), "exec"), namespace)
    return namespace["read_packed"]


read_packed = page_reader()


def sealed(data):
    """Packed bytes with the checksum of the page recomputed over them."""
    return data + xxhash.xxh3_64_intdigest(data).to_bytes(8, "little")


def varint(n, width=None):
    """n as a LEB128 varint, in `width` bytes if given (the padding bytes
    hold zeros under the continuation bit)."""
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        more = n or (width is not None and len(out) + 1 < width)
        out.append(byte | 0x80 if more else byte)
        if not more:
            return bytes(out)


def entries(registers):
    """(gap, value) of each register in use, as the page defines a sparse body."""
    out, following = [], 0
    for index, value in enumerate(registers):
        if value:
            out.append((index - following, value))
            following = index + 1
    return out


def sketch_of(p, n):
    h = drisk.HyperLogLog(p)
    drisk.update_many(h, range(n))
    return h


def full_sketch(p):
    """A sketch with every register in use, each a value insertion stores."""
    rng = random.Random(p)
    return drisk.HyperLogLog.from_bytes(bytes([p]) + bytes(rng.randint(1, 65 - p) for _ in range(1 << p)))


@pytest.mark.parametrize("p", [4, 10, 14, 18])
@pytest.mark.parametrize("fill", [0, 1, 100, "full"])
def test_the_page_reader_reads_what_pack_writes(p, fill):
    h = full_sketch(p) if fill == "full" else sketch_of(p, fill)
    data = drisk.pack(h)
    assert read_packed(data) == (p, h.registers())
    assert drisk.unpack(data).registers() == h.registers()
    assert h.to_bytes() == bytes([p]) + h.registers()  # the raw form
    if data[5] == 0:
        assert data[6:-8] == h.to_bytes()  # a dense body after p is the raw form


@pytest.mark.parametrize("p", [4, 12, 18])
def test_registers_follow_the_page_rule_from_the_hash(p):
    items = [b"item%d" % i for i in range(3000)] + [b"", "\u00e9t\u00e9".encode()]
    registers = bytearray(1 << p)
    for item in items:
        h = xxhash.xxh3_64_intdigest(item, seed=0)
        index = h >> (64 - p)
        rest = (h << p) & (2**64 - 1)
        rank = 65 - p if rest == 0 else 64 - rest.bit_length() + 1
        registers[index] = max(registers[index], rank)
    sketch = drisk.HyperLogLog(p)
    drisk.update_many(sketch, items)
    assert sketch.registers() == bytes(registers)


def test_the_worked_example_of_the_page():
    registers = bytearray(16)
    registers[2], registers[3] = 5, 1
    sketch = drisk.HyperLogLog.from_bytes(bytes([4]) + bytes(registers))
    assert drisk.pack(sketch) == sealed(bytes.fromhex("E2484C4C01010485 0101"))


@pytest.mark.parametrize("p", [6, 10, 12])
def test_the_writer_chooses_the_body_by_the_page_rule(p):
    m = 1 << p
    for n in [0, 1, m // 8, m // 4, m // 2, m, 2 * m, 4 * m]:
        registers = sketch_of(p, n).registers()
        sparse = sum(len(varint(gap << 6 | value)) for gap, value in entries(registers))
        data = drisk.pack(drisk.HyperLogLog.from_bytes(bytes([p]) + registers))
        assert data[5] == (1 if sparse < m - m // 32 else 0), n
        assert len(data) == 15 + (sparse if data[5] else m)


@pytest.mark.parametrize("width", [None, 4])
def test_entries_of_any_width_up_to_four_bytes_are_read(width):
    """A reader may meet entries written longer than they need: drisk takes
    them as the page says, up to four bytes."""
    registers = sketch_of(12, 300).registers()
    body = b"".join(varint(gap << 6 | value, width) for gap, value in entries(registers))
    data = sealed(b"\xe2HLL\x01\x01\x0c" + body)
    assert drisk.unpack(data).registers() == registers == read_packed(data)[1]


def test_a_fifth_byte_is_refused():
    data = sealed(b"\xe2HLL\x01\x01\x0c" + varint(1, 5))
    with pytest.raises(ValueError):
        drisk.unpack(data)


@pytest.mark.parametrize("version", [0, 2, 255])
def test_a_version_other_than_1_is_refused(version):
    data = drisk.pack(sketch_of(12, 100))
    changed = sealed(data[:4] + bytes([version]) + data[5:-8])
    with pytest.raises(ValueError):
        drisk.unpack(changed)
    with pytest.raises(ValueError):
        read_packed(changed)


@pytest.mark.parametrize("p", [4, 18])
def test_the_sizes_the_page_gives(p):
    assert len(drisk.pack(drisk.HyperLogLog(p))) == 15
    assert len(drisk.pack(full_sketch(p))) == (1 << p) + 15
