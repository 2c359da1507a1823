// What went wrong in a read, as data: the kind of fault, where in the file, and the details
// each kind has. The reader throws a ReadFault and writes nothing; each face surfaces it its
// own way (quorel as its report and PanicException, tolvane as FormatError or OSError).
//
// A fault's texts are views into the reader's own buffers (the line, the field): they stay
// valid while the reader that threw it lives and reads nothing more, so a face catches the fault
// where the reader is still in scope, and copies what it keeps (OwnedFault).
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <string_view>

#include "failure/text.hpp"

namespace quorel {

enum class FaultKind : std::uint8_t {
    path_has_nul,         // the path holds a NUL character; nothing was opened
    open_failed,          // error_number: why the file could not be opened
    read_failed,          // error_number: a read of the file failed
    not_utf8,             // the line is not UTF-8; bad_byte_offset, bad_byte
    empty_file,           // there is no first line
    count_not_a_number,   // the last token of line 1 (text) is not a count; line_text: line 1
    count_zero,           // line 1 gives no parameter: a count of 0, or no token at all
    names_cut_short,      // the file ends inside the name lines
    block_cut_short,      // the file ends after a block's header or inside its data lines
    field_past_line_end,  // the field's end lies beyond the line's end (line_length)
    field_splits_char,    // the field's end lies inside character `character` (char_start..char_end)
    field_empty,          // nothing but whitespace in the field
    field_not_a_number,   // the field (text, trimmed) is not a number
    capacity_overflow,    // a size that cannot exist was asked for; no place in the file
    file_changed,         // the file was cut or rewritten while it was read; no place in the file
    head_unended,         // the file ends inside a line of its head, before its line feed (a
                          // head still being written): found only by reads that look for it
};

inline constexpr std::uint64_t kNoIndex = ~std::uint64_t(0);

// Where a fault lies. Lines count from 1, blocks and fields from 0. Each is filled in by the
// level that knows it, as the fault passes on its way up.
struct FaultPlace {
    std::uint64_t line = 0;            // 0: not in a line (the file could not be opened)
    std::uint64_t block = kNoIndex;    // kNoIndex: not in a block
    std::uint64_t field = kNoIndex;    // the field within its block; kNoIndex: not in a field
    std::uint64_t field_in_line = 0;   // its position on its data line (0 .. 9)
};

struct ReadFault {
    explicit ReadFault(FaultKind kind, std::source_location where = std::source_location::current()) noexcept
        : kind(kind), where(where) {}

    FaultKind kind;
    std::source_location where;  // the check that found it, for reports that name it
    FaultPlace place;
    int error_number = 0;
    // Fields: the end of the field's bytes on its line (for a field that is not a number, or
    // whose end falls inside a character: it fits 64 bits), and the line's length.
    std::uint64_t field_end = 0;
    std::uint64_t line_length = 0;
    char32_t character = 0;
    std::uint64_t char_start = 0;
    std::uint64_t char_end = 0;
    std::uint64_t bad_byte_offset = 0;
    unsigned char bad_byte = 0;
    std::string_view text;       // the count's token; the field's text, trimmed; the character cut
    std::string_view line_text;  // line 1, for a count that is not a number
    // Whether the end of the file caused it (the file ends inside the block, or the fault is on
    // its last line, which has no line feed): a read that keeps the blocks before a cut one
    // would keep them. Set by the block loops; tolvane's messages say so.
    bool at_file_end = false;
};

[[noreturn]] inline void throw_fault(FaultKind kind, std::source_location where = std::source_location::current()) {
    throw ReadFault(kind, where);
}

// A fault with copies of its texts, for keeping after its reader is gone or has read on: each
// text is cut to at most kKeptTextBytes, at a character boundary.
class OwnedFault {
public:
    static constexpr std::size_t kKeptTextBytes = 200;

    explicit OwnedFault(const ReadFault& fault)
        : fault_(fault), text_(kept(fault.text)), line_text_(kept(fault.line_text)) {}

    // The fault, its texts viewing this object's copies.
    ReadFault fault() const noexcept {
        ReadFault copy = fault_;
        copy.text = text_;
        copy.line_text = line_text_;
        return copy;
    }
    // Whether a text was cut.
    bool text_cut() const noexcept { return text_cut_; }

private:
    Text kept(std::string_view view) {
        if (view.size() <= kKeptTextBytes) return Text(view);
        std::size_t end = kKeptTextBytes;
        while (end > 0 && (static_cast<unsigned char>(view[end]) & 0xC0) == 0x80) --end;
        text_cut_ = true;
        return Text(view.substr(0, end));
    }

    ReadFault fault_;
    bool text_cut_ = false;
    Text text_;
    Text line_text_;
};

}  // namespace quorel
