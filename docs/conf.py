"""Sphinx configuration of the vantrel_core documentation."""

import re
from pathlib import Path

project = "vantrel_core"
author = "The vantrel_core developers"
copyright = "2026, The vantrel_core developers"
release = re.search(r'^version = "([^"]+)"$', (Path(__file__).parent.parent / "pyproject.toml").read_text(), re.M)[1]

extensions = ["sphinx.ext.autodoc"]
autodoc_member_order = "bysource"
autodoc_typehints = "description"
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path: list[str] = []
html_theme_options = {"description": "Interned dataflow pipeline IR and its reducer", "fixed_sidebar": True}
# pycon blocks (">>>") are the examples that the test command runs.
highlight_language = "python3"
autodoc_mock_imports = ["dask", "distributed"]  # the runtime reference builds without the dask extra
