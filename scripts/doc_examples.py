"""Writes the doctest examples of Markdown pages as Python modules, so that mypy can check them.

Usage: doc_examples.py OUTPUT_DIR PAGE.md...

Examples that are expected to raise are left out: they show what happens at
run time when the types are wrong, which a type checker rightly rejects.
"""

import doctest
import pathlib
import sys


def main() -> None:
    output = pathlib.Path(sys.argv[1])
    output.mkdir(parents=True, exist_ok=True)
    for stale in output.glob("*.py"):
        stale.unlink()
    parser = doctest.DocTestParser()
    for page in map(pathlib.Path, sys.argv[2:]):
        examples = parser.get_examples(page.read_text(), str(page))
        source = "".join(example.source for example in examples if example.exc_msg is None)
        # Prefixed, so that a page named after a package (distributed.md) does not shadow it.
        module = output / f"page_{page.stem.replace('-', '_')}.py"
        if module.exists():
            sys.exit(f"doc_examples: two pages named {page.stem}")
        module.write_text(f"# Examples of {page}\n{source}")


if __name__ == "__main__":
    main()
