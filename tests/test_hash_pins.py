"""XXH3-64 as built into the modules, pinned to fixed values.

Every stored sketch depends on these hashes: a change of the vendored xxHash
header (or of how it is compiled) that moved any of them would make new
sketches disagree with old ones, and must fail here. The values were taken
from the system's xxHash 0.8.1 before the header was vendored, and agree
with the xxhash package.
"""

import hashlib

import pytest

import drisk

# One input for each of XXH3's length classes: 0, 1-3, 4-8, 9-16, 17-128,
# 129-240 and longer.
PINNED = [
    (b"", 0x2D06800538D394C2),
    (b"a", 0xE6C632B61E964E1F),
    (b"abc", 0x78AF5F94892F3950),
    (b"drisk", 0xC79889E2106BCDA7),
    (b"0123456789abcdef", 0x64439946D8FA212D),
    (b"x" * 100, 0xC90984FFDF50CE42),
    (b"y" * 200, 0x78C5AE5CF7B1237E),
    (b"z" * 1000, 0xCD3A574700EDDF41),
]


@pytest.mark.parametrize(("item", "hash64"), PINNED, ids=[f"{len(i)}B" for i, _ in PINNED])
def test_one_item_lands_where_its_pinned_hash_says(item, hash64):
    p = 18
    h = drisk.HyperLogLog(p)
    h.update(item)
    registers = h.to_bytes()[1:]
    index = hash64 >> (64 - p)
    rest = (hash64 << p) & (2**64 - 1) | (1 << (p - 1))
    rank = 64 - rest.bit_length() + 1
    assert [(i, r) for i, r in enumerate(registers) if r] == [(index, rank)]


def corpus():
    for n in range(600):
        yield bytes((i * 131 + n) & 0xFF for i in range(n))
    for i in range(200_000):
        yield f"user-{i}".encode()


def test_registers_and_checksum_of_a_fixed_corpus():
    h = drisk.HyperLogLog(14)
    for item in corpus():
        h.update(item)
    assert hashlib.sha256(h.to_bytes()).hexdigest() == (
        "d6232df980a796db0d413b87ba3739c95ce7820c08c854e7ad63d52ae66031f9"
    )
    # The packed form ends in XXH3-64 of everything before it: a full 64-bit
    # hash of 16 KiB through the checksum's own build of the header.
    packed = drisk.pack(h)
    assert packed[-8:].hex() == "12e5dcf110e1a19b"
