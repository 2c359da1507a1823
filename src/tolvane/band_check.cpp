#include "tolvane/band_check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tolvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Bound {
    double low;
    double high;
};

// The rectangles' heights around the reference points. A value that is not finite has none:
// inf matches itself only, and the range that range_rtol scales is that of the finite values.
class Rectangles {
public:
    Rectangles(const SeriesView& reference, const BandTolerance& tolerance)
        : reference_(reference), atol_(tolerance.atol), rtol_(tolerance.rtol) {
        double lowest = kInf;
        double highest = -kInf;
        for (std::size_t i = 0; i < reference.size; ++i) {
            const double value = reference.values[i];
            if (std::isfinite(value)) {
                lowest = std::min(lowest, value);
                highest = std::max(highest, value);
            }
        }
        floor_ = highest >= lowest ? tolerance.range_rtol * (highest - lowest) : 0.0;
        floor_ = std::max(floor_, atol_);
    }

    Bound at(std::size_t i) const {
        const double value = reference_.values[i];
        if (!std::isfinite(value)) return {value, value};
        const double half = std::max(floor_, rtol_ * std::fabs(value));
        return {value - half, value + half};
    }

    double time(std::size_t i) const { return reference_.time[i]; }
    std::size_t size() const { return reference_.size; }
    double value(std::size_t i) const { return reference_.values[i]; }
    double floor() const { return floor_; }
    double rtol() const { return rtol_; }

private:
    const SeriesView& reference_;
    double atol_;
    double rtol_;
    double floor_ = 0.0;
};

// a at t0 to b at t1, at t: numpy.interp's formula (the slope first), so that the band is
// numpy's to the bit; equal ends give their value, infinite ones included.
double lerp(double a, double b, double t0, double t1, double t) { return a == b ? a : (b - a) / (t1 - t0) * (t - t0) + a; }

// The band at time t strictly between reference points i and i + 1.
Bound between(const Rectangles& rectangles, std::size_t i, double t, bool previous) {
    const Bound left = rectangles.at(i);
    if (previous) return left;
    const Bound right = rectangles.at(i + 1);
    const double t0 = rectangles.time(i);
    const double t1 = rectangles.time(i + 1);
    return {lerp(left.low, right.low, t0, t1, t), lerp(left.high, right.high, t0, t1, t)};
}

// The larger (smaller) of two values, NaN giving way to a number, as std::fmax (std::fmin)
// without the call into the math library.
inline double larger(double a, double b) { return (b > a || a != a) ? b : a; }
inline double smaller(double a, double b) { return (b < a || a != a) ? b : a; }

// The union of two bands; a side that is NaN gives way to the other's.
Bound join(Bound a, Bound b) { return {smaller(a.low, b.low), larger(a.high, b.high)}; }

double error_of(double y, Bound band) {
    if (std::isnan(y) || std::isnan(band.low) || std::isnan(band.high))
        return std::isnan(y) && (std::isnan(band.low) || std::isnan(band.high)) ? 0.0 : kInf;
    if (y > band.high) return y - band.high;
    if (y < band.low) return band.low - y;
    return 0.0;
}

class Tally {
public:
    Tally(const SeriesView& actual, double* lower, double* upper, double* error)
        : actual_(actual), lower_(lower), upper_(upper), error_(error) {}

    void add(std::size_t j, Bound band, bool covered) {
        const double error = covered ? error_of(actual_.values[j], band) : kInf;
        if (!covered) band = {kNaN, kNaN};
        if (lower_ != nullptr) {
            lower_[j] = band.low;
            upper_[j] = band.high;
            error_[j] = error;
        }
        if (error > 0.0) {
            ++result_.outside;
            if (result_.first_outside < 0) result_.first_outside = static_cast<std::int64_t>(j);
            if (error > result_.max_error || result_.worst < 0) {
                result_.max_error = error;
                result_.worst = static_cast<std::int64_t>(j);
            }
        }
    }

    BandCheck result() const { return result_; }

private:
    const SeriesView& actual_;
    double* lower_;
    double* upper_;
    double* error_;
    BandCheck result_;
};

