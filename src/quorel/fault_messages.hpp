// The reader's faults as quorel has always surfaced them: the step's message, written in the
// report at the check that found the fault, then PanicException carrying the same text.
#pragma once

#include "failure/read_fault.hpp"

namespace quorel {

// Reports the fault and throws it on as a Panic; for a count that is not a number, the
// diagnostic line goes to descriptor 1 first. Its texts are read before anything is released,
// so the reader that threw it must still be in scope.
[[noreturn]] void raise_read_fault(const ReadFault& fault);

}  // namespace quorel
