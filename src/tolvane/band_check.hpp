// The check of one signal against the band around a reference signal: the rule of
// tolvane.compare. The band stands on rectangles around every reference point, half-height
// max(atol, rtol * |value|, range_rtol * (max - min of the reference)), half-width in time
// `half_width`; the lower and upper envelopes of those rectangles (as the reference runs from
// point to point, linearly or held) are the band, and every point of the actual is checked
// against the band at its time. Plain C++: it touches no Python object, and runs without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane {

struct BandTolerance {
    double atol = 0.0;
    double rtol = 0.0;
    double range_rtol = 0.0;
    double half_width = 0.0;  // in time; 0: the band at a time is the reference's there, point by point
    bool previous = false;    // the reference held from each point to the next (zero-order hold), not linear
};

struct SeriesView {
    const double* time = nullptr;   // non-decreasing; equal times mark an event (a jump)
    const float* values = nullptr;
    std::size_t size = 0;
};

struct BandCheck {
    double max_error = 0.0;
    std::int64_t outside = 0;         // points of the actual outside the band
    std::int64_t first_outside = -1;  // index in the actual, -1 for none
    std::int64_t worst = -1;          // index in the actual of the largest error, -1 for none
};

// Checks the actual's points [begin, end) against the band of `reference`. Where `lower`,
// `upper` and `error` are not null (each of actual.size doubles), the band and the error at
// each point checked are written there. A point's error is max(0, y - upper) - min(0, y - lower):
// 0 inside the band; NaN matches a band that is NaN there, and any other NaN is an infinite error.
BandCheck check_band(const SeriesView& reference, const SeriesView& actual, std::size_t begin, std::size_t end,
                     const BandTolerance& tolerance, double* lower, double* upper, double* error);

}  // namespace tolvane
