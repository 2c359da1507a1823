// The Python side of failures: the PanicException class, turning a caught failure into it,
// and fetching the interpreter's pending errors. Every error that an interpreter call leaves
// pending is fetched through here, so that a PanicException coming back from Python code is
// resumed as a failure instead of being treated as an ordinary error.
#pragma once

#include <string_view>

#include "failure/panic.hpp"
#include "quorel/py_ref.hpp"
#include "failure/text.hpp"

namespace quorel {

// A fetched, normalised Python exception, taken out of the interpreter's error indicator.
class RaisedError {
public:
    // Takes the pending error, whatever it is; it must be set.
    static RaisedError fetch() noexcept;

    PyObject* type() const noexcept;
    PyObject* value() const noexcept { return value_.get(); }
    // Makes the error pending again, giving up this object's hold on it.
    void restore() noexcept;

private:
    PyRef value_;
#if PY_VERSION_HEX < 0x030C0000
    PyRef type_;
    PyRef traceback_;
#endif
};

// The process's one PanicException class (a borrowed reference, never released), made on first
// need. Panics if it cannot be made.
PyObject* panic_exception_class();

// Fetches the pending error after an interpreter call failed. If it is exactly a PanicException,
// prints it with its traceback and resumes it as a failure carrying its message.
RaisedError fetch_pending_error();

// The same, for a caller that then fails with the error still pending.
void pass_on_pending_error();

// The same, for a caller that has no use for the error.
void discard_pending_error();

// Sets a PanicException carrying `message` as the pending error. Panics if it can't.
void set_panic_exception(std::string_view message);

// Sets an exception of `type` whose message is `message` (UTF-8, NUL characters kept).
void set_error_message(PyObject* type, std::string_view message);

// "PyErr { type: ..., value: ..., traceback: ... }" for an error the interpreter itself raised.
Text describe_error(const RaisedError& error);

// The same for the pending error, which is taken without looking for a PanicException: for the
// failures of making and raising PanicException itself.
Text describe_pending_error();

// The characters of a str object as UTF-8, each lone surrogate replaced by U+FFFD.
Text utf8_lossy(PyObject* string);

// str() of an object as utf8_lossy gives it; false if str() fails (that error is discarded).
bool str_lossy(PyObject* object, Text& text);

// The `__qualname__` of an object's type, or "<failed to extract type name>".
Text type_qualname(PyObject* object);

// TypeError "'T' object is not an instance of 'expected'" ("'None' is not an instance of ..." for None).
Text not_an_instance_message(PyObject* object, const char* expected);

}  // namespace quorel
