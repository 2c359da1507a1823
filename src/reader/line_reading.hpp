// Reading one line as the reader does: a line, or the end of the file; a line that cannot be
// read is a fault.
#pragma once

#include "failure/read_fault.hpp"
#include "reader/line_source.hpp"

namespace quorel {

[[noreturn]] inline void fail_line_read(const LineSource& source, LineStatus status) {
    if (status == LineStatus::os_error) {
        ReadFault fault(FaultKind::read_failed);
        fault.error_number = source.error_number();
        throw fault;
    }
    ReadFault fault(FaultKind::not_utf8);
    fault.bad_byte_offset = source.invalid_offset();
    fault.bad_byte = source.invalid_byte();
    throw fault;
}

// Reads one line; false at end of file.
inline bool read_line(LineSource& source, Line& line) {
    const LineStatus status = source.next_line(line);
    if (status == LineStatus::line) return true;
    if (status == LineStatus::end_of_file) return false;
    fail_line_read(source, status);
}

}  // namespace quorel
