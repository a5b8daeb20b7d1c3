"""update_stream and update_file: lines of streams and files."""

import bz2
import gzip
import io
import lzma
import os
import random
import sys
import threading

import pytest

import drisk._bulk
import drisk._files
import drisk._probe
import drisk._regular
from drisk import HyperLogLog, update_file, update_stream
from support import one_by_one, reference_lines


def random_text(seed, n_lines=3000, lengths=(0, 1, 5, 16, 70, 300)):
    """Lines of random bytes, some with a lone "\\r" inside or at their end,
    ending in "\\n" or "\\r\\n"; now and then a last line without an ending."""
    rng = random.Random(seed)
    parts = []
    for _ in range(n_lines):
        line = rng.randbytes(rng.choice(lengths)).replace(b"\n", b"")
        parts.append(line + rng.choice([b"\n", b"\r\n"]))
    if rng.random() < 0.5:
        parts.append(b"tail without newline" + rng.choice([b"", b"\r"]))
    return b"".join(parts)


def assert_counted(h, data, lines=None):
    expected = reference_lines(data)
    if lines is not None:
        assert lines == len(expected)
    assert h.registers() == one_by_one(h_p(h), expected).registers()


def h_p(h):
    return len(h).bit_length() - 1


# Lines longer than the small chunks and blocks below, with "\r" right
# before a chunk boundary and "\n" right after it somewhere among them.
LONG = b"".join(
    [b"x" * 300 + b"\r\n", b"y" * 299 + b"\r", b"\r" * 40 + b"\n", b"z" * 1000, b"\r\n" * 3, b"w" * 517 + b"\r"]
)
EDGES = [b"", b"a", b"a\r", b"\r", b"\r\n", b"\n\n", b"a\r\rb\r\n\r", LONG]


class Trickle:
    """A non-blocking stream without a descriptor: short reads, and now and
    then None (no data yet)."""

    def __init__(self, data, seed=0):
        self.data, self.pos = data, 0
        self.rng = random.Random(seed)
        self.calls = 0

    def readinto(self, view):
        self.calls += 1
        if self.calls < 4 or self.calls % 1000 == 0:
            return None
        n = min(len(view), self.rng.randrange(1, 500), len(self.data) - self.pos)
        view[:n] = self.data[self.pos : self.pos + n]
        self.pos += n
        return n


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 7, 64, 1000, 1 << 20])
@pytest.mark.parametrize("data", [random_text(5), *EDGES], ids=lambda d: f"{len(d)}B")
@pytest.mark.parametrize("reader", [io.BytesIO, Trickle])
def test_update_stream_chunk_boundaries(chunk_size, data, reader):
    h = HyperLogLog(10)
    lines = update_stream(h, reader(data), chunk_size=chunk_size)
    assert_counted(h, data, lines)


def test_update_stream_reports_progress():
    data = random_text(3)
    seen = []
    update_stream(HyperLogLog(), io.BytesIO(data), chunk_size=4096, progress=seen.append)
    assert sum(seen) == len(data)


@pytest.mark.parametrize("block_size", [1, 2, 3, 64, 4096, 1 << 20])
@pytest.mark.parametrize("helper", [False, True])
@pytest.mark.parametrize("data", [random_text(9, 2000), *EDGES[1:]], ids=lambda d: f"{len(d)}B")
def test_update_file_blocks(tmp_path, monkeypatch, block_size, helper, data):
    monkeypatch.setattr(drisk._regular, "BLOCK_SIZE", block_size)
    monkeypatch.setattr(drisk._regular, "usable_cpus", lambda: 2 if helper else 1)
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    seen = []
    h = HyperLogLog(12)
    assert_counted(h, data, update_file(h, path, progress=seen.append))
    assert sum(seen) == len(data)


@pytest.mark.parametrize("cpus", [1, 2])
def test_second_reader_only_where_the_core_counts_two_cpus(tmp_path, monkeypatch, cpus):
    assert drisk._bulk.usable_cpus() == drisk._probe.usable_cpus()
    assert 1 <= drisk._bulk.usable_cpus() <= len(os.sched_getaffinity(0))
    monkeypatch.setattr(drisk._regular, "BLOCK_SIZE", 4096)
    monkeypatch.setattr(drisk._regular, "usable_cpus", lambda: cpus)
    helped = []
    read = drisk._regular.read_regular

    def spying_read(*args):
        result = read(*args)
        helped.append((args[6], result[3]))  # asked for a helper, had one
        return result

    monkeypatch.setattr(drisk._regular, "read_regular", spying_read)
    data = random_text(4, 2000)
    (tmp_path / "in.txt").write_bytes(data)
    h = HyperLogLog(10)
    assert_counted(h, data, update_file(h, tmp_path / "in.txt"))
    assert helped == [(cpus > 1, cpus > 1)]


