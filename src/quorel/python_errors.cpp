#include "quorel/python_errors.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>

#include "text_rules/utf8.hpp"
#include "failure/write_all.hpp"

namespace quorel {

namespace {

constexpr char kPanicExceptionDoc[] =
    "\n"
    "The exception raised when the native code of quorel, called from Python, panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so that it\n"
    "usually passes every handler up the stack and ends the Python interpreter.\n";

std::atomic<PyObject*> panic_exception{nullptr};
std::once_flag panic_exception_once;

// The errors described are the interpreter's own (no memory, a list that cannot grow): their
// repr runs none of the program's Python code, so a failing repr is simply shown as such. (The
// PanicException class may be in the making here, so nothing may be compared against it.)
Text repr_or_placeholder(PyObject* object) {
    if (object == nullptr) return "None";
    PyRef repr(PyObject_Repr(object));
    if (!repr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return utf8_lossy(repr.get());
}

[[noreturn]] void resume_python_panic(RaisedError error) {
    // str() of the PanicException itself: an error from it, even another PanicException, is
    // dropped here and not looked at again.
    Text message;
    if (PyRef text{PyObject_Str(error.value())}) {
        message = utf8_lossy(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    static constexpr char banner[] =
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n";
    write_all(STDERR_FILENO, banner, sizeof banner - 1);
    error.restore();
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

}  // namespace

Text describe_error(const RaisedError& error) {
    PyRef traceback(PyException_GetTraceback(error.value()));
    return concat("PyErr { type: ", repr_or_placeholder(error.type()), ", value: ", repr_or_placeholder(error.value()),
                  ", traceback: ", repr_or_placeholder(traceback.get()), " }");
}

Text describe_pending_error() {
    if (!PyErr_Occurred()) return "no Python error was set";
    return describe_error(RaisedError::fetch());
}

RaisedError RaisedError::fetch() noexcept {
    RaisedError error;
#if PY_VERSION_HEX >= 0x030C0000
    error.value_ = PyRef(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    error.type_ = PyRef(type);
    error.value_ = PyRef(value);
    error.traceback_ = PyRef(traceback);
#endif
    return error;
}

PyObject* RaisedError::type() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return value_ ? reinterpret_cast<PyObject*>(Py_TYPE(value_.get())) : nullptr;
#else
    return type_.get();
#endif
}

void RaisedError::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

PyObject* panic_exception_class() {
    if (PyObject* made = panic_exception.load(std::memory_order_acquire)) return made;
    // Other threads may be making it right now: wait for them without holding the interpreter
    // lock, and take it back before touching Python.
    Text failure;
    PyThreadState* thread = PyEval_SaveThread();
    std::call_once(panic_exception_once, [&] {
        PyEval_RestoreThread(thread);
        PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicExceptionDoc,
                                                   PyExc_BaseException, nullptr);
        if (made != nullptr) {
            panic_exception.store(made, std::memory_order_release);
        } else {
            failure = describe_pending_error();
        }
        thread = PyEval_SaveThread();
    });
    PyEval_RestoreThread(thread);
    PyObject* made = panic_exception.load(std::memory_order_acquire);
    if (made == nullptr) {
        panic(failure.empty() ? Text("Failed to initialize new exception type.")
                              : concat("Failed to initialize new exception type.: ", failure));
    }
    return made;
}

RaisedError fetch_pending_error() {
    RaisedError error = RaisedError::fetch();
    if (error.type() == panic_exception_class()) resume_python_panic(std::move(error));
    return error;
}

void pass_on_pending_error() { fetch_pending_error().restore(); }

void discard_pending_error() { fetch_pending_error(); }

void set_panic_exception(std::string_view message) {
    PyObject* type = panic_exception_class();
    PyRef text(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    if (!text) panic(concat("Failed to make the exception message: ", describe_pending_error()));
    PyRef arguments(PyTuple_Pack(1, text.get()));
    if (!arguments) panic(concat("Failed to make the exception arguments: ", describe_pending_error()));
    PyErr_SetObject(type, arguments.get());
}

void set_error_message(PyObject* type, std::string_view message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
    if (text) {
        PyErr_SetObject(type, text.get());
    } else {
        pass_on_pending_error();
    }
}

Text utf8_lossy(PyObject* string) {
    Py_ssize_t size = 0;
    if (const char* utf8_text = PyUnicode_AsUTF8AndSize(string, &size)) return Text(utf8_text, std::size_t(size));
    // Lone surrogates have no UTF-8 form. (The conversion runs no Python code: its error is the
    // interpreter's own UnicodeEncodeError, or MemoryError.)
    PyErr_Clear();
    Text text;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(string);
    const int kind = PyUnicode_KIND(string);
    const void* data = PyUnicode_DATA(string);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 cp = PyUnicode_READ(kind, data, i);
        utf8::append_encoded(text, (cp >= 0xD800 && cp <= 0xDFFF) ? char32_t(0xFFFD) : char32_t(cp));
    }
    return text;
}

bool str_lossy(PyObject* object, Text& text) {
    PyRef string(PyObject_Str(object));
    if (!string) {
        discard_pending_error();
        return false;
    }
    text = utf8_lossy(string.get());
    return true;
}

Text type_qualname(PyObject* object) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name) {
        discard_pending_error();
    } else if (PyUnicode_Check(name.get())) {
        // The string's own characters: a str subclass's __str__ is not asked.
        return utf8_lossy(name.get());
    }
    return "<failed to extract type name>";
}

Text not_an_instance_message(PyObject* object, const char* expected) {
    if (object == Py_None) return concat("'None' is not an instance of '", expected, "'");
    return concat("'", type_qualname(object), "' object is not an instance of '", expected, "'");
}

}  // namespace quorel
