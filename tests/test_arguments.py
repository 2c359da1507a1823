"""Binding and conversion of the two arguments of rust_read_tolvane."""
import pathlib

import pytest

import quorel
from conftest import (bits_list, interpreter_index_error, interpreter_ull_error, panic_message,
                      plot_text, write_plot)

read = quorel.rust_read_tolvane
NAME = "rust_read_tolvane()"


@pytest.fixture
def plot12(tmp_path):
    """Three parameters, width 12, two blocks."""
    text = plot_text(3, [["1.0", "2.5", "-3.0"], ["2.0", "0.25", "4.0"]], 12)
    return write_plot(tmp_path, text)


EXPECTED12 = ([0x3F800000, 0x40000000], [[0x40200000, 0x3E800000],
                                          [0xC0400000, 0x40800000]])


def as_bits(result):
    assert type(result) is tuple and len(result) == 2
    times, cols = result
    assert type(times) is list and type(cols) is list
    return bits_list(times), [bits_list(c) for c in cols]


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize("call", [
    lambda p: read(p, 12),
    lambda p: read(file_path=p, n_digits=12),
    lambda p: read(n_digits=12, file_path=p),
    lambda p: read(p, n_digits=12),
    lambda p: read(*[p], **{"n_digits": 12}),
    lambda p: read(*(p, 12)),
], ids=["positional", "keywords", "keywords-reversed", "mixed", "star-mixed",
        "star-positional"])
def test_call_shapes_give_same_result(plot12, call):
    assert as_bits(call(plot12)) == EXPECTED12


def binding_error(func):
    with pytest.raises(TypeError) as info:
        func()
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: read(),
     f"{NAME} missing 2 required positional arguments: 'file_path' and 'n_digits'"),
    (lambda: read(n_digits=12),
     f"{NAME} missing 1 required positional argument: 'file_path'"),
    (lambda: read("x"),
     f"{NAME} missing 1 required positional argument: 'n_digits'"),
    (lambda: read(file_path="x"),
     f"{NAME} missing 1 required positional argument: 'n_digits'"),
    (lambda: read("x", 12, 3),
     f"{NAME} takes 2 positional arguments but 3 were given"),
    (lambda: read("x", 12, 3, 4),
     f"{NAME} takes 2 positional arguments but 4 were given"),
    (lambda: read("x", 12, 3, bogus=1),
     f"{NAME} takes 2 positional arguments but 3 were given"),
    (lambda: read("x", 12, 3, file_path="y"),
     f"{NAME} takes 2 positional arguments but 3 were given"),
    (lambda: read("x", file_path="y"),
     f"{NAME} got multiple values for argument 'file_path'"),
    (lambda: read("x", 12, n_digits=12),
     f"{NAME} got multiple values for argument 'n_digits'"),
    (lambda: read("x", 12, file_path="x"),
     f"{NAME} got multiple values for argument 'file_path'"),
    (lambda: read("x", File_Path="x"),
     f"{NAME} got an unexpected keyword argument 'File_Path'"),
    (lambda: read(File_Path="x", n_digits=12),
     f"{NAME} got an unexpected keyword argument 'File_Path'"),
    (lambda: read("x", 12, N_DIGITS=12),
     f"{NAME} got an unexpected keyword argument 'N_DIGITS'"),
    (lambda: read("x", n_digits=12, bogus=1),
     f"{NAME} got an unexpected keyword argument 'bogus'"),
    # keywords are examined in call order: the first offending one is reported
    (lambda: read("x", bogus=1, file_path="x"),
     f"{NAME} got an unexpected keyword argument 'bogus'"),
    (lambda: read("x", file_path="x", bogus=1),
     f"{NAME} got multiple values for argument 'file_path'"),
    # an unknown keyword is reported before any missing parameter
    (lambda: read(bogus=1),
     f"{NAME} got an unexpected keyword argument 'bogus'"),
    (lambda: read(**{"file_path\x00": "x", "n_digits": 12}),
     f"{NAME} got an unexpected keyword argument 'file_path\x00'"),
    (lambda: read(**{"fïle_path": "x", "n_digits": 12}),
     f"{NAME} got an unexpected keyword argument 'fïle_path'"),
])
def test_binding_messages(call, message):
    assert binding_error(call) == message


