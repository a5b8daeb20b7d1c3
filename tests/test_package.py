"""The public drisk package as a user meets it."""

import ast
import pathlib
import subprocess
import sys
import textwrap

import pytest

import drisk


def test_dir_shows_the_public_names_only():
    assert sorted(dir(drisk)) == sorted(drisk.__all__)
    assert all(hasattr(drisk, name) for name in drisk.__all__)


def test_no_module_of_the_package_imports_back_through_it():
    """A module that __init__ imports takes what it needs from the modules
    that define it (drisk._bulk, ...), never from the package being built:
    `from drisk import _bulk` inside one of them is an import loop."""
    root = pathlib.Path(drisk.__file__).parent
    loaded_by_init = {
        node.module
        for node in ast.walk(ast.parse((root / "__init__.py").read_text()))
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("drisk.")
    }
    assert loaded_by_init
    edges = {}
    for path in root.glob("*.py"):
        module = "drisk" if path.stem == "__init__" else f"drisk.{path.stem}"
        targets = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                targets.add(node.module)
            elif isinstance(node, ast.Import):
                targets.update(alias.name for alias in node.names)
        edges[module] = {t for t in targets if t == "drisk" or t.startswith("drisk.")}

    def reaches_the_package(module, seen):
        for target in edges.get(module, ()):
            if target == "drisk" or (target not in seen and reaches_the_package(target, seen | {target})):
                return True
        return False

    assert [m for m in sorted(loaded_by_init) if reaches_the_package(m, {m})] == []


# ---------------------------------------------------------------------------
# No optional package needed
# ---------------------------------------------------------------------------


def test_import_without_optional_packages():
    code = textwrap.dedent(
        """
        import sys

        BLOCKED = {"numpy", "pandas", "pyarrow", "polars", "duckdb"}

        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] in BLOCKED:
                    raise ImportError(f"{name} is blocked")

        sys.meta_path.insert(0, Block())
        import array
        import drisk

        h = drisk.HyperLogLog()
        assert drisk.update_many(h, ["a", b"b"]) == 2
        assert drisk.update_many(h, (x for x in ["c"])) == 1
        assert drisk.update_many(h, array.array("q", [1, 2])) == 2
        assert not BLOCKED & set(sys.modules)
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr


def test_pandas_without_pyarrow():
    pytest.importorskip("pandas")
    code = textwrap.dedent(
        """
        import sys

        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == "pyarrow":
                    raise ImportError(f"{name} is blocked")

        sys.meta_path.insert(0, Block())
        import pandas as pd
        import drisk

        def sketch(items):
            h = drisk.HyperLogLog()
            return drisk.update_many(h, items), h.registers()

        def texts(values):
            h = drisk.HyperLogLog()
            for v in values:
                h.update_str(v)
            return h.registers()

        assert sketch(pd.Series(["a", None, "b"])) == (2, texts(["a", "b"]))
        assert sketch(pd.Series([1, None, 3], dtype="Int64")) == (2, texts(["1", "3"]))
        assert sketch(pd.Series([True, None], dtype="boolean")) == (1, texts(["True"]))
        assert "pyarrow" not in sys.modules
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr


def test_spark_module_without_pyspark():
    """drisk.spark imports pyspark only when one of its functions runs, and
    then says what to install."""
    code = textwrap.dedent(
        """
        import sys

        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] in {"pyspark", "pyarrow", "py4j"}:
                    raise ImportError(f"{name} is blocked")

        sys.meta_path.insert(0, Block())
        import drisk.spark

        try:
            drisk.spark.sketch_by(object(), "k", "v")
        except ImportError as error:
            assert "pip install drisk[spark]" in str(error), error
        else:
            raise AssertionError("no ImportError")
        assert not {"pyspark", "pyarrow", "py4j"} & {name.partition(".")[0] for name in sys.modules}
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
