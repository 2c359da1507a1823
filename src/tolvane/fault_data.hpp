// A reader's fault as plain Python data, for the Python layer to raise as FormatError, OSError
// or MemoryError: a dict of the fault's kind, place and details. Needs the interpreter lock.
#pragma once

#include <nanobind/nanobind.h>

#include "failure/memory_failure.hpp"
#include "failure/read_fault.hpp"

namespace tolvane {

// {"kind": "field_not_a_number", "line": 21, "block": 2, "field": 4, ...}: block and field are
// None where the fault is not in one; texts are str.
nanobind::dict fault_data(const quorel::OwnedFault& fault);
// {"kind": "memory", "bytes": N}: N bytes could not be had (0: not known how many).
nanobind::dict memory_fault_data(std::size_t bytes);

}  // namespace tolvane
