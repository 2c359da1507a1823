#include "tolvane/plot_head.hpp"

#include <stdexcept>

namespace tolvane {

PlotHead::PlotHead(std::string_view path) : reader_(path) {}

void PlotHead::read_head() {
    count_ = reader_.read_count(true, &title_);
    reader_.read_names(&names_, &name_lines_);
}

bool PlotHead::at_end() { return reader_.at_end(); }

std::optional<quorel::OwnedFault> PlotHead::first_block_fault(std::uint64_t width) {
    return reader_.first_block_fault(width);
}

quorel::SeriesTable PlotHead::read_blocks(std::uint64_t width, std::span<const std::uint64_t> fields,
                                          const quorel::SplitOptions& options) {
    if (blocks_read_) throw std::logic_error("the blocks of this file have been read");
    blocks_read_ = true;
    if (fields.size() == count_) fields = {};
    return reader_.read_blocks(width, fields, options);
}

}  // namespace tolvane
