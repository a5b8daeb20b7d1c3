"""update_stream and update_file: lines of streams and files."""
import io
import mmap
import os
import random

import pytest

import drisk._files
from drisk import HyperLogLog, update_file, update_stream


def one_by_one(p, items):
    h = HyperLogLog(p)
    for item in items:
        h.update(item)
    return h


def reference_lines(data: bytes):
    """The lines of data as update_lines defines them, independently."""
    parts = data.split(b"\n")
    if parts[-1] == b"":
        parts.pop()
    return [part[:-1] if part.endswith(b"\r") else part for part in parts]


def random_text(seed, n_lines=3000):
    rng = random.Random(seed)
    parts = []
    for _ in range(n_lines):
        line = rng.randbytes(rng.choice([0, 1, 5, 16, 70, 300])).replace(b"\n", b"").replace(b"\r", b"")
        parts.append(line + rng.choice([b"\n", b"\r\n"]))
    if rng.random() < 0.5:
        parts.append(b"tail without newline")
    return b"".join(parts)


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 7, 64, 1000, 1 << 20])
def test_update_stream_chunk_boundaries(chunk_size):
    data = random_text(chunk_size)
    h = HyperLogLog(10)
    assert update_stream(h, io.BytesIO(data), chunk_size=chunk_size) == len(reference_lines(data))
    assert h.registers() == one_by_one(10, reference_lines(data)).registers()


def test_update_stream_reports_progress():
    data = random_text(3)
    seen = []
    update_stream(HyperLogLog(), io.BytesIO(data), chunk_size=4096, progress=seen.append)
    assert sum(seen) == len(data)


@pytest.mark.parametrize("window", [mmap.ALLOCATIONGRANULARITY, 3 * mmap.ALLOCATIONGRANULARITY])
def test_update_file_windows(tmp_path, monkeypatch, window):
    monkeypatch.setattr(drisk._files, "WINDOW_SIZE", window)
    data = random_text(9, 4000) + b"y" * (3 * window) + b"\nend"  # one line longer than a window
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    seen = []
    h = HyperLogLog(12)
    assert update_file(h, path, progress=seen.append) == len(reference_lines(data))
    assert h.registers() == one_by_one(12, reference_lines(data)).registers()
    assert sum(seen) == len(data)


def test_update_file_from_open_file_midway(tmp_path):
    path = tmp_path / "in.txt"
    path.write_bytes(b"skip\nkeep1\nkeep2")
    with open(path, "rb") as f:
        f.readline()
        h = HyperLogLog(8)
        assert update_file(h, f) == 2
    assert h.registers() == one_by_one(8, [b"keep1", b"keep2"]).registers()


def test_update_file_on_pipe():
    r, w = os.pipe()
    os.write(w, b"a\nb\r\nc")
    os.close(w)
    with os.fdopen(r, "rb") as f:
        h = HyperLogLog(8)
        assert update_file(h, f) == 3
    assert h.registers() == one_by_one(8, [b"a", b"b", b"c"]).registers()