@pytest.mark.parametrize("gzipped", [False, True])
@pytest.mark.parametrize("opened", [False, True])
def test_without_pread_regular_files_are_streams(tmp_path, monkeypatch, gzipped, opened):
    # As on Windows, which has no pread(): the same lines, from the file's
    # own position, through the stream reader.
    monkeypatch.setattr(drisk._files, "_HAS_PREAD", False)

    def no_pread(*args):
        raise AssertionError("read with pread()")

    monkeypatch.setattr(drisk._files, "read_regular_file", no_pread)
    data = random_text(3, 5000)
    path = tmp_path / "in.txt"
    path.write_bytes(b"skip\n" + (gzip.compress(data) if gzipped else data))
    h = HyperLogLog(10)
    if opened:
        with open(path, "rb") as f:
            f.readline()
            lines = update_file(h, f)
    else:
        path.write_bytes(gzip.compress(data) if gzipped else data)
        lines = update_file(h, path)
    assert_counted(h, data, lines)


TEXT = "zéro\r\nun\n\ndeux\rtrois\n" * 50 + "fin"


@pytest.mark.parametrize(
    "mode, kwargs",
    [
        ("rb", {}),
        ("rb", {"buffering": 0}),
        ("r+b", {}),
        ("r", {"encoding": "utf-8"}),
        ("r", {"encoding": "utf-8", "newline": ""}),
        ("r", {"encoding": "latin-1"}),
    ],
)
def test_update_file_from_open_file_midway(tmp_path, mode, kwargs):
    """Counting starts at the file's own position, read-ahead included, and
    leaves the file at its end. Text files give their lines as str, added
    as UTF-8."""
    path = tmp_path / "in.txt"
    path.write_bytes(b"skip\n" + TEXT.encode("utf-8"))
    with open(path, mode, **kwargs) as f:
        f.readline()
        rest = f.read()
        f.seek(0)
        f.readline()
        h = HyperLogLog(10)
        lines = update_file(h, f)
        assert f.read() == rest[:0]
    if "b" in mode:
        assert_counted(h, rest, lines)
    else:
        items = rest.split("\n")  # the text layer already turned line endings into "\n"
        items = [line.removesuffix("\r") for line in items]
        assert lines == len(items)
        assert h.registers() == one_by_one(10, [s.encode() for s in items]).registers()


def test_update_file_on_pipe():
    r, w = os.pipe()
    os.write(w, b"a\nb\r\nc")
    os.close(w)
    with os.fdopen(r, "rb") as f:
        h = HyperLogLog(8)
        assert update_file(h, f) == 3
    assert h.registers() == one_by_one(8, [b"a", b"b", b"c"]).registers()


@pytest.mark.parametrize("path", ["/sys/devices/system/cpu/online", "/proc/version"])
def test_files_that_cannot_be_mapped(path):
    """sysfs claims 4096 bytes, procfs 0: both are read for what they hold."""
    if not os.path.exists(path):
        pytest.skip(f"no {path} here")
    with open(path, "rb") as f:
        data = f.read()
    h = HyperLogLog(8)
    assert_counted(h, data, update_file(h, path))


# --- compressed input -----------------------------------------------------------


