"""Failure surfacing: the report on descriptor 2, the one-time note, the
PanicException class, PanicExceptions coming back from Python code, and the
diagnostic line on descriptor 1.

The report and the diagnostic line are written to the raw descriptors, not
through sys.stdout / sys.stderr, and the note after the first report depends
on process-wide state, so every case runs in a fresh child interpreter.  The
child writes what it observed as JSON into a result file, which keeps its own
descriptors 1 and 2 free for the module's output.
"""

import json
import os
import re
import struct
import subprocess
import sys

import pytest

NOTE = (
    "note: run with `QUOREL_BACKTRACE=1` environment variable "
    "to display a backtrace\n"
)
RESUME_BANNER = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
MARK = "@@marker@@\n"

NOT_FOUND = (
    'Plot file not found!: Os { code: 2, kind: NotFound, '
    'message: "No such file or directory" }'
)
IS_DIR = (
    'Failed to read line!: Os { code: 21, kind: IsADirectory, '
    'message: "Is a directory" }'
)
BAD_FIELD = "Could not parse line: ParseFloatError { kind: Invalid }"
DIAG_MINUS_3 = "Error: '-3' is not a valid number of parameters!\n"
FIRST_LINE_MINUS_3 = (
    "The first line should end with the number of parameters:\n'TITLE -3'"
)

POSITION = r"(?P<file>src/[\w/]+\.(?:cpp|hpp|h)):(?P<line>\d+):(?P<col>\d+)"


def report_re(message, tid=None):
    """Regex source for one complete report carrying `message`."""
    tid_re = r"\d+" if tid is None else str(tid)
    return (
        r"\nthread '<unnamed>' \((?P<tid>" + tid_re + r")\) panicked at "
        + POSITION + r":\n" + re.escape(message) + r"\n"
    )


def report_re_unnamed_groups(message):
    """Like report_re, without named groups, for repetition in one regex."""
    return (
        r"\nthread '<unnamed>' \(\d+\) panicked at src/[\w/]+\.(?:cpp|hpp|h)"
        r":\d+:\d+:\n" + re.escape(message) + r"\n"
    )


def f12(*values):
    return "".join(v.rjust(12) for v in values)


GOOD_TEXT = "TITLE 3\nTIME\nA\nB\n HDR\n" + f12("0.0", "1.5", "-2.25") + "\n"


def bits(x):
    return struct.pack("<f", x)


def assert_good_result(result):
    time, cols = result
    assert [bits(x) for x in time] == [bits(0.0)]
    assert [[bits(x) for x in c] for c in cols] == [[bits(1.5)], [bits(-2.25)]]


PRELUDE = r'''
import json, os, sys, threading
import quorel
RESULT, GOOD = sys.argv[1], sys.argv[2]
ARGS = json.loads(sys.argv[3])

def attempt(*args):
    try:
        quorel.rust_read_tolvane(*args)
    except BaseException as exc:
        return exc
    raise AssertionError("call did not fail: %r" % (args,))

def fds():
    return sorted(os.listdir("/proc/self/fd"), key=int)

def finish(**res):
    with open(RESULT, "w") as f:
        json.dump(res, f)
'''


def child_env(backtrace=None):
    env = os.environ.copy()
    env.pop("QUOREL_BACKTRACE", None)
    if backtrace is not None:
        env["QUOREL_BACKTRACE"] = backtrace
    return env


def run_child(tmp_path, body, *args, backtrace=None, expect_rc=0, **kwargs):
    """Run PRELUDE + body in a child; return (completed process, result)."""
    result_file = tmp_path / "child-result.json"
    if result_file.exists():
        result_file.unlink()
    good = tmp_path / "good.plt"
    good.write_text(GOOD_TEXT)
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    # JSON keeps NUL characters and numbers intact through argv.
    argv_args = json.dumps([a if isinstance(a, int) else str(a) for a in args])
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + body, str(result_file), str(good),
         argv_args],
        env=child_env(backtrace), cwd=tmp_path, timeout=120, **kwargs)
    err = proc.stderr.decode("utf-8", "replace") if proc.stderr else ""
    assert proc.returncode == expect_rc, err
    result = json.loads(result_file.read_text()) if result_file.exists() else None
    return proc, result