def test_unencodable_keyword_matches_nothing():
    message = binding_error(lambda: read(**{"\udcff": "x", "n_digits": 12}))
    prefix = f"{NAME} got an unexpected keyword argument '"
    assert message.startswith(prefix) and message.endswith("'")
    name = message[len(prefix):-1]
    # the lone surrogate is shown as is, or replaced by U+FFFD
    assert name == "\udcff" or (name and set(name) == {"\ufffd"} and len(name) <= 3)


def test_binding_error_is_not_wrapped_and_has_no_cause():
    with pytest.raises(TypeError) as info:
        read()
    assert info.value.__cause__ is None
    assert info.value.__context__ is None


def test_binding_fails_before_conversion():
    calls = []

    class Idx:
        def __index__(self):
            calls.append(1)
            return 12

    assert binding_error(lambda: read(b"x", Idx(), 3)) == \
        f"{NAME} takes 2 positional arguments but 3 were given"
    assert binding_error(lambda: read(b"x", Idx(), bogus=0)) == \
        f"{NAME} got an unexpected keyword argument 'bogus'"
    assert calls == []


# ------------------------------------------------------- file_path conversion


class Outer:
    class Inner:
        pass


def wrapped_type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    exc = info.value
    assert type(exc) is TypeError
    return exc


