#include "tolvane/plot_head.hpp"

#include <cerrno>
#include <stdexcept>
#include <utility>


namespace tolvane {

PlotHead::PlotHead(std::string_view path, quorel::ReadStop* stop, std::size_t read_size) {
    reader_.emplace(path, stop, read_size);
}

PlotHead::PlotHead(quorel::UniqueFd file, quorel::ReadStop* stop) { reader_.emplace(std::move(file), stop); }

PlotHead::PlotHead(std::shared_ptr<quorel::ByteQueue> queue, quorel::ReadStop* stop) : queue_(std::move(queue)) {
    reader_.emplace(*queue_, stop);
}

quorel::PlotFileReader& PlotHead::reader(quorel::ReadStop* stop) {
    if (!reader_) throw std::logic_error("the file has been closed");
    // Each step brings its own: the one before ended with its step.
    reader_->set_stop(stop);
    return *reader_;
}

namespace {

[[noreturn]] void throw_head_unended(std::uint64_t line) {
    quorel::ReadFault fault(quorel::FaultKind::head_unended);
    fault.place.line = line;
    throw fault;
}

// The first `n` names of `names`.
quorel::NameList first_names(const quorel::NameList& names, std::size_t n) {
    quorel::NameList kept;
    for (std::size_t i = 0; i < n && i < names.size(); ++i) kept.append(names[i]);
    return kept;
}

}  // namespace

void PlotHead::read_head(quorel::ReadStop* stop, bool keep_cut) {
    quorel::PlotFileReader& file = reader(stop);
    quorel::LineSource& source = file.source();
    source.end_at_unended_line(true);
    try {
        try {
            count_ = file.read_count(true, &title_);
        } catch (const quorel::ReadFault&) {
            // A count, or a line, still being written: its fault is the end's.
            if (!source.met_unended_line()) throw;
            throw_head_unended(1);
        }
        if (source.met_unended_line()) throw_head_unended(1);
        try {
            file.read_names(&names_, &name_lines_);
        } catch (const quorel::ReadFault& fault) {
            if (!source.met_unended_line()) throw;
            // The line read last has no line feed: taken back where it was read as a name (the
            // file then "ends" on the line after it), else it is the fault's own line.
            const bool taken = fault.kind == quorel::FaultKind::names_cut_short;
            if (taken) {
                names_ = first_names(names_, names_.size() - 1);
                name_lines_ = first_names(name_lines_, name_lines_.size() - 1);
            }
            throw_head_unended(fault.place.line - (taken ? 1 : 0));
        }
        if (source.met_unended_line()) {
            names_ = first_names(names_, names_.size() - 1);
            name_lines_ = first_names(name_lines_, name_lines_.size() - 1);
            throw_head_unended(1 + count_);
        }
    } catch (const quorel::ReadFault& fault) {
        const bool cut = fault.kind == quorel::FaultKind::head_unended ||
                         fault.kind == quorel::FaultKind::names_cut_short ||
                         fault.kind == quorel::FaultKind::empty_file;
        if (!keep_cut || !cut) throw;
        if (fault.place.line == 1) {
            title_.clear();
            count_ = 0;
        }
        head_cut_.emplace(fault);
    }
    source.end_at_unended_line(false);
}

bool PlotHead::at_end(quorel::ReadStop* stop) { return reader(stop).at_end(); }

bool PlotHead::first_block_ended(quorel::ReadStop* stop) { return reader(stop).first_block_ended(); }

std::optional<quorel::OwnedFault> PlotHead::first_block_fault(std::uint64_t width, quorel::ReadStop* stop,
                                                              quorel::BlockCut* cut) {
    return reader(stop).first_block_fault(width, cut);
}

quorel::SeriesTable PlotHead::read_blocks(std::uint64_t width, std::span<const std::uint64_t> fields,
                                          const quorel::SplitOptions& options, quorel::ReadStop* stop,
                                          quorel::BlockCut* cut) {
    quorel::PlotFileReader& file = reader(stop);
    if (blocks_read_) throw std::logic_error("the blocks of this file have been read");
    blocks_read_ = true;
    if (fields.size() == count_) fields = {};
    return file.read_blocks(width, fields, options, cut);
}

}  // namespace tolvane

