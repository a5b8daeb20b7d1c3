"""Every example in README.md runs: the Python blocks as scripts (so that an
example using multiprocessing meets the spawn start method as a user's script
would) and every line of the tool's shell examples, against generated data.
test_typing.py type-checks the Python blocks; test_docs.py does the same for
the site's pages."""

import re

import pytest

from support import (
    README,
    ROOT,
    optional_imports,
    readme_blocks,
    run_python_example,
    run_tool_lines,
    sample_inputs,
    tool_lines,
)

pytestmark = pytest.mark.once

PYTHON = readme_blocks("python")
SHELL = tool_lines(README)


@pytest.fixture
def workdir(tmp_path):
    """Sample inputs under the names the examples use."""
    return sample_inputs(tmp_path)


@pytest.mark.parametrize("index", range(len(PYTHON)))
def test_python_example_runs(index, workdir):
    code = PYTHON[index]
    for name in optional_imports(code):
        pytest.importorskip(name)
    run_python_example(code, workdir, f"example{index}.py")


def test_tool_examples_run(workdir):
    assert SHELL, "README.md shows no drisk command"
    run_tool_lines(SHELL, workdir)


def test_readme_links_resolve():
    """README's links into the repository (the site's pages, its figures,
    CONTRIBUTING.md) name files that exist."""
    targets = [t for t in re.findall(r"\]\(([^)\s]+)\)", README.read_text()) if "://" not in t]
    assert targets
    missing = [t for t in targets if not (ROOT / t.split("#")[0]).exists()]
    assert missing == []
