"""Helpers shared by the test files."""

import decimal
import math
import pathlib
import re

from drisk import HyperLogLog, update_many

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = ROOT / "docs"
_BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)
#: Packages an example of README or of the site may import that the test
#: environment may lack.
OPTIONAL = ["numpy", "pandas", "polars", "pyarrow", "duckdb", "dask", "distributed", "matplotlib", "pyspark", "xxhash"]


def float_text(value):
    """The item a float that is not NaN stands for, by Python's own texts: a
    whole value is its integer's str(), as 1.0 == 1; any other its repr()."""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if value.is_integer():
        return str(int(value))
    return repr(value)


def decimal_text(value):
    """The item a finite Decimal stands for: format(value.normalize(), "f"),
    with precision to spare; zero is "0"."""
    with decimal.localcontext(decimal.Context(prec=1000)):
        text = format(value.normalize(), "f")
    return "0" if value == 0 else text


def nonzero_registers(sketch):
    """{index: value} of the registers that are not zero."""
    return {i: r for i, r in enumerate(sketch.registers()) if r}


def one_by_one(p, items):
    """The sketch of items added one call at a time (str as update_str)."""
    h = HyperLogLog(p)
    for item in items:
        if isinstance(item, str):
            h.update_str(item)
        else:
            h.update(item)
    return h


def of_texts(texts, p=16):
    """The registers, as to_bytes(), of texts added with update_str."""
    h = HyperLogLog(p)
    for text in texts:
        h.update_str(text)
    return h.to_bytes()


def of_items(items, p=16):
    """The registers, as to_bytes(), of items added by one update_many()."""
    h = HyperLogLog(p)
    update_many(h, items)
    return h.to_bytes()


def reference_lines(data: bytes):
    """The lines of data as update_lines defines them, independently."""
    parts = data.split(b"\n")
    if parts[-1] == b"":
        parts.pop()
    return [part[:-1] if part.endswith(b"\r") else part for part in parts]


def code_blocks(path, language):
    """The bodies of a Markdown file's code blocks in that language, in order."""
    return [body for lang, body in _BLOCK.findall(path.read_text()) if lang == language]


def readme_blocks(language):
    """The bodies of README.md's code blocks in that language, in order."""
    return code_blocks(README, language)


def doc_pages():
    """The site's Markdown pages (docs/), as paths relative to docs/."""
    return sorted(str(path.relative_to(DOCS)) for path in DOCS.rglob("*.md"))


def tool_lines(path):
    """The lines of a Markdown file's shell blocks that run the drisk tool
    (set-up lines, apt-get and pip install, left out)."""
    return [
        line
        for body in code_blocks(path, "sh")
        for line in body.splitlines()
        if re.search(r"(^|\| )drisk ", line) and "apt-get" not in line and "pip install" not in line
    ]


def optional_imports(code):
    """The optional packages a block of code imports."""
    return [name for name in OPTIONAL if re.search(rf"^\s*(import|from) {name}\b", code, re.M)]


def importable(name):
    try:
        __import__(name)
    except ImportError:
        return False
    return True


def sample_inputs(where):
    """Sample inputs, under the names the examples of README and of the site
    use, in the directory `where`."""
    import gzip

    for i, name in enumerate(["access.log", "a.log", "b.log", "day1.log", "day2.log", "day3.log"]):
        (where / name).write_bytes(b"".join(b"user%d\n" % (j * (i + 1)) for j in range(2000)))
    with gzip.open(where / "big.gz", "wb") as f:
        f.write(b"".join(b"line%d\n" % j for j in range(5000)))
    with gzip.open(where / "access.log.gz", "wb") as f:
        f.write((where / "access.log").read_bytes())
    (where / "events.txt").write_bytes(b"".join(b"%d,page%d,user%d\n" % (j, j % 9, j % 70) for j in range(3000)))
    (where / "data.tsv").write_bytes(b"".join(b"a%d\tb\tc\td%d\n" % (j % 5, j % 7) for j in range(3000)))
    (where / "data.csv").write_bytes(
        b"id,user,page\n" + b"".join(b'%d,"u,%d",p%d\n' % (j, j % 70, j % 9) for j in range(3000))
    )
    if importable("pyarrow"):
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(
            pa.table(
                {
                    "user": [f"u{j % 70}" for j in range(3000)],
                    "page": [f"p{j % 9}" for j in range(3000)],
                    "day": [j % 3 for j in range(3000)],
                }
            ),
            where / "events.parquet",
        )
    if importable("pandas") and importable("pyarrow"):
        import pandas as pd

        (where / "events").mkdir()
        pd.DataFrame(
            {"day": [f"2024-06-0{1 + i % 3}" for i in range(3000)], "user": [f"u{i % 700}" for i in range(3000)]}
        ).to_parquet(where / "events" / "part.0.parquet")
    return where


def example_env():
    """The environment an example runs in: this interpreter's scripts (the
    drisk tool among them) first on PATH."""
    import os
    import sys

    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    return env


def run_python_example(code, where, name):
    """Run a Python example as a script in the directory `where`, as a user
    would (so that a multiprocessing example meets the spawn start method);
    fail with its stderr if it fails."""
    import subprocess
    import sys

    script = where / name
    script.write_text(code)
    result = subprocess.run(
        [sys.executable, str(script)], cwd=where, input=b"x\ny\n", capture_output=True, timeout=120, env=example_env()
    )
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-3000:]


def run_tool_lines(lines, where):
    """Run shell lines of the drisk tool, in order, in the directory `where`
    (the sample inputs there, and the day sketches a Dask example would have
    saved); each must succeed without a traceback. Lines that read Parquet
    are left out without pyarrow."""
    import subprocess

    for day in (1, 2, 3):
        subprocess.run(
            f"drisk count day{day}.log --save users-2024-06-0{day}.hll",
            shell=True,
            cwd=where,
            check=True,
            env=example_env(),
        )
    for line in lines:
        if ".parquet" in line and not importable("pyarrow"):
            continue
        result = subprocess.run(
            line.split("  #")[0],
            shell=True,
            cwd=where,
            capture_output=True,
            text=True,
            input="",
            timeout=300,
            env=example_env(),
            executable="/bin/bash",
        )
        assert result.returncode == 0, f"{line}\n{result.stderr}"
        assert "Traceback" not in result.stderr


def local_spark():
    """The tests' one local Spark session (local[2], a time zone that is
    not UTC, several Arrow batches per partition even for small frames);
    getOrCreate gives the same session to every test module of a worker.
    Skips without pyspark, pyarrow or Java."""
    import os
    import shutil
    import sys

    import pytest

    pytest.importorskip("pyspark")
    pytest.importorskip("pyarrow")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("Spark needs Java (apt-get install openjdk-17-jre-headless)")
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable  # the workers need drisk
    session = (
        SparkSession.builder.master("local[2]")
        .appName("drisk-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "4")
        .config("spark.sql.session.timeZone", SPARK_ZONE)
        .config("spark.sql.execution.arrow.maxRecordsPerBatch", "64")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    return session


# The Spark session's time zone: not UTC, so that timestamps are seen to
# count as instants.
SPARK_ZONE = "America/New_York"
