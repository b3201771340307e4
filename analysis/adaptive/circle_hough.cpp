#include "analysis/adaptive/circle_hough.hpp"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#ifdef __SSE2__
#include <immintrin.h>
#endif

namespace corvale {
namespace {

// Distances from a half-pixel centre to whole-pixel edge points are exact in single
// precision while twice each offset squared and summed stays within 24 bits: images and
// radii up to this many pixels.
constexpr int exactSide = 1024;
constexpr int binsPerPixel = 10;  // OpenCV's radius histogram: ten bins to the pixel
constexpr int fixedShift = 10;    // the vote's walk along the gradient, in 1/1024 of a pixel
constexpr int cellSide = 16;      // pixels: the edge points are grouped in square cells of this side

// The last step r (from 0) at which start + r * stride, in 1/1024 of a pixel, still
// falls within 0..size-1 pixels, for a walk that starts inside.
int lastInside(int start, int stride, int size) {
  if (stride == 0) return INT_MAX;
  const int limit = stride > 0 ? (size << fixedShift) - 1 - start : -start;
  return limit / stride;
}

struct Candidate {
  cv::Vec4f circle;  // x, y, radius, votes
  int votes = 0;
};

// OpenCV's order: more votes, then the larger radius, then the smaller x, then y.
bool before(const Candidate& a, const Candidate& b) {
  if (a.votes != b.votes) return a.votes > b.votes;
  if (a.circle[2] != b.circle[2]) return a.circle[2] > b.circle[2];
  if (a.circle[0] != b.circle[0]) return a.circle[0] < b.circle[0];
  return a.circle[1] < b.circle[1];
}

// The edge points, twice their coordinates, in cell order; in single precision too.
struct EdgePoints {
  std::vector<int> x, y;
  std::vector<float> xs, ys;
};

// What bins one centre's distances: twice its coordinates, the squared distances
// (four times them) the radii span, and the histogram's layout.
struct Binning {
  int twiceX = 0, twiceY = 0;
  int leastQuad = 0, mostQuad = 0;
  int minRadius = 0;
  int bins = 0;                         // the histogram's last bin, bins, takes the points outside the radii
  const std::vector<std::uint16_t>* binOf = nullptr;  // by four times the squared distance over eight
};

// Bins the points `from` to `to` one by one, by the table; whether any lay within the radii.
bool binPoints(const EdgePoints& points, const Binning& b, std::size_t from, std::size_t to, int* histogram) {
  bool within = false;
  for (std::size_t i = from; i < to; ++i) {
    const int dx = points.x[i] - b.twiceX, dy = points.y[i] - b.twiceY;
    const int quad = dx * dx + dy * dy;
    if (quad < b.leastQuad || quad > b.mostQuad) continue;
    ++histogram[(*b.binOf)[static_cast<std::size_t>(quad >> 3)]];
    within = true;
  }
  return within;
}

#ifdef __SSE2__
// Four points at a time: their distances are exact in single precision too, and the
// table's bins are worked out from them in the same single-precision steps.
bool binSpans(const EdgePoints& points, const Binning& b, const std::vector<std::pair<int, int>>& spans, int* histogram) {
  const __m128 centreX = _mm_set1_ps(static_cast<float>(b.twiceX)), centreY = _mm_set1_ps(static_cast<float>(b.twiceY));
  const __m128 least = _mm_set1_ps(static_cast<float>(b.leastQuad)), most = _mm_set1_ps(static_cast<float>(b.mostQuad));
  const __m128 smallest = _mm_set1_ps(static_cast<float>(b.minRadius)), perPixel = _mm_set1_ps(static_cast<float>(binsPerPixel));
  const __m128 zero = _mm_setzero_ps(), lastBin = _mm_set1_ps(static_cast<float>(b.bins - 1));
  const __m128 outside = _mm_set1_ps(static_cast<float>(b.bins)), quarter = _mm_set1_ps(0.25f);
  __m128 any = zero;
  bool within = false;
  alignas(16) std::int32_t bin[4];
  for (const auto& [from, to] : spans) {
    auto i = static_cast<std::size_t>(from);
    for (; i + 4 <= static_cast<std::size_t>(to); i += 4) {
      const __m128 dx = _mm_sub_ps(_mm_loadu_ps(points.xs.data() + i), centreX);
      const __m128 dy = _mm_sub_ps(_mm_loadu_ps(points.ys.data() + i), centreY);
      const __m128 quad = _mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy));
      const __m128 in = _mm_and_ps(_mm_cmpge_ps(quad, least), _mm_cmple_ps(quad, most));
      any = _mm_or_ps(any, in);
      const __m128 distance = _mm_sqrt_ps(_mm_mul_ps(quad, quarter));
      const __m128 position = _mm_min_ps(_mm_max_ps(_mm_mul_ps(_mm_sub_ps(distance, smallest), perPixel), zero), lastBin);
      _mm_store_si128(reinterpret_cast<__m128i*>(bin), _mm_cvtps_epi32(_mm_or_ps(_mm_and_ps(in, position), _mm_andnot_ps(in, outside))));
      ++histogram[bin[0]], ++histogram[bin[1]], ++histogram[bin[2]], ++histogram[bin[3]];
    }
    within = binPoints(points, b, i, static_cast<std::size_t>(to), histogram) || within;
  }
  return within || _mm_movemask_ps(any) != 0;
}