# --------------------------------------------------------------------------
# Report shape, position, message, and clean state after each failure

def _write(path, data):
    if isinstance(data, str):
        data = data.encode()
    path.write_bytes(data)
    return str(path)


def case_missing(tmp_path):
    return str(tmp_path / "missing.plt"), 12


def case_directory(tmp_path):
    d = tmp_path / "adir"
    d.mkdir()
    return str(d), 12


def case_nul_path(tmp_path):
    return str(tmp_path / "a\0b.plt"), 12


def case_empty_file(tmp_path):
    return _write(tmp_path / "e.plt", b""), 12


def case_bad_utf8(tmp_path):
    return _write(tmp_path / "u.plt", b"TITLE\xff 3\nT\nA\nB\n"), 12


def case_short_names(tmp_path):
    return _write(tmp_path / "n.plt", "TITLE 3\nTIME\nA\n"), 12


def case_bad_field(tmp_path):
    text = "TITLE 3\nT\nA\nB\n HDR\n" + f12("0.0", "abc", "1.0") + "\n"
    return _write(tmp_path / "f.plt", text), 12


def case_blank_field(tmp_path):
    text = "TITLE 3\nT\nA\nB\n HDR\n" + f12("0.0", "", "1.0") + "\n"
    return _write(tmp_path / "b.plt", text), 12


def case_truncated_block(tmp_path):
    return _write(tmp_path / "t.plt", GOOD_TEXT + " HDR2\n"), 12


def case_out_of_bounds(tmp_path):
    text = "TITLE 3\nT\nA\nB\n HDR\n" + f12("0.0", "1.0") + "2.0".rjust(6) + "\n"
    assert len(text.splitlines()[-1]) == 30
    return _write(tmp_path / "o.plt", text), 12


def case_char_boundary(tmp_path):
    return _write(tmp_path / "c.plt", "TITLE 1\nT\n HDR\n1 \u00e9 2\n"), 3


def case_capacity_zero(tmp_path):
    return _write(tmp_path / "z.plt", "TITLE 0\n HDR\n"), 12


def case_capacity_blank(tmp_path):
    return _write(tmp_path / "zb.plt", "   \n HDR\n"), 12


def case_first_line(tmp_path):
    return _write(tmp_path / "l.plt", "TITLE -3\nT\nA\nB\n"), 12


LONG_FIRST = "\u00dcber " * 300 + "-3"


def case_long_first_line(tmp_path):
    return _write(tmp_path / "ll.plt", LONG_FIRST + "\nT\n"), 12


FAILURES = [
    (case_missing, NOT_FOUND, ""),
    (case_directory, IS_DIR, ""),
    (case_nul_path,
     'Plot file not found!: Error { kind: InvalidInput, '
     'message: "file name contained an unexpected NUL byte" }', ""),
    (case_empty_file, "Failed ot read line!", ""),
    (case_bad_utf8,
     'Failed to read line!: Error { kind: InvalidData, '
     'message: "stream did not contain valid UTF-8" }', ""),
    (case_short_names, "Failed to read line!", ""),
    (case_bad_field, BAD_FIELD, ""),
    (case_blank_field, "Could not parse line: ParseFloatError { kind: Empty }", ""),
    (case_truncated_block, "Error reading line", ""),
    (case_out_of_bounds,
     "end byte index 36 is out of bounds for string of length 30", ""),
    (case_char_boundary,
     "end byte index 3 is not a char boundary; it is inside '\u00e9' "
     "(bytes 2..4 of string)", ""),
    (case_capacity_zero, "capacity overflow", ""),
    (case_capacity_blank, "capacity overflow", ""),
    (case_first_line, FIRST_LINE_MINUS_3, DIAG_MINUS_3),
    # Longer than the 512-byte report buffer: written in pieces, still whole.
    (case_long_first_line,
     "The first line should end with the number of parameters:\n'"
     + LONG_FIRST + "'", DIAG_MINUS_3),
]

REPORT_BODY = r'''
path, width = ARGS
before = fds()
exc = attempt(path, width)
after = fds()
good = quorel.rust_read_tolvane(GOOD, 12)
finish(tid=threading.get_native_id(), module=type(exc).__module__,
       name=type(exc).__name__, message=str(exc), args=list(exc.args),
       n_args=len(exc.args), before=before, after=after, good=good)
'''


