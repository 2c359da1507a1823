// tolvane._native.check_band: band_check.hpp's check, bound for tolvane's comparison.
#pragma once

#include <nanobind/nanobind.h>

namespace tolvane {

void bind_band_check(nanobind::module_& module);

}  // namespace tolvane
