"""The API page, written at every build from ``quorvel.__all__``, with the stub's signatures.

Every class and function in ``quorvel.__all__`` gets an entry; a class's
entry lists each public method and attribute the class has at run time. The
text is the runtime docstring (what ``help()`` shows), or the stub's where the
object carries none; signatures, parameter types and attribute types come from
the stub (stubs/quorvel.pyi), since the extension's own text signatures have no
types. A page of docs/ that documents the object is linked from its entry.
"""

import ast
import inspect
import pathlib
import re
from dataclasses import dataclass, field
from typing import Any

from sphinx.application import Sphinx
from sphinx.config import Config

SITE = pathlib.Path(__file__).resolve().parent
ROOT = SITE.parents[1]
# What the build read at its start: the stub, and the guide page of each name.
STATE: dict[str, Any] = {}


@dataclass
class StubEntry:
    signature: str | None = None  # "(a: int, b: int)"
    returns: str = ""
    docstring: str | None = None
    members: dict[str, "StubEntry"] = field(default_factory=dict)


class Stub:
    """The callables, classes and properties of a stub file, with their annotations as text."""

    def __init__(self, path: pathlib.Path, display: dict[str, str]) -> None:
        tree = ast.parse(path.read_text(), str(path))
        self.aliases: dict[str, str] = {}
        self.display = display
        self.entries: dict[str, StubEntry] = {}
        for node in tree.body:
            if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
                if node.targets[0].id.startswith("_"):
                    self.aliases[node.targets[0].id] = ast.unparse(node.value)
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                self.entries[node.name] = self.function(node, bound=False)
            elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                entry = StubEntry(docstring=ast.get_docstring(node))
                for member in node.body:
                    if not isinstance(member, ast.FunctionDef):
                        continue
                    if member.name == "__new__":
                        constructor = self.function(member, bound=True)
                        entry.signature = constructor.signature
                    elif any(ast.unparse(d) == "property" for d in member.decorator_list):
                        entry.members[member.name] = StubEntry(
                            returns=self.readable(member.returns), docstring=ast.get_docstring(member)
                        )
                    else:
                        entry.members[member.name] = self.function(member, bound=True)
                self.entries[node.name] = entry

    def readable(self, annotation: ast.expr | None) -> str:
        if annotation is None:
            return ""
        text = ast.unparse(annotation)
        for _ in range(10):  # aliases may name aliases
            expanded = re.sub(r"\b_\w+\b", lambda m: self.aliases.get(m.group(0), m.group(0)), text)
            if expanded == text:
                break
            text = expanded
        return re.sub(r"\b_\w+\b", lambda m: self.display.get(m.group(0), m.group(0)), text)

    def function(self, node: ast.FunctionDef, *, bound: bool) -> StubEntry:
        arguments = node.args
        if bound:  # self or cls goes
            arguments = ast.arguments(
                posonlyargs=arguments.posonlyargs[1:] if arguments.posonlyargs else [],
                args=arguments.args[1:] if not arguments.posonlyargs else arguments.args,
                vararg=arguments.vararg,
                kwonlyargs=arguments.kwonlyargs,
                kw_defaults=arguments.kw_defaults,
                kwarg=arguments.kwarg,
                defaults=arguments.defaults,
            )
        for argument in [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs]:
            if argument.annotation is not None:
                argument.annotation = ast.parse(self.readable(argument.annotation), mode="eval").body
        return StubEntry(
            signature=f"({ast.unparse(arguments)})",
            returns=self.readable(node.returns),
            docstring=ast.get_docstring(node),
        )

    def lookup(self, dotted: str) -> StubEntry | None:
        parts = dotted.split(".")
        if parts[0] != "quorvel" or len(parts) < 2:
            return None
        entry = self.entries.get(parts[1])
        for part in parts[2:]:
            entry = entry.members.get(part) if entry is not None else None
        return entry


