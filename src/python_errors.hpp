// The Python side of failures: the PanicException class, turning a caught failure into it,
// and fetching the interpreter's pending errors (where a PanicException coming back from Python
// code is resumed as a failure instead of being treated as an ordinary error).
#pragma once

#include <string>

#include "panic.hpp"
#include "py_ref.hpp"

namespace quorel {

// A fetched, normalised Python exception, taken out of the interpreter's error indicator.
class RaisedError {
public:
    // Takes the pending error; it must be set.
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

// Sets a PanicException carrying the failure's message as the pending error. Panics if it can't.
void set_panic_exception(const Panic& failure);

// Sets an exception of `type` whose message is `message` (UTF-8, NUL characters kept).
void set_error_message(PyObject* type, const std::string& message);

// "PyErr { type: ..., value: ..., traceback: ... }" for the pending error, which is cleared.
std::string describe_pending_error();

// str() of an object as UTF-8, each lone surrogate replaced by U+FFFD; nothing if str() fails
// (that error is cleared).
bool str_lossy(PyObject* object, std::string& text);

// The `__qualname__` of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// TypeError "'T' object is not an instance of 'expected'" ("'None' is not an instance of ..." for None).
std::string not_an_instance_message(PyObject* object, const char* expected);

}  // namespace quorel
