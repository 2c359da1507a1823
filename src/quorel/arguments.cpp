#include "quorel/arguments.hpp"

#include "quorel/python_errors.hpp"
#include "failure/text.hpp"

namespace quorel {

namespace {

constexpr const char* kParameterNames[] = {"file_path", "n_digits"};
constexpr Py_ssize_t kParameterCount = 2;
constexpr char kFunctionLabel[] = "rust_read_tolvane()";

bool type_error(std::string_view message) {
    set_error_message(PyExc_TypeError, message);
    return false;
}

// Index of the parameter a keyword names, or -1.
Py_ssize_t parameter_index(PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (name == nullptr) {
        discard_pending_error();  // a name without a UTF-8 form matches nothing
        return -1;
    }
    const std::string_view text(name, std::size_t(size));
    for (Py_ssize_t i = 0; i < kParameterCount; ++i) {
        if (text == kParameterNames[i]) return i;
    }
    return -1;
}

bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&bound)[kParameterCount]) {
    if (nargs > kParameterCount) {
        return type_error(concat(kFunctionLabel, " takes 2 positional arguments but ", decimal(nargs),
                                 nargs == 1 ? " was given" : " were given"));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        const Py_ssize_t index = parameter_index(keyword);
        if (index < 0) {
            Text name;
            str_lossy(keyword, name);
            return type_error(concat(kFunctionLabel, " got an unexpected keyword argument '", name, "'"));
        }
        if (bound[index] != nullptr) {
            return type_error(concat(kFunctionLabel, " got multiple values for argument '", kParameterNames[index], "'"));
        }
        bound[index] = args[nargs + i];
    }
    Text missing;
    int missing_count = 0;
    for (Py_ssize_t i = 0; i < kParameterCount; ++i) {
        if (bound[i] != nullptr) continue;
        if (missing_count++ > 0) missing += " and ";
        missing += concat("'", kParameterNames[i], "'");
    }
    if (missing_count > 0) {
        return type_error(concat(kFunctionLabel, " missing ", decimal(missing_count), " required positional ",
                                 missing_count == 1 ? "argument" : "arguments", ": ", missing));
    }
    return true;
}

// Raises TypeError("argument 'NAME': MESSAGE") with the given cause (None when null).
bool raise_argument_type_error(const char* parameter, std::string_view message, PyObject* cause) {
    const Text text = concat("argument '", parameter, "': ", message);
    PyRef text_object(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    if (!text_object) return pass_on_pending_error(), false;
    PyRef error(PyObject_CallOneArg(PyExc_TypeError, text_object.get()));
    if (!error) return pass_on_pending_error(), false;
    // Also sets __suppress_context__; a null cause reads as None.
    Py_XINCREF(cause);
    PyException_SetCause(error.get(), cause);
    PyErr_SetObject(PyExc_TypeError, error.get());
    return false;
}

// After a failed conversion: a TypeError (exactly) gets the argument's name, anything else passes unchanged.
bool conversion_failed(const char* parameter) {
    RaisedError error = fetch_pending_error();
    if (error.type() != PyExc_TypeError) {
        error.restore();
        return false;
    }
    Text message;
    if (!str_lossy(error.value(), message)) message.clear();
    PyRef cause(PyException_GetCause(error.value()));
    return raise_argument_type_error(parameter, message, cause.get());
}

bool convert_file_path(PyObject* object, std::string_view& path) {
    if (!PyUnicode_Check(object)) {
        return raise_argument_type_error("file_path", not_an_instance_message(object, "str"), nullptr);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return conversion_failed("file_path");
    path = std::string_view(text, std::size_t(size));
    return true;
}

bool convert_n_digits(PyObject* object, std::uint64_t& width) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index(PyNumber_Index(object));
        if (!index) return conversion_failed("n_digits");
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return conversion_failed("n_digits");
    width = value;
    return true;
}

}  // namespace

bool bind_read_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ReadArguments& out) {
    PyObject* bound[kParameterCount] = {nullptr, nullptr};
    return bind(args, nargs, kwnames, bound) && convert_file_path(bound[0], out.file_path) &&
           convert_n_digits(bound[1], out.n_digits);
}

}  // namespace quorel
