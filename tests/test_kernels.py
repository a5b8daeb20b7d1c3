"""The register kernels: every compiled set against a Python model and
against each other, on whatever machine the suite runs.

On a build with DRISK_SIMD=OFF only the portable set exists, and the
comparisons with the models still run on it.
"""

import contextlib
import ctypes
import mmap
import os
import random
import subprocess
import sys

import pytest
import xxhash

from drisk import _probe

SETS = ["portable", "x86_vector", "x86_avx512"]


def compiled(kernel_set):
    if _probe.max_register(kernel_set, b"\0" * 16) is None:
        pytest.skip(f"{kernel_set} kernels are not compiled in or this CPU lacks them")


def register_arrays():
    rng = random.Random(7)
    for n in (16, 31, 32, 33, 64, 1000, 4096, 1 << 14):
        for top in (0, 1, 20, 53 - (n - 1).bit_length()):
            yield n, top, bytes(rng.randint(0, top) for _ in range(n))
        yield n, 53 - (n - 1).bit_length(), bytes([0]) * n


ARRAYS = list(register_arrays())


@pytest.mark.parametrize("kernel_set", SETS)
@pytest.mark.parametrize("n, top, regs", ARRAYS, ids=[f"n{n}-top{t}" for n, t, _ in ARRAYS])
def test_scaled_power_sum_and_max(kernel_set, n, top, regs):
    compiled(kernel_set)
    assert _probe.max_register(kernel_set, regs) == max(regs)
    want = (sum(1 << (top - r) for r in regs), regs.count(0))
    assert _probe.scaled_power_sum(kernel_set, regs, top) == want


@pytest.mark.parametrize("kernel_set", SETS)
@pytest.mark.parametrize(
    "n, top, regs",
    ARRAYS + [(4096, 7, bytes(range(256)) * 16), (100_000, 60, bytes(range(60, 10, -1)) * 2000)],
    ids=[f"n{n}-top{t}" for n, t, _ in ARRAYS] + ["all-values", "long-descending"],
)
def test_histogram(kernel_set, n, top, regs):
    compiled(kernel_set)
    want = [0] * (top + 1)
    for r in regs:
        want[min(r, top)] += 1
    assert _probe.histogram(kernel_set, regs, top) == want


@pytest.mark.parametrize("kernel_set", SETS)
@pytest.mark.parametrize("n", [16, 33, 1 << 12, (1 << 18) + 5])
def test_elementwise_max(kernel_set, n):
    compiled(kernel_set)
    rng = random.Random(n)
    a = bytes(rng.randrange(256) for _ in range(n))
    b = bytes(rng.randrange(256) for _ in range(n))
    assert _probe.elementwise_max(kernel_set, a, b) == bytes(map(max, a, b))


def model_lines(data: bytes):
    parts = data.split(b"\n")
    if parts[-1] == b"":
        parts.pop()
    return [part[:-1] if part.endswith(b"\r") else part for part in parts]


def model_registers(p, items):
    regs = bytearray(1 << p)
    for item in items:
        h = xxhash.xxh3_64_intdigest(item)
        rest = (h << p) & (2**64 - 1)
        rank = 65 - p if rest == 0 else 64 - rest.bit_length() + 1
        j = h >> (64 - p)
        regs[j] = max(regs[j], rank)
    return bytes(regs)


def line_buffers():
    rng = random.Random(3)
    yield b""
    yield b"\n" * 200
    yield b"\r\n" * 65
    yield b"a" * 63 + b"\n" + b"b" * 64 + b"\r\n" + b"tail\r"
    for size in (1, 63, 64, 65, 127, 128, 1000, 5000):
        yield bytes(rng.choice(b"ab\r\n") for _ in range(size))

    # Short lines go to vector lanes after some kilobytes of them, and long
    # ones turn the lanes off: lines of every length around the 4 to 8 bytes
    # hashed there, with and without "\r", up to the last bytes (where the
    # lanes stop), and stretches of long lines between.
    def short_lines(size):
        lines = []
        while sum(map(len, lines)) < size:
            line = bytes(rng.choice(b"0123456789\r") for _ in range(rng.randrange(12)))
            lines.append(line + rng.choice([b"\n", b"\r\n"]))
        return b"".join(lines)[:size]

    for size in (64, 3000, 9000, 20000):
        yield short_lines(size)
    long_lines = b"".join(b"x" * rng.randrange(20, 200) + b"\n" for _ in range(100))
    yield short_lines(6000) + long_lines + short_lines(10000) + long_lines
    # Lanes among lines too long for them: a short line, a long one and a
    # short one again, so that the lanes' texts of a group of eight lie more
    # or less than 128 bytes apart, with short lines around to keep the
    # lanes on.
    lines = []
    for _ in range(1500):
        lines += [b"a\n"] * rng.randrange(20, 40)
        lines += [b"abcd\n", b"x" * rng.randrange(100, 136) + b"\n", b"efghijk\n"]
    yield b"".join(lines)
    yield b"".join(b"%d\n" % n for n in range(995, 100_000_000, 19_997))
    yield b"12345678\n" * 1000 + b"1234567\r"


LINES = list(line_buffers())


