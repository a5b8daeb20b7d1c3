"""update_many, update_lines and update_joined."""

import math
import mmap
import random

import pytest

import drisk
import drisk._bulk
from drisk import HyperLogLog, _bulk, update_lines, update_many
from support import one_by_one, reference_lines

B = _bulk.BATCH


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


ITEMS = [b"a", "b", b"", "", "é", b"\xc3\xa9", MyBytes(b"sub"), MyStr("sub"), b"x" * 300]


@pytest.mark.parametrize("wrap", [list, tuple, iter, lambda xs: (x for x in xs)])
def test_update_many_matches_update(wrap):
    rng = random.Random(5)
    items = ITEMS + [rng.randbytes(rng.randrange(40)) for _ in range(3000)]
    h = HyperLogLog(12)
    assert update_many(h, wrap(items)) == len(items)
    assert h.registers() == one_by_one(12, items).registers()


@pytest.mark.parametrize("n", [0, 1, B - 1, B, B + 1, 256 * B - 1, 256 * B, 320 * B + 1, 200_000])
def test_update_many_counts_and_batches(n):
    items = [str(i).encode() for i in range(n)]
    h = HyperLogLog(10)
    assert update_many(h, items) == n
    assert h.registers() == one_by_one(10, items).registers()


@pytest.mark.parametrize(
    "size, bad_at",
    [
        (150, 0),
        (150, 1),
        (150, 63),
        (150, 64),
        (150, 149),
        # many groups of 64
        (50_000, 0),
        (50_000, 511),
        (50_000, 2047),
        (50_000, 2048),
        (50_000, 30_001),
        (50_000, 49_999),
    ],
)
@pytest.mark.parametrize("wrap", [list, tuple, iter])
def test_bad_element_keeps_earlier_items(size, bad_at, wrap):
    items = [f"item{i}".encode() for i in range(size)]
    items[bad_at] = 4j
    h = HyperLogLog(8)
    with pytest.raises(TypeError) as info:
        update_many(h, wrap(items))
    assert str(info.value) == (
        f"update_many() items[{bad_at}]: 'complex' object is not an instance of "
        "'bytes', 'str', 'int', 'float', 'bool', 'date', 'datetime', 'time' or 'Decimal'"
    )
    assert info.value.__notes__ == [f"while processing 'items[{bad_at}]'"]
    assert h.registers() == one_by_one(8, items[:bad_at]).registers()
    # Retrying the whole (fixed) batch gives the right sketch: insertion is idempotent.
    items[bad_at] = b"fixed"
    update_many(h, items)
    assert h.registers() == one_by_one(8, items).registers()


def test_bad_elements_dict_and_surrogate():
    h = HyperLogLog()
    with pytest.raises(TypeError, match=r"items\[1\]: 'dict' object is not an instance of 'bytes', 'str'"):
        update_many(h, [b"a", {}])
    with pytest.raises(UnicodeEncodeError) as info:
        update_many(h, ["ok", "\udc80"])
    assert info.value.__notes__ == ["while processing 'items[1]'"]


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda: update_many(5, []), TypeError, "'int' object is not an instance of 'HyperLogLog'", "sketch"),
        (lambda: update_many(HyperLogLog(), 5), TypeError, "'int' object is not iterable", "items"),
        (lambda: update_lines(None, b""), TypeError, "'None' is not an instance of 'HyperLogLog'", "sketch"),
        (lambda: update_lines(HyperLogLog(), "text"), TypeError, None, "buffer"),
        (lambda: update_lines(HyperLogLog(), [1, 2]), TypeError, None, "buffer"),
    ],
)
def test_argument_errors(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("items", ["hello", b"hello", bytearray(b"hello"), memoryview(b"hello"), "", b""])
def test_a_single_str_or_bytes_is_not_a_batch(items):
    h = HyperLogLog()
    with pytest.raises(TypeError) as info:
        update_many(h, items)
    assert str(info.value).startswith(f"update_many() items: '{type(items).__name__}' object is one item")
    assert info.value.__notes__ == ["while processing 'items'"]
    assert h.registers() == HyperLogLog().registers()


@pytest.mark.parametrize("item", [b"", b"x", b"line of text", bytes(range(256)) * 40])
def test_update_joined_is_the_joined_item(item):
    rng = random.Random(len(item))
    for _ in range(5):
        cuts = sorted(rng.randrange(len(item) + 1) for _ in range(rng.randrange(4)))
        parts = [item[a:b] for a, b in zip([0, *cuts], [*cuts, len(item)])]
        h = HyperLogLog(10)
        assert drisk._bulk.update_joined(h, iter([bytearray(parts[0]), *map(memoryview, parts[1:])])) is None
        assert h.registers() == one_by_one(10, [item]).registers()


@pytest.mark.parametrize("parts, exc", [([b"a", "text"], TypeError), (5, TypeError), ([b"a", None], TypeError)])
def test_update_joined_failure_adds_nothing(parts, exc):
    h = HyperLogLog(10)
    with pytest.raises(exc) as info:
        drisk._bulk.update_joined(h, parts)
    assert info.value.__notes__ == ["while processing 'parts'"]
    assert h.registers() == HyperLogLog(10).registers()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: update_many(HyperLogLog()), "update_many() missing 1 required positional argument: 'items'"),
        (
            lambda: update_lines(HyperLogLog(), b"", True, 4),
            "update_lines() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (lambda: update_lines(HyperLogLog(), buf=b""), "update_lines() got an unexpected keyword argument 'buf'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_sketch_is_held_for_the_whole_batch():
    h = HyperLogLog()

    def items():
        yield b"first"
        h.count()  # the batch holds h exclusively

    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        update_many(h, items())
    assert h.registers() == one_by_one(12, [b"first"]).registers()
    h.update(b"usable again")


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\n",
        b"\n\n",
        b"a",
        b"a\n",
        b"a\r\n",
        b"a\r\nb\nc",
        b"a\r\r\n",
        b"\r\n",
        b"\r",
        b"a\rb\n",
        b"last line without ending",
        b"x" * 200 + b"\n" + b"y" * 63 + b"\n" + b"z" * 64 + b"\r\n",
    ],
)
@pytest.mark.parametrize("buffer_type", [bytes, bytearray, memoryview])
def test_line_endings(data, buffer_type):
    h = HyperLogLog(8)
    lines = reference_lines(data)
    assert update_lines(h, buffer_type(data)) == len(lines)
    assert h.registers() == one_by_one(8, lines).registers()


