"""Every example of the documentation site runs.

The site's Markdown pages (docs/) get README's treatment: each Python block
runs as a script and each line of the tool's shell blocks runs, against the
sample inputs of support.py (test_typing.py type-checks the Python blocks).
The examples of the docstrings, and of the API reference's own pages, run as
doctests."""

import doctest
import importlib
import re
from pathlib import Path

import pytest

from support import (
    DOCS,
    code_blocks,
    doc_pages,
    local_spark,
    optional_imports,
    run_python_example,
    run_tool_lines,
    sample_inputs,
    tool_lines,
)

pytestmark = pytest.mark.once

ROOT = Path(__file__).resolve().parent.parent

BLOCKS = [(page, index) for page in doc_pages() for index in range(len(code_blocks(DOCS / page, "python")))]
# Examples that start a Spark session run in the tests' own session (their
# getOrCreate() gives it back): a JVM of their own takes most of a minute.
SPARK = [(page, index) for page, index in BLOCKS if "pyspark" in code_blocks(DOCS / page, "python")[index]]
PYTHON = [block for block in BLOCKS if block not in SPARK]
SHELL = [page for page in doc_pages() if tool_lines(DOCS / page)]

#: drisk's modules whose docstrings hold examples, with the optional
#: packages those examples need.
MODULES = {
    "drisk": [],
    "drisk._columns": [],
    "drisk._files": [],
    "drisk._rows": ["pyarrow", "polars"],
    "drisk._tables": ["pyarrow", "numpy"],
    "drisk._overlap": ["numpy"],
    "drisk.duckdb": ["duckdb", "pyarrow"],
    "drisk.polars": ["polars", "pyarrow"],
    "drisk.dask": ["dask", "pandas", "pyarrow"],
}
#: The API reference's pages that show examples of their own (for the
#: functions implemented in C++, whose docstrings are short).
REFERENCE = sorted(str(path.relative_to(DOCS)) for path in DOCS.rglob("*.rst") if ">>> " in path.read_text())


def test_the_site_has_examples():
    assert len(PYTHON) >= 10 and SHELL and SPARK


@pytest.mark.parametrize(("page", "index"), PYTHON, ids=[f"{page}-{index}" for page, index in PYTHON])
def test_python_example_runs(page, index, tmp_path):
    code = code_blocks(DOCS / page, "python")[index]
    for name in optional_imports(code):
        pytest.importorskip(name)
    run_python_example(code, sample_inputs(tmp_path), f"example{index}.py")


@pytest.mark.parametrize("page", SHELL)
def test_tool_examples_run(page, tmp_path):
    run_tool_lines(tool_lines(DOCS / page), sample_inputs(tmp_path))


def run_doctests(tests, where, monkeypatch):
    """Run doctest examples in the directory `where`; fail with the report."""
    monkeypatch.chdir(where)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in tests:
        runner.run(test)
    results = runner.summarize(verbose=False)
    return results


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name, tmp_path, monkeypatch, capsys):
    for package in MODULES[name]:
        pytest.importorskip(package)
    module = importlib.import_module(name)
    tests = [test for test in doctest.DocTestFinder().find(module) if test.examples]
    assert tests, f"{name} has no docstring example"
    results = run_doctests(tests, tmp_path, monkeypatch)
    assert results.failed == 0, capsys.readouterr().out[-5000:]


@pytest.mark.parametrize("page", REFERENCE)
def test_reference_examples_run(page, tmp_path, monkeypatch, capsys):
    text = (DOCS / page).read_text()
    test = doctest.DocTestParser().get_doctest(text, {}, page, str(DOCS / page), 0)
    results = run_doctests([test], tmp_path, monkeypatch)
    assert results.failed == 0, capsys.readouterr().out[-5000:]


@pytest.fixture(scope="module")
def spark():
    """The Spark session of tests/test_spark.py (the same one when both run
    in one worker: the xdist group below)."""
    return local_spark()


@pytest.mark.xdist_group("spark")
@pytest.mark.parametrize(("page", "index"), SPARK, ids=[f"{page}-{index}" for page, index in SPARK])
def test_spark_example_runs(spark, page, index, tmp_path, monkeypatch):
    code = code_blocks(DOCS / page, "python")[index]
    sample_inputs(tmp_path)
    monkeypatch.chdir(tmp_path)
    # The JVM resolves relative paths against its own working directory,
    # which chdir does not move: the example's Parquet paths go under
    # tmp_path, as its own process would have put them.
    code = re.sub(r'\.parquet\("(?!/)([^"]+)"\)', lambda m: f".parquet({str(tmp_path / m.group(1))!r})", code)
    exec(compile(code, f"{page}-{index}", "exec"), {"__name__": "__main__"})
    assert not (ROOT / "daily").exists()


@pytest.mark.xdist_group("spark")
def test_spark_docstring_examples_run(spark, tmp_path, monkeypatch, capsys):
    """drisk.spark's examples take `spark`, a session."""
    module = importlib.import_module("drisk.spark")
    tests = [test for test in doctest.DocTestFinder().find(module, globs={"spark": spark}) if test.examples]
    assert tests, "drisk.spark has no docstring example"
    results = run_doctests(tests, tmp_path, monkeypatch)
    assert results.failed == 0, capsys.readouterr().out[-5000:]