// The same eight points at a time, in the same single-precision steps.
[[gnu::target("avx2")]] bool binSpansAvx2(const EdgePoints& points, const Binning& b, const std::vector<std::pair<int, int>>& spans,
                                          int* histogram) {
  const __m256 centreX = _mm256_set1_ps(static_cast<float>(b.twiceX)), centreY = _mm256_set1_ps(static_cast<float>(b.twiceY));
  const __m256 least = _mm256_set1_ps(static_cast<float>(b.leastQuad)), most = _mm256_set1_ps(static_cast<float>(b.mostQuad));
  const __m256 smallest = _mm256_set1_ps(static_cast<float>(b.minRadius)), perPixel = _mm256_set1_ps(static_cast<float>(binsPerPixel));
  const __m256 zero = _mm256_setzero_ps(), lastBin = _mm256_set1_ps(static_cast<float>(b.bins - 1));
  const __m256 outside = _mm256_set1_ps(static_cast<float>(b.bins)), quarter = _mm256_set1_ps(0.25f);
  __m256 any = zero;
  bool within = false;
  alignas(32) std::int32_t bin[8];
  for (const auto& [from, to] : spans) {
    auto i = static_cast<std::size_t>(from);
    for (; i + 8 <= static_cast<std::size_t>(to); i += 8) {
      const __m256 dx = _mm256_sub_ps(_mm256_loadu_ps(points.xs.data() + i), centreX);
      const __m256 dy = _mm256_sub_ps(_mm256_loadu_ps(points.ys.data() + i), centreY);
      const __m256 quad = _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
      const __m256 in = _mm256_and_ps(_mm256_cmp_ps(quad, least, _CMP_GE_OQ), _mm256_cmp_ps(quad, most, _CMP_LE_OQ));
      any = _mm256_or_ps(any, in);
      const __m256 distance = _mm256_sqrt_ps(_mm256_mul_ps(quad, quarter));
      const __m256 position =
          _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(_mm256_sub_ps(distance, smallest), perPixel), zero), lastBin);
      _mm256_store_si256(reinterpret_cast<__m256i*>(bin), _mm256_cvtps_epi32(_mm256_blendv_ps(outside, position, in)));
      for (const std::int32_t at : bin) ++histogram[at];
    }
    within = binPoints(points, b, i, static_cast<std::size_t>(to), histogram) || within;
  }
  return within || _mm256_movemask_ps(any) != 0;
}
#else
bool binSpans(const EdgePoints& points, const Binning& b, const std::vector<std::pair<int, int>>& spans, int* histogram) {
  bool within = false;
  for (const auto& [from, to] : spans)
    within = binPoints(points, b, static_cast<std::size_t>(from), static_cast<std::size_t>(to), histogram) || within;
  return within;
}
#endif

}  // namespace

