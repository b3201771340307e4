#include "analysis/adaptive/chamfer_distance.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace corvale {
namespace {

// The steps in 1/65536 of a pixel, rounded from single precision as OpenCV rounds them.
constexpr int shift = 16;
const int straight = cvRound(1.0f * (1 << shift));
const int diagonal = cvRound(1.4f * (1 << shift));
const int knight = cvRound(2.1969f * (1 << shift));
constexpr int far = INT_MAX >> 2;  // beyond the frame, and what is not reached yet
constexpr int widest = 24000;      // pixels: far + widest * straight stays below INT_MAX

// The step along a row, t[x] = min(best[x], t[x - 1] + straight), unrolled, is the least
// of best[k] + (x - k) * straight over k <= x: with best[k] - k * straight given, a running
// minimum, where the step took two operations in a chain for every pixel. Going up, the
// same from the row's end.
struct RunningMinimum {
  static void forward(int* values, int count, int before) {
    for (int x = 0; x < count; ++x) values[x] = before = std::min(before, values[x]);
  }
  static void backward(int* values, int count, int after) {
    for (int x = count - 1; x >= 0; --x) values[x] = after = std::min(after, values[x]);
  }
};

#if defined(__x86_64__) && defined(__GNUC__)
// Eight at a time: within a vector, the least of each lane and those before it (after
// it, going up) in three shifts, then the least carried from the vectors before.
struct RunningMinimumAvx2 {
  [[gnu::target("avx2")]] static void forward(int* values, int count, int before) {
    const __m256i none = _mm256_set1_epi32(INT_MAX);
    const __m256i by1 = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6), by2 = _mm256_setr_epi32(0, 0, 0, 1, 2, 3, 4, 5);
    const __m256i by4 = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 3), last = _mm256_set1_epi32(7);
    __m256i carry = _mm256_set1_epi32(before);
    int x = 0;
    for (; x + 8 <= count; x += 8) {
      __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + x));
      v = _mm256_min_epi32(v, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, by1), none, 0x01));
      v = _mm256_min_epi32(v, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, by2), none, 0x03));
      v = _mm256_min_epi32(v, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, by4), none, 0x0f));
      v = _mm256_min_epi32(v, carry);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(values + x), v);
      carry = _mm256_permutevar8x32_epi32(v, last);
    }
    RunningMinimum::forward(values + x, count - x, _mm256_cvtsi256_si32(carry));
  }
  [[gnu::target("avx2")]] static void backward(int* values, int count, int after) {
    const __m256i none = _mm256_set1_epi32(INT_MAX);
    const __m256i by1 = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7), by2 = _mm256_setr_epi32(2, 3, 4, 5, 6, 7, 7, 7);
    const __m256i by4 = _mm256_setr_epi32(4, 5, 6, 7, 7, 7, 7, 7), first = _mm256_setzero_si256();
    __m256i carry = _mm256_set1_epi32(after);
    int x = count;
    for (; x >= 8; x -= 8) {
      __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + x - 8));
      v = _mm256_min_epi32(v, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, by1), none, 0x80));
      v = _mm256_min_epi32(v, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, by2), none, 0xc0));
      v = _mm256_min_epi32(v, _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, by4), none, 0xf0));
      v = _mm256_min_epi32(v, carry);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(values + x - 8), v);
      carry = _mm256_permutevar8x32_epi32(v, first);
    }
    RunningMinimum::backward(values, x, _mm256_cvtsi256_si32(carry));
  }
};
#endif

// Two passes, each pixel the least of its neighbours' distances plus the step to each:
// down the image from above and the left, then up from below and the right. Within a
// row the neighbours in the rows already passed are taken for every pixel first (a loop
// the compiler builds for vectors); the step along the row follows. Every sum and
// minimum is OpenCV's, in whole numbers, so the order they are taken in changes nothing.
// Going down, what no step reaches stays at `far`, as in OpenCV.
// The rows a pass reads are kept in a ring of three with two columns of `far` at either
// end (`far` stands for the rows beyond the frame too); the distances going down are
// kept in `distance`'s own rows until the pass up replaces them, so that no copy of
// the whole map is needed beside it.
template <typename Running>
[[gnu::always_inline]] inline void chamfer(const cv::Mat& mask, cv::Mat& distance) {
  const int cols = mask.cols, rows = mask.rows;
  const auto width = static_cast<std::size_t>(cols), stride = width + 4;
  std::vector<int> ring(3 * stride, far), nearest(width), down(width);
  const auto rowOf = [&](int y) { return ring.data() + static_cast<std::size_t>(y % 3) * stride + 2; };
  int* const best = nearest.data();

  for (int y = 0; y < rows; ++y) {
    int* const t = rowOf(y);
    const int *above = rowOf(y + 2), *above2 = rowOf(y + 1);  // rows y - 1 and y - 2
    const std::uint8_t* const inside = mask.ptr<std::uint8_t>(y);
    for (int x = 0; x < cols; ++x) {
      int d = std::min(above2[x - 1] + knight, above2[x + 1] + knight);
      d = std::min(d, above[x - 2] + knight);
      d = std::min(d, above[x - 1] + diagonal);
      d = std::min(d, above[x] + straight);
      d = std::min(d, above[x + 1] + diagonal);
      d = std::min(d, above[x + 2] + knight);
      best[x] = (inside[x] != 0 ? std::min(d, far) : 0) - x * straight;
    }
    Running::forward(best, cols, far + straight);
    for (int x = 0; x < cols; ++x) t[x] = best[x] + x * straight;
    std::memcpy(distance.ptr<float>(y), t, width * sizeof(int));
  }

  std::fill(ring.begin(), ring.end(), far);
  constexpr float scale = 1.0f / (1 << shift);
  for (int y = rows - 1; y >= 0; --y) {
    int* const t = rowOf(y);
    const int *below = rowOf(y + 1), *below2 = rowOf(y + 2);
    float* const out = distance.ptr<float>(y);
    std::memcpy(down.data(), out, width * sizeof(int));
    for (int x = 0; x < cols; ++x) {
      int d = std::min(below2[x + 1] + knight, below2[x - 1] + knight);
      d = std::min(d, below[x + 2] + knight);
      d = std::min(d, below[x + 1] + diagonal);
      d = std::min(d, below[x] + straight);
      d = std::min(d, below[x - 1] + diagonal);
      d = std::min(d, below[x - 2] + knight);
      best[x] = std::min(down[static_cast<std::size_t>(x)], d) + x * straight;
    }
    Running::backward(best, cols, far + cols * straight);
    for (int x = 0; x < cols; ++x) t[x] = best[x] - x * straight;
    for (int x = 0; x < cols; ++x) out[x] = static_cast<float>(t[x]) * scale;
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void chamferWithAvx2(const cv::Mat& mask, cv::Mat& distance) {
  chamfer<RunningMinimumAvx2>(mask, distance);
}
#endif

}  // namespace

void chamferDistance(const cv::Mat& mask, cv::Mat& distance) {
  if (mask.type() != CV_8UC1 || mask.empty()) throw std::invalid_argument("chamferDistance: a CV_8UC1 mask is needed");
  // Offsets of a step per pixel along a row stay within whole numbers up to this width.
  if (mask.cols > widest) return cv::distanceTransform(mask, distance, cv::DIST_L2, cv::DIST_MASK_5);
  distance.create(mask.size(), CV_32FC1);
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx2")) chamferWithAvx2(mask, distance);
  else
#endif
    chamfer<RunningMinimum>(mask, distance);
}

}  // namespace corvale
