#include "plot_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "char_debug.hpp"
#include "line_source.hpp"
#include "os_error.hpp"
#include "panic.hpp"
#include "parse_binary32.hpp"
#include "parse_count.hpp"
#include "e_notation_field.hpp"
#include "text.hpp"
#include "utf8.hpp"
#include "write_all.hpp"
#include "whitespace.hpp"

namespace quorel {

namespace {

constexpr std::uint64_t kFieldsPerLine = 10;

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

// Parses the `field_count` fields of one data line into their series, which start at `targets`,
// checking each field's end as it goes.
void read_fields(const Line& line, std::uint64_t field_count, std::uint64_t width, FloatSeries* targets) {
    const std::string_view text = line.text;
    const bool e_notation = line.ascii && fits_e_notation_field(width);
    std::uint64_t start = 0;
    for (std::uint64_t k = 0; k < field_count; ++k) {
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
        targets[k].push_back(value);
        start = end;
    }
}

// The same for an ASCII line known to hold all its fields, at one of the widths in use: every
// boundary check is settled and the field positions are constants.
template <std::size_t Width>
void read_complete_ascii_fields(const Line& line, std::uint64_t field_count, FloatSeries* targets) {
    const char* field = line.text.data();
    for (std::uint64_t k = 0; k < field_count; ++k, field += Width) {
        float value;
        if (!parse_full_e_notation_field<Width>(field, value) && !parse_e_notation_field(field, Width, value)) {
            parse_field(line, std::string_view(field, Width), value);
        }
        targets[k].push_back(value);
    }
}

void read_data_line(const Line& line, std::uint64_t field_count, std::uint64_t width, FloatSeries* targets) {
    if (line.ascii && width <= line.text.size() / field_count) {
        if (width == 12) return read_complete_ascii_fields<12>(line, field_count, targets);
        if (width == 15) return read_complete_ascii_fields<15>(line, field_count, targets);
    }
    read_fields(line, field_count, width, targets);
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

    // Each loop reads a header line, whose content is never looked at, and the block's data lines.
    while (read_line(source, line)) {
        for (std::uint64_t field = 0; field < count; field += kFieldsPerLine) {
            if (!read_line(source, line)) panic("Error reading line");
            read_data_line(line, std::min(kFieldsPerLine, count - field), field_width, series.fields() + field);
        }
    }
    return series;
}

}  // namespace quorel