std::vector<cv::Vec4f> houghCircles(const cv::Mat& grey, double minDistance, double cannyHigh, double votes,
                                    int minRadius, int maxRadius) {
  if (grey.type() != CV_8UC1 || grey.empty()) throw std::invalid_argument("houghCircles: an 8-bit grey image is needed");
  minRadius = std::max(0, minRadius);
  const int largest = maxRadius <= minRadius ? minRadius + 2 : maxRadius;
  if (maxRadius <= 0 || std::max({grey.cols, grey.rows, largest}) > exactSide || minDistance <= 0.0 || cannyHigh <= 0.0 ||
      votes <= 0.0) {
    std::vector<cv::Vec4f> circles;
    cv::HoughCircles(grey, circles, cv::HOUGH_GRADIENT, 1.0, minDistance, cannyHigh, votes, minRadius, maxRadius);
    return circles;
  }
  maxRadius = largest;
  const int cannyThreshold = cvRound(cannyHigh), threshold = cvRound(votes);

  cv::Mat dx, dy, edges;
  cv::Sobel(grey, dx, CV_16S, 1, 0, 3, 1, 0, cv::BORDER_REPLICATE);
  cv::Sobel(grey, dy, CV_16S, 0, 1, 3, 1, 0, cv::BORDER_REPLICATE);
  cv::Canny(dx, dy, edges, std::max(1, cannyThreshold / 2), cannyThreshold, false);

  // Each edge point votes for the centres along its gradient, both ways, from the
  // least radius to the largest.
  const int cols = grey.cols, rows = grey.rows, step = cols + 2;
  std::vector<int> accumulator(static_cast<std::size_t>((rows + 2) * step), 0);
  std::vector<int> pointX, pointY;  // the edge points that voted, twice their coordinates
  for (int y = 0; y < rows; ++y) {
    const auto* edge = edges.ptr<std::uint8_t>(y);
    const auto* gx = dx.ptr<std::int16_t>(y);
    const auto* gy = dy.ptr<std::int16_t>(y);
    for (int x = 0; x < cols; ++x) {
      if (edge[x] == 0) continue;
      const float vx = gx[x], vy = gy[x];
      if (vx == 0 && vy == 0) continue;
      const float magnitude = std::sqrt(vx * vx + vy * vy);
      if (magnitude < 1.0f) continue;
      pointX.push_back(2 * x);
      pointY.push_back(2 * y);
      int sx = cvRound(vx * 1024.0f / magnitude), sy = cvRound(vy * 1024.0f / magnitude);
      const int x0 = x << fixedShift, y0 = y << fixedShift;
      for (int way = 0; way < 2; ++way, sx = -sx, sy = -sy) {
        // The walk leaves the frame for good once it leaves it: how far it may go is
        // worked out first, so that the steps need no test.
        const int last = std::min({maxRadius, lastInside(x0, sx, cols), lastInside(y0, sy, rows)});
        int x1 = x0 + minRadius * sx, y1 = y0 + minRadius * sy;
        for (int r = minRadius; r <= last; x1 += sx, y1 += sy, ++r)
          ++accumulator[static_cast<std::size_t>((y1 >> fixedShift) * step + (x1 >> fixedShift))];
      }
    }
  }
  if (pointX.empty()) return {};

  // Candidate centres: cells above the threshold and above their four neighbours,
  // the ones after them in raster order matched or beaten.
  std::vector<int> centres;
  for (int y = 1; y < rows + 1; ++y)
    for (int x = 1; x < cols + 1; ++x) {
      const int at = y * step + x;
      const int value = accumulator[static_cast<std::size_t>(at)];
      if (value > threshold && value > accumulator[static_cast<std::size_t>(at - 1)] &&
          value >= accumulator[static_cast<std::size_t>(at + 1)] && value > accumulator[static_cast<std::size_t>(at - step)] &&
          value >= accumulator[static_cast<std::size_t>(at + step)])
        centres.push_back(at);
    }
  std::sort(centres.begin(), centres.end(), [&](int a, int b) {
    const int va = accumulator[static_cast<std::size_t>(a)], vb = accumulator[static_cast<std::size_t>(b)];
    return va > vb || (va == vb && a < b);
  });

  // The histogram bin of each squared distance, indexed by four times it over eight:
  // with the centre on a half pixel, four times the squared distance is a sum of two
  // odd squares, so two more than a multiple of eight.
  const int bins = cvRound(static_cast<float>(maxRadius - minRadius) / 1.0f * binsPerPixel);
  const int leastQuad = 4 * minRadius * minRadius, mostQuad = 4 * maxRadius * maxRadius;
  std::vector<std::uint16_t> binOf(static_cast<std::size_t>(mostQuad / 8 + 1));
  for (std::size_t m = 0; m < binOf.size(); ++m) {
    const float distance = std::sqrt(static_cast<float>(8 * static_cast<std::int64_t>(m) + 2) * 0.25f);
    binOf[m] = static_cast<std::uint16_t>(
        std::max(0, std::min(bins - 1, cvRound((distance - static_cast<float>(minRadius)) / 1.0f * binsPerPixel))));
  }

  // The edge points grouped by cell, so that a centre can pass over every cell wholly
  // nearer than the least radius or farther than the largest: its points would only
  // fall outside the histogram. Each cell's bounds are kept in twice the coordinates.
  const int cellsAcross = (cols + cellSide - 1) / cellSide, cellsDown = (rows + cellSide - 1) / cellSide;
  std::vector<int> cellStart(static_cast<std::size_t>(cellsAcross * cellsDown) + 1, 0);
  const auto cellOf = [&](std::size_t i) { return (pointY[i] / 2 / cellSide) * cellsAcross + pointX[i] / 2 / cellSide; };
  for (std::size_t i = 0; i < pointX.size(); ++i) ++cellStart[static_cast<std::size_t>(cellOf(i)) + 1];
  for (std::size_t c = 1; c < cellStart.size(); ++c) cellStart[c] += cellStart[c - 1];
  std::vector<int> cellX(pointX.size()), cellY(pointY.size());
  {
    std::vector<int> next(cellStart.begin(), cellStart.end() - 1);
    for (std::size_t i = 0; i < pointX.size(); ++i) {
      const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(cellOf(i))]++);
      cellX[at] = pointX[i], cellY[at] = pointY[i];
    }
  }
  pointX.swap(cellX), pointY.swap(cellY);
  // The nearest and farthest a centre at twice `centre` lies from the cells along one
  // axis, each cell's span `first` to `last` (twice the coordinates) apart, squared.
  const auto nearFar = [](int centre, int first, int last, int& nearest, int& farthest) {
    const int below = first - centre, above = last - centre;
    nearest = below > 0 ? below * below : above < 0 ? above * above : 0;
    farthest = std::max(below * below, above * above);
  };
  std::vector<int> nearX(static_cast<std::size_t>(cellsAcross)), farX(static_cast<std::size_t>(cellsAcross));
  std::vector<std::pair<int, int>> spans;  // runs of points a centre's histogram takes in

  // Each centre's radius: the ten-bin window, from the largest radius down, holding
  // the most edge points for its radius (OpenCV's rule, kept exactly).
  std::vector<Candidate> found;
  // One bin more than the histogram's: where the points outside the radii are put.
  std::vector<int> histogram(static_cast<std::size_t>(std::max(bins, 1)) + 1);
  EdgePoints points{std::move(pointX), std::move(pointY), {}, {}};
  points.xs.assign(points.x.begin(), points.x.end());
  points.ys.assign(points.y.begin(), points.y.end());
  Binning binning{0, 0, leastQuad, mostQuad, minRadius, bins, &binOf};