@pytest.mark.parametrize("kernel_set", SETS)
@pytest.mark.parametrize("data", LINES, ids=range(len(LINES)))
def test_line_splitting(kernel_set, data):
    compiled(kernel_set)
    regs, lines = _probe.add_lines(kernel_set, bytes(1 << 8), data)
    want = model_lines(data)
    assert lines == len(want)
    assert regs == model_registers(8, want)


@pytest.mark.parametrize("kernel_set", SETS[1:])
def test_the_sets_agree_on_random_lines(kernel_set):
    compiled(kernel_set)
    rng = random.Random(11)
    for _ in range(300):
        alphabet = rng.choice([b"xy\r\n\n", b"0123456789\n", b"abcdefghij\r\n"])
        data = bytes(rng.choice(alphabet) for _ in range(rng.randrange(400)))
        data *= rng.choice([1, 1, 30])  # past the kilobytes after which short lines go to the lanes
        assert _probe.add_lines("portable", bytes(256), data) == _probe.add_lines(kernel_set, bytes(256), data)


def test_the_avx512_lines_without_vbmi2_too():
    # On a CPU with AVX-512 VBMI2 the line kernel packs the newlines and
    # permutes the lines' bytes; the other way (mask bits and a gather) then
    # runs in a process told the CPU lacks it.
    compiled("x86_avx512")
    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES="vbmi2")
    test = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__, "-k", "line and x86_avx512"]
    result = subprocess.run(test, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:]


def cpuinfo_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


@pytest.mark.skipif(
    not (sys.platform == "linux" and os.uname().machine == "x86_64"), reason="reads x86 Linux's /proc/cpuinfo"
)
@pytest.mark.parametrize("disabled", ["", "vbmi2", "avx512", "avx2"])
def test_cpu_features_agree_with_the_kernel(disabled):
    # The core reads CPUID and XGETBV itself; Linux's list of the CPU's flags
    # is an independent account of the same bits.
    flags = cpuinfo_flags()
    simd = _probe.max_register("x86_vector", bytes(16)) is not None or not {"avx2", "popcnt"} <= flags
    avx2 = simd and {"avx2", "popcnt"} <= flags and "avx2" not in disabled
    avx512 = avx2 and {"avx512f", "avx512dq", "avx512bw", "avx512cd", "abm", "bmi1", "bmi2"} <= flags
    avx512 = avx512 and "avx512" not in disabled
    vbmi2 = avx512 and {"avx512vbmi", "avx512_vbmi2"} <= flags and "vbmi2" not in disabled
    env = dict(os.environ, DRISK_DISABLE_CPU_FEATURES=disabled)
    code = "from drisk import _probe; print(_probe.cpu_features())"
    found = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert found.stdout.strip() == str((avx2, avx512, vbmi2))


@contextlib.contextmanager
def before_unmapped_page(data: bytes):
    """A view of a copy of `data` ending where a page that may not be read
    begins: a kernel that reads a byte past the end crashes the process."""
    page = mmap.PAGESIZE
    pages = len(data) // page + 1
    block = mmap.mmap(-1, (pages + 1) * page)
    try:
        cells = (ctypes.c_char * len(block)).from_buffer(block)
        address = ctypes.addressof(cells)
        del cells
        mprotect = ctypes.CDLL(None, use_errno=True).mprotect
        mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        prot_none = 0  # PROT_NONE, which the mmap module does not name
        assert mprotect(address + pages * page, page, prot_none) == 0, os.strerror(ctypes.get_errno())
        start = pages * page - len(data)
        block[start : pages * page] = data
        with memoryview(block)[start : pages * page] as view:
            yield view
    finally:
        block.close()


def lines_up_to_the_end():
    # Lines of 4 to 8 bytes all the way, so that the last ones would go to
    # the vector lanes but for the end of the data: sizes of whole 64-byte
    # blocks (the lanes take lines up to the last block's end) and a few
    # bytes more, the last line cut anywhere.
    for line in (b"1234", b"12345678", b"123\r", b"1234567\r"):
        body = (line + b"\n") * 2000
        for blocks in range(100, 105):
            for extra in (0, 1, 3, 8):
                yield body[: 64 * blocks + extra]
    yield b"".join(b"%d\n" % n for n in range(1000, 3000))[:-1] + b"\r"
    yield b"\n" * 4096
    yield b""


GUARDED = LINES + list(lines_up_to_the_end())


@pytest.mark.skipif(sys.platform == "win32", reason="needs mprotect")
@pytest.mark.parametrize("kernel_set", SETS)
@pytest.mark.parametrize("data", GUARDED, ids=range(len(GUARDED)))
def test_line_splitting_reads_nothing_past_the_data(kernel_set, data):
    compiled(kernel_set)
    with before_unmapped_page(data) as view:
        regs, lines = _probe.add_lines(kernel_set, bytes(1 << 12), view)
    want = model_lines(data)
    assert lines == len(want)
    assert regs == model_registers(12, want)


def expected_cpus():
    cpus = len(os.sched_getaffinity(0))
    try:
        with open("/sys/fs/cgroup/cpu.max") as f:
            quota, period = f.read().split()
        if quota != "max":
            cpus = min(cpus, max(1, int(quota) // int(period)))
    except FileNotFoundError:
        pass
    return cpus


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity"), reason="Linux only")
def test_usable_cpus_follows_affinity_and_quota():
    assert _probe.usable_cpus() == expected_cpus()
    code = (
        "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); "
        "from drisk import _probe; print(_probe.usable_cpus())"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "1\n"
