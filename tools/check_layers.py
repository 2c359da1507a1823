"""Checks that the includes under src/ run one way, from the two Python faces down to the text
rules. Every source lives in the folder of its layer; a file may include from its own folder and
from the layers below it, never from one above, and no chain of includes may lead back to where
it started. The top layer holds the two faces, quorel and tolvane, side by side: neither may
include the other. Each quoted include names its file from src/ ("reader/line_source.hpp").

Prints every offence with the file, line and include, and exits 1; exits 0 with a one-line
summary when there is none.

Usage: python3 tools/check_layers.py [SRC]   (SRC: the tree to check; default the project's src/)
"""
from __future__ import annotations

import pathlib
import re
import sys

# Top first: a layer may use the ones after it. The folders of one layer may not use each other.
LAYERS = (("quorel", "tolvane"), "reader", "failure", "text_rules")
FOLDERS = tuple(f for layer in LAYERS for f in (layer if isinstance(layer, tuple) else (layer,)))


def rank(folder: str) -> int:
    """How far down its layer is: 0 for the faces."""
    return next(i for i, layer in enumerate(LAYERS)
                if folder == layer or (isinstance(layer, tuple) and folder in layer))
SOURCE_SUFFIXES = {".cpp", ".hpp", ".inc"}
QUOTED_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
DEFAULT_SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def layer_of(name: str) -> str | None:
    """The folder of a path relative to src/ ("reader/series.hpp"), None when it is in none."""
    folder, _, rest = name.partition("/")
    return folder if rest and folder in FOLDERS else None


def read_includes(src: pathlib.Path) -> tuple[dict[str, list[tuple[int, str]]], list[str]]:
    """Every source under src (by its path from src) with its quoted includes (line, name),
    and the offences found on the way: sources outside the layers, includes of no such file."""
    includes: dict[str, list[tuple[int, str]]] = {}
    problems: list[str] = []
    for path in sorted(p for p in src.rglob("*") if p.is_file() and p.suffix in SOURCE_SUFFIXES):
        name = path.relative_to(src).as_posix()
        if layer_of(name) is None:
            problems.append(f"{name}: not in a layer's folder ({', '.join(FOLDERS)})")
        found = includes.setdefault(name, [])
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
            match = QUOTED_INCLUDE.match(line)
            if not match:
                continue
            target = match[1]
            if not (src / target).is_file():
                problems.append(f'{name}:{number}: #include "{target}" names no file under src/'
                                " (includes name their folder from src/)")
                continue
            found.append((number, target))
    return includes, problems


def upward_includes(includes: dict[str, list[tuple[int, str]]]) -> list[str]:
    problems = []
    for name, targets in includes.items():
        own = layer_of(name)
        for number, target in targets:
            theirs = layer_of(target)
            if not (own and theirs) or own == theirs:
                continue
            if rank(theirs) < rank(own):
                problems.append(f'{name}:{number}: #include "{target}" reaches up from layer '
                                f"{own} to layer {theirs}")
            elif rank(theirs) == rank(own):
                problems.append(f'{name}:{number}: #include "{target}" reaches across from '
                                f"{own} to {theirs}: the two faces stand apart")
    return problems


def include_cycles(includes: dict[str, list[tuple[int, str]]]) -> list[str]:
    """One offence per cycle that a depth-first walk finds, naming the files around it from the
    first in name order, so that a cycle reads the same whichever file the walk met first."""
    problems = []
    finished: set[str] = set()
    path: list[str] = []  # the files being walked, outermost first

    def walk(name: str) -> None:
        path.append(name)
        for _, target in includes.get(name, []):
            if target in path:
                cycle = path[path.index(target):]
                start = cycle.index(min(cycle))
                cycle = cycle[start:] + cycle[:start] + [cycle[start]]
                problems.append("include cycle: " + " -> ".join(cycle))
            elif target not in finished:
                walk(target)
        path.pop()
        finished.add(name)

    for name in includes:
        if name not in finished:
            walk(name)
    return problems


def main(argv: list[str]) -> int:
    src = pathlib.Path(argv[0]) if argv else DEFAULT_SRC
    if not src.is_dir():
        print(f"check_layers: {src} is not a folder", file=sys.stderr)
        return 2
    includes, problems = read_includes(src)
    problems += upward_includes(includes) + include_cycles(includes)
    for problem in problems:
        print(f"check_layers: {problem}", file=sys.stderr)
    if problems:
        print(f"check_layers: FAILED: {len(problems)} offence(s)", file=sys.stderr)
        return 1
    edges = sum(len(targets) for targets in includes.values())
    order = " > ".join(" | ".join(layer) if isinstance(layer, tuple) else layer for layer in LAYERS)
    print(f"check_layers: {len(includes)} files, {edges} includes, all downward ({order}), "
          "no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
