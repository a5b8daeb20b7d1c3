"""Fields of lines: held to awk's and cut's own output, added line by line.

Every reading path is checked (a buffer, split between two cores or not; a
regular file in blocks, with a helper or not; a stream in chunks; gzip), on
lines long enough to be hashed piece by piece, with runs of blanks, tabs,
trailing delimiters, empty lines, CRLF and a last line without a newline.
"""

import gzip
import io
import random
import re
import shutil
import subprocess

import pytest
from hypothesis import given
from hypothesis import strategies as st

import drisk._regular
from drisk import HyperLogLog
from drisk._bulk import SPLIT_BYTES, update_fields, update_joined_fields
from drisk._files import update_file_fields
from drisk._streams import absorb
from support import one_by_one

AWK = shutil.which("awk")
CUT = shutil.which("cut")
pytestmark = pytest.mark.skipif(AWK is None, reason="no awk here")

P = 10


def random_lines(seed, n=1500, alphabet=b"ab, \t,;x\r", longest=40):
    """Lines over a small alphabet full of delimiters and blanks, ending in
    "\\n" or "\\r\\n", with empty lines and, now and then, a last line
    without an ending."""
    rng = random.Random(seed)
    lines = []
    for _ in range(n):
        length = rng.choice([0, 1, 3, 8, longest])
        line = bytes(rng.choice(alphabet) for _ in range(rng.randrange(length + 1)))
        lines.append(line + rng.choice([b"\n", b"\r\n"]))
    if rng.random() < 0.5:
        lines.append(b"a b,c\td" + rng.choice([b"", b"\r"]))
    return b"".join(lines)


def awk_items(data, numbers, delimiter):
    """What awk prints for the fields, from lines that have them all; and how
    many lines it leaves out. Line endings go first, as the line splitter
    takes them ("\\r\\n", and a "\\r" that ends the input)."""
    text = re.sub(rb"\r\n", b"\n", data)
    text = text.removesuffix(b"\r")
    if delimiter is None:
        options, separator = [], " "
    else:
        # A one-character -F is a regular expression for awk when it is a
        # space: a bracket makes any character literal.
        options, separator = ["-F", f"[{delimiter}]" if delimiter != "\t" else "\t"], delimiter
    joined = " OFS ".join(f"${n}" for n in numbers)
    program = f"NF >= {max(numbers)} {{ print {joined} }}"
    out = subprocess.run(
        [AWK, *options, "-v", f"OFS={separator}", program],
        input=text,
        capture_output=True,
        check=True,
        env={"LC_ALL": "C"},
    ).stdout
    items = out.split(b"\n")[:-1]
    lines = text.count(b"\n") + (not text.endswith(b"\n") and len(text) > 0)
    return items, lines - len(items)


def expected(data, numbers, delimiter):
    items, skipped = awk_items(data, numbers, delimiter)
    return one_by_one(P, items).registers(), len(items), skipped


CHOICES = [((1,), None), ((2,), None), ((1, 3), None), ((3,), ","), ((1, 2), ","), ((2, 4), "\t"), ((2,), " ")]


def fields_of(numbers, delimiter):
    return numbers, -1 if delimiter is None else ord(delimiter)


@pytest.mark.parametrize("numbers, delimiter", CHOICES)
@pytest.mark.parametrize("seed", [1, 2])
def test_buffer_fields_match_awk(numbers, delimiter, seed):
    data = random_lines(seed)
    registers, items, skipped = expected(data, numbers, delimiter)
    h = HyperLogLog(P)
    assert update_fields(h, data, *fields_of(numbers, delimiter)) == (items, skipped)
    assert h.registers() == registers


