"""Import and introspection of the quorel module and its one function."""
import importlib
import importlib.machinery
import importlib.util
import inspect
import sys
import types

import pytest

import quorel
from conftest import bits_list, plot_text, write_plot

EXPECTED_DOC = (
    "# Reads in the tolvane file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## TOLVANE plot file shape\n"
    "The TOLVANE data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the TOLVANE plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n"
)

# Names that the import machinery itself may put into an extension module.
IMPORT_MACHINERY_NAMES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__cached__",
}


def small_plot(tmp_path, name="plot.dat"):
    text = plot_text(3, [["1.0", "2.5", "-3.0"], ["2.0", "0.25", "4.0"]], 12)
    return write_plot(tmp_path, text, name=name)


def check_reads(func, path):
    times, cols = func(path, 12)
    assert bits_list(times) == [0x3F800000, 0x40000000]
    assert [bits_list(c) for c in cols] == [[0x40200000, 0x3E800000],
                                            [0xC0400000, 0x40800000]]


def test_module_doc_is_empty_string():
    assert quorel.__doc__ == ""
    assert type(quorel.__doc__) is str


def test_module_name():
    assert quorel.__name__ == "quorel"
    assert isinstance(quorel, types.ModuleType)


def test_all_is_one_element_list():
    assert type(quorel.__all__) is list
    assert quorel.__all__ == ["rust_read_tolvane"]
    assert type(quorel.__all__[0]) is str


def test_namespace_holds_exactly_the_function_and_all():
    extra = set(vars(quorel)) - IMPORT_MACHINERY_NAMES
    assert extra == {"rust_read_tolvane", "__all__"}
    assert not hasattr(quorel, "PanicException")


def test_star_import_gives_only_the_function():
    ns = {}
    exec("from quorel import *", ns)
    assert set(ns) - {"__builtins__"} == {"rust_read_tolvane"}
    assert ns["rust_read_tolvane"] is quorel.rust_read_tolvane


def test_function_is_builtin_with_self_none():
    f = quorel.rust_read_tolvane
    assert type(f) is types.BuiltinFunctionType
    assert f.__self__ is None


@pytest.mark.parametrize("attr, expected", [
    ("__name__", "rust_read_tolvane"),
    ("__qualname__", "rust_read_tolvane"),
    ("__module__", "quorel"),
    ("__text_signature__", "(file_path, n_digits)"),
])
def test_function_attributes(attr, expected):
    value = getattr(quorel.rust_read_tolvane, attr)
    assert type(value) is str
    assert value == expected


def test_function_module_is_module_name():
    assert quorel.rust_read_tolvane.__module__ == quorel.__name__


def test_function_doc_exact():
    doc = quorel.rust_read_tolvane.__doc__
    assert doc == EXPECTED_DOC
    assert doc.startswith("# Reads in the tolvane file.")
    assert doc.endswith("columns/vectors.\n")
    assert "rust_read_tolvane(" not in doc


def test_inspect_signature():
    sig = inspect.signature(quorel.rust_read_tolvane)
    assert str(sig) == "(file_path, n_digits)"
    params = list(sig.parameters.values())
    assert [p.name for p in params] == ["file_path", "n_digits"]
    for p in params:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
        assert p.annotation is inspect.Parameter.empty
    assert sig.return_annotation is inspect.Signature.empty


def test_reimport_gives_new_module_and_function(tmp_path):
    path = small_plot(tmp_path)
    old_module = sys.modules["quorel"]
    old_func = old_module.rust_read_tolvane
    del sys.modules["quorel"]
    try:
        new_module = importlib.import_module("quorel")
        assert new_module is not old_module
        new_func = new_module.rust_read_tolvane
        assert new_func is not old_func
        assert new_module.__all__ == ["rust_read_tolvane"]
        assert new_module.__all__ is not old_module.__all__
        assert new_module.__doc__ == ""
        check_reads(new_func, path)
        check_reads(old_func, path)
    finally:
        sys.modules["quorel"] = old_module


def test_module_name_follows_import_name(tmp_path):
    """Loaded under a dotted name, the function's __module__ is that name."""
    origin = quorel.__spec__.origin
    loader = importlib.machinery.ExtensionFileLoader("fakepkg.quorel", origin)
    spec = importlib.util.spec_from_file_location("fakepkg.quorel", origin,
                                                  loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.__name__ == "fakepkg.quorel"
    func = module.rust_read_tolvane
    assert func.__module__ == "fakepkg.quorel"
    assert func is not quorel.rust_read_tolvane
    assert module.__all__ == ["rust_read_tolvane"]
    check_reads(func, small_plot(tmp_path))


def fresh_module():
    """A new module object made from quorel's spec, before its exec step has run."""
    spec = importlib.util.find_spec("quorel")
    return spec, importlib.util.module_from_spec(spec)


@pytest.mark.parametrize("existing", [["other"], type("ListSubclass", (list,), {})(["other"])])
def test_exec_extends_an_existing_all_list(existing):
    spec, module = fresh_module()
    module.__all__ = existing
    spec.loader.exec_module(module)
    assert module.__all__ is existing
    assert list(existing) == ["other", "rust_read_tolvane"]
    assert module.rust_read_tolvane.__module__ == "quorel"


@pytest.mark.parametrize("value, type_name", [(("other",), "tuple"), ("other", "str"), (None, "None")])
def test_exec_refuses_an_all_that_is_not_a_list(value, type_name):
    spec, module = fresh_module()
    module.__all__ = value
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    expected = ("'None' is not an instance of 'list'" if value is None
                else f"'{type_name}' object is not an instance of 'list'")
    assert str(info.value) == expected
    # __all__ is checked before the function is published.
    assert not hasattr(module, "rust_read_tolvane")


def test_exec_function_module_follows_the_name_at_exec_time():
    spec, module = fresh_module()
    module.__name__ = "renamed.quorel"
    spec.loader.exec_module(module)
    assert module.rust_read_tolvane.__module__ == "renamed.quorel"


def test_exec_without_a_module_name_fails_with_the_interpreter_error():
    spec, module = fresh_module()
    del module.__name__
    with pytest.raises(SystemError):
        spec.loader.exec_module(module)
    assert not hasattr(module, "rust_read_tolvane")