@pytest.mark.parametrize(
    "make, message, stdout", FAILURES, ids=[f[0].__name__[5:] for f in FAILURES])
def test_report_shape_and_message(tmp_path, make, message, stdout):
    path, width = make(tmp_path)
    proc, res = run_child(tmp_path, REPORT_BODY, path, width)
    err = proc.stderr.decode()

    m = re.fullmatch(report_re(message) + re.escape(NOTE), err)
    assert m, err
    assert int(m["tid"]) == res["tid"]
    assert int(m["line"]) >= 1
    if message == "capacity overflow":
        # Reported where sequences are sized, not in the module entry source.
        assert m["file"] != "src/quorel/lib.cpp"

    # The exception carries the very text of the report.
    assert (res["module"], res["name"]) == ("pyo3_runtime", "PanicException")
    assert res["message"] == message
    assert res["n_args"] == 1 and res["args"] == [message]

    assert proc.stdout.decode() == stdout

    # Nothing of the failed call stays open, and the module stays usable.
    assert res["after"] == res["before"]
    assert_good_result(res["good"])


# --------------------------------------------------------------------------
# The note after the first report, and backtraces on request

TWO_FAILURES_BODY = r'''
e1 = attempt(ARGS[0], 12)
e2 = attempt(ARGS[1], 12)
finish(same_class=type(e1) is type(e2), m1=str(e1), m2=str(e2))
'''


def _two_failure_files(tmp_path):
    bad, _ = case_bad_field(tmp_path)
    return str(tmp_path / "missing.plt"), bad


def test_note_after_first_report_only(tmp_path):
    missing, bad = _two_failure_files(tmp_path)
    proc, res = run_child(tmp_path, TWO_FAILURES_BODY, missing, bad)
    err = proc.stderr.decode()
    assert err.count(NOTE) == 1
    assert re.fullmatch(
        report_re_unnamed_groups(NOT_FOUND) + re.escape(NOTE)
        + report_re_unnamed_groups(BAD_FIELD), err), err
    assert res == {"same_class": True, "m1": NOT_FOUND, "m2": BAD_FIELD}


def test_backtrace_on_request(tmp_path):
    missing, bad = _two_failure_files(tmp_path)
    proc, res = run_child(tmp_path, TWO_FAILURES_BODY, missing, bad,
                          backtrace="1")
    err = proc.stderr.decode()
    assert "note:" not in err
    assert err.count("panicked at") == 2
    # Each report is directly followed by its backtrace.
    m = re.fullmatch(
        report_re_unnamed_groups(NOT_FOUND) + r"stack backtrace:\n(?:.*\n)*?"
        + report_re_unnamed_groups(BAD_FIELD) + r"stack backtrace:\n(?:.*\n)*",
        err)
    assert m, err
    assert res["m1"] == NOT_FOUND and res["m2"] == BAD_FIELD


# --------------------------------------------------------------------------
# Descriptors, not the interpreter's stream objects

def test_report_bypasses_sys_stderr(tmp_path):
    body = r'''
import io
buf = io.StringIO()
sys.stderr = buf
exc = attempt(ARGS[0], 12)
sys.stderr = sys.__stderr__
finish(captured=buf.getvalue(), message=str(exc))
'''
    proc, res = run_child(tmp_path, body, tmp_path / "missing.plt")
    assert res == {"captured": "", "message": NOT_FOUND}
    assert re.fullmatch(report_re(NOT_FOUND) + re.escape(NOTE),
                        proc.stderr.decode())


def test_diagnostic_line_precedes_report(tmp_path):
    path, _ = case_first_line(tmp_path)
    proc, res = run_child(
        tmp_path,
        "exc = attempt(ARGS[0], 12)\nfinish(message=str(exc))\n",
        path, stderr=subprocess.STDOUT)
    combined = proc.stdout.decode()
    assert re.fullmatch(
        re.escape(DIAG_MINUS_3) + report_re(FIRST_LINE_MINUS_3) + re.escape(NOTE),
        combined), combined
    assert res["message"] == FIRST_LINE_MINUS_3


