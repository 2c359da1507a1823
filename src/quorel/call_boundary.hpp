// Where the module's C++ code meets the interpreter: the call entry and the exec step run their
// bodies through `run_at_boundary`, so that no C++ exception ever unwinds into the interpreter.
#pragma once

#include <new>
#include <source_location>

#include "failure/memory_failure.hpp"
#include "failure/panic.hpp"
#include "quorel/python_errors.hpp"

namespace quorel {

// For a failure that carries no text of its own: not one the module makes, but a C++ exception
// of some other kind.
inline constexpr char kGenericFailureMessage[] = "quorel's native code failed without a message";
// For std::bad_alloc from outside the module's own allocators, which do not say what they asked for.
inline constexpr char kUnsizedMemoryFailureMessage[] = "memory allocation failed";

// Runs `body` and returns its result. A failure thrown out of it becomes the pending
// PanicException and `failed` is returned; a failure while that is being done ends the process.
template <class Result, class Body>
Result run_at_boundary(Body&& body, Result failed, std::source_location where = std::source_location::current()) noexcept {
    try {
        try {
            return body();
        } catch (const Panic& failure) {
            set_panic_exception(failure.message());
        } catch (const MemoryFailure& failure) {
            const MemoryFailureMessage message(failure.bytes());
            report_failure(message.text(), failure.where());
            set_panic_exception(message.text());
        } catch (const std::bad_alloc&) {
            report_failure(kUnsizedMemoryFailureMessage, where);
            set_panic_exception(kUnsizedMemoryFailureMessage);
        } catch (...) {
            report_failure(kGenericFailureMessage, where);
            set_panic_exception(kGenericFailureMessage);
        }
        return failed;
    } catch (...) {
        abort_uncaught_panic(where);
    }
}

}  // namespace quorel
