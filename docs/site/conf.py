"""Sphinx configuration of the documentation site (``make docs``).

The pages stay where they are written: README.md, CHANGELOG.md, docs/*.md and
examples/*.py. ``site_layout`` copies them into a source tree under build/,
and ``api_reference`` writes the API page there from ``quorvel.__all__``, the
runtime docstrings and the signatures of stubs/quorvel.pyi. Nothing is written
into the checkout's tracked files.
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))
sys.dont_write_bytecode = True  # the extensions beside this file leave no __pycache__ in docs/

import quorvel  # noqa: E402  (built into build/, on PYTHONPATH)

project = "quorvel"
author = "The quorvel developers"
copyright = "the quorvel developers"
release = quorvel.__version__
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "sphinx_gallery.gen_gallery",
    "site_layout",
    "api_reference",
]

root_doc = "index"
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# examples/ is the gallery's source, not a page.
exclude_patterns = ["examples/**", "gallery/*.ipynb", "gallery/*.py", "gallery/*.zip"]

# The Markdown pages: heading anchors for their links to sections (page.md#a-section).
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# The API page (api_reference lists every member itself, in the order the class defines them).
autodoc_typehints = "signature"
autosummary_generate = False
numpydoc_show_class_members = False

api_reference_stub = str(ROOT / "stubs" / "quorvel.pyi")
# How private names of the stub read on the page.
api_reference_display = {"_FloatArray": "numpy.ndarray"}

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"\.py$",  # run every example
    "abort_on_example_error": False,
    "only_warn_on_example_error": False,  # a failing example fails the build
    "download_all_examples": False,
    "remove_config_comments": True,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "show_memory": False,
    "plot_gallery": "True",
}

html_theme = "pydata_sphinx_theme"
html_title = f"quorvel {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_show_sourcelink = False
html_copy_source = False
html_last_updated_fmt = None
