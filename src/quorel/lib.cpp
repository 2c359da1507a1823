// The Python module `quorel`: its definition, the exec step that publishes rust_read_tolvane,
// and the call entry, which binds the arguments, runs the reader and converts its result.
// Failures inside become PanicException at the two boundaries below; nothing unwinds past them.

#include "quorel/py_ref.hpp"  // Python.h first

#include <optional>

#include "failure/panic.hpp"
#include "failure/read_fault.hpp"
#include "failure/text.hpp"
#include "quorel/arguments.hpp"
#include "quorel/call_boundary.hpp"
#include "quorel/fault_messages.hpp"
#include "quorel/python_errors.hpp"
#include "reader/plot_reader.hpp"

namespace quorel {
namespace {

constexpr char kReadDoc[] =
    "rust_read_tolvane(file_path, n_digits)\n"
    "--\n"
    "\n"
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
    "    the data stored in a vector of columns/vectors.\n";
static_assert(sizeof kReadDoc - 1 == 616);

// A list of Python floats, created at its final length and filled by direct stores.
// The values' storage is released once the list is built.
PyRef float_list(SeriesTable& table, std::size_t series) {
    const std::size_t size = table.blocks();
    PyRef list(PyList_New(Py_ssize_t(size)));
    if (!list) return list;
    const float* values = table.values(series);
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* number = PyFloat_FromDouble(double(values[i]));
        if (number == nullptr) return PyRef();
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), number);
    }
    table.release(series);
    return list;
}

[[noreturn]] void fail_result_object() {
    PyErr_WriteUnraisable(nullptr);
    panic("PyObject pointer is null");
}

PyObject* result_tuple(SeriesTable& series) {
    PyRef time = float_list(series, 0);
    if (!time) fail_result_object();
    PyRef columns(PyList_New(Py_ssize_t(series.column_count())));
    if (!columns) fail_result_object();
    for (std::size_t j = 0; j < series.column_count(); ++j) {
        PyRef column = float_list(series, j + 1);
        if (!column) fail_result_object();
        PyList_SET_ITEM(columns.get(), Py_ssize_t(j), column.release());
    }
    PyRef result(PyTuple_New(2));
    if (!result) fail_result_object();
    PyTuple_SET_ITEM(result.get(), 0, time.release());
    PyTuple_SET_ITEM(result.get(), 1, columns.release());
    return result.release();
}

// The whole file, its faults raised as they are met: the reader stays in scope until the
// fault's report is written.
SeriesTable read_file(std::string_view path, std::uint64_t width) {
    std::optional<PlotFileReader> reader;
    try {
        reader.emplace(path);
        return reader->read_all(width);
    } catch (const ReadFault& fault) {
        raise_read_fault(fault);
    }
}

PyObject* read_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReadArguments arguments;
    if (!bind_read_arguments(args, nargs, kwnames, arguments)) return nullptr;
    SeriesTable series = read_file(arguments.file_path, arguments.n_digits);
    return result_tuple(series);
}

extern "C" PyObject* quorel_read_entry(PyObject* /*self: always null*/, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return run_at_boundary([&] { return read_call(args, nargs, kwnames); }, static_cast<PyObject*>(nullptr));
}

PyMethodDef quorel_read_def = {
    "rust_read_tolvane",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quorel_read_entry)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    kReadDoc,
};

bool raise_not_an_instance(PyObject* object, const char* expected) {
    set_error_message(PyExc_TypeError, not_an_instance_message(object, expected));
    return false;
}

// An interpreter call of the exec step failed: its error is the step's failure.
int failed_call() {
    pass_on_pending_error();
    return -1;
}

// Appends the function's name to the module's __all__ (creating the list if there is none),
// then sets the module attribute of that name.
int add_function(PyObject* module, PyObject* function) {
    PyRef name(PyObject_GetAttrString(function, "__name__"));
    if (!name) return failed_call();
    if (!PyUnicode_Check(name.get())) return raise_not_an_instance(name.get(), "str"), -1;

    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        RaisedError error = fetch_pending_error();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) {
            error.restore();
            return -1;
        }
        // There is no __all__ yet: the AttributeError is dropped and a new list set.
        all = PyRef(PyList_New(0));
        if (!all) fail_result_object();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return failed_call();
    } else if (!PyList_Check(all.get())) {
        return raise_not_an_instance(all.get(), "list"), -1;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        // The interpreter's error is described in the failure, not raised itself.
        panic(concat("could not append __name__ to __all__: ", describe_error(fetch_pending_error())));
    }
    all = PyRef();
    if (PyObject_SetAttr(module, name.get(), function) < 0) return failed_call();
    return 0;
}

int exec_module(PyObject* module) {
    if (module == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return -1;
    }
    if (!PyModule_Check(module)) return raise_not_an_instance(module, "module"), -1;
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return failed_call();
    PyRef function(PyCMethod_New(&quorel_read_def, module, module_name, nullptr));
    Py_DECREF(module_name);
    if (!function) return failed_call();
    return add_function(module, function.get());
}

extern "C" int quorel_exec(PyObject* module) {
    return run_at_boundary([&] { return exec_module(module); }, -1);
}

PyModuleDef_Slot quorel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quorel_exec)},
    {0, nullptr},
};

PyModuleDef quorel_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorel",
    "",
    0,
    nullptr,
    quorel_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorel

PyMODINIT_FUNC PyInit_quorel(void) { return PyModuleDef_Init(&quorel::quorel_module_def); }