#ifdef __SSE2__
  const auto binAll = __builtin_cpu_supports("avx2") ? binSpansAvx2 : binSpans;
#else
  const auto binAll = binSpans;
#endif
  for (const int centre : centres) {
    const int y = centre / step, x = centre - y * step;
    const int twiceX = 2 * x + 1, twiceY = 2 * y + 1;
    std::fill(histogram.begin(), histogram.end(), 0);
    spans.clear();
    for (int i = 0; i < cellsAcross; ++i)
      nearFar(twiceX, 2 * i * cellSide, 2 * (std::min(cols, (i + 1) * cellSide) - 1), nearX[static_cast<std::size_t>(i)],
              farX[static_cast<std::size_t>(i)]);
    for (int j = 0; j < cellsDown; ++j) {
      int nearY = 0, farY = 0;
      nearFar(twiceY, 2 * j * cellSide, 2 * (std::min(rows, (j + 1) * cellSide) - 1), nearY, farY);
      for (int i = 0; i < cellsAcross; ++i) {
        if (farX[static_cast<std::size_t>(i)] + farY < leastQuad || nearX[static_cast<std::size_t>(i)] + nearY > mostQuad) continue;
        const int cell = j * cellsAcross + i;
        const int from = cellStart[static_cast<std::size_t>(cell)], to = cellStart[static_cast<std::size_t>(cell) + 1];
        if (from == to) continue;
        if (!spans.empty() && spans.back().second == from) spans.back().second = to;
        else spans.emplace_back(from, to);
      }
    }
    binning.twiceX = twiceX, binning.twiceY = twiceY;
    const bool within = binAll(points, binning, spans, histogram.data());
    int best = 0;
    float bestRadius = 0.0f;
    if (within)
      for (int j = bins - 1; j > 0; j--) {
        if (histogram[static_cast<std::size_t>(j)] == 0) continue;
        const int top = j;
        int count = 0;
        for (; j > top - binsPerPixel && j >= 0; j--) count += histogram[static_cast<std::size_t>(j)];
        const float radius = (top + j) / 2.0f / binsPerPixel * 1.0f + static_cast<float>(minRadius);
        if (static_cast<float>(count) * bestRadius >= static_cast<float>(best) * radius ||
            (bestRadius < FLT_EPSILON && count >= best)) {
          bestRadius = radius;
          best = count;
        }
      }
    if (best > threshold)
      found.push_back({cv::Vec4f((x + 0.5f) * 1.0f, (y + 0.5f) * 1.0f, bestRadius, static_cast<float>(best)), best});
  }
  std::sort(found.begin(), found.end(), before);

  // A circle whose centre lies closer than `minDistance` to a stronger one's is dropped.
  const auto least = static_cast<float>(minDistance);
  const float leastSquared = least * least;
  std::vector<cv::Vec4f> circles;
  for (const Candidate& candidate : found) {
    const bool apart = std::all_of(circles.begin(), circles.end(), [&](const cv::Vec4f& kept) {
      const float ax = candidate.circle[0] - kept[0], ay = candidate.circle[1] - kept[1];
      return !(ax * ax + ay * ay < leastSquared);
    });
    if (apart || circles.empty()) circles.push_back(candidate.circle);
  }
  return circles;
}

}  // namespace corvale