namespace tolvane {

bool PlotHead::extend_index(std::uint64_t width, unsigned threads, quorel::ReadStop* stop,
                            std::size_t piece_bytes, bool binary64_time, bool keep_times,
                            std::uint64_t bin_blocks) {
    quorel::PlotFileReader& file = reader(stop);
    if (!index_) index_.emplace(count_, width, file.blocks_start(), binary64_time, keep_times, bin_blocks);
    return index_->extend(file.source().fd(), threads, stop, piece_bytes);
}

const quorel::BlockIndex& PlotHead::index() const {
    if (!index_) throw std::logic_error("the file has no index yet");
    return *index_;
}

quorel::BlockIndex& PlotHead::index() {
    if (!index_) throw std::logic_error("the file has no index yet");
    return *index_;
}

quorel::IndexedBlocks PlotHead::indexed_blocks() const {
    const quorel::BlockIndex& blocks_index = index();
    return {blocks_index.starts(), blocks_index.blocks(), blocks_index.end(), blocks_index.block_lines()};
}

std::optional<quorel::OwnedFault> PlotHead::cut_after_index(quorel::ReadStop* stop) {
    quorel::PlotFileReader& file = reader(stop);
    const quorel::BlockIndex& blocks_index = index();
    quorel::LineSource& source = file.source();
    if (!source.seek_to(blocks_index.end())) {
        quorel::ReadFault fault(quorel::FaultKind::read_failed);
        fault.error_number = errno;
        throw fault;
    }
    source.end_at_unended_line(true);
    // Counted from the first block after the index: its faults are placed in the whole file.
    const std::uint64_t before = blocks_index.blocks();
    auto placed = [&](quorel::ReadFault& fault) {
        if (fault.place.block == quorel::kNoIndex) return;
        fault.place.block += before;
        fault.place.line += before * blocks_index.block_lines();
    };
    quorel::SeriesTable table(count_);
    quorel::BlockCut cut;
    quorel::Line line;
    try {
        quorel::read_every_field(source, line, count_, blocks_index.width(), table, count_ + 2, quorel::kNoLimit, &cut);
    } catch (quorel::ReadFault& fault) {
        placed(fault);
        throw;
    }
    if (!cut.fault) {
        // One last block read whole, its last line without a line feed: the finished file's.
        if (table.blocks() == 1 && source.met_unended_line()) index_->add_unended_block(source.bytes_consumed());
        return std::nullopt;
    }
    quorel::ReadFault fault = cut.fault->fault();
    placed(fault);
    return quorel::OwnedFault(fault);
}

quorel::SeriesTable PlotHead::read_selection(std::span<const std::uint64_t> fields,
                                             std::span<const std::uint64_t> blocks, quorel::ReadStop* stop,
                                             std::uint64_t hint_block, std::uint64_t hint_offset,
                                             bool binary64_time) {
    return read_selection(index().width(), fields, indexed_blocks(), blocks, stop, hint_block, hint_offset,
                          binary64_time);
}

quorel::SeriesTable PlotHead::read_selection(std::uint64_t width, std::span<const std::uint64_t> fields,
                                             const quorel::IndexedBlocks& indexed,
                                             std::span<const std::uint64_t> blocks, quorel::ReadStop* stop,
                                             std::uint64_t hint_block, std::uint64_t hint_offset,
                                             bool binary64_time) {
    quorel::PlotFileReader& file = reader(stop);
    if (fields.size() == count_) fields = {};
    return quorel::read_block_selection(file.source().fd(), count_, width, fields, count_ + 2, indexed, blocks, stop,
                                        hint_block, hint_offset, binary64_time);
}

}  // namespace tolvane
