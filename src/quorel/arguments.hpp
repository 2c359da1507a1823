// Binding and conversion of the arguments of rust_read_tolvane(file_path, n_digits).
#pragma once

#include <cstdint>
#include <string_view>

#include "quorel/py_ref.hpp"

namespace quorel {

struct ReadArguments {
    std::string_view file_path;  // UTF-8, borrowed from the str object for the call
    std::uint64_t n_digits = 0;
};

// Binds the fast-call arguments and converts them. Returns false with a Python exception set;
// a PanicException raised by n_digits' __index__ comes out as a failure (Panic).
bool bind_read_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ReadArguments& out);

}  // namespace quorel