def test_closed_stdout_counts_as_written(tmp_path):
    path, _ = case_first_line(tmp_path)
    body = r'''
os.close(1)
exc = attempt(ARGS[0], 12)
good = quorel.rust_read_tolvane(GOOD, 12)
finish(message=str(exc), good=good)
os._exit(0)
'''
    proc, res = run_child(tmp_path, body, path)
    assert res["message"] == FIRST_LINE_MINUS_3
    assert_good_result(res["good"])
    assert re.fullmatch(report_re(FIRST_LINE_MINUS_3) + re.escape(NOTE),
                        proc.stderr.decode())


def test_broken_pipe_on_stdout(tmp_path):
    path, _ = case_first_line(tmp_path)
    body = r'''
import signal
signal.signal(signal.SIGPIPE, signal.SIG_IGN)
exc = attempt(ARGS[0], 12)
finish(message=str(exc), name=type(exc).__name__)
'''
    r, w = os.pipe()
    os.close(r)
    try:
        proc, res = run_child(tmp_path, body, path, stdout=w)
    finally:
        os.close(w)
    message = "failed printing to stdout: Broken pipe (os error 32)"
    assert res == {"message": message, "name": "PanicException"}
    assert re.fullmatch(report_re(message) + re.escape(NOTE),
                        proc.stderr.decode())


def test_closed_stderr_is_no_failure(tmp_path):
    body = r'''
os.close(2)
exc = attempt(ARGS[0], 12)
good = quorel.rust_read_tolvane(GOOD, 12)
finish(message=str(exc), name=type(exc).__name__, good=good)
os._exit(0)
'''
    proc, res = run_child(tmp_path, body, tmp_path / "missing.plt")
    assert (res["message"], res["name"]) == (NOT_FOUND, "PanicException")
    assert_good_result(res["good"])


# --------------------------------------------------------------------------
# Threads

def test_failure_in_other_thread(tmp_path):
    body = r'''
box = {}
def work():
    box["tid"] = threading.get_native_id()
    box["exc"] = attempt(ARGS[0], 12)
t = threading.Thread(target=work, name="reader-thread")
t.start(); t.join()
main_exc = attempt(ARGS[0], 12)
finish(thread_tid=box["tid"], main_tid=threading.get_native_id(),
       same_class=type(box["exc"]) is type(main_exc),
       thread_message=str(box["exc"]), thread_class=type(box["exc"]).__name__)
'''
    proc, res = run_child(tmp_path, body, tmp_path / "missing.plt")
    assert res["thread_tid"] != res["main_tid"]
    assert res["same_class"] is True
    assert (res["thread_message"], res["thread_class"]) == (NOT_FOUND,
                                                            "PanicException")
    err = proc.stderr.decode()
    first = report_re(NOT_FOUND, res["thread_tid"])
    second = report_re(NOT_FOUND, res["main_tid"]).replace("?P<", "?P<m_")
    assert re.fullmatch(first + re.escape(NOTE) + second, err), err


def test_concurrent_failures_one_note_one_class(tmp_path):
    body = r'''
N, M = 4, 15
barrier = threading.Barrier(N)
classes, tids = set(), set()
lock = threading.Lock()
def work():
    barrier.wait()
    for _ in range(M):
        exc = attempt(ARGS[0], 12)
        with lock:
            classes.add(type(exc))
            tids.add(threading.get_native_id())
ts = [threading.Thread(target=work) for _ in range(N)]
for t in ts: t.start()
for t in ts: t.join()
finish(n_classes=len(classes), names=[c.__name__ for c in classes],
       tids=sorted(tids), count=N * M)
'''
    proc, res = run_child(tmp_path, body, tmp_path / "missing.plt")
    assert res["n_classes"] == 1 and res["names"] == ["PanicException"]
    err = proc.stderr.decode()
    one = report_re_unnamed_groups(NOT_FOUND)
    # Whole reports only (no interleaving), and the note only after the first.
    assert re.fullmatch(one + re.escape(NOTE) + "(?:" + one + ")*", err), err
    reported = re.findall(r"thread '<unnamed>' \((\d+)\) panicked at", err)
    assert len(reported) == res["count"]
    assert sorted({int(t) for t in reported}) == res["tids"]


# --------------------------------------------------------------------------
# The exception class

