#pragma once

#include <cstddef>
#include <vector>

namespace reader {

// Fewer readings than this are never a stretch of their own: a misread
// photo or two is scatter, not a change of the display's lag.
constexpr std::size_t SHORTEST_SEGMENT = 5;

// A stretch of the series where the lag holds still: values first to last,
// both included.
struct Segment {
    std::size_t first = 0;
    std::size_t last = 0;
};

// The readings' own scatter about their level (the standard deviation of
// one reading), estimated from successive differences so that a change of
// level or a slow drift does not count as scatter: the larger of the median
// absolute difference's estimate and the mean squared difference without
// the few far beyond the rest (which still sees readings that sit at two
// or three levels and mostly repeat each other, where the median difference
// is 0). Never below a microsecond; 0 for fewer than two values.
double readingScatter(const std::vector<double>& values);

// Where the lag changes: the series (readings in order, ms) split into
// stretches of steady lag, in order, covering every value; one stretch
// when nothing changes, none for no values. Binary segmentation of the
// mean, a split kept only when it explains more than the penalty that the
// series' own scatter sets (noise alone does not pass it, however long the
// series); each reading first clipped to three times the scatter about the
// median of its neighbours, so that one wild reading cannot make a stretch;
// then neighbouring stretches whose means differ by less than one and a
// half readings' scatter are merged again: a change that small is no
// setting of the display worth telling apart, and a slow drift within the
// scatter would otherwise be cut into steps over a long series.
std::vector<Segment> findSegments(const std::vector<double>& values);

}  // namespace reader
