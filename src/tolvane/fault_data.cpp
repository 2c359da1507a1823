#include "tolvane/fault_data.hpp"

#include <string_view>

namespace nb = nanobind;

namespace tolvane {

namespace {

std::string_view kind_name(quorel::FaultKind kind) noexcept {
    using quorel::FaultKind;
    switch (kind) {
    case FaultKind::path_has_nul: return "path_has_nul";
    case FaultKind::open_failed: return "open_failed";
    case FaultKind::read_failed: return "read_failed";
    case FaultKind::not_utf8: return "not_utf8";
    case FaultKind::empty_file: return "empty_file";
    case FaultKind::count_not_a_number: return "count_not_a_number";
    case FaultKind::count_zero: return "count_zero";
    case FaultKind::names_cut_short: return "names_cut_short";
    case FaultKind::block_cut_short: return "block_cut_short";
    case FaultKind::field_past_line_end: return "field_past_line_end";
    case FaultKind::field_splits_char: return "field_splits_char";
    case FaultKind::field_empty: return "field_empty";
    case FaultKind::field_not_a_number: return "field_not_a_number";
    case FaultKind::capacity_overflow: return "capacity_overflow";
    case FaultKind::file_changed: return "file_changed";
    case FaultKind::head_unended: return "head_unended";
    }
    return "unknown";
}

nb::object index_or_none(std::uint64_t index) {
    if (index == quorel::kNoIndex) return nb::none();
    return nb::int_(index);
}

// The reader's texts come from lines checked to be UTF-8; a text cut short keeps to character
// boundaries. Decoded with replacement all the same, so that no fault can fail to be told.
nb::str text(std::string_view bytes) {
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "replace");
    if (decoded == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(decoded);
}

}  // namespace

nb::dict fault_data(const quorel::OwnedFault& owned) {
    const quorel::ReadFault fault = owned.fault();
    nb::dict data;
    data["kind"] = nb::str(kind_name(fault.kind).data(), kind_name(fault.kind).size());
    data["line"] = nb::int_(fault.place.line);
    data["block"] = index_or_none(fault.place.block);
    data["field"] = index_or_none(fault.place.field);
    data["field_in_line"] = nb::int_(fault.place.field_in_line);
    data["errno"] = nb::int_(fault.error_number);
    data["line_length"] = nb::int_(fault.line_length);
    data["char_start"] = nb::int_(fault.char_start);
    data["char_end"] = nb::int_(fault.char_end);
    data["bad_byte_offset"] = nb::int_(fault.bad_byte_offset);
    data["bad_byte"] = nb::int_(fault.bad_byte);
    data["text"] = text(fault.text);
    data["text_cut"] = nb::bool_(owned.text_cut());
    data["at_file_end"] = nb::bool_(fault.at_file_end);
    return data;
}

nb::dict memory_fault_data(std::size_t bytes) {
    nb::dict data;
    data["kind"] = "memory";
    data["bytes"] = nb::int_(bytes);
    return data;
}

}  // namespace tolvane
