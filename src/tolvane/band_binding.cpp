#include "tolvane/band_binding.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <cstddef>
#include <optional>
#include <stdexcept>

#include "tolvane/band_check.hpp"
#include "tolvane/read_interrupts.hpp"

namespace nb = nanobind;

namespace tolvane {
namespace {

using Times = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

nb::tuple check_band_bound(const Times& reference_time, const Values& reference_values, const Times& actual_time,
                           const Values& actual_values, std::size_t begin, std::size_t end, double atol,
                           double rtol, double range_rtol, double half_width, bool previous,
                           std::optional<Out> lower, std::optional<Out> upper, std::optional<Out> error) {
    if (reference_time.shape(0) != reference_values.shape(0) || actual_time.shape(0) != actual_values.shape(0))
        throw std::invalid_argument("check_band: times and values of different lengths");
    const std::size_t m = actual_time.shape(0);
    const bool out = lower.has_value();
    if (out != upper.has_value() || out != error.has_value())
        throw std::invalid_argument("check_band: lower, upper and error go together");
    if (out && (lower->shape(0) != m || upper->shape(0) != m || error->shape(0) != m))
        throw std::invalid_argument("check_band: an output of another length than the actual's");
    const SeriesView reference{reference_time.data(), reference_values.data(), reference_time.shape(0)};
    const SeriesView actual{actual_time.data(), actual_values.data(), m};
    const BandTolerance tolerance{atol, rtol, range_rtol, half_width, previous};
    BandCheck check;
    {
        LockReleased released;
        check = check_band(reference, actual, begin, end, tolerance, out ? lower->data() : nullptr,
                           out ? upper->data() : nullptr, out ? error->data() : nullptr);
    }
    return nb::make_tuple(check.max_error, check.outside, check.first_outside, check.worst);
}

}  // namespace

void bind_band_check(nb::module_& module) {
    module.def("check_band", &check_band_bound, nb::arg("reference_time"), nb::arg("reference_values"),
               nb::arg("actual_time"), nb::arg("actual_values"), nb::arg("begin"), nb::arg("end"),
               nb::arg("atol"), nb::arg("rtol"), nb::arg("range_rtol"), nb::arg("half_width"),
               nb::arg("previous"), nb::arg("lower") = nb::none(), nb::arg("upper") = nb::none(),
               nb::arg("error") = nb::none(),
               "Checks the actual's points [begin, end) against the band around the reference: "
               "(max_error, outside, first_outside, worst), -1 for no index; the band and the errors "
               "written into lower, upper and error where given. Runs without the GIL.");
}

}  // namespace tolvane
