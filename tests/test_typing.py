"""mypy --strict on the package, on code that uses every member, and on the
Python examples of README.md and of the site's pages (docs/)."""

import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import drisk
from support import DOCS, code_blocks, doc_pages, importable, optional_imports, readme_blocks

pytestmark = pytest.mark.once

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


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """One mypy --strict run (it is slow) over the package, the example, the
    misuse, and the Python blocks of README.md and of the site whose optional
    packages are installed: {file name: its error lines}, the package's under
    "drisk", the site's as "docs_<page>_<index>.py"."""
    where = tmp_path_factory.mktemp("typing")
    files = {"example.py": EXAMPLE, "bad.py": BAD}
    for index, code in enumerate(readme_blocks("python")):
        if all(importable(name) for name in optional_imports(code)):
            files[f"readme{index}.py"] = code
    for page in doc_pages():
        for index, code in enumerate(code_blocks(DOCS / page, "python")):
            if all(importable(name) for name in optional_imports(code)):
                stem = page.removesuffix(".md").replace("/", "_").replace("-", "_")
                files[f"docs_{stem}_{index}.py"] = code
    for name, code in files.items():
        (where / name).write_text(code)
    # A copy of the installed package's sources and stubs: given as files from
    # inside site-packages, mypy would take site-packages for a source root.
    package = where / "package" / "drisk"
    shutil.copytree(pathlib.Path(drisk.__file__).parent, package, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--ignore-missing-imports",  # the optional packages without type information
            "--no-error-summary",
            "--cache-dir",
            ".mypy_cache",
            "package/drisk",  # the package, as files: no -p beside files
            *files,
        ],
        cwd=where,  # so that every file is named relative to it
        capture_output=True,
        text=True,
        timeout=600,
    )
    errors = {name: [] for name in [*files, "drisk"]}
    for line in proc.stdout.splitlines():
        name = line.split(":", 1)[0]
        errors[name if name in files else "drisk"].append(line)
    assert proc.returncode in (0, 1) and not proc.stderr, proc.stderr
    return errors


def test_package_and_example_pass_strict(checked):
    assert checked["drisk"] == []
    assert checked["example.py"] == []


def test_stubs_catch_misuse(checked):
    assert checked["bad.py"] and all("update" in line for line in checked["bad.py"] if ": error:" in line)


def test_readme_examples_pass_strict(checked):
    readme = {name: lines for name, lines in checked.items() if name.startswith("readme")}
    assert readme, "no README example was checked"
    assert all(lines == [] for lines in readme.values()), readme


def test_site_examples_pass_strict(checked):
    site = {name: lines for name, lines in checked.items() if name.startswith("docs_")}
    assert site, "no example of the site was checked"
    assert all(lines == [] for lines in site.values()), site
