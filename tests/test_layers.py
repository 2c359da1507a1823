"""tools/check_layers.py: src/'s includes run only downward, from the two Python faces to the
text rules, with no cycle and nothing between the faces; and the check fails on a tree where
they do not."""
import importlib.util
import shutil

import pytest

from conftest import ROOT

CHECKER = ROOT / "tools" / "check_layers.py"
SRC = ROOT / "src"


def test_includes_run_downward_and_the_check_catches_what_does_not(tmp_path, capsys):
    if not (CHECKER.is_file() and SRC.is_dir()):
        pytest.skip("the sources are not beside the tests: these tests run in a clone of the project")
    spec = importlib.util.spec_from_file_location("check_layers", CHECKER)
    checker = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(checker)

    assert checker.main([str(SRC)]) == 0, capsys.readouterr().err

    # A copy with an upward include, a cycle within one layer and an include without its folder.
    planted = tmp_path / "src"
    shutil.copytree(SRC, planted)
    for name, include in [("text_rules/utf8.hpp", "failure/panic.hpp"),
                          ("tolvane/plot_head.hpp", "quorel/py_ref.hpp"),
                          ("text_rules/decimal_digits.hpp", "text_rules/e_notation_field.hpp"),
                          ("reader/series.hpp", "unique_fd.hpp")]:
        path = planted / name
        path.write_text(f'#include "{include}"\n' + path.read_text())
    capsys.readouterr()
    assert checker.main([str(planted)]) == 1
    err = capsys.readouterr().err
    assert ('text_rules/utf8.hpp:1: #include "failure/panic.hpp" reaches up from layer text_rules '
            "to layer failure") in err
    assert ('tolvane/plot_head.hpp:1: #include "quorel/py_ref.hpp" reaches across from tolvane '
            "to quorel: the two faces stand apart") in err
    assert ("include cycle: text_rules/decimal_digits.hpp -> text_rules/e_notation_field.hpp -> "
            "text_rules/decimal_digits.hpp") in err
    assert 'reader/series.hpp:1: #include "unique_fd.hpp" names no file under src/' in err


def test_the_package_imports_without_a_circle_and_the_check_catches_one(tmp_path, capsys):
    checker_path = ROOT / "tools" / "check_imports.py"
    package = ROOT / "python" / "tolvane"
    if not (checker_path.is_file() and package.is_dir()):
        pytest.skip("the sources are not beside the tests: these tests run in a clone of the project")
    spec = importlib.util.spec_from_file_location("check_imports", checker_path)
    checker = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(checker)

    assert checker.main([str(package)]) == 0, capsys.readouterr().err

    # A circle through an import inside a function, and one hidden from the check under
    # TYPE_CHECKING, which does not count.
    planted = tmp_path / "tolvane"
    shutil.copytree(package, planted)
    names = planted / "_names.py"
    names.write_text(names.read_text() + "\n\ndef late():\n    from ._read import read\n")
    errors = planted / "_errors.py"
    errors.write_text("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from ._read import read\n"
                      + errors.read_text())
    capsys.readouterr()
    assert checker.main([str(planted)]) == 1
    err = capsys.readouterr().err.splitlines()
    assert "import circle: tolvane._names -> tolvane._read -> tolvane._names" in err
    assert not [line for line in err if "_errors" in line]
