#include "analysis/adaptive/area_reduction.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

// A source pixel as floats: one channel, or three as a vector of four (the fourth
// unused), whose lanes each add their products in the order OpenCV adds them.
template <int Channels>
struct PixelOf {
  using type = float;
};
template <>
struct PixelOf<3> {
  using type = float __attribute__((vector_size(16)));
};

// One source row's sums over the cells along it, channel by channel. `values` holds
// the row, with room for a cell's span beyond its end.
template <int Channels, int Span>
void sumAlongRow(const float* values, const Cells& across, float* sums) {
  using Pixel = typename PixelOf<Channels>::type;
  const float* weight = across.weights.data();
  const int span = Span > 0 ? Span : across.span;
  for (const int first : across.first) {
    const float* pixel = values + static_cast<std::ptrdiff_t>(first) * Channels;
    Pixel sum{};
    for (int k = 0; k < span; ++k) {
      Pixel value;
      std::memcpy(&value, pixel + k * Channels, sizeof value);
      sum = sum + value * weight[k];
    }
    weight += span;
    if constexpr (Channels == 1) *sums++ = sum;
    else *sums++ = sum[0], *sums++ = sum[1], *sums++ = sum[2];
  }
}

template <int Channels>
void sumAlongRow(const float* values, const Cells& across, float* sums) {
  switch (across.span) {
    case 2: return sumAlongRow<Channels, 2>(values, across, sums);
    case 3: return sumAlongRow<Channels, 3>(values, across, sums);
    case 4: return sumAlongRow<Channels, 4>(values, across, sums);
    case 5: return sumAlongRow<Channels, 5>(values, across, sums);
    default: return sumAlongRow<Channels, 0>(values, across, sums);
  }
}

// `values` rounded to the nearest (ties to even) and saturated, as cv::saturate_cast
// rounds them; thirty-two at a time where the processor has AVX2.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] std::size_t toBytesAvx2(const float* values, std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  // Packing works within each half of a vector: the thirty-two bytes come out in
  // groups of four, the first half of each eight in one half of the vector and the
  // second in the other, and the groups are put back in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (; i + 32 <= count; i += 32) {
    const __m256i a = _mm256_cvtps_epi32(_mm256_loadu_ps(values + i)), b = _mm256_cvtps_epi32(_mm256_loadu_ps(values + i + 8));
    const __m256i c = _mm256_cvtps_epi32(_mm256_loadu_ps(values + i + 16)), d = _mm256_cvtps_epi32(_mm256_loadu_ps(values + i + 24));
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + i), _mm256_permutevar8x32_epi32(packed, order));
  }
  return i;
}
#endif

void toBytes(const float* values, std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) i = toBytesAvx2(values, bytes, count);
#endif
#ifdef __SSE2__
  for (; i + 16 <= count; i += 16) {
    const __m128i a = _mm_cvtps_epi32(_mm_loadu_ps(values + i)), b = _mm_cvtps_epi32(_mm_loadu_ps(values + i + 4));
    const __m128i c = _mm_cvtps_epi32(_mm_loadu_ps(values + i + 8)), d = _mm_cvtps_epi32(_mm_loadu_ps(values + i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + i), _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
  }
#endif
  for (; i < count; ++i) bytes[i] = cv::saturate_cast<std::uint8_t>(values[i]);
}

