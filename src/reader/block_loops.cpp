#include "reader/block_loops.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

#include "failure/read_fault.hpp"
#include "reader/line_reading.hpp"
#include "text_rules/e_notation_field.hpp"
#include "text_rules/fixed_shape_field.hpp"
#include "text_rules/parse_binary32.hpp"
#include "text_rules/utf8.hpp"
#include "text_rules/vector_support.hpp"
#include "text_rules/whitespace.hpp"

namespace quorel {

namespace {

// Names the field routes this build has in the module file, where the checks of a build from
// outside (a wheel's, whose symbol table is stripped) can read it.
[[gnu::used, gnu::retain]] constexpr char kRoutesBuiltIn[] = "quorel routes: " QUOREL_ROUTES;

// A fixed-shape field is read with 16-byte loads; the padding after a line keeps the last
// field's load inside the buffer.
static_assert(12 + kLinePadding >= 16, "a width-12 field and the padding hold one load");

// Field k of a data line ends at byte `end` (at or after its start, which is a character
// boundary), which lies beyond the line or inside a character.
[[noreturn]] void fail_field_end(const Line& line, std::uint64_t k, std::uint64_t end) {
    const std::string_view text = line.text;
    if (end > text.size()) {
        ReadFault fault(FaultKind::field_past_line_end);
        fault.place.field_in_line = k;
        fault.field_end = end;
        fault.line_length = text.size();
        throw fault;
    }
    std::size_t start = std::size_t(end);
    while (utf8::is_continuation(static_cast<unsigned char>(text[start]))) --start;
    const std::size_t stop = start + utf8::sequence_length(static_cast<unsigned char>(text[start]));
    ReadFault fault(FaultKind::field_splits_char);
    fault.place.field_in_line = k;
    fault.field_end = end;
    fault.line_length = text.size();
    fault.character = utf8::decode_at(text, start);
    fault.char_start = start;
    fault.char_end = stop;
    fault.text = text.substr(start, stop - start);
    throw fault;
}

// The general way for field k of a data line, `width` bytes from `start`: trim, then the full
// grammar.
void parse_field(const Line& line, std::uint64_t k, std::uint64_t start, std::uint64_t width, float& value) {
    const std::string_view slice(line.text.data() + start, std::size_t(width));
    const std::string_view field = line.ascii ? trim_ascii_padded(slice) : trim(slice);
    FloatErrorKind error;
    if (parse_binary32<kPaddedText>(field, value, error)) return;
    ReadFault fault(error == FloatErrorKind::Empty ? FaultKind::field_empty : FaultKind::field_not_a_number);
    fault.place.field_in_line = k;
    fault.field_end = start + width;
    fault.line_length = line.text.size();
    fault.text = field;
    throw fault;
}

// Where the fields of one data line go: field k into targets[k][block].
struct FieldTargets {
    float* const* targets;
    std::size_t block;
    void store(std::uint64_t k, float value) const noexcept { targets[k][block] = value; }
};

// Parses fields `first` .. `field_count` - 1 of one data line (those before are already stored),
// checking each field's end as it goes.
void read_fields(const Line& line, std::uint64_t first, std::uint64_t field_count, std::uint64_t width,
                 FieldTargets out) {
    const std::string_view text = line.text;
    const bool e_notation = line.ascii && fits_e_notation_field(width);
    std::uint64_t start = first * width;
    for (std::uint64_t k = first; k < field_count; ++k) {
        // No overflow: the first field's end is within the line, so ten fields' ends are too.
        const std::uint64_t end = start + width;
        if (end > text.size() ||
            (!line.ascii && end < text.size() && utf8::is_continuation(static_cast<unsigned char>(text[end])))) {
            fail_field_end(line, k, end);
        }
        float value;
        if (!e_notation || !parse_e_notation_field(text.data() + start, std::size_t(width), value)) {
            parse_field(line, k, start, width, value);
        }
        out.store(k, value);
        start = end;
    }
}

// The same for an ASCII line known to hold all its fields, at one of the widths in use: every
// boundary check is settled and the field positions are constants.
template <std::size_t Width>
void read_complete_ascii_fields(const Line& line, std::uint64_t first, std::uint64_t field_count, FieldTargets out) {
    const char* field = line.text.data() + first * Width;
    for (std::uint64_t k = first; k < field_count; ++k, field += Width) {
        float value;
        if (!parse_fixed_shape_field<Width>(field, value) && !parse_e_notation_field(field, Width, value)) {
            parse_field(line, k, k * Width, Width, value);
        }
        out.store(k, value);
    }
}

void read_data_line(const Line& line, std::uint64_t first, std::uint64_t field_count, std::uint64_t width,
                    FieldTargets out) {
    if (line.ascii && width <= line.text.size() / field_count) {
        if (width == 12) return read_complete_ascii_fields<12>(line, first, field_count, out);
        if (width == 15) return read_complete_ascii_fields<15>(line, first, field_count, out);
    }
    read_fields(line, first, field_count, width, out);
}

// Parses `count` fixed-shape fields from `fields` into out; returns how many, up to the first
// that it declines.
template <std::size_t Width>
std::uint64_t parse_fixed_shape_fields(const char* fields, std::uint64_t count, FieldTargets out) {
    for (std::uint64_t k = 0; k < count; ++k, fields += Width) {
        float value;
        if (!parse_fixed_shape_field<Width>(fields, value)) return k;
        out.store(k, value);
    }
    return count;
}

// The same for a full line, unrolled. (One function for both, unrolling the loop with the
// variable count as well, costs about one instruction a value more.)
template <std::size_t Width>
std::uint64_t parse_full_fixed_shape_line(const char* fields, FieldTargets out) {
    float* const* const targets = out.targets;
    const std::size_t block = out.block;
#pragma GCC unroll 10
    for (std::uint64_t k = 0; k < kFieldsPerLine; ++k) {
        float value;
        if (!parse_fixed_shape_field<Width>(fields + k * Width, value)) return k;
        targets[k][block] = value;
    }
    return kFieldsPerLine;
}

// The common case, read straight from the source's buffer: a data line that holds exactly its
// `field_count` fields, all of the fixed shape at width 12 or 15, and ends right after them.
// Such fields are ASCII through and through and hold no line feed, so the line needs neither a
// search for its end nor a UTF-8 check. Returns how many fields it stored: all of them when it
// took the line (and consumed it); otherwise the line is left to the general way, which goes on
// from the first field not stored, those before being the same bytes of the same line.
template <std::size_t Width>
[[gnu::always_inline]] inline std::uint64_t read_fixed_shape_line(LineSource& source, std::uint64_t field_count,
                                                                   FieldTargets out) {
    const std::string_view pending = source.pending();
    const std::size_t length = std::size_t(field_count) * Width;
    if (pending.size() <= length) return 0;
    std::size_t line_end = length + 1;
    if (pending[length] != '\n') {
        if (pending[length] != '\r' || pending.size() <= length + 1 || pending[length + 1] != '\n') return 0;
        line_end = length + 2;
    }
    // A full line, by far the most common, with a constant count: its loop is unrolled.
    const std::uint64_t stored = field_count == kFieldsPerLine
                                     ? parse_full_fixed_shape_line<Width>(pending.data(), out)
                                     : parse_fixed_shape_fields<Width>(pending.data(), field_count, out);
    if (stored == field_count) source.skip_pending(line_end);
    return stored;
}

// One data line of `field_count` fields: the fixed-shape route first where Width is 12 or 15,
// then the general way from the first field it did not store (all of them for Width 0).
template <std::size_t Width>
[[gnu::always_inline]] inline void read_next_data_line(LineSource& source, Line& line, std::uint64_t field_count,
                                                       std::uint64_t width, FieldTargets out) {
    std::uint64_t stored = 0;
    if constexpr (Width != 0) {
        stored = read_fixed_shape_line<Width>(source, field_count, out);
        if (stored == field_count) return;
    }
    if (!read_line(source, line)) throw_fault(FaultKind::block_cut_short);
    read_data_line(line, stored, field_count, width, out);
}

// The number of blocks a regular file holds if every block is as long as the first, capped so
// that their values take no more memory than the file does: a guess, only to size the series
// once instead of growing them step by step. Blocks longer than the first, or a sparse file,
// make it far too large; SeriesTable::reserve then drops it rather than fail.
std::size_t estimated_blocks(const LineSource& source, std::uint64_t first_block_bytes, std::uint64_t count) {
    const std::uint64_t size = source.file_size();
    const std::uint64_t read = source.bytes_consumed();
    if (size <= read || first_block_bytes == 0) return 0;
    const std::uint64_t remaining = (size - read + first_block_bytes - 1) / first_block_bytes;
    const std::uint64_t cap = size / (count * sizeof(float));
    return std::size_t(std::min(1 + remaining, cap));
}

// Where the fault met while reading line `line_in_block` of block `block` lies (0 the header,
// j + 1 data line j); `first_block_line` is the line number of block 0's header.
void locate_in_block(ReadFault& fault, std::uint64_t first_block_line, std::uint64_t lines_per_block,
                     std::uint64_t block, std::uint64_t line_in_block) noexcept {
    if (fault.kind == FaultKind::capacity_overflow) return;
    fault.place.line = first_block_line + block * lines_per_block + line_in_block;
    fault.place.block = block;
    switch (fault.kind) {
    case FaultKind::block_cut_short:
    case FaultKind::field_past_line_end:
    case FaultKind::field_splits_char:
    case FaultKind::field_empty:
    case FaultKind::field_not_a_number:
        fault.place.field = (line_in_block - 1) * kFieldsPerLine + fault.place.field_in_line;
        break;
    default: break;
    }
}

// Whether the end of the file caused `fault`, met while reading from `source`: see BlockCut.
bool cut_by_file_end(const ReadFault& fault, const LineSource& source) noexcept {
    switch (fault.kind) {
    case FaultKind::block_cut_short: return true;
    case FaultKind::not_utf8:
    case FaultKind::field_past_line_end:
    case FaultKind::field_splits_char:
    case FaultKind::field_empty:
    case FaultKind::field_not_a_number: return source.met_unended_line();
    default: return false;
    }
}

// A fault met in a block, placed: kept in `cut` where the end of the file caused it (true: the
// read ends there), else left to be thrown (marked where the end of the file caused it).
bool keep_cut(ReadFault& fault, const LineSource& source, BlockCut* cut) {
    fault.at_file_end = cut_by_file_end(fault, source);
    if (cut == nullptr || !fault.at_file_end) return false;
    cut->fault.emplace(fault);
    return true;
}

// Whether the next block is one to read: a piece of a split read stops before the first block
// whose header line starts at its limit or after it, or that its storage has no room for; a
// whole read reads to the end.
template <class Table>
[[gnu::always_inline]] inline bool within_limit(const LineSource& source, const Table& table,
                                                std::uint64_t limit) noexcept {
    if constexpr (std::is_same_v<Table, SeriesWindow>) {
        return source.bytes_consumed() < limit && !table.full();
    } else {
        return true;
    }
}

// Each loop reads a header line, whose content is never looked at, and the block's data lines:
// as many full lines as there are, then one with the rest of the fields. Kept out of line: one
// call a file, and g++ compiles the loop a little longer when it inlines it into read_all.
template <std::size_t Width, class Table>
[[gnu::noinline]] void read_blocks(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width,
                                   Table& series, std::uint64_t first_block_line, std::uint64_t limit,
                                   BlockCut* cut) {
    const std::uint64_t full_lines = count / kFieldsPerLine;
    const std::uint64_t last_fields = count % kFieldsPerLine;
    const std::uint64_t first_block_start = source.bytes_consumed();
    // Which line of the block is being read, for a fault's place: 0 the header, j + 1 data line j.
    std::uint64_t line_in_block = 0;
    try {
        while (within_limit(source, series, limit) && (source.skip_short_ascii_line() || read_line(source, line))) {
            series.reserve_next_block();
            FieldTargets out{series.series(), series.blocks()};
            for (line_in_block = 1; line_in_block <= full_lines; ++line_in_block, out.targets += kFieldsPerLine) {
                read_next_data_line<Width>(source, line, kFieldsPerLine, width, out);
            }
            if (last_fields != 0) read_next_data_line<Width>(source, line, last_fields, width, out);
            series.finish_block();
            line_in_block = 0;
            if (series.blocks() == 1) {
                series.reserve(estimated_blocks(source, source.bytes_consumed() - first_block_start, count));
            }
        }
    } catch (ReadFault& fault) {
        locate_in_block(fault, first_block_line, block_lines_of(count), series.blocks(), line_in_block);
        if (!keep_cut(fault, source, cut)) throw;
    }
}

// A character of `text` that byte `at` (< text.size()) lies inside, not at its start: the
// field boundary there fails.
[[noreturn]] void fail_field_boundary_inside(const Line& line, std::uint64_t k, std::uint64_t at, std::uint64_t end) {
    const std::string_view text = line.text;
    std::size_t start = std::size_t(at);
    while (utf8::is_continuation(static_cast<unsigned char>(text[start]))) --start;
    const std::size_t stop = start + utf8::sequence_length(static_cast<unsigned char>(text[start]));
    ReadFault fault(FaultKind::field_splits_char);
    fault.place.field_in_line = k;
    fault.field_end = end;
    fault.line_length = text.size();
    fault.character = utf8::decode_at(text, start);
    fault.char_start = start;
    fault.char_end = stop;
    fault.text = text.substr(start, stop - start);
    throw fault;
}

// Field k of a data line on its own, the fields before it unseen: its end must lie within the
// line, and both its ends on character boundaries.
float read_one_field(const Line& line, std::uint64_t k, std::uint64_t width) {
    const std::string_view text = line.text;
    if (width > text.size() / (k + 1)) {
        ReadFault fault(FaultKind::field_past_line_end);
        fault.place.field_in_line = k;
        // (k + 1) x width, or the largest end there is where that does not fit 64 bits.
        fault.field_end = width > UINT64_MAX / (k + 1) ? UINT64_MAX : (k + 1) * width;
        fault.line_length = text.size();
        throw fault;
    }
    const std::uint64_t end = (k + 1) * width;
    const std::uint64_t start = end - width;
    if (!line.ascii) {
        if (start < text.size() && utf8::is_continuation(static_cast<unsigned char>(text[start]))) {
            fail_field_boundary_inside(line, k, start, end);
        }
        if (end < text.size() && utf8::is_continuation(static_cast<unsigned char>(text[end]))) {
            fail_field_boundary_inside(line, k, end, end);
        }
    }
    // The routes of whole lines, one field at a time: the fixed shape at the widths in use, then
    // E notation, then the general way.
    float value;
    if (line.ascii) {
        const char* const field = text.data() + start;
        if (width == 12 && parse_fixed_shape_field<12>(field, value)) return value;
        if (width == 15 && parse_fixed_shape_field<15>(field, value)) return value;
        if (fits_e_notation_field(width) && parse_e_notation_field(field, std::size_t(width), value)) return value;
    }
    parse_field(line, k, start, width, value);
    return value;
}

}  // namespace

template <class Table>
void read_chosen_fields(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width,
                        std::span<const std::uint64_t> fields, Table& series, std::uint64_t first_block_line,
                        std::uint64_t limit, BlockCut* cut) {
    const std::uint64_t data_lines = data_lines_of(count);
    // The fields of data line j are fields[first_on_line[j] .. first_on_line[j + 1]).
    std::vector<std::size_t> first_on_line(std::size_t(data_lines) + 1);
    for (std::uint64_t j = 0, s = 0; j <= data_lines; ++j) {
        while (s < fields.size() && fields[s] < j * kFieldsPerLine) ++s;
        first_on_line[j] = s;
    }
    const std::uint64_t first_block_start = source.bytes_consumed();
    std::uint64_t line_in_block = 0;
    try {
        while (within_limit(source, series, limit) && (source.skip_short_ascii_line() || read_line(source, line))) {
            series.reserve_next_block();
            float* const* const targets = series.series();
            const std::size_t block = series.blocks();
            for (line_in_block = 1; line_in_block <= data_lines; ++line_in_block) {
                const std::size_t first = first_on_line[line_in_block - 1];
                if (first == first_on_line[line_in_block]) {
                    // This line and those after it up to the next that holds a field asked for.
                    std::uint64_t run = 1;
                    while (line_in_block + run <= data_lines &&
                           first_on_line[line_in_block + run - 1] == first_on_line[line_in_block + run]) {
                        ++run;
                    }
                    LineStatus status;
                    const std::uint64_t skipped = source.skip_lines(run, line, status);
                    line_in_block += skipped;
                    if (skipped < run) {
                        if (status == LineStatus::end_of_file) throw_fault(FaultKind::block_cut_short);
                        fail_line_read(source, status);
                    }
                    --line_in_block;
                    continue;
                }
                if (!read_line(source, line)) throw_fault(FaultKind::block_cut_short);
                for (std::size_t s = first; s < first_on_line[line_in_block]; ++s) {
                    targets[s][block] = read_one_field(line, fields[s] % kFieldsPerLine, width);
                }
            }
            series.finish_block();
            line_in_block = 0;
            if (series.blocks() == 1) {
                series.reserve(estimated_blocks(source, source.bytes_consumed() - first_block_start, fields.size()));
            }
        }
    } catch (ReadFault& fault) {
        locate_in_block(fault, first_block_line, 1 + data_lines, series.blocks(), line_in_block);
        if (!keep_cut(fault, source, cut)) throw;
    }
}

template <class Table>
void read_every_field(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width, Table& table,
                      std::uint64_t first_block_line, std::uint64_t limit, BlockCut* cut) {
    if (width == 12) {
        read_blocks<12>(source, line, count, width, table, first_block_line, limit, cut);
    } else if (width == 15) {
        read_blocks<15>(source, line, count, width, table, first_block_line, limit, cut);
    } else {
        read_blocks<0>(source, line, count, width, table, first_block_line, limit, cut);
    }
}

template void read_every_field(LineSource&, Line&, std::uint64_t, std::uint64_t, SeriesTable&, std::uint64_t,
                               std::uint64_t, BlockCut*);
template void read_every_field(LineSource&, Line&, std::uint64_t, std::uint64_t, SeriesWindow&, std::uint64_t,
                               std::uint64_t, BlockCut*);
template void read_chosen_fields(LineSource&, Line&, std::uint64_t, std::uint64_t, std::span<const std::uint64_t>,
                                 SeriesTable&, std::uint64_t, std::uint64_t, BlockCut*);
template void read_chosen_fields(LineSource&, Line&, std::uint64_t, std::uint64_t, std::span<const std::uint64_t>,
                                 SeriesWindow&, std::uint64_t, std::uint64_t, BlockCut*);

}  // namespace quorel