def test_exception_class_properties(tmp_path):
    body = r'''
import ctypes
e1 = attempt(ARGS[0], 12)
e2 = attempt(ARGS[0], 12)
cls = type(e1)
try:
    import pyo3_runtime
    importable = True
except ModuleNotFoundError:
    importable = False
# A class made the plain way by the same interpreter call, for comparison.
make = ctypes.pythonapi.PyErr_NewExceptionWithDoc
make.restype = ctypes.py_object
make.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.py_object,
                 ctypes.c_void_p]
ref = make(b"pyo3_runtime.PanicException", b"doc", BaseException, None)
finish(
    module=cls.__module__, name=cls.__name__, qualname=cls.__qualname__,
    bases_ok=cls.__bases__ == (BaseException,),
    mro_ok=cls.__mro__ == (cls, BaseException, object),
    is_exception=isinstance(e1, Exception),
    doc=cls.__doc__, args=list(e1.args), args_is_tuple=type(e1.args) is tuple,
    same_class=type(e2) is cls,
    on_module=hasattr(quorel, "PanicException"),
    in_dir=[n for n in dir(quorel) if not n.startswith("__")],
    importable=importable, in_sys_modules="pyo3_runtime" in sys.modules,
    own_keys=sorted(vars(cls)), ref_keys=sorted(vars(ref)),
)
'''
    _, res = run_child(tmp_path, body, tmp_path / "missing.plt")
    assert res["module"] == "pyo3_runtime"
    assert res["name"] == res["qualname"] == "PanicException"
    assert res["bases_ok"] and res["mro_ok"]
    assert res["is_exception"] is False
    assert res["args"] == [NOT_FOUND] and res["args_is_tuple"]
    assert res["same_class"] is True
    assert res["on_module"] is False
    assert res["in_dir"] == ["rust_read_tolvane"]
    assert res["importable"] is False and res["in_sys_modules"] is False
    assert res["own_keys"] == res["ref_keys"]

    doc = res["doc"]
    assert doc.startswith("\n") and doc.endswith("\n")
    paragraphs = [p for p in re.split(r"\n\s*\n", doc.strip()) if p.strip()]
    assert len(paragraphs) == 2
    assert "panic" in paragraphs[0].lower()
    assert "SystemExit" in paragraphs[1] and "BaseException" in paragraphs[1]


def test_handlers(tmp_path):
    body = r'''
path = ARGS[0]
caught = {}
try:
    try:
        quorel.rust_read_tolvane(path, 12)
    except Exception:
        caught["Exception"] = "inner"
except BaseException as e:
    caught["Exception"] = "outer"
    c1 = type(e)
try:
    quorel.rust_read_tolvane(path, 12)
except BaseException as e:
    caught["BaseException"] = "inner"
    c2 = type(e)
try:
    quorel.rust_read_tolvane(path, 12)
except:
    caught["bare"] = "inner"
    c3 = sys.exc_info()[0]
finish(caught=caught, same=c1 is c2 is c3)
'''
    _, res = run_child(tmp_path, body, tmp_path / "missing.plt")
    assert res == {"caught": {"Exception": "outer", "BaseException": "inner",
                              "bare": "inner"},
                   "same": True}


def test_uncaught_failure_ends_script(tmp_path):
    missing = str(tmp_path / "missing.plt")
    proc = subprocess.run(
        [sys.executable, "-c",
         "import quorel\nquorel.rust_read_tolvane(%r, 12)\nprint('after')\n"
         % missing],
        capture_output=True, env=child_env(), cwd=tmp_path, timeout=60)
    err = proc.stderr.decode()
    assert proc.returncode == 1
    assert proc.stdout == b""
    assert err.splitlines()[-1] == "pyo3_runtime.PanicException: " + NOT_FOUND
    assert re.match(report_re(NOT_FOUND) + re.escape(NOTE)
                    + re.escape("Traceback (most recent call last):\n"), err), err


# --------------------------------------------------------------------------
# A PanicException coming back from Python code (n_digits.__index__)