// Reduces `source` row by row: each source row summed along by `sumRow`, the sums of the
// source rows a reduced row covers then summed down, each reduced value in one pass
// over them. `sumRow` is given the row's bytes and room for them as floats (with room
// beyond the row for a cell's span and the unused fourth float of a pixel), and
// converts what it reads as floats itself. Inlined into each caller, so that a caller
// built for wider vectors builds these loops for them too.
template <int Channels, typename SumRow>
[[gnu::always_inline]] inline void reduceRows(const cv::Mat& source, cv::Mat& reduced, const Cells& across, const Cells& down,
                                              SumRow sumRow) {
  const std::size_t width = across.first.size() * Channels, length = static_cast<std::size_t>(source.cols) * Channels;
  const auto span = static_cast<std::size_t>(down.span);
  std::vector<float> values(length + static_cast<std::size_t>(across.span + 1) * Channels, 0.0f);
  // The sums of the last `span` source rows, source row r in slot r % span: the rows a
  // reduced row covers are consecutive, so they never share a slot, and a source row
  // that straddles two reduced rows is summed once for both. Beyond each row's sums,
  // room for the fourth float of the last pixel's.
  std::vector<float> sums(span * (width + 1)), total(width);
  std::vector<int> summed(span, -1);  // the source row each slot holds
  std::vector<const float*> rows(span);
  const float* weight = down.weights.data();
  for (int y = 0; y < reduced.rows; ++y, weight += span) {
    const int first = down.first[static_cast<std::size_t>(y)];
    // A cell's first source row always weighs something; its last may weigh nothing.
    std::size_t covered = 0;
    for (; covered < span && (covered == 0 || weight[covered] != 0.0f); ++covered) {
      const int row = first + static_cast<int>(covered);
      const std::size_t slot = static_cast<std::size_t>(row) % span;
      float* rowSums = sums.data() + slot * (width + 1);
      if (summed[slot] != row) sumRow(source.ptr<std::uint8_t>(row), values.data(), rowSums), summed[slot] = row;
      rows[covered] = rowSums;
    }
    // The products added in the order of the rows, as OpenCV adds them, a stretch of
    // the row at a time and turned into bytes while it is at hand.
    const float* a = rows[0];
    const float* b = covered > 1 ? rows[1] : nullptr;
    const float* c = covered > 2 ? rows[2] : nullptr;
    std::uint8_t* out = reduced.ptr<std::uint8_t>(y);
    constexpr std::size_t stretch = 256;
    for (std::size_t from = 0; from < width; from += stretch) {
      const std::size_t to = std::min(width, from + stretch);
      float* part = total.data() + from;
      if (covered == 1)
        for (std::size_t i = from; i < to; ++i) total[i] = weight[0] * a[i];
      else if (covered == 2)
        for (std::size_t i = from; i < to; ++i) total[i] = weight[0] * a[i] + weight[1] * b[i];
      else {
        for (std::size_t i = from; i < to; ++i) total[i] = weight[0] * a[i] + weight[1] * b[i] + weight[2] * c[i];
        for (std::size_t k = 3; k < covered; ++k)
          for (std::size_t i = from; i < to; ++i) total[i] = total[i] + weight[k] * rows[k][i];
      }
      toBytes(part, out + from, to - from);
    }
  }
}

template <int Channels>
void reduce(const cv::Mat& source, cv::Mat& reduced, const Cells& across, const Cells& down) {
  const std::size_t length = static_cast<std::size_t>(source.cols) * Channels;
  reduceRows<Channels>(source, reduced, across, down, [&](const std::uint8_t* bytes, float* values, float* sums) {
    for (std::size_t i = 0; i < length; ++i) values[i] = static_cast<float>(bytes[i]);
    sumAlongRow<Channels>(values, across, sums);
  });
}

#if defined(__x86_64__) && defined(__GNUC__)
// Three-channel rows summed two reduced pixels at a time, each in one half of a vector
// of eight: the same products added in the same order, so the same sums. The bytes
// are turned into floats where they are read, in the vector, rather than in a pass of
// their own: each pair's two runs of pixels are loaded once, and each step's pixel
// shuffled out of them. Built for AVX2, whose wider whole-number vectors this needs.
struct SumPairsAlongRow {
  const Cells& across;
  std::size_t length = 0;              // bytes in a row
  std::vector<float> pairWeights;      // per pair of cells and step: four of the first cell's weight, four of the second's
  std::size_t loadedPairs = 0;         // the leading pairs whose sixteen bytes from each cell's first pixel lie within the row
  std::size_t tail = 0;                // the first byte the later cells read
  // Per step of a span of up to four: the shuffle that takes the step's pixel out of
  // the sixteen bytes loaded from each cell's first, its three bytes each widened to a
  // whole number of 32 bits and the fourth lane zero.
  alignas(32) std::int8_t picks[4][32];

