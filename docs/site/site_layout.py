"""Lays out the site's source tree under build/: the pages, copied from where they are written.

README.md, CHANGELOG.md and docs/ keep their places relative to each other, so
that the links between them (docs/LegendreBasis.md, ../examples/demo.py) hold
on the site too; the front page and the index of the pages come from
docs/site. The pages are copied afresh at every build (links would not do: the
Markdown parser resolves them to the checkout, where the pages are not at the
same places relative to each other). Every example of examples/ is linked into
the gallery's source, beside the gallery's header, so that a new example needs
no edit here and runs as from the checkout (its path resolves to examples/, and
its output goes to the checkout's build/ as with make demo).
"""

import pathlib
import shutil

from sphinx.application import Sphinx
from sphinx.config import Config

SITE = pathlib.Path(__file__).resolve().parent
ROOT = SITE.parents[1]

# Place in the source tree -> where it is written.
PAGES = {
    "index.md": SITE / "index.md",
    "guide.md": SITE / "guide.md",
    "README.md": ROOT / "README.md",
    "CHANGELOG.md": ROOT / "CHANGELOG.md",
    "docs": ROOT / "docs",
}


def copy(target: pathlib.Path, origin: pathlib.Path) -> None:
    if target.is_dir():
        shutil.rmtree(target)
    if origin.is_dir():
        shutil.copytree(origin, target, ignore=shutil.ignore_patterns("site", "__pycache__"))
    else:
        shutil.copyfile(origin, target)


def lay_out(source: pathlib.Path) -> None:
    for name, origin in PAGES.items():
        copy(source / name, origin)
    examples = source / "examples"
    if examples.is_dir():  # an example removed from the checkout leaves nothing behind
        shutil.rmtree(examples)
    examples.mkdir()
    copy(examples / "GALLERY_HEADER.rst", SITE / "gallery_header.rst")
    for example in sorted((ROOT / "examples").glob("*.py")):
        (examples / example.name).symlink_to(example)


def on_config_inited(app: Sphinx, config: Config) -> None:
    lay_out(pathlib.Path(app.srcdir))


def setup(app: Sphinx) -> dict[str, object]:
    # Before the gallery is generated (builder-inited) and before the sources are read.
    app.connect("config-inited", on_config_inited, priority=100)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
