// Reads a TOLVANE plot file: a first line ending in the parameter count, one name line per
// parameter, then blocks of a header line and ceil(count / 10) data lines of fixed-width fields,
// ten to a line. Field 0 of each block is the time, field j + 1 belongs to column j.
#pragma once

#include <cstdint>
#include <string_view>

#include "reader/series.hpp"

namespace quorel {

// Reads the whole file into its time series and columns, at `path` (UTF-8, may hold any byte) with fields `field_width` bytes wide.
// Every failure panics with its message; the file is closed on every way out.
SeriesTable read_plot_file(std::string_view path, std::uint64_t field_width);

}  // namespace quorel
