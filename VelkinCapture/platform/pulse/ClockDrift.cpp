#include "platform/pulse/ClockDrift.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace velkin::pulse {

namespace {

// The two-sided 99.5% quantile of Student's t with `freedom` degrees: how many
// standard errors a slope through that few points may be off by chance. A
// handful of points can lie near a line by chance; a clock is judged off only
// when it clearly is.
double studentT995(size_t freedom) {
  static constexpr double quantiles[] = {127.3, 14.09, 7.45, 5.60, 4.77, 4.32, 4.03, 3.83,
                                         3.69,  3.58,  3.50, 3.43, 3.37, 3.33, 3.29, 3.25};
  return freedom == 0                      ? 1e9
         : freedom <= std::size(quantiles) ? quantiles[freedom - 1]
         : freedom <= 30                   ? 3.1
                                           : 2.9;
}

double median(std::vector<double>& values) {
  const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

void ClockDrift::restart() {
  points_.clear();
  ratio_.reset();
  outOfRange_ = false;
  ppm_ = 0;
  startStray_.reset();
  line_.reset();
}

void ClockDrift::observe(int64_t index, int64_t capturedAt, int64_t placedAt) {
  if (!points_.empty() && index <= points_.back().index) {
    return;  // no audio since the last dating: no slope to learn from
  }
  if (line_) {
    // Audio lost or doubled at once (a piece too short for a gap) moves the
    // datings by a step that the line of a drift cannot follow. Taken for drift,
    // it would be resampled away for good; the clock is learnt afresh instead.
    const double from = double(index) - line_->centre;
    const double off = double(capturedAt - index) - (line_->offset + line_->slope * from);
    if (std::fabs(off) > line_->tolerance + line_->slopeError * std::fabs(from)) {
      restart();
    }
  }
  if (points_.size() == limits_.maxPoints) {
    points_.erase(points_.begin());
  }
  if (points_.empty()) {
    firstIndex_ = index;
  }
  points_.push_back({index, capturedAt - index, placedAt});
  if (points_.size() < std::max<size_t>(limits_.minPoints, 3)) {
    return;
  }
  // Relative to the first point, so that the products stay small.
  const Point origin = points_.front();
  const auto x = [&](const Point& p) { return double(p.index - origin.index); };
  const auto y = [&](const Point& p) { return double(p.offset - origin.offset); };

  std::vector<double> values;
  values.reserve(points_.size() * (points_.size() - 1) / 2);
  for (size_t i = 0; i < points_.size(); ++i) {
    for (size_t j = i + 1; j < points_.size(); ++j) {
      values.push_back((y(points_[j]) - y(points_[i])) / (x(points_[j]) - x(points_[i])));
    }
  }
  const double slope = median(values);  // offset frames per stream frame: rate - 1

  values.clear();
  double meanX = 0;
  for (const Point& p : points_) {
    values.push_back(y(p) - slope * x(p));
    meanX += x(p);
  }
  meanX /= double(points_.size());
  const double intercept = median(values);
  double spreadX = 0;
  for (const Point& p : points_) {
    spreadX += (x(p) - meanX) * (x(p) - meanX);
  }
  // The spread about the line, as a least-squares fit counts it: a few points
  // can lie on a line by chance, and then say little.
  double squares = 0;
  for (const double residual : values) {
    squares += (residual - intercept) * (residual - intercept);
  }
  const double noise =
      std::max(double(limits_.noiseFloorFrames), std::sqrt(squares / double(points_.size() - 2)));
  const double slopeError = noise / std::sqrt(spreadX) * studentT995(points_.size() - 2);
  ppm_ = -slope / (1 + slope) * 1e6;
  // What the noise could make a dating, or the track, seem to stray by: the
  // decision is taken anew at every dating, hundreds of times an hour, and the
  // noise of a few points is itself unsure.
  const double surely = noise * std::max(4.0, studentT995(points_.size() - 2));
  line_ = Line{.centre = double(origin.index) + meanX,
               .offset = double(origin.offset) + intercept + slope * meanX,
               .slope = slope,
               .slopeError = slopeError,
               .tolerance = std::max(double(limits_.strayFrames) / 2, surely)};

  // Where the track's audio lies against where the line says it was captured
  // (> 0: placed late), now and at the first dating.
  const Point latest = points_.back();
  const double stray = double(latest.placed) - (double(latest.index) + double(origin.offset) +
                                                intercept + slope * x(latest));
  if (!startStray_ || (!ratio_ && origin.index == firstIndex_)) {
    // Where the track started stays where it is (a source that had audio ready
    // when the track began is placed after that start): only drift is undone.
    // Taken from the first dating since the restart, as well as the points
    // around it tell, so that a slow drift adds up over more than the points
    // kept.
    startStray_ = double(origin.placed) - (double(origin.index + origin.offset) + intercept);
  }
  const bool drifts = std::fabs(slope) > slopeError;
  // Resampling starts only on twice that evidence: the decision is taken anew at
  // every dating, and a few datings of a steady source can line up by chance.
  // A drift already followed is kept on the usual evidence.
  const bool surelyDrifts = std::fabs(slope) > 2 * slopeError;
  // Half again what a dating may stray by without being a step: a step just
  // short of one, with the noise on top, does not pass for drift.
  const bool strayed =
      std::fabs(stray - *startStray_) >= std::max(double(limits_.strayFrames), surely * 1.5);
  outOfRange_ = drifts && std::fabs(ppm_) > limits_.maxPpm;
  if (outOfRange_ || (!ratio_ && (!surelyDrifts || !strayed))) {
    ratio_.reset();
    return;
  }
  const double most = limits_.pullPpm * 1e-6;
  const double pull = std::clamp((stray - *startStray_) / double(limits_.pullFrames), -most, most);
  // Never further from 1 than the largest drift and pull: a stray line cannot
  // make the resampler run wild.
  const double widest = (limits_.maxPpm + limits_.pullPpm) * 1e-6;
  ratio_ = std::clamp(1 + slope - pull, 1 - widest, 1 + widest);
}

}  // namespace velkin::pulse
