#include "platform/pulse/ClockDrift.hpp"

#include <algorithm>
#include <cmath>

namespace velkin::pulse {

namespace {

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
}

void ClockDrift::observe(int64_t index, int64_t capturedAt, int64_t placedAt) {
  if (!points_.empty() && index <= points_.back().index) {
    return;  // no audio since the last dating: no slope to learn from
  }
  if (points_.size() == limits_.maxPoints) {
    points_.erase(points_.begin());
  }
  points_.push_back({index, capturedAt - index});
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
  const double noise = std::max(double(limits_.noiseFloorFrames),
                                std::sqrt(squares / double(points_.size() - 2)));
  const double slopeError = noise / std::sqrt(spreadX);
  ppm_ = -slope / (1 + slope) * 1e6;

  const Point latest = points_.back();
  const double fittedCapture =
      double(index) + double(origin.offset) + intercept + slope * x(latest);
  const double stray = double(placedAt) - fittedCapture;  // > 0: placed late
  const bool drifts = std::fabs(slope) > 3 * slopeError;
  outOfRange_ = drifts && std::fabs(ppm_) > limits_.maxPpm;
  if (outOfRange_ || (!ratio_ && (!drifts || std::fabs(stray) < double(limits_.strayFrames)))) {
    ratio_.reset();
    return;
  }
  const double most = limits_.pullPpm * 1e-6;
  const double pull = std::clamp(stray / double(limits_.pullFrames), -most, most);
  ratio_ = 1 + slope - pull;
}

}  // namespace velkin::pulse
