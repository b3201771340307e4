#include "analysis/adaptive/area_reduction.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace corvale {
namespace {

// The source pixels each reduced pixel covers along one axis: `span` of them from
// `first[d]`, each with the share of the reduced pixel it makes up. Cells covering
// fewer pixels than `span` end in weights of zero, which leave the sums unchanged.
struct Cells {
  int span = 0;
  std::vector<int> first;
  std::vector<float> weights;  // `span` per reduced pixel
};

// The cells of `reducedSize` pixels over `sourceSize` ones, `step` source pixels per
// reduced one. The weights are computed as OpenCV computes them, in double and rounded
// to float, so that the sums below round alike.
Cells areaCells(int sourceSize, int reducedSize, double step) {
  std::vector<std::vector<float>> cells(static_cast<std::size_t>(reducedSize));
  Cells table;
  table.first.resize(static_cast<std::size_t>(reducedSize));
  for (int d = 0; d < reducedSize; ++d) {
    const double from = d * step, to = from + step;
    const double width = std::min(step, sourceSize - from);
    int first = static_cast<int>(std::ceil(from)), last = static_cast<int>(std::floor(to));
    last = std::min(last, sourceSize - 1);
    first = std::min(first, last);
    std::vector<float>& weights = cells[static_cast<std::size_t>(d)];
    table.first[static_cast<std::size_t>(d)] = first;
    if (first - from > 1e-3) {
      table.first[static_cast<std::size_t>(d)] = first - 1;
      weights.push_back(static_cast<float>((first - from) / width));
    }
    for (int s = first; s < last; ++s) weights.push_back(static_cast<float>(1.0 / width));
    if (to - last > 1e-3) weights.push_back(static_cast<float>(std::min(std::min(to - last, 1.0), width) / width));
    table.span = std::max(table.span, static_cast<int>(weights.size()));
  }
  for (const std::vector<float>& weights : cells) {
    table.weights.insert(table.weights.end(), weights.begin(), weights.end());
    table.weights.insert(table.weights.end(), static_cast<std::size_t>(table.span) - weights.size(), 0.0f);
  }
  return table;
}

// One source row's sums over the cells along it, channel by channel, added in the
// order OpenCV adds them. `values` holds the row as floats, with room for a cell's
// span beyond its end.
template <int Channels, int Span>
void sumAlongRow(const float* values, const Cells& across, float* sums) {
  const float* weight = across.weights.data();
  for (const int first : across.first) {
    const float* pixel = values + static_cast<std::ptrdiff_t>(first) * Channels;
    float sum[Channels] = {};
    for (int k = 0; k < Span; ++k)
      for (int c = 0; c < Channels; ++c) sum[c] = sum[c] + pixel[k * Channels + c] * weight[k];
    weight += Span;
    for (int c = 0; c < Channels; ++c) *sums++ = sum[c];
  }
}

template <int Channels>
void sumAlongRow(const float* values, const Cells& across, float* sums) {
  switch (across.span) {
    case 2: return sumAlongRow<Channels, 2>(values, across, sums);
    case 3: return sumAlongRow<Channels, 3>(values, across, sums);
    case 4: return sumAlongRow<Channels, 4>(values, across, sums);
    case 5: return sumAlongRow<Channels, 5>(values, across, sums);
    default: break;
  }
  const float* weight = across.weights.data();
  for (const int first : across.first) {
    const float* pixel = values + static_cast<std::ptrdiff_t>(first) * Channels;
    float sum[Channels] = {};
    for (int k = 0; k < across.span; ++k)
      for (int c = 0; c < Channels; ++c) sum[c] = sum[c] + pixel[k * Channels + c] * weight[k];
    weight += across.span;
    for (int c = 0; c < Channels; ++c) *sums++ = sum[c];
  }
}

template <int Channels>
void reduce(const cv::Mat& source, cv::Mat& reduced, const Cells& across, const Cells& down) {
  const std::size_t width = across.first.size() * Channels, length = static_cast<std::size_t>(source.cols) * Channels;
  std::vector<float> values(length + static_cast<std::size_t>(across.span) * Channels, 0.0f);
  std::vector<float> rowSums(width), total(width);
  int summedRow = -1;  // the source row whose sums `rowSums` holds
  const float* weight = down.weights.data();
  for (int y = 0; y < reduced.rows; ++y, weight += down.span) {
    const int first = down.first[static_cast<std::size_t>(y)];
    for (int k = 0; k < down.span && weight[k] != 0.0f; ++k) {
      // A source row that straddles two reduced rows is summed once for both.
      if (first + k != summedRow) {
        const std::uint8_t* bytes = source.ptr<std::uint8_t>(first + k);
        for (std::size_t i = 0; i < length; ++i) values[i] = static_cast<float>(bytes[i]);
        sumAlongRow<Channels>(values.data(), across, rowSums.data());
        summedRow = first + k;
      }
      if (k == 0)
        for (std::size_t i = 0; i < width; ++i) total[i] = weight[k] * rowSums[i];
      else
        for (std::size_t i = 0; i < width; ++i) total[i] = total[i] + weight[k] * rowSums[i];
    }
    auto* out = reduced.ptr<std::uint8_t>(y);
    for (std::size_t i = 0; i < width; ++i) out[i] = cv::saturate_cast<std::uint8_t>(total[i]);
  }
}

}  // namespace

void reduceByArea(const cv::Mat& source, cv::Mat& reduced, cv::Size size, double inverseX, double inverseY) {
  const double stepX = 1.0 / inverseX, stepY = 1.0 / inverseY;
  const bool wholeSteps = std::abs(stepX - cv::saturate_cast<int>(stepX)) < DBL_EPSILON &&
                          std::abs(stepY - cv::saturate_cast<int>(stepY)) < DBL_EPSILON;
  const bool handled = (source.type() == CV_8UC1 || source.type() == CV_8UC3) && stepX >= 1.0 && stepY >= 1.0 &&
                       !wholeSteps && size.width > 0 && size.height > 0 && size != source.size();
  if (!handled) {
    // cv::resize takes the factors from the sizes where both are given.
    const bool bySize = inverseX == static_cast<double>(size.width) / source.cols &&
                        inverseY == static_cast<double>(size.height) / source.rows;
    if (bySize) cv::resize(source, reduced, size, 0, 0, cv::INTER_AREA);
    else cv::resize(source, reduced, cv::Size(), inverseX, inverseY, cv::INTER_AREA);
    return;
  }
  const Cells across = areaCells(source.cols, size.width, stepX), down = areaCells(source.rows, size.height, stepY);
  cv::Mat result(size, source.type());
  if (source.channels() == 1) reduce<1>(source, result, across, down);
  else reduce<3>(source, result, across, down);
  reduced = result;
}

}  // namespace corvale
