"""The shared object as built: what it exports, and what it takes from the libraries it loads.

Values must not depend on the C or C++ runtime the module runs with: runtimes differ in how
their text-to-float conversions treat subnormals, range errors and long inputs, so the module
converts with its own code and must import none of them.
"""
import os
import pathlib
import platform
import re

import quorel
from elf_symbols import STB_LOCAL, dynamic_symbols

# Text-to-number conversions of the C and C++ runtimes, plain and mangled, versioned or not.
FLOAT_CONVERSION = re.compile(
    r"from_chars|strto(f|d|ld|f32|f64|f128|f32x|f64x)(_l)?\b|__strto|atof|scanf|"
    r"_ZNSi?rs|_ZNSt7num_get|stof|stod|stold")


def module_symbols():
    return dynamic_symbols(quorel.__file__)


def test_only_the_init_function_is_exported():
    exported = [s.name for s in module_symbols() if s.defined and s.binding != STB_LOCAL]
    assert exported == ["PyInit_quorel"]


def test_no_float_conversion_is_imported():
    imported = [s.name for s in module_symbols() if not s.defined]
    assert imported, "the symbol table lists no imports at all"
    assert any(name.startswith("PyFloat_FromDouble") for name in imported)
    assert [name for name in imported if FLOAT_CONVERSION.search(name)] == []


def test_conversion_pattern_recognises_runtime_conversions():
    runtime_names = ["_ZSt10from_charsPKcS0_RfSt12chars_format", "strtof", "strtod", "strtold",
                     "__strtof_l", "strtof_l", "__isoc99_sscanf", "atof", "strtof128",
                     "_ZNSirsERf", "_ZNSt7__cxx114stofERKNS_12basic_stringIcSt11char_traitsIcESaIcEEEPm"]
    assert all(FLOAT_CONVERSION.search(name) for name in runtime_names)
    harmless = ["PyFloat_FromDouble", "memchr", "strerror_r", "snprintf", "strlen", "strcmp"]
    assert not any(FLOAT_CONVERSION.search(name) for name in harmless)


def test_field_routes_are_those_of_the_processor():
    """SSE2 vectors on x86-64; 64-bit words on other processors, and in the builds that test the
    word routes on x86-64 (QUOREL_EXPECT_ROUTES=words). The module names its routes in a marker
    that survives stripping: no other route can run."""
    expected = os.environ.get("QUOREL_EXPECT_ROUTES") or (
        "vectors" if platform.machine() in ("x86_64", "AMD64") else "words")
    # A build with debug information holds the marker's text a second time.
    markers = re.findall(rb"quorel routes: ([a-z]+)", pathlib.Path(quorel.__file__).read_bytes())
    assert markers and set(markers) == {expected.encode()}
