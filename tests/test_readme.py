"""Every example in README.md runs: the Python blocks as scripts (so that the
multiprocessing example meets the spawn start method as a user's script
would) and every line of the tool's shell examples, against generated data.
test_typing.py type-checks the Python blocks."""

import gzip
import os
import re
import subprocess
import sys

import pytest

from support import importable, optional_imports, readme_blocks

pytestmark = pytest.mark.once

PYTHON = readme_blocks("python")
SHELL = [
    line
    for body in readme_blocks("sh")
    for line in body.splitlines()
    if re.search(r"(^|\| )drisk ", line) and "apt-get" not in line and "pip install" not in line
]


@pytest.fixture
def workdir(tmp_path):
    """Sample inputs under the names the examples use."""
    for i, name in enumerate(["access.log", "a.log", "b.log", "day1.log", "day2.log", "day3.log"]):
        (tmp_path / name).write_bytes(b"".join(b"user%d\n" % (j * (i + 1)) for j in range(2000)))
    with gzip.open(tmp_path / "big.gz", "wb") as f:
        f.write(b"".join(b"line%d\n" % j for j in range(5000)))
    with gzip.open(tmp_path / "access.log.gz", "wb") as f:
        f.write((tmp_path / "access.log").read_bytes())
    (tmp_path / "events.txt").write_bytes(b"".join(b"%d,page%d,user%d\n" % (j, j % 9, j % 70) for j in range(3000)))
    (tmp_path / "data.tsv").write_bytes(b"".join(b"a%d\tb\tc\td%d\n" % (j % 5, j % 7) for j in range(3000)))
    (tmp_path / "data.csv").write_bytes(
        b"id,user,page\n" + b"".join(b'%d,"u,%d",p%d\n' % (j, j % 70, j % 9) for j in range(3000))
    )
    if importable("pyarrow"):
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(
            pa.table({"user": [f"u{j % 70}" for j in range(3000)], "page": [f"p{j % 9}" for j in range(3000)]}),
            tmp_path / "events.parquet",
        )
    if importable("pandas") and importable("pyarrow"):
        import pandas as pd

        (tmp_path / "events").mkdir()
        pd.DataFrame(
            {"day": [f"2024-06-0{1 + i % 3}" for i in range(3000)], "user": [f"u{i % 700}" for i in range(3000)]}
        ).to_parquet(tmp_path / "events" / "part.0.parquet")
    return tmp_path


def env():
    e = dict(os.environ)
    e["PATH"] = os.path.dirname(sys.executable) + os.pathsep + e.get("PATH", "")
    return e


@pytest.mark.parametrize("index", range(len(PYTHON)))
def test_python_example_runs(index, workdir):
    code = PYTHON[index]
    for name in optional_imports(code):
        pytest.importorskip(name)
    script = workdir / f"example{index}.py"
    script.write_text(code)
    result = subprocess.run(
        [sys.executable, str(script)], cwd=workdir, input=b"x\ny\n", capture_output=True, timeout=120, env=env()
    )
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-3000:]


def test_tool_examples_run(workdir):
    for day in (1, 2, 3):
        subprocess.run(
            f"drisk count day{day}.log --save users-2024-06-0{day}.hll", shell=True, cwd=workdir, check=True, env=env()
        )
    assert SHELL, "README.md shows no drisk command"
    for line in SHELL:
        if ".parquet" in line and not importable("pyarrow"):
            continue
        result = subprocess.run(
            line.split("  #")[0],
            shell=True,
            cwd=workdir,
            capture_output=True,
            text=True,
            input="",
            timeout=300,
            env=env(),
            executable="/bin/bash",
        )
        assert result.returncode == 0, f"{line}\n{result.stderr}"
        assert "Traceback" not in result.stderr
