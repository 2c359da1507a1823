#include "reader/plot_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "failure/char_debug.hpp"
#include "reader/line_source.hpp"
#include "reader/os_error.hpp"
#include "failure/panic.hpp"
#include "text_rules/parse_binary32.hpp"
#include "text_rules/parse_count.hpp"
#include "text_rules/e_notation_field.hpp"
#include "text_rules/fixed_shape_field.hpp"
#include "text_rules/vector_support.hpp"
#include "failure/text.hpp"
#include "text_rules/utf8.hpp"
#include "failure/write_all.hpp"
#include "text_rules/whitespace.hpp"

namespace quorel {

namespace {

constexpr std::uint64_t kFieldsPerLine = 10;

// Names the field routes this build has in the module file, where the checks of a build from
// outside (a wheel's, whose symbol table is stripped) can read it.
[[gnu::used, gnu::retain]] constexpr char kRoutesBuiltIn[] = "quorel routes: " QUOREL_ROUTES;

// A fixed-shape field is read with 16-byte loads; the padding after a line keeps the last
// field's load inside the buffer.
static_assert(12 + kLinePadding >= 16, "a width-12 field and the padding hold one load");

UniqueFd open_plot_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        panic("Plot file not found!: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    }
    const Text terminated(path);
    for (;;) {
        const int fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) panic(concat("Plot file not found!: ", os_error_description(errno)));
    }
}

[[noreturn]] void fail_line_read(const LineSource& source, LineStatus status) {
    if (status == LineStatus::os_error) panic(concat("Failed to read line!: ", os_error_description(source.error_number())));
    panic("Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }");
}

// Reads one line; false at end of file. Read errors fail the call.
bool read_line(LineSource& source, Line& line) {
    const LineStatus status = source.next_line(line);
    if (status == LineStatus::line) return true;
    if (status == LineStatus::end_of_file) return false;
    fail_line_read(source, status);
}

// The diagnostic line on descriptor 1. A closed descriptor counts as written.
void print_bad_count(std::string_view token) {
    const Text text = concat("Error: '", token, "' is not a valid number of parameters!\n");
    const int error = write_all(STDOUT_FILENO, text.data(), text.size());
    if (error != 0 && error != EBADF) panic(concat("failed printing to stdout: ", os_error_display(error)));
}

std::uint64_t parameter_count(std::string_view first_line) {
    const auto token = last_token(first_line);
    if (!token) return 0;
    if (const auto count = parse_count(*token)) return *count;
    print_bad_count(*token);
    panic(concat("The first line should end with the number of parameters:\n'", first_line, "'"));
}

[[noreturn]] void fail_field_end(const Line& line, std::uint64_t end) {
    const std::string_view text = line.text;
    if (end > text.size()) {
        panic(concat("end byte index ", decimal(end), " is out of bounds for string of length ", decimal(text.size())));
    }
    std::size_t start = std::size_t(end);
    while (utf8::is_continuation(static_cast<unsigned char>(text[start]))) --start;
    const std::size_t stop = start + utf8::sequence_length(static_cast<unsigned char>(text[start]));
    panic(concat("end byte index ", decimal(end), " is not a char boundary; it is inside ",
                 char_debug_form(utf8::decode_at(text, start)), " (bytes ", decimal(start), "..", decimal(stop),
                 " of string)"));
}

[[noreturn]] void fail_parse(FloatErrorKind kind) {
    panic(kind == FloatErrorKind::Empty ? "Could not parse line: ParseFloatError { kind: Empty }"
                                        : "Could not parse line: ParseFloatError { kind: Invalid }");
}

// The general way for one field: trim, then the full grammar.
void parse_field(const Line& line, std::string_view slice, float& value) {
    const std::string_view field = line.ascii ? trim_ascii_padded(slice) : trim(slice);
    FloatErrorKind error;
    if (!parse_binary32<kPaddedText>(field, value, error)) fail_parse(error);
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
            fail_field_end(line, end);
        }
        float value;
        if (!e_notation || !parse_e_notation_field(text.data() + start, std::size_t(width), value)) {
            parse_field(line, std::string_view(text.data() + start, std::size_t(width)), value);
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
            parse_field(line, std::string_view(field, Width), value);
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
    if (!read_line(source, line)) panic("Error reading line");
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

// Each loop reads a header line, whose content is never looked at, and the block's data lines:
// as many full lines as there are, then one with the rest of the fields. Kept out of line: one
// call a file, and g++ compiles the loop a little longer when it inlines it into read_plot_file.
template <std::size_t Width>
[[gnu::noinline]] void read_blocks(LineSource& source, Line& line, std::uint64_t count, std::uint64_t width,
                                   SeriesTable& series) {
    const std::uint64_t full_lines = count / kFieldsPerLine;
    const std::uint64_t last_fields = count % kFieldsPerLine;
    const std::uint64_t first_block_start = source.bytes_consumed();
    while (source.skip_short_ascii_line() || read_line(source, line)) {
        series.reserve_next_block();
        FieldTargets out{series.series(), series.blocks()};
        for (std::uint64_t i = 0; i < full_lines; ++i, out.targets += kFieldsPerLine) {
            read_next_data_line<Width>(source, line, kFieldsPerLine, width, out);
        }
        if (last_fields != 0) read_next_data_line<Width>(source, line, last_fields, width, out);
        series.finish_block();
        if (series.blocks() == 1) {
            series.reserve(estimated_blocks(source, source.bytes_consumed() - first_block_start, count));
        }
    }
}

}  // namespace

SeriesTable read_plot_file(std::string_view path, std::uint64_t field_width) {
    LineSource source(open_plot_file(path));
    Line line;

    if (!read_line(source, line)) panic("Failed ot read line!");
    const std::uint64_t count = parameter_count(line.text);

    // The names are not returned; only their presence is required.
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!read_line(source, line)) panic("Failed to read line!");
    }

    SeriesTable series(count);
    if (field_width == 12) {
        read_blocks<12>(source, line, count, field_width, series);
    } else if (field_width == 15) {
        read_blocks<15>(source, line, count, field_width, series);
    } else {
        read_blocks<0>(source, line, count, field_width, series);
    }
    series.shrink_to_fit();
    return series;
}

}  // namespace quorel
