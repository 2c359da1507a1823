#include "reader/plot_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "failure/read_fault.hpp"
#include "failure/text.hpp"
#include "reader/block_loops.hpp"
#include "reader/line_reading.hpp"
#include "reader/line_source.hpp"
#include "text_rules/parse_count.hpp"
#include "text_rules/whitespace.hpp"

namespace quorel {

namespace {

// With a ReadStop the file is opened without waiting (O_NONBLOCK): a FIFO without a writer
// would otherwise hold the open until one comes, where nothing can end it; its bytes are then
// waited for in short waits that ask the ReadStop (LineSource).
UniqueFd open_plot_file(std::string_view path, ReadStop* stop) {
    if (path.find('\0') != std::string_view::npos) throw_fault(FaultKind::path_has_nul);
    const Text terminated(path);
    const int flags = O_RDONLY | O_CLOEXEC | (stop != nullptr ? O_NONBLOCK : 0);
    for (;;) {
        const int fd = ::open(terminated.c_str(), flags);
        if (fd >= 0) return UniqueFd(fd);
        if (const int error = errno; error != EINTR) {
            ReadFault fault(FaultKind::open_failed);
            fault.error_number = error;
            throw fault;
        }
        if (stop != nullptr) stop->check();
    }
}

}  // namespace

PlotFileReader::PlotFileReader(std::string_view path, ReadStop* stop, std::size_t read_size)
    : source_(open_plot_file(path, stop), stop, read_size), stop_(stop) {}

PlotFileReader::PlotFileReader(UniqueFd file, ReadStop* stop) : source_(std::move(file), stop), stop_(stop) {}

PlotFileReader::PlotFileReader(ByteQueue& queue, ReadStop* stop) : source_(queue, stop), stop_(stop) {}

void PlotFileReader::set_stop(ReadStop* stop) noexcept {
    stop_ = stop;
    source_.set_stop(stop);
}

SeriesTable PlotFileReader::read_all(std::uint64_t field_width) {
    read_count();
    read_names(nullptr);
    SeriesTable series(count_);
    read_every_field(source_, line_, count_, field_width, series, head_lines() + 1);
    series.shrink_to_fit();
    return series;
}

std::uint64_t PlotFileReader::read_count(bool zero_is_fault, Text* title) {
    try {
        if (!read_line(source_, line_)) throw_fault(FaultKind::empty_file);
    } catch (ReadFault& fault) {
        fault.place.line = 1;
        throw;
    }
    const auto token = last_token(line_.text);
    if (token) {
        const auto count = parse_count(*token);
        if (!count) {
            ReadFault fault(FaultKind::count_not_a_number);
            fault.place.line = 1;
            fault.text = *token;
            fault.line_text = line_.text;
            throw fault;
        }
        count_ = *count;
    }
    if (title != nullptr) {
        const std::string_view before = token ? line_.text.substr(0, std::size_t(token->data() - line_.text.data()))
                                              : std::string_view(line_.text);
        title->assign(trim(before));
    }
    if (count_ == 0 && zero_is_fault) {
        ReadFault fault(FaultKind::count_zero);
        fault.place.line = 1;
        fault.line_text = line_.text;
        if (token) fault.text = *token;
        throw fault;
    }
    return count_;
}

void PlotFileReader::read_names(NameList* names, NameList* lines) {
    for (std::uint64_t i = 0; i < count_; ++i) {
        try {
            if (!read_line(source_, line_)) throw_fault(FaultKind::names_cut_short);
        } catch (ReadFault& fault) {
            fault.place.line = 2 + i;
            throw;
        }
        if (names != nullptr) names->append(last_token(line_.text).value_or(std::string_view()));
        if (lines != nullptr) lines->append(trim(line_.text));
    }
}

bool PlotFileReader::at_end() {
    std::string_view next;
    return source_.peek_lines(1, next) && next.empty();
}

bool PlotFileReader::first_block_ended() {
    const std::uint64_t block_lines = block_lines_of(count_);
    std::string_view block;
    return source_.peek_lines(block_lines, block) &&
           std::uint64_t(std::count(block.begin(), block.end(), '\n')) >= block_lines;
}

std::optional<OwnedFault> PlotFileReader::first_block_fault(std::uint64_t field_width, BlockCut* cut) {
    const std::uint64_t block_lines = block_lines_of(count_);
    std::string_view block;
    if (!source_.peek_lines(block_lines, block)) {
        ReadFault fault(FaultKind::read_failed);
        fault.error_number = source_.error_number();
        fault.place.line = head_lines() + 1 + std::uint64_t(std::count(block.begin(), block.end(), '\n'));
        throw fault;
    }
    LineSource copy(block);
    copy.end_at_unended_line(cut != nullptr);
    Line line;
    SeriesTable series(count_);
    try {
        read_every_field(copy, line, count_, field_width, series, head_lines() + 1, kNoLimit, cut);
    } catch (const ReadFault& fault) {
        return OwnedFault(fault);
    }
    return std::nullopt;
}

SeriesTable PlotFileReader::read_blocks(std::uint64_t field_width, std::span<const std::uint64_t> fields) {
    SeriesTable series(fields.size(), SeriesLayout::together);
    read_chosen_fields(source_, line_, count_, field_width, fields, series, head_lines() + 1);
    series.shrink_to_fit();
    return series;
}

SeriesTable PlotFileReader::read_blocks(std::uint64_t field_width) {
    SeriesTable series(count_, SeriesLayout::together);
    read_every_field(source_, line_, count_, field_width, series, head_lines() + 1);
    series.shrink_to_fit();
    return series;
}

SeriesTable PlotFileReader::read_blocks(std::uint64_t field_width, std::span<const std::uint64_t> fields,
                                        const SplitOptions& options, BlockCut* cut) {
    std::uint64_t bytes_read = 0;
    source_.end_at_unended_line(cut != nullptr);
    try {
        SeriesTable series = read_blocks_unchecked(field_width, fields, options, bytes_read, cut);
        if (source_.changed_since_open(bytes_read)) fail_changed();
        return series;
    } catch (const ReadFault&) {
        // A fault read from a file that changed may be one of the change.
        if (source_.changed_since_open(source_.bytes_consumed())) fail_changed();
        throw;
    } catch (const OwnedFault&) {
        if (source_.changed_since_open(source_.bytes_consumed())) fail_changed();
        throw;
    }
}

SeriesTable PlotFileReader::read_blocks_unchecked(std::uint64_t field_width, std::span<const std::uint64_t> fields,
                                                  const SplitOptions& options, std::uint64_t& bytes_read,
                                                  BlockCut* cut) {
    if (options.threads != 1) {
        std::optional<SeriesTable> split = read_split(source_, line_, count_, field_width, fields, head_lines() + 1,
                                                      options, stop_, bytes_read, cut);
        if (split) return std::move(*split);
    }
    SeriesTable series(fields.empty() ? count_ : fields.size(), SeriesLayout::together, options.binary64_time);
    if (fields.empty()) {
        read_every_field(source_, line_, count_, field_width, series, head_lines() + 1, kNoLimit, cut);
    } else {
        read_chosen_fields(source_, line_, count_, field_width, fields, series, head_lines() + 1, kNoLimit, cut);
    }
    series.shrink_to_fit();
    bytes_read = source_.bytes_consumed();
    return series;
}

void PlotFileReader::fail_changed() const { throw OwnedFault(ReadFault(FaultKind::file_changed)); }

}  // namespace quorel