def guide_pages(names: list[str]) -> dict[str, str]:
    """The page of docs/ for each name: the page named after it, or one whose opening shows the call."""
    pages: dict[str, str] = {}
    for page in sorted((ROOT / "docs").glob("*.md")):
        opening = page.read_text().split("\n\n", 2)[:2]
        for name in names:
            if page.stem == name or any(f"`{name}(" in paragraph for paragraph in opening):
                pages.setdefault(name, f"docs/{page.stem}")
    return pages


def public_members(cls: type) -> tuple[list[str], list[str]]:
    """The public methods and attributes a class defines, in definition order."""
    methods, attributes = [], []
    for name, value in vars(cls).items():
        if name.startswith("_"):
            continue
        (attributes if inspect.isdatadescriptor(value) else methods).append(name)
    return methods, attributes


def class_entry(module: Any, name: str, stub: Stub) -> list[str]:
    methods, attributes = public_members(getattr(module, name))
    lines = [f".. autoclass:: {name}", ""]
    for attribute in attributes:
        entry = stub.lookup(f"{module.__name__}.{name}.{attribute}")
        lines.append(f"   .. autoattribute:: {attribute}")
        if entry is not None and entry.returns:
            lines.append(f"      :annotation: : {entry.returns}")
        lines.append("")
    for method in methods:
        lines += [f"   .. automethod:: {method}", ""]
    return lines


def api_page(module: Any, stub: Stub) -> str:
    names = list(module.__all__)
    classes = [name for name in names if isinstance(getattr(module, name), type)]
    functions = [name for name in names if name not in classes]
    lines = [
        "API reference",
        "=============",
        "",
        f".. automodule:: {module.__name__}",
        "",
        f"Everything in ``{module.__name__}.__all__``. The text is each object's own docstring",
        "(the stub's where it has none); signatures and types are those of the type stubs",
        "that the wheel installs as ``quorvel-stubs``.",
        "",
    ]
    for title, group in (("Classes", classes), ("Functions", functions)):
        lines += [title, "-" * len(title), "", ".. autosummary::", ""]
        lines += [f"   {name}" for name in group]
        lines.append("")
        for name in group:
            lines += class_entry(module, name, stub) if name in classes else [f".. autofunction:: {name}", ""]
    return "\n".join(lines)


def on_config_inited(app: Sphinx, config: Config) -> None:
    import quorvel

    stub = Stub(pathlib.Path(config.api_reference_stub), config.api_reference_display)
    STATE["stub"] = stub
    STATE["guide_pages"] = guide_pages(list(quorvel.__all__))
    page = pathlib.Path(app.srcdir) / "api.rst"
    text = api_page(quorvel, stub)
    if not page.exists() or page.read_text() != text:  # unchanged, it is not read again
        page.write_text(text)


def on_process_signature(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, signature: str | None, returns: str | None
) -> tuple[str, str] | None:
    if what not in {"function", "method", "class"}:
        return None
    entry = STATE["stub"].lookup(name)
    if entry is None or entry.signature is None:
        return None
    return entry.signature, ("" if what == "class" else entry.returns)


def on_process_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if not any(line.strip() for line in lines):
        entry = STATE["stub"].lookup(name)
        if entry is not None and entry.docstring:
            lines[:] = entry.docstring.splitlines()
    # The docstrings are plain text: a star before a word (*trailing, **kwargs) is the
    # star itself, not the start of reStructuredText emphasis.
    lines[:] = [re.sub(r"\*(?=\S)", r"\\*", line) for line in lines]
    short = name.removeprefix("quorvel.")
    page = STATE["guide_pages"].get(short)
    if page is not None and what in {"function", "class"}:
        lines += ["", f"Guide: :doc:`/{page}`."]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_config_value("api_reference_stub", str(ROOT / "stubs" / "quorvel.pyi"), "env")
    app.add_config_value("api_reference_display", {}, "env")
    app.connect("config-inited", on_config_inited)
    # Before numpydoc, which reads the docstring that results.
    app.connect("autodoc-process-signature", on_process_signature, priority=400)
    app.connect("autodoc-process-docstring", on_process_docstring, priority=400)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