@pytest.mark.parametrize("value, message", [
    (b"plot.dat", "'bytes' object is not an instance of 'str'"),
    (bytearray(b"plot.dat"), "'bytearray' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (pathlib.PurePosixPath("plot.dat"), "'PurePosixPath' object is not an instance of 'str'"),
    (pathlib.Path("plot.dat"), "'PosixPath' object is not an instance of 'str'"),
    (12, "'int' object is not an instance of 'str'"),
    (1.5, "'float' object is not an instance of 'str'"),
    (["a"], "'list' object is not an instance of 'str'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
    (str, "'type' object is not an instance of 'str'"),
])
def test_file_path_type_errors(value, message):
    exc = wrapped_type_error(lambda: read(value, 12))
    assert str(exc) == "argument 'file_path': " + message
    assert exc.args == ("argument 'file_path': " + message,)
    exc = wrapped_type_error(lambda: read(file_path=value, n_digits=12))
    assert str(exc) == "argument 'file_path': " + message


def instance_whose_type_qualname(lookup):
    """An object whose type answers a __qualname__ lookup with lookup()."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return lookup()
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    return Odd()


def test_file_path_type_name_unreadable():
    def no_name():
        raise RuntimeError("no name")

    for lookup in (no_name, lambda: 42):
        obj = instance_whose_type_qualname(lookup)
        exc = wrapped_type_error(lambda: read(obj, 12))
        assert str(exc) == ("argument 'file_path': '<failed to extract type name>' "
                            "object is not an instance of 'str'")


def test_file_path_type_name_is_read_by_its_characters():
    class Name(str):
        def __str__(self):
            raise AssertionError("__str__ of the name must not be called")

    exc = wrapped_type_error(lambda: read(instance_whose_type_qualname(lambda: Name("Fancy")), 12))
    assert str(exc) == "argument 'file_path': 'Fancy' object is not an instance of 'str'"


def test_path_like_is_not_used(tmp_path, plot12):
    class PathLike:
        def __fspath__(self):
            raise AssertionError("__fspath__ must not be called")

    exc = wrapped_type_error(lambda: read(PathLike(), 12))
    assert str(exc) == ("argument 'file_path': 'test_path_like_is_not_used.<locals>."
                        "PathLike' object is not an instance of 'str'")


def test_str_subclass_is_accepted_by_its_characters(plot12):
    class S(str):
        def __str__(self):
            raise AssertionError("__str__ must not be called")

        def __fspath__(self):
            raise AssertionError("__fspath__ must not be called")

        def encode(self, *a, **k):
            raise AssertionError("encode must not be called")

    assert as_bits(read(S(plot12), 12)) == EXPECTED12


def test_lone_surrogate_path_raises_unicode_encode_error_unchanged():
    path = "/tmp/no\udcffsuch"
    with pytest.raises(UnicodeEncodeError) as info:
        read(path, 12)
    try:
        path.encode("utf-8")
    except UnicodeEncodeError as ref:
        expected = str(ref)
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == expected
    assert "file_path" not in str(info.value)


def test_bad_path_and_bad_width_report_path_only():
    calls = []

    class Idx:
        def __index__(self):
            calls.append(1)
            raise ValueError("must not be converted")

    for bad_width in (12.0, "12", None, -1, 2**64, Idx()):
        exc = wrapped_type_error(lambda: read(b"plot.dat", bad_width))
        assert str(exc) == "argument 'file_path': 'bytes' object is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError):
        read("\ud800", Idx())
    assert calls == []


def test_wrapped_type_error_cause_and_context():
    exc = wrapped_type_error(lambda: read(None, 12))
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    assert exc.__context__ is None
    exc = wrapped_type_error(lambda: read("x", 12.0))
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    assert exc.__context__ is None


# -------------------------------------------------------- n_digits conversion


@pytest.mark.parametrize("value, tname", [
    (12.0, "float"),
    ("12", "str"),
    (None, "NoneType"),
    (b"12", "bytes"),
    (1 + 0j, "complex"),
    ([12], "list"),
])
def test_n_digits_without_index(value, tname):
    exc = wrapped_type_error(lambda: read("/nonexistent/plot.dat", value))
    assert str(exc) == "argument 'n_digits': " + interpreter_index_error(value)
    assert f"'{tname}'" in str(exc)
    exc = wrapped_type_error(lambda: read(file_path="/x", n_digits=value))
    assert str(exc).startswith("argument 'n_digits': ")


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**64 + 12, 10**30])
def test_n_digits_out_of_range(value, tmp_path):
    class Idx:
        def __index__(self):
            return value

    for arg in (value, Idx()):
        with pytest.raises(OverflowError) as info:
            read("/nonexistent/plot.dat", arg)
        assert type(info.value) is OverflowError
        assert str(info.value) == interpreter_ull_error(value)
        assert "n_digits" not in str(info.value)
        assert "argument" not in str(info.value)


def test_n_digits_largest_accepted_without_blocks(tmp_path):
    path = write_plot(tmp_path, plot_text(4, [], 12))
    for width in (2**64 - 1, 2**63, 0):
        assert as_bits(read(path, width)) == ([], [[], [], []])


@pytest.mark.parametrize("width", [2**64 - 1, 2**63, 2**32, 37])
def test_n_digits_large_reaches_reader(tmp_path, width):
    path = write_plot(tmp_path, plot_text(3, [["1.0", "2.0", "3.0"]], 12))
    assert panic_message(read, path, width) == (
        "PanicException",
        f"end byte index {width} is out of bounds for string of length 36")


def test_true_is_width_one(tmp_path):
    path = write_plot(tmp_path, "T 3\nA\nB\nC\nH\n152\n")
    assert as_bits(read(path, True)) == ([0x3F800000], [[0x40A00000], [0x40000000]])
    assert panic_message(read, path, False) == (
        "PanicException", "Could not parse line: ParseFloatError { kind: Empty }")


def test_index_object_gives_width(tmp_path):
    blocks = [["1.5", "-2.0"], ["3.0", "1e3"]]
    path = write_plot(tmp_path, plot_text(2, blocks, 15))
    calls = []

    class Idx:
        def __index__(self):
            calls.append(1)
            return 15

    assert as_bits(read(path, Idx())) == ([0x3FC00000, 0x40400000],
                                          [[0xC0000000, 0x447A0000]])
    assert calls == [1]
    # the same file read with width 12 cuts the fields elsewhere
    assert panic_message(read, path, 12)[0] == "PanicException"


def test_int_subclass_value_is_used_without_index(plot12):
    calls = []

    class I(int):
        def __index__(self):
            calls.append(1)
            return 15

        def __int__(self):
            calls.append(2)
            return 15

    assert as_bits(read(plot12, I(12))) == EXPECTED12
    assert as_bits(read(file_path=plot12, n_digits=I(12))) == EXPECTED12
    assert calls == []


def test_bool_subclass_of_int_for_width(tmp_path):
    path = write_plot(tmp_path, "T 1\nA\nH\n7\n")
    assert as_bits(read(path, True)) == ([0x40E00000], [])


def test_index_raising_type_error_subclass_passes_unchanged():
    class MyTypeError(TypeError):
        pass

    err = MyTypeError("custom")

    class Idx:
        def __index__(self):
            raise err

    with pytest.raises(MyTypeError) as info:
        read("/nonexistent/plot.dat", Idx())
    assert info.value is err
    assert str(info.value) == "custom"


@pytest.mark.parametrize("exc_type", [ValueError, RuntimeError, KeyError,
                                      OverflowError, ZeroDivisionError])
def test_index_raising_other_exception_passes_unchanged(exc_type):
    err = exc_type("from index")

    class Idx:
        def __index__(self):
            raise err

    with pytest.raises(exc_type) as info:
        read("/nonexistent/plot.dat", Idx())
    assert info.value is err


def test_index_raising_exact_type_error_is_wrapped():
    class Idx:
        def __index__(self):
            raise TypeError("no width here")

    exc = wrapped_type_error(lambda: read("/nonexistent/plot.dat", Idx()))
    assert str(exc) == "argument 'n_digits': no width here"
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    assert exc.__context__ is None


def test_index_type_error_with_cause_keeps_cause():
    cause = KeyError("inner")
    raised = []

    class Idx:
        def __index__(self):
            err = TypeError("bad index")
            raised.append(err)
            raise err from cause

    exc = wrapped_type_error(lambda: read("/nonexistent/plot.dat", Idx()))
    assert str(exc) == "argument 'n_digits': bad index"
    assert exc is not raised[0]
    assert exc.__cause__ is cause
    assert exc.__suppress_context__ is True
    assert exc.__context__ is not raised[0]


def test_index_returning_non_int_is_wrapped():
    class Idx:
        def __index__(self):
            return 12.0

    exc = wrapped_type_error(lambda: read("/nonexistent/plot.dat", Idx()))
    assert str(exc) == "argument 'n_digits': " + interpreter_index_error(Idx())
    assert "float" in str(exc)


def test_wrapped_message_with_lone_surrogate():
    class Idx:
        def __index__(self):
            raise TypeError("bad \udcff width")

    exc = wrapped_type_error(lambda: read("/nonexistent/plot.dat", Idx()))
    text = str(exc)
    prefix, suffix = "argument 'n_digits': bad ", " width"
    assert text.startswith(prefix) and text.endswith(suffix)
    middle = text[len(prefix):len(text) - len(suffix)]
    # the surrogate is replaced by U+FFFD (one per undecodable byte at most)
    assert middle and set(middle) == {"\ufffd"} and len(middle) <= 3


def test_type_error_with_non_str_args_is_wrapped_by_str():
    class Idx:
        def __index__(self):
            raise TypeError(1, "two")

    exc = wrapped_type_error(lambda: read("/nonexistent/plot.dat", Idx()))
    assert str(exc) == "argument 'n_digits': (1, 'two')"