// The actual's points that share one time: where the reference has an event at that time, they
// are matched with its points on the same side of the jump.
struct Group {
    double time = kNaN;
    std::size_t start = 0;
    std::size_t end = 0;
};

Group group_at(const SeriesView& actual, std::size_t j) {
    Group group{actual.time[j], j, j + 1};
    while (group.start > 0 && actual.time[group.start - 1] == group.time) --group.start;
    while (group.end < actual.size && actual.time[group.end] == group.time) ++group.end;
    return group;
}

// The band at an event of the reference, points [first, end) at one time, for the actual's point j.
Bound at_event(const Rectangles& rectangles, std::size_t first, std::size_t end, const Group& group,
               std::size_t j) {
    const std::size_t count = end - first;
    const std::size_t in_group = group.end - group.start;
    const std::size_t k = j - group.start;
    if (in_group == count) return rectangles.at(first + k);
    if (in_group >= 2 && k == 0) return rectangles.at(first);
    if (in_group >= 2 && k + 1 == in_group) return rectangles.at(end - 1);
    Bound band = rectangles.at(first);
    for (std::size_t i = first + 1; i < end; ++i) band = join(band, rectangles.at(i));
    return band;
}

BandCheck pointwise(const Rectangles& rectangles, const SeriesView& actual, std::size_t begin, std::size_t end,
                    bool previous, Tally& tally) {
    const std::size_t n = rectangles.size();
    const double* times = actual.time;
    std::size_t r = 0;  // the first reference point whose time is not below t
    std::size_t r_end = 0;  // past the reference's points at time t
    Group group;
    for (std::size_t j = begin; j < end; ++j) {
        const double t = times[j];
        if (j > begin && t < times[j - 1]) {
            r = 0;
        }
        if (!(j > begin && t == times[j - 1])) {
            while (r < n && rectangles.time(r) < t) ++r;
            r_end = r;
            while (r_end < n && rectangles.time(r_end) == t) ++r_end;
        }
        if (r_end - r == 1) {
            tally.add(j, rectangles.at(r), true);
        } else if (r_end > r) {
            if (!(group.time == t && group.start <= j && j < group.end)) group = group_at(actual, j);
            tally.add(j, at_event(rectangles, r, r_end, group, j), true);
        } else if (r == 0 || r == n) {
            tally.add(j, {kNaN, kNaN}, false);
        } else {
            tally.add(j, between(rectangles, r - 1, t, previous), true);
        }
    }
    return tally.result();
}

// The actual on the reference's very grid (the same times, block for block): each point against
// the rectangle of its own block, with nothing to search.
template <bool kWrite>
BandCheck same_grid(const Rectangles& rectangles, const SeriesView& actual, std::size_t begin, std::size_t end,
                    Tally& tally) {
    const double floor = rectangles.floor();
    const double rtol = rectangles.rtol();
    for (std::size_t j = begin; j < end; ++j) {
        const double value = rectangles.value(j);
        const double y = actual.values[j];
        const double half = std::max(floor, rtol * std::fabs(value));
        // Within the band, and both finite: the common case, decided with two comparisons.
        if (!kWrite && y >= value - half && y <= value + half && std::isfinite(value)) continue;
        tally.add(j, rectangles.at(j), true);
    }
    return tally.result();
}

// The band widened by the rectangles' edges at time t between reference points i and i + 1,
// where a window's edge cuts the reference there. The value at t lies between those of the two
// points, so a side is worked out only where one of them is beyond the band of the points inside.
Bound widened_at(Bound band, const Rectangles& rectangles, std::size_t i, double t) {
    const Bound a = rectangles.at(i);
    const Bound b = rectangles.at(i + 1);
    const double t0 = rectangles.time(i);
    const double t1 = rectangles.time(i + 1);
    if (!(a.high <= band.high && b.high <= band.high)) band.high = larger(band.high, lerp(a.high, b.high, t0, t1, t));
    if (!(a.low >= band.low && b.low >= band.low)) band.low = smaller(band.low, lerp(a.low, b.low, t0, t1, t));
    return band;
}