RESUME_BODY = r'''
cls = type(attempt(ARGS[0], 12))
kind = ARGS[1]

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

Sub = type("PanicSub", (cls,), {})
raised = {}

class Width:
    def __index__(self):
        if kind == "exact":
            raised["exc"] = cls("boom")
        elif kind == "unprintable":
            raised["exc"] = cls(Unprintable())
        else:
            raised["exc"] = Sub("boom")
        raise raised["exc"]

sys.stderr.flush()
os.write(2, b"@@marker@@\n")
before = fds()
exc = attempt(GOOD, Width())
after = fds()
sys.stderr.flush()
finish(cls_is=type(exc) is cls, sub_is=type(exc) is Sub,
       same_object=exc is raised["exc"],
       args=[a if isinstance(a, str) else None for a in exc.args],
       n_args=len(exc.args),
       message=str(exc) if kind != "unprintable" else exc.args[0],
       last_value=hasattr(sys, "last_value"),
       fds_same=before == after,
       good=quorel.rust_read_tolvane(GOOD, 12))
'''


def _resume(tmp_path, kind):
    proc, res = run_child(tmp_path, RESUME_BODY, tmp_path / "missing.plt", kind)
    err = proc.stderr.decode()
    head, sep, tail = err.partition(MARK)
    assert sep, err
    # The only report is the one of the failure that gave us the class.
    assert re.fullmatch(report_re(NOT_FOUND) + re.escape(NOTE), head), head
    assert "panicked at" not in tail
    assert res["fds_same"] is True
    assert_good_result(res["good"])
    return tail, res


def test_resumed_panic(tmp_path):
    tail, res = _resume(tmp_path, "exact")
    assert tail.startswith(RESUME_BANNER + "Traceback (most recent call last):\n")
    assert "__index__" in tail
    assert tail.endswith("pyo3_runtime.PanicException: boom\n")
    # A new instance of the same class, without an argument-name prefix.
    assert res["cls_is"] is True and res["same_object"] is False
    assert res["message"] == "boom" and res["args"] == ["boom"]
    assert res["n_args"] == 1
    assert res["last_value"] is False


def test_resumed_panic_unprintable(tmp_path):
    tail, res = _resume(tmp_path, "unprintable")
    assert tail.startswith(RESUME_BANNER + "Traceback (most recent call last):\n")
    assert "pyo3_runtime.PanicException" in tail.splitlines()[-1]
    # The error from str() is dropped, not reported.
    assert "no text" not in tail and "RuntimeError" not in tail
    assert res["cls_is"] is True and res["same_object"] is False
    assert res["args"] == ["Unwrapped panic from Python code"]
    assert res["n_args"] == 1


def test_panic_subclass_is_ordinary_argument_error(tmp_path):
    tail, res = _resume(tmp_path, "subclass")
    # Raised unchanged: no banner, no traceback printed, no wrapping.
    assert tail == ""
    assert res["sub_is"] is True and res["same_object"] is True
    assert res["args"] == ["boom"]


# --------------------------------------------------------------------------
# A PanicException coming back from any other Python call the module makes

RESUME_ANYWHERE_BODY = r'''
import importlib.util
cls = type(attempt(ARGS[0], 12))
kind, text = ARGS[1], ARGS[2]
raised = {}

def boom(*args):
    raised["exc"] = cls(*args)
    raise raised["exc"]

class Unprintable:
    def __str__(self):
        boom("inner")

def message_args():
    if text == "<unprintable>":
        return (Unprintable(),)
    return () if text == "" else (text,)

def read_with_keyword():
    class Keyword(str):
        def __str__(self):
            boom(*message_args())
    quorel.rust_read_tolvane(GOOD, 12, **{Keyword("bogus"): 1})

def read_path_of_unnamed_type():
    class Meta(type):
        def __getattribute__(cls_, name):
            if name == "__qualname__":
                boom(*message_args())
            return super().__getattribute__(name)
    class Unnamed(metaclass=Meta):
        pass
    quorel.rust_read_tolvane(Unnamed(), 12)

def read_width_whose_type_error_cannot_print():
    class Detail:
        def __str__(self):
            boom(*message_args())
    class Width:
        def __index__(self):
            raise TypeError(Detail())
    quorel.rust_read_tolvane(GOOD, Width())

def read_width_whose_index_panics():
    class Width:
        def __index__(self):
            boom(*message_args())
    quorel.rust_read_tolvane(GOOD, Width())

def fresh_module():
    spec = importlib.util.find_spec("quorel")
    return spec, importlib.util.module_from_spec(spec)

def exec_module_whose_getattr_panics():
    spec, module = fresh_module()
    def __getattr__(name):
        if name == "__all__":
            boom(*message_args())
        raise AttributeError(name)
    module.__getattr__ = __getattr__
    spec.loader.exec_module(module)

def exec_module_whose_setattr_panics():
    spec, module = fresh_module()
    class Guarded(type(module)):
        def __setattr__(self, name, value):
            if name == "rust_read_tolvane":
                boom(*message_args())
            super().__setattr__(name, value)
    module.__class__ = Guarded
    spec.loader.exec_module(module)

sys.stderr.flush()
os.write(2, b"@@marker@@\n")
before = fds()
try:
    globals()[kind]()
except BaseException as e:
    exc = e
else:
    raise AssertionError("no exception")
after = fds()
sys.stderr.flush()
finish(cls_is=type(exc) is cls, same_object=exc is raised.get("exc"),
       type_name=type(exc).__name__, args=[str(a) for a in exc.args],
       fds_same=before == after, good=quorel.rust_read_tolvane(GOOD, 12))
'''

