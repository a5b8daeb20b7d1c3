"""Sphinx configuration of drisk's documentation site.

Build it with ``pip install '.[docs]' && python -m sphinx docs <out>``; CI builds it with
``-W -n --keep-going``, so any warning, unresolved reference included, fails the build.
"""

import drisk

project = "drisk"
author = "drisk's developers"
copyright = "drisk's developers"
release = drisk.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
myst_enable_extensions = ["colon_fence"]
# Headings become link targets, so pages can link to each other's sections.
myst_heading_anchors = 3

# Signatures show the parameters; their types are told in each entry's text.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
autosummary_generate = False
napoleon_google_docstring = True
napoleon_numpy_docstring = False

html_theme = "furo"
html_title = f"drisk {release}"

# Exceptions of other libraries, named in the integrations' docstrings.
nitpick_ignore = [("py:exc", "duckdb.Error")]