  SumPairsAlongRow(const Cells& cells, std::size_t rowLength) : across(cells), length(rowLength) {
    const std::size_t span = static_cast<std::size_t>(cells.span), count = cells.first.size();
    for (std::size_t d = 0; d + 1 < count; d += 2)
      for (std::size_t k = 0; k < span; ++k) {
        pairWeights.insert(pairWeights.end(), 4, cells.weights[d * span + k]);
        pairWeights.insert(pairWeights.end(), 4, cells.weights[(d + 1) * span + k]);
      }
    if (span >= 2 && span <= 4)  // the spans `sum` is built for
      while (loadedPairs * 2 + 1 < count && 3 * static_cast<std::size_t>(cells.first[loadedPairs * 2 + 1]) + 16 <= length)
        ++loadedPairs;
    tail = loadedPairs * 2 < count ? 3 * static_cast<std::size_t>(cells.first[loadedPairs * 2]) : length;
    for (int k = 0; k < 4; ++k)
      for (int lane = 0; lane < 32; ++lane) {
        const int at = lane % 16, channel = at / 4;
        picks[k][lane] = at % 4 == 0 && channel < 3 ? static_cast<std::int8_t>(3 * k + channel) : std::int8_t{-128};
      }
  }

  [[gnu::target("avx2")]] void operator()(const std::uint8_t* bytes, float* values, float* sums) const {
    switch (across.span) {
      case 2: return sum<2>(bytes, values, sums);
      case 3: return sum<3>(bytes, values, sums);
      case 4: return sum<4>(bytes, values, sums);
      default: return sum<0>(bytes, values, sums);
    }
  }

  // The bytes the later cells read are turned into floats once the loaded pairs are
  // summed, so that the row is read from its start to its end: reading its end first
  // cost a wait on memory for each row.
  template <int Span>
  [[gnu::target("avx2")]] void sum(const std::uint8_t* bytes, float* values, float* sums) const {
    const std::size_t cells = across.first.size();
    const int span = Span > 0 ? Span : across.span;
    const float* weight = pairWeights.data();
    std::size_t d = 0;
    if constexpr (Span > 0) {
      __m256i pick[Span];
      for (int k = 0; k < Span; ++k) pick[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(picks[k]));
      for (std::size_t pair = 0; pair < loadedPairs; ++pair, d += 2, sums += 6) {
        const __m256i both = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(bytes + 3 * static_cast<std::ptrdiff_t>(across.first[d + 1])),
                                                 reinterpret_cast<const __m128i*>(bytes + 3 * static_cast<std::ptrdiff_t>(across.first[d])));
        __m256 sum = _mm256_setzero_ps();
        for (int k = 0; k < Span; ++k, weight += 8)
          sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_shuffle_epi8(both, pick[k])), _mm256_loadu_ps(weight)));
        // The second pixel's sums overwrite the unused fourth float of the first's.
        _mm_storeu_ps(sums, _mm256_castps256_ps128(sum));
        _mm_storeu_ps(sums + 3, _mm256_extractf128_ps(sum, 1));
      }
    }
    for (std::size_t i = tail; i < length; ++i) values[i] = static_cast<float>(bytes[i]);
    for (; d + 1 < cells; d += 2, sums += 6) {
      const float* a = values + static_cast<std::ptrdiff_t>(across.first[d]) * 3;
      const float* b = values + static_cast<std::ptrdiff_t>(across.first[d + 1]) * 3;
      __m256 sum = _mm256_setzero_ps();
      for (int k = 0; k < span; ++k, weight += 8)
        sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_loadu2_m128(b + 3 * k, a + 3 * k), _mm256_loadu_ps(weight)));
      _mm_storeu_ps(sums, _mm256_castps256_ps128(sum));
      _mm_storeu_ps(sums + 3, _mm256_extractf128_ps(sum, 1));
    }
    if (d < cells) {
      const float* pixel = values + static_cast<std::ptrdiff_t>(across.first[d]) * 3;
      const float* last = across.weights.data() + d * static_cast<std::size_t>(span);
      __m128 sum = _mm_setzero_ps();
      for (int k = 0; k < span; ++k) sum = _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(pixel + 3 * k), _mm_set1_ps(last[k])));
      _mm_storeu_ps(sums, sum);
    }
  }
};

__attribute__((target("avx2"))) void reduceWithAvx2(const cv::Mat& source, cv::Mat& reduced, const Cells& across,
                                                   const Cells& down) {
  reduceRows<3>(source, reduced, across, down, SumPairsAlongRow(across, static_cast<std::size_t>(source.cols) * 3));
}
#endif

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
#if defined(__x86_64__) && defined(__GNUC__)
  else if (__builtin_cpu_supports("avx2")) reduceWithAvx2(source, result, across, down);
#endif
  else reduce<3>(source, result, across, down);
  reduced = result;
}

}  // namespace corvale
