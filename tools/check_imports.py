"""Checks that the modules of the tolvane package import one another without a circle. Every
relative import counts, those inside functions too (a circle hidden in a function still ties the
modules together), but those under ``if TYPE_CHECKING:``, which only the type checker runs.

Prints each circle, its modules in the order they import one another, and exits 1; exits 0
with a one-line summary when there is none.

Usage: python3 tools/check_imports.py [PACKAGE]   (default: the project's python/tolvane)
"""
from __future__ import annotations

import ast
import pathlib
import sys

DEFAULT_PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "python" / "tolvane"


def module_names(package: pathlib.Path) -> dict[str, pathlib.Path]:
    names = {}
    for path in package.rglob("*.py"):
        parts = list(path.relative_to(package.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        names[".".join(parts)] = path
    return names


def type_checking_nodes(tree: ast.AST) -> set[int]:
    hidden: set[int] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            hidden.update(id(sub) for sub in ast.walk(node))
    return hidden


def imports_of(name: str, path: pathlib.Path, modules: dict[str, pathlib.Path]) -> set[str]:
    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    hidden = type_checking_nodes(tree)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(tree):
        if id(node) in hidden:
            continue
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package.split(".")[: len(package.split(".")) - node.level + 1]
            target = ".".join(base + ([node.module] if node.module else []))
            # "from . import _x" needs the module _x; "from ._x import y" the module _x, or its
            # submodule y where y is one.
            candidates = ([target] if node.module else []) + [f"{target}.{a.name}" for a in node.names]
            found.update(c for c in candidates if c in modules and c != name)
        elif isinstance(node, ast.Import):
            found.update(a.name for a in node.names if a.name in modules and a.name != name)
    return found


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """Each circle once, from its smallest module name, by a depth-first walk."""
    found: dict[tuple[str, ...], list[str]] = {}

    def walk(trail: list[str]) -> None:
        for next_module in sorted(graph[trail[-1]]):
            if next_module == trail[0]:
                start = trail.index(min(trail))
                cycle = trail[start:] + trail[:start]
                found.setdefault(tuple(cycle), cycle)
            elif next_module not in trail and next_module > trail[0]:
                walk(trail + [next_module])

    for module in sorted(graph):
        walk([module])
    return list(found.values())


def main(argv: list[str]) -> int:
    package = pathlib.Path(argv[0]) if argv else DEFAULT_PACKAGE
    modules = module_names(package)
    graph = {name: imports_of(name, path, modules) for name, path in modules.items()}
    found = circles(graph)
    for cycle in found:
        print("import circle: " + " -> ".join(cycle + cycle[:1]), file=sys.stderr)
    if found:
        return 1
    print(f"check_imports: {len(modules)} modules of {package.name}, no import circle")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