// A monotone deque of reference points and their side of the band: pushed at the back, taken
// from both ends. Its memory follows the window's points, not the reference's length (the
// front's slots are given back once they are half of it).
class MonotoneDeque {
public:
    struct Entry {
        std::size_t index;
        double value;
    };
    bool empty() const { return head_ == items_.size(); }
    const Entry& front() const { return items_[head_]; }
    const Entry& back() const { return items_.back(); }
    void pop_back() { items_.pop_back(); }
    void push_back(std::size_t index, double value) { items_.push_back({index, value}); }
    void pop_front() {
        if (++head_ >= 1024 && 2 * head_ >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() {
        items_.clear();
        head_ = 0;
    }

private:
    std::vector<Entry> items_;
    std::size_t head_ = 0;
};

// With a time tolerance: the envelopes of the rectangles within half_width of t, as a running
// maximum of the upper sides and minimum of the lower sides (monotone deques: O(n + m) for
// times that do not decrease), joined with the band where the window's edges cut the reference.
BandCheck windowed(const Rectangles& rectangles, const SeriesView& actual, std::size_t begin, std::size_t end,
                   double half_width, bool previous, Tally& tally) {
    const std::size_t n = rectangles.size();
    MonotoneDeque highs;
    MonotoneDeque lows;
    std::size_t left = 0;   // the first reference point inside the window
    std::size_t right = 0;  // past the last reference point inside the window
    for (std::size_t j = begin; j < end; ++j) {
        const double t = actual.time[j];
        if (j > begin && t < actual.time[j - 1]) {
            highs.clear();
            lows.clear();
            left = right = 0;
        }
        const double from = t - half_width;
        const double to = t + half_width;
        for (; right < n && rectangles.time(right) <= to; ++right) {
            const Bound point = rectangles.at(right);
            if (!std::isnan(point.high)) {
                while (!highs.empty() && highs.back().value <= point.high) highs.pop_back();
                highs.push_back(right, point.high);
            }
            if (!std::isnan(point.low)) {
                while (!lows.empty() && lows.back().value >= point.low) lows.pop_back();
                lows.push_back(right, point.low);
            }
        }
        while (left < right && rectangles.time(left) < from) ++left;
        while (!highs.empty() && highs.front().index < left) highs.pop_front();
        while (!lows.empty() && lows.front().index < left) lows.pop_front();
        Bound band{lows.empty() ? kNaN : lows.front().value, highs.empty() ? kNaN : highs.front().value};
        bool covered = right > left;
        // Where the window's edges cut the reference between two points, the band there.
        if (left > 0 && left < n && rectangles.time(left) != from) {
            band = previous ? join(band, rectangles.at(left - 1)) : widened_at(band, rectangles, left - 1, from);
            covered = true;
        }
        if (!previous && right > 0 && right < n && rectangles.time(right - 1) != to) {
            band = widened_at(band, rectangles, right - 1, to);
            covered = true;
        }
        tally.add(j, band, covered);
    }
    return tally.result();
}

}  // namespace

BandCheck check_band(const SeriesView& reference, const SeriesView& actual, std::size_t begin, std::size_t end,
                     const BandTolerance& tolerance, double* lower, double* upper, double* error) {
    const Rectangles rectangles(reference, tolerance);
    Tally tally(actual, lower, upper, error);
    end = std::min(end, actual.size);
    if (tolerance.half_width > 0.0)
        return windowed(rectangles, actual, begin, end, tolerance.half_width, tolerance.previous, tally);
    if (reference.time == actual.time || (reference.size == actual.size &&
                                          std::equal(reference.time, reference.time + reference.size, actual.time))) {
        return lower != nullptr ? same_grid<true>(rectangles, actual, begin, end, tally)
                                : same_grid<false>(rectangles, actual, begin, end, tally);
    }
    return pointwise(rectangles, actual, begin, end, tolerance.previous, tally);
}

}  // namespace tolvane