def zstd_compress(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor(write_checksum=True).compress(data)  # as the zstd tool does


COMPRESSORS = {
    # two members, as `cat a.gz b.gz` makes
    "gzip": lambda d: gzip.compress(d[: len(d) // 3]) + gzip.compress(d[len(d) // 3 :]),
    "bzip2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda d: zstd_compress(d[:100]) + zstd_compress(d[100:]),
}


def opened_as(how, path):
    if how == "path":
        return path
    if how == "file":
        return open(path, "rb")
    if how == "pipe":
        r, w = os.pipe()
        data = path.read_bytes()
        threading.Thread(target=lambda: (os.write(w, data), os.close(w))).start()
        return os.fdopen(r, "rb")
    return io.BytesIO(path.read_bytes())


@pytest.mark.parametrize("kind", sorted(COMPRESSORS))
@pytest.mark.parametrize("how", ["path", "file", "pipe", "bytesio"])
def test_compressed_input_is_decompressed(tmp_path, kind, how):
    data = random_text(11, 5000)
    path = tmp_path / "in.z"
    path.write_bytes(COMPRESSORS[kind](data))
    h = HyperLogLog(12)
    source = opened_as(how, path)
    assert_counted(h, data, update_file(h, source))
    raw = HyperLogLog(12)
    assert_counted(raw, path.read_bytes(), update_file(raw, opened_as(how, path), decompress=False))


@pytest.mark.parametrize("decoder", ["isal", "zlib"])
@pytest.mark.parametrize("damage", ["truncate", "corrupt"])
@pytest.mark.parametrize("kind", sorted(COMPRESSORS))
def test_bad_compressed_input(tmp_path, monkeypatch, decoder, damage, kind):
    if decoder == "zlib":
        for name in ("isal", "isal.igzip", "isal.isal_zlib"):
            monkeypatch.setitem(sys.modules, name, None)
    elif kind == "gzip":
        pytest.importorskip("isal")
    data = COMPRESSORS[kind](random_text(2, 5000))
    if damage == "truncate":
        data = data[: len(data) * 2 // 3]
    else:
        data = data[:12] + bytes(b ^ 0x55 for b in data[12:40]) + data[40:]
    path = tmp_path / "bad.z"
    path.write_bytes(data)
    h = HyperLogLog(10)
    with pytest.raises(ValueError, match=f"^(truncated|corrupt) {kind} data: "):
        update_file(h, path)
    assert h.registers() == HyperLogLog(10).registers()


def test_zstd_cut_anywhere(tmp_path):
    """A zstd stream cut inside a frame is an error; cut between frames, it
    holds the lines of the frames before the cut."""
    zstandard = pytest.importorskip("zstandard")
    a, b = b"one\ntwo\n" * 40, b"three\n" * 3000
    frames = [
        zstd_compress(a),
        b"\x50\x2a\x4d\x18" + (5).to_bytes(4, "little") + b"skip!",  # a skippable frame
        zstandard.ZstdCompressor(write_checksum=True, write_content_size=False).compress(b),
    ]
    stream = b"".join(frames)
    boundaries = {len(frames[0]): a, len(frames[0]) + len(frames[1]): a, len(stream): a + b}
    for cut in range(4, len(stream) + 1):
        (tmp_path / "cut.zst").write_bytes(stream[:cut])
        h = HyperLogLog(8)
        if cut in boundaries:
            assert_counted(h, boundaries[cut], update_file(h, tmp_path / "cut.zst"))
        else:
            with pytest.raises(ValueError, match="zstd data"):
                update_file(h, tmp_path / "cut.zst")


def test_zstd_of_repeats_is_decoded_in_bounded_memory(tmp_path):
    """zstd shrinks repeats up to about 32,768 times: the decoder is fed
    little at a time, so that what one call gives back stays small."""
    tracemalloc = pytest.importorskip("tracemalloc")
    line = b"the same line, over and over\n"
    data = zstd_compress(line * (256 * 2**20 // len(line)))
    assert len(data) < 64 * 1024
    (tmp_path / "repeats.zst").write_bytes(data)
    h = HyperLogLog(8)
    tracemalloc.start()
    try:
        lines = update_file(h, tmp_path / "repeats.zst")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert lines == 256 * 2**20 // len(line)
    assert h.registers() == one_by_one(8, [line[:-1]]).registers()
    assert peak < 40 * 2**20


# --- arguments -----------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda h: update_file(h, io.StringIO("a\n")), "not 'StringIO'"),
        (lambda h: update_file(h, b"in.txt"), "not 'bytes' (decode a bytes path with os.fsdecode())"),
        (lambda h: update_file(h, 0), "not 'int'"),
        (lambda h: update_file(h, object()), "not 'object'"),
        (lambda h: update_stream(h, io.StringIO("a\n")), "must be a binary stream with a readinto() method"),
        (lambda h: update_file(5, "in.txt"), "'int' object is not an instance of 'HyperLogLog'"),
        (lambda h: update_stream(None, io.BytesIO()), "'NoneType' object is not an instance of 'HyperLogLog'"),
    ],
)
def test_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call(HyperLogLog())
    assert message in str(info.value)
    if "file" in str(info.value):
        assert "a path (str or os.PathLike), a binary file or a text file with a .buffer" in str(info.value)


@pytest.mark.parametrize("helper", [False, True])
def test_interrupted_file_leaves_the_sketch_alone(tmp_path, monkeypatch, helper):
    """The lock is taken back between regions: a signal's exception (here
    raised by the progress callback that runs there) ends the read, and the
    sketch stays as it was."""
    monkeypatch.setattr(drisk._regular, "BLOCK_SIZE", 4096)
    monkeypatch.setattr(drisk._regular, "REGION_SIZE", 4096 * 4)
    monkeypatch.setattr(drisk._regular, "usable_cpus", lambda: 2 if helper else 1)
    path = tmp_path / "in.txt"
    path.write_bytes(random_text(12, 5000))
    h = HyperLogLog(10)
    h.update(b"kept")
    before = h.registers()
    seen = []

    def interrupt(done):
        seen.append(done)
        if len(seen) == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        update_file(h, path, progress=interrupt)
    assert h.registers() == before
    assert seen == [4096 * 4] * 3


def test_file_that_claims_more_than_it_holds_is_read_as_a_stream(tmp_path, monkeypatch):
    """A read that ends early without the file having shrunk (sysfs) falls
    back to reading what is there; a file that did shrink is an error."""
    data = random_text(13, 500)
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    real = drisk._regular.read_regular

    def claims_more(sketch, fd, start, size, *rest):
        return real(sketch, fd, start, size + 100, *rest)

    monkeypatch.setattr(drisk._regular, "read_regular", claims_more)
    h = HyperLogLog(10)
    assert_counted(h, data, update_file(h, path))