def test_not_final_leaves_the_tail():
    h = HyperLogLog(8)
    assert update_lines(h, b"a\nb\npartial", False) == 2
    assert h.registers() == one_by_one(8, [b"a", b"b"]).registers()


def random_text(seed, n_lines=3000):
    rng = random.Random(seed)
    parts = []
    for _ in range(n_lines):
        line = rng.randbytes(rng.choice([0, 1, 5, 16, 70, 300])).replace(b"\n", b"").replace(b"\r", b"")
        parts.append(line + rng.choice([b"\n", b"\r\n"]))
    if rng.random() < 0.5:
        parts.append(b"tail without newline")
    return b"".join(parts)


@pytest.mark.parametrize("size", [_bulk.RELEASE_GIL_BYTES - 1, _bulk.RELEASE_GIL_BYTES, _bulk.SPLIT_BYTES + 4096])
def test_large_buffers_split_across_threads_agree(size):
    data = (random_text(1) * (size // len(random_text(1)) + 1))[:size]
    h = HyperLogLog(12)
    lines = reference_lines(data)
    assert update_lines(h, data) == len(lines)
    assert h.registers() == one_by_one(12, lines).registers()


def chunk_edge_buffer(edge: str) -> bytes:
    """A buffer large enough to be split, with something odd at every place
    where the two threads' chunks meet."""
    chunk = _bulk.SHARED_LINES_CHUNK
    size = _bulk.SPLIT_BYTES + chunk // 2
    data = bytearray(b"x" * size)
    for k in range(1, size // chunk + 1):
        at = k * chunk
        if edge == "newline before":  # a line ends just before the chunk
            data[at - 1 : at] = b"\n"
        elif edge == "newline at":  # a line ends on the chunk's first byte
            data[at : at + 1] = b"\n"
        elif edge == "crlf across":  # "\r" in one chunk, "\n" in the next
            data[at - 1 : at + 1] = b"\r\n"
        elif edge == "empty lines":
            data[at - 2 : at + 2] = b"\n\n\n\n"
    if edge == "long line":  # one line over several chunks, short ones around it
        data[: chunk // 3 : 7] = b"\n" * len(data[: chunk // 3 : 7])
        data[-chunk // 3 :: 5] = b"\n" * len(data[-chunk // 3 :: 5])
    return bytes(data)


@pytest.mark.parametrize("edge", ["newline before", "newline at", "crlf across", "empty lines", "long line"])
@pytest.mark.parametrize("final", [True, False])
def test_split_lines_at_chunk_edges(edge, final):
    data = chunk_edge_buffer(edge)
    lines = reference_lines(data)
    if not final and not data.endswith(b"\n"):
        lines.pop()  # the tail is left for the caller
    h = HyperLogLog(12)
    assert update_lines(h, data, final) == len(lines)
    assert h.registers() == one_by_one(12, lines).registers()


def test_update_lines_on_mmap(tmp_path):
    path = tmp_path / "m.txt"
    data = random_text(4)
    path.write_bytes(data)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        h = HyperLogLog(10)
        assert update_lines(h, m) == len(reference_lines(data))
    assert h.registers() == one_by_one(10, reference_lines(data)).registers()


def test_relative_error():
    assert drisk.relative_error(14) == drisk.relative_error(HyperLogLog(14)) == 1.04 / 128


@pytest.mark.parametrize("p", [3, 19, 0, -1, 1000])
def test_relative_error_refuses_a_precision_no_sketch_has(p):
    with pytest.raises(ValueError, match=rf"^p must be between 4 and 18 inclusive, got {p}$") as refused:
        drisk.relative_error(p)
    try:
        HyperLogLog(p)
    except ValueError as constructed:  # the constructor's own message, word for word
        assert str(refused.value) == str(constructed)
    except OverflowError:  # too far out for the constructor to convert
        assert p < 0 or p > 255


@pytest.mark.parametrize("p", [4, 12, 18])
def test_relative_error_of_every_precision(p):
    assert drisk.relative_error(p) == drisk.relative_error(HyperLogLog(p)) == 1.04 / math.sqrt(2**p)


def test_relative_error_wants_an_integer():
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        drisk.relative_error(12.0)