RESUME_PLACES = {
    # where the module's Python call raises: (what runs, the frame that raised)
    "keyword-name": ("read_with_keyword", "__str__"),
    "type-name": ("read_path_of_unnamed_type", "__getattribute__"),
    "type-error-text": ("read_width_whose_type_error_cannot_print", "__str__"),
    "module-getattr": ("exec_module_whose_getattr_panics", "__getattr__"),
    "module-setattr": ("exec_module_whose_setattr_panics", "__setattr__"),
}


def _resume_anywhere(tmp_path, place, text):
    kind, frame = RESUME_PLACES[place]
    proc, res = run_child(tmp_path, RESUME_ANYWHERE_BODY, tmp_path / "missing.plt", kind, text)
    err = proc.stderr.decode()
    head, sep, tail = err.partition(MARK)
    assert sep, err
    assert re.fullmatch(report_re(NOT_FOUND) + re.escape(NOTE), head), head
    # The banner and the traceback of the raised instance; no report.
    assert tail.startswith(RESUME_BANNER + "Traceback (most recent call last):\n"), tail
    assert f", in {frame}\n" in tail, tail
    assert tail.count(RESUME_BANNER) == 1 and "panicked at" not in tail, tail
    assert res["fds_same"] is True
    assert_good_result(res["good"])
    return tail, res


@pytest.mark.parametrize("place", sorted(RESUME_PLACES))
def test_panic_from_any_python_call_is_resumed(tmp_path, place):
    tail, res = _resume_anywhere(tmp_path, place, "boom")
    assert tail.endswith("pyo3_runtime.PanicException: boom\n"), tail
    # A new instance of the class, carrying the message alone.
    assert res["type_name"] == "PanicException"
    assert res["cls_is"] is True and res["same_object"] is False
    assert res["args"] == ["boom"]


@pytest.mark.parametrize("place", ["keyword-name", "type-error-text"])
def test_unprintable_panic_from_a_python_call(tmp_path, place):
    # str() of the raised instance raises another PanicException: that one is dropped.
    tail, res = _resume_anywhere(tmp_path, place, "<unprintable>")
    assert "inner" not in tail
    assert res["cls_is"] is True and res["same_object"] is False
    assert res["args"] == ["Unwrapped panic from Python code"]


@pytest.mark.parametrize("place", ["index", "keyword-name", "module-getattr"])
def test_panic_without_arguments_keeps_its_empty_message(tmp_path, place):
    if place == "index":
        proc, res = run_child(tmp_path, RESUME_ANYWHERE_BODY, tmp_path / "missing.plt",
                              "read_width_whose_index_panics", "")
        tail = proc.stderr.decode().partition(MARK)[2]
        assert tail.startswith(RESUME_BANNER + "Traceback (most recent call last):\n"), tail
    else:
        tail, res = _resume_anywhere(tmp_path, place, "")
    assert tail.endswith("pyo3_runtime.PanicException\n"), tail
    assert res["cls_is"] is True and res["same_object"] is False
    assert res["args"] == [""]
