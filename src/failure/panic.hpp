// Failures in flight. A failing step calls `panic`, which writes the failure report to
// descriptor 2 at once and then unwinds with a `Panic` to the call boundary, where it becomes
// the Python exception. Everything on the way is released by its owner's destructor.
#pragma once

#include <source_location>
#include <string_view>

#include "failure/text.hpp"

namespace quorel {

class Panic {
public:
    Panic(Text message, std::source_location where) : message_(std::move(message)), where_(where) {}
    std::string_view message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    Text message_;
    std::source_location where_;
};

// Reports the failure on descriptor 2, then throws it.
[[noreturn]] void panic(Text message, std::source_location where = std::source_location::current());

// Throws a failure that has already been shown (a Python exception printed with its traceback),
// so no report is written.
[[noreturn]] void resume_panic(Text message, std::source_location where = std::source_location::current());

// Writes the failure report for `message` without throwing; for failures that are already on
// their way (a C++ exception that reached a call boundary).
void report_failure(std::string_view message, const std::source_location& where) noexcept;

// A failure escaped the place where it could become an exception: report that and end the process.
[[noreturn]] void abort_uncaught_panic(std::source_location where = std::source_location::current()) noexcept;

}  // namespace quorel
