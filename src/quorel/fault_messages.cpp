#include "quorel/fault_messages.hpp"

#include <unistd.h>

#include <cerrno>

#include "failure/char_debug.hpp"
#include "failure/panic.hpp"
#include "failure/text.hpp"
#include "failure/write_all.hpp"
#include "reader/os_error.hpp"

namespace quorel {

namespace {

// The diagnostic line on descriptor 1. A closed descriptor counts as written.
void print_bad_count(std::string_view token) {
    const Text text = concat("Error: '", token, "' is not a valid number of parameters!\n");
    const int error = write_all(STDOUT_FILENO, text.data(), text.size());
    if (error != 0 && error != EBADF) panic(concat("failed printing to stdout: ", os_error_display(error)));
}

}  // namespace

void raise_read_fault(const ReadFault& fault) {
    const auto& where = fault.where;
    switch (fault.kind) {
    case FaultKind::path_has_nul:
        panic("Plot file not found!: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }",
              where);
    case FaultKind::open_failed: panic(concat("Plot file not found!: ", os_error_description(fault.error_number)), where);
    case FaultKind::read_failed: panic(concat("Failed to read line!: ", os_error_description(fault.error_number)), where);
    case FaultKind::not_utf8:
        panic("Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }", where);
    case FaultKind::empty_file: panic("Failed ot read line!", where);
    case FaultKind::count_not_a_number:
        print_bad_count(fault.text);
        panic(concat("The first line should end with the number of parameters:\n'", fault.line_text, "'"), where);
    case FaultKind::names_cut_short: panic("Failed to read line!", where);
    case FaultKind::block_cut_short: panic("Error reading line", where);
    case FaultKind::field_past_line_end:
        panic(concat("end byte index ", decimal(fault.field_end), " is out of bounds for string of length ",
                     decimal(fault.line_length)),
              where);
    case FaultKind::field_splits_char:
        panic(concat("end byte index ", decimal(fault.field_end), " is not a char boundary; it is inside ",
                     char_debug_form(fault.character), " (bytes ", decimal(fault.char_start), "..",
                     decimal(fault.char_end), " of string)"),
              where);
    case FaultKind::field_empty: panic("Could not parse line: ParseFloatError { kind: Empty }", where);
    case FaultKind::field_not_a_number: panic("Could not parse line: ParseFloatError { kind: Invalid }", where);
    case FaultKind::count_zero:  // quorel reads a count of 0 on, to the table that cannot be made
    case FaultKind::capacity_overflow:
    case FaultKind::file_changed:  // only reads that check for changes find it; quorel's does not
    case FaultKind::head_unended:  // only reads that look for it find it; quorel's does not
        break;
    }
    panic("capacity overflow", where);
}

}  // namespace quorel
