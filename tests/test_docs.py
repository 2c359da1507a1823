"""The README and the pages of docs/: the README stays short and keeps its two commands, every
relative link of theirs leads to a file (and a heading) that is there, and the broken file that
docs/tolvane.md shows gives the message it shows."""

import re
import subprocess
import sys

import pytest

from conftest import EXAMPLES, ROOT, child_env, readme_text

LINK = re.compile(r"\]\(([^)\s]+)\)")


def pages():
    readme_text()  # skips where the README is not there
    return [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def anchor(heading):
    """The anchor GitHub gives a heading: lower case, punctuation but - and _ dropped, blanks
    as -."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_the_readme_is_short_and_keeps_its_two_commands():
    text = readme_text()
    assert len(text.splitlines()) <= 250
    for command in ["python3 -m pip install . && python3 examples/demo.py",
                    "python3 -m pip install '.[test]' && python3 -m pytest"]:
        assert f"```sh\n{command}\n```" in text


def test_every_relative_link_resolves():
    broken = []
    for page in pages():
        for target in LINK.findall(page.read_text(encoding="utf-8")):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, fragment = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            if not linked.exists():
                broken.append(f"{page.name}: {target}")
            elif fragment and linked.suffix == ".md":
                headings = re.findall(r"^#+ (.+)$", linked.read_text(encoding="utf-8"), re.M)
                if fragment not in map(anchor, headings):
                    broken.append(f"{page.name}: {target} (no such heading)")
    assert not broken


def test_the_broken_file_shown_says_what_is_shown(tmp_path):
    pytest.importorskip("tolvane")
    readme_text()  # skips where the README and docs/ are not there
    text = (ROOT / "docs" / "tolvane.md").read_text(encoding="utf-8")
    shown = re.search(r"```sh\n(sed .+? > /tmp/broken\.plt)\ntolvane info /tmp/broken\.plt\n```\n\n```\n(.+?)```",
                      text, re.S)
    assert shown[1] == "sed '21s/E+02/D+02/' examples/sample_w12.plt > /tmp/broken.plt"
    lines = (EXAMPLES / "sample_w12.plt").read_text().split("\n")
    lines[20] = lines[20].replace("E+02", "D+02", 1)
    (tmp_path / "broken.plt").write_text("\n".join(lines))
    proc = subprocess.run([sys.executable, "-m", "tolvane", "info", "broken.plt"], cwd=tmp_path,
                          capture_output=True, text=True, env=child_env())
    assert proc.returncode == 1
    assert proc.stderr == shown[2].replace("/tmp/broken.plt", "broken.plt")
