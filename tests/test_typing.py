"""mypy --strict on the package and on code that uses every member."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

EXAMPLE = textwrap.dedent(
    """
    import copy
    import io
    import pickle

    import _drisk
    import drisk
    from _drisk import HyperLogLog

    h: HyperLogLog = drisk.HyperLogLog(12)
    h2 = HyperLogLog(p=14)
    h.update(b"a")
    h.update(data=b"b")
    h.update_str("c")
    estimate: float = h.count()
    g: HyperLogLog = h.copy()
    g.merge(h)
    regs: bytes = h.registers()
    data: bytes = h.to_bytes()
    k: HyperLogLog = HyperLogLog.from_bytes(data)
    size: int = len(k)
    version: str = _drisk.__version__ + drisk.__version__
    names: list[str] = _drisk.__all__
    n1: int = drisk.update_many(h, [b"a", "b"])
    n2: int = drisk.update_lines(h, bytearray(b"x\\ny"), final=False)
    n3: int = drisk.update_stream(h, io.BytesIO(b"x"), chunk_size=1024)
    n4: int = drisk.update_file(h, "/dev/null", progress=print)
    err: float = drisk.relative_error(h) + drisk.relative_error(12)
    same: HyperLogLog = pickle.loads(pickle.dumps(h))
    twin: HyperLogLog = copy.deepcopy(h)
    """
)

BAD = textwrap.dedent(
    """
    from _drisk import HyperLogLog
    HyperLogLog().update("text")
    """
)


def mypy(*args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args], capture_output=True, text=True
    )


def test_package_and_example_pass_strict(tmp_path):
    example = tmp_path / "example.py"
    example.write_text(EXAMPLE)
    proc = mypy("-p", "drisk")
    assert proc.returncode == 0, proc.stdout
    proc = mypy(str(example))
    assert proc.returncode == 0, proc.stdout


def test_stubs_catch_misuse(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(BAD)
    proc = mypy(str(bad))
    assert proc.returncode == 1 and "update" in proc.stdout
