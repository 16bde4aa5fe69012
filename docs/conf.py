"""Sphinx configuration for the hush_vault documentation."""

import re
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GENERATED = Path(__file__).resolve().parent / "_generated"

project = "hush_vault"
author = "The hush_vault developers"
release = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
version = release

extensions = ["myst_parser"]
source_suffix = {".rst": "restructuredtext"}
# pypi.md is the long description of the package index, not a page of the site.
exclude_patterns = ["_build", "_generated", "pypi.md"]
html_theme = "furo"
html_title = f"hush_vault {release}"
nitpicky = True
# Relative links inside the included Markdown files point into the repository, not the site.
suppress_warnings = ["myst.xref_missing"]
myst_heading_anchors = 3


def section(markdown, title_pattern):
    """The level-two section of a Markdown text whose title matches, or None."""
    match = re.search(rf"^## {title_pattern}.*?(?=^## |\Z)", markdown, re.M | re.S)
    # Without its own title line: the page that includes it has the title.
    return match.group(0).split("\n", 1)[1] if match else None


def write_generated():
    """Pieces taken from the repository's Markdown files, so the site never restates them."""
    GENERATED.mkdir(exist_ok=True)
    readme = (ROOT / "README.md").read_text()
    performance = section(readme, "Performance") or (
        "The benchmark `bench/bench_vault.py` times each hot path beside the plain-Python "
        "floor it wraps; run it with `.venv/bin/python bench/bench_vault.py`.\n"
    )
    (GENERATED / "performance.md").write_text(performance)
    platforms = section(readme, "Platforms") or (
        "The differences between Linux, macOS and Windows are listed in the repository's README.\n"
    )
    # The page gives the section its title; its subsections become bold lead-ins.
    platforms = re.sub(r"^#{3,} (.+)$", r"**\1**", platforms, flags=re.M)
    (GENERATED / "platforms.md").write_text(platforms)
    security = ROOT / "SECURITY.md"
    (GENERATED / "security.md").write_text(
        security.read_text() if security.exists() else FALLBACK_SECURITY
    )


FALLBACK_SECURITY = """# Security model

A vault keeps one secret in one heap block of exactly its size, locked into RAM, left out of core
dumps (Linux) and zeroed before the block is released; `repr`, `str`, `==`, hashing, pickling and
copying never show or duplicate it. It cannot protect the `bytes` and `str` objects you pass in or
reveal, the environment's own copy of a variable, the secret's length, or the process against
code running inside it.
"""


write_generated()