@pytest.mark.parametrize("numbers, delimiter", [((1,), None), ((1, 3), ",")])
def test_buffer_fields_on_two_cores(numbers, delimiter):
    """A buffer past the split threshold is shared between threads: the same
    items as awk's."""
    block = random_lines(3) + b"\n"
    data = block * (SPLIT_BYTES // len(block) + 2) + random_lines(4)
    assert len(data) > SPLIT_BYTES
    registers, items, skipped = expected(data, numbers, delimiter)
    h = HyperLogLog(P)
    assert update_fields(h, data, *fields_of(numbers, delimiter)) == (items, skipped)
    assert h.registers() == registers


@pytest.mark.parametrize("numbers, delimiter", CHOICES)
@pytest.mark.parametrize("block_size", [1, 3, 64, 4096])
@pytest.mark.parametrize("helper", [False, True])
def test_file_fields_match_awk(tmp_path, monkeypatch, numbers, delimiter, block_size, helper):
    """Small blocks make most lines longer than a block: their fields are
    picked piece by piece."""
    monkeypatch.setattr(drisk._regular, "BLOCK_SIZE", block_size)
    monkeypatch.setattr(drisk._regular, "usable_cpus", lambda: 2 if helper else 1)
    data = random_lines(4, n=400, longest=200)
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    registers, items, skipped = expected(data, numbers, delimiter)
    h = HyperLogLog(P)
    assert update_file_fields(h, path, fields=fields_of(numbers, delimiter)) == (items, skipped)
    assert h.registers() == registers


@pytest.mark.parametrize("numbers, delimiter", CHOICES)
@pytest.mark.parametrize("chunk_size", [1, 5, 64, 1 << 20])
def test_stream_fields_match_awk(numbers, delimiter, chunk_size):
    data = random_lines(5, n=400, longest=200)
    registers, items, skipped = expected(data, numbers, delimiter)
    h = HyperLogLog(P)
    assert absorb(h, io.BytesIO(data).readinto, chunk_size, fields_of(numbers, delimiter)) == (items, skipped)
    assert h.registers() == registers


@pytest.mark.parametrize("numbers, delimiter", [((1,), None), ((2, 3), ",")])
def test_compressed_fields_match_awk(tmp_path, numbers, delimiter):
    data = random_lines(6)
    path = tmp_path / "in.gz"
    path.write_bytes(gzip.compress(data))
    registers, items, skipped = expected(data, numbers, delimiter)
    h = HyperLogLog(P)
    assert update_file_fields(h, path, fields=fields_of(numbers, delimiter)) == (items, skipped)
    assert h.registers() == registers


@pytest.mark.skipif(CUT is None, reason="no cut here")
@pytest.mark.parametrize("listed", ["1", "2", "1,3", "2-4"])
def test_fields_match_cut(listed):
    """Where every line has the fields, cut prints the same items."""
    rng = random.Random(7)
    rows = [",".join(rng.choice(["", "a", "b b", "c\t", "dd"]) for _ in range(5)) for _ in range(2000)]
    data = ("\n".join(rows) + "\n").encode()
    out = subprocess.run([CUT, "-d,", f"-f{listed}"], input=data, capture_output=True, check=True).stdout
    first, _, last = listed.partition("-")
    numbers = tuple(range(int(first), int(last) + 1)) if last else tuple(int(n) for n in listed.split(","))
    h = HyperLogLog(P)
    assert update_fields(h, data, numbers, ord(",")) == (len(rows), 0)
    assert h.registers() == one_by_one(P, out.split(b"\n")[:-1]).registers()


@pytest.mark.parametrize(
    "line, numbers, delimiter, item",
    [
        (b"", (1,), None, None),
        (b"", (1,), ",", None),  # awk: an empty line has no fields
        (b" \t ", (1,), None, None),
        (b",", (2,), ",", b""),
        (b"a,b,", (3,), ",", b""),
        (b"  a \t b  ", (2,), None, b"b"),
        (b"a  b", (2,), " ", b""),
        (b"a\rb c", (1,), None, b"a\rb"),
        (b"x" * 3000 + b" y", (1, 2), None, b"x" * 3000 + b" y"),
    ],
)
def test_one_line_whole_and_in_pieces(line, numbers, delimiter, item):
    """A line at once and the same line in pieces of every size pick the
    same item (or none)."""
    fields = fields_of(numbers, delimiter)
    whole = HyperLogLog(P)
    assert update_fields(whole, line + b"\n", *fields) == ((1, 0) if item is not None else (0, 1))
    reference = one_by_one(P, [item] if item is not None else [])
    assert whole.registers() == reference.registers()
    for size in (1, 2, 7, len(line) or 1):
        pieces = HyperLogLog(P)
        parts = [line[k : k + size] for k in range(0, len(line), size)]
        assert update_joined_fields(pieces, parts, *fields) is (item is not None)
        assert pieces.registers() == reference.registers()


@pytest.mark.parametrize(
    "fields, delimiter, error",
    [
        ((0,), -1, ValueError),
        ((2, 1), -1, ValueError),
        ((1, 1), -1, ValueError),
        (tuple(range(1, 18)), -1, ValueError),
        ((1,), 10, ValueError),  # a newline
        ((1,), 256, ValueError),
        ([1], -1, TypeError),
        (("1",), -1, TypeError),
    ],
)
def test_bad_field_choices_leave_the_sketch_alone(fields, delimiter, error):
    h = HyperLogLog(P)
    with pytest.raises(error):
        update_fields(h, b"a b\n", fields, delimiter)
    assert not any(h.registers())


def python_fields(line, numbers, delimiter):
    """The item of one line (its ending removed) by the rules in Python, or
    None when the line lacks a field."""
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


@given(
    st.binary(max_size=300).map(lambda b: b.translate(bytes.maketrans(b"\x00\x01\x02\x03", b" \t,\n"))),
    st.sets(st.integers(1, 6), min_size=1, max_size=4),
    st.sampled_from([-1, ord(","), ord(" "), ord("\t")]),
    st.booleans(),
)
def test_fields_match_python(data, numbers, delimiter, final):
    numbers = tuple(sorted(numbers))
    parts = data.split(b"\n")
    tail = parts.pop()
    if final and tail:
        parts.append(tail)
    lines = [x[:-1] if x.endswith(b"\r") else x for x in parts]
    items = [python_fields(line, numbers, delimiter) for line in lines]
    picked = [item for item in items if item is not None]
    h = HyperLogLog(P)
    assert update_fields(h, data, numbers, delimiter, final) == (len(picked), len(items) - len(picked))
    assert h.registers() == one_by_one(P, picked).registers()
