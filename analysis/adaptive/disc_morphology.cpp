#include "analysis/adaptive/disc_morphology.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace corvale {
namespace {

// Row dy of the disc, counted from its top, spans columns -half[dy] to half[dy] around
// its centre. OpenCV's elliptic element has one symmetric run on every row.
std::vector<int> discRows(int radius) {
  const int side = 2 * radius + 1;
  const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(side, side));
  std::vector<int> half(static_cast<std::size_t>(side));
  for (int row = 0; row < side; ++row) {
    const auto* in = disc.ptr<std::uint8_t>(row);
    const int first = static_cast<int>(std::find(in, in + side, 1) - in);
    half[static_cast<std::size_t>(row)] = radius - first;
    for (int x = 0; x < side; ++x)
      if ((in[x] != 0) != (std::abs(x - radius) <= radius - first))
        throw std::logic_error("disc morphology: the elliptic element is not one symmetric run per row");
  }
  return half;
}

// The row loops below are most of the work and compile to byte-wise vector maxima and
// minima: each is also built for AVX2, twice as wide, and the processor picks. Each
// works a whole row at a call, however many widths or rows of the disc that takes: a
// narrow image (a reduced copy, a piece of a sparse mask) otherwise spends its time on
// the calls and on the stretch left over beyond the vectors.
template <bool Largest>
[[gnu::always_inline]] inline std::uint8_t extremeOf(std::uint8_t a, std::uint8_t b) {
  return Largest ? std::max(a, b) : std::min(a, b);
}

// A source row's extremes over runs of 2w + 1 pixels, w = 1 to `widths` - 1, each
// from the one before, into `level` + w * `stride`; `padded` holds the row with
// `widths` - 1 pixels of the neutral value either side.
template <bool Largest>
[[gnu::always_inline]] inline void runExtremes(const std::uint8_t* padded, std::uint8_t* level, int widths, std::size_t stride,
                                               int cols) {
  const int reach = widths - 1;
  for (int w = 1; w < widths; ++w) {
    const std::uint8_t* below = level + static_cast<std::size_t>(w - 1) * stride;
    std::uint8_t* here = level + static_cast<std::size_t>(w) * stride;
    const std::uint8_t* left = padded + reach - w;
    const std::uint8_t* right = padded + reach + w;
    for (int x = 0; x < cols; ++x) here[x] = extremeOf<Largest>(below[x], extremeOf<Largest>(left[x], right[x]));
  }
}

// The extreme over `count` rows, each in `rows`, into `out`.
template <bool Largest>
[[gnu::always_inline]] inline void rowsExtreme(const std::uint8_t* const* rows, int count, std::uint8_t* out, int cols) {
  std::copy(rows[0], rows[0] + cols, out);
  for (int k = 1; k < count; ++k) {
    const std::uint8_t* row = rows[k];
    for (int x = 0; x < cols; ++x) out[x] = extremeOf<Largest>(out[x], row[x]);
  }
}

[[gnu::target_clones("avx2", "default")]] void largerRuns(const std::uint8_t* padded, std::uint8_t* level, int widths, std::size_t stride,
                                                          int cols) {
  runExtremes<true>(padded, level, widths, stride, cols);
}
[[gnu::target_clones("avx2", "default")]] void smallerRuns(const std::uint8_t* padded, std::uint8_t* level, int widths, std::size_t stride,
                                                           int cols) {
  runExtremes<false>(padded, level, widths, stride, cols);
}
[[gnu::target_clones("avx2", "default")]] void largerOfRows(const std::uint8_t* const* rows, int count, std::uint8_t* out, int cols) {
  rowsExtreme<true>(rows, count, out, cols);
}
[[gnu::target_clones("avx2", "default")]] void smallerOfRows(const std::uint8_t* const* rows, int count, std::uint8_t* out, int cols) {
  rowsExtreme<false>(rows, count, out, cols);
}
[[gnu::target_clones("avx2", "default")]] void largerOfTwo(const std::uint8_t* a, std::uint8_t* out, int count) {
  for (int x = 0; x < count; ++x) out[x] = std::max(out[x], a[x]);
}

struct Larger {
  static constexpr std::uint8_t outside = 0;  // takes no part in a maximum
  static void runs(const std::uint8_t* padded, std::uint8_t* level, int widths, std::size_t stride, int cols) {
    largerRuns(padded, level, widths, stride, cols);
  }
  static void ofRows(const std::uint8_t* const* rows, int count, std::uint8_t* out, int cols) { largerOfRows(rows, count, out, cols); }
};

struct Smaller {
  static constexpr std::uint8_t outside = 255;  // takes no part in a minimum
  static void runs(const std::uint8_t* padded, std::uint8_t* level, int widths, std::size_t stride, int cols) {
    smallerRuns(padded, level, widths, stride, cols);
  }
  static void ofRows(const std::uint8_t* const* rows, int count, std::uint8_t* out, int cols) { smallerOfRows(rows, count, out, cols); }
};

// The disc's extreme at every pixel: first, along each source row, the extreme over
// every run width the disc has (each width from the one below with two comparisons per
// pixel); then, for each result row, the extreme over the disc's rows of the source
// rows they fall on, each at its own width. Source rows are kept in a ring of the
// disc's height.
template <typename Pick>
void morphDisc(const cv::Mat& source, cv::Mat& result, int radius) {
  if (source.type() != CV_8UC1) throw std::invalid_argument("disc morphology: the image must be CV_8UC1");
  if (radius < 0) throw std::invalid_argument("disc morphology: the radius must not be negative");
  cv::Mat out(source.size(), CV_8UC1);
  const std::vector<int> half = discRows(radius);
  const int widths = radius + 1, side = 2 * radius + 1, cols = source.cols;
  // The rows are worked out to a whole number of the widest vectors, the pixels beyond
  // the image taking the neutral value: on a narrow image the stretch left over beyond
  // the vectors, pixel by pixel, took longer than the rest.
  const int span = (cols + 31) / 32 * 32;
  const auto rowSize = static_cast<std::size_t>(span);
  // ring[(row % side) * widths + w]: source row `row`'s extremes over runs of 2w + 1.
  std::vector<std::uint8_t> ring(static_cast<std::size_t>(side * widths) * rowSize);
  std::vector<std::uint8_t> padded(rowSize + 2 * static_cast<std::size_t>(radius), Pick::outside), line(rowSize);
  const auto extremes = [&](int row) {
    std::uint8_t* level = ring.data() + static_cast<std::size_t>((row % side) * widths) * rowSize;
    const auto* in = source.ptr<std::uint8_t>(row);
    std::copy(in, in + cols, padded.begin() + radius);
    std::copy(padded.begin() + radius, padded.begin() + radius + span, level);
    Pick::runs(padded.data(), level, widths, rowSize, span);
  };
  std::vector<const std::uint8_t*> rows(static_cast<std::size_t>(side));
  for (int row = 0; row < std::min(radius, source.rows); ++row) extremes(row);
  for (int y = 0; y < source.rows; ++y) {
    if (y + radius < source.rows) extremes(y + radius);
    int count = 0;
    for (int dy = -radius; dy <= radius; ++dy) {
      const int row = y + dy;
      if (row < 0 || row >= source.rows) continue;
      const int w = half[static_cast<std::size_t>(dy + radius)];
      rows[static_cast<std::size_t>(count++)] = ring.data() + static_cast<std::size_t>((row % side) * widths + w) * rowSize;
    }
    Pick::ofRows(rows.data(), count, line.data(), span);
    std::copy(line.begin(), line.begin() + cols, out.ptr<std::uint8_t>(y));
  }
  out.copyTo(result);
}

// Works `operation` (a function of a source and a result) on a sparse mask piece by
// piece. Where `operation` leaves nought wherever the image is nought within `support`,
// and reads the image no farther than `dependency` from a pixel, only the pixels within
// `support` of set ones need working out, each from what lies within `dependency` of
// it: in strips of rows, the stretches of columns within `support` of set pixels, each
// with `dependency` of the image around it (nearer an edge of the piece than that it
// would differ). Returns false, having done nothing, where the pieces would cover more
// than half the image: there working on the whole is quicker.
template <typename Operation>
bool bySparsePieces(const cv::Mat& source, cv::Mat& result, int support, int dependency, Operation operation) {
  if (source.type() != CV_8UC1) throw std::invalid_argument("disc morphology: the image must be CV_8UC1");
  constexpr int stripRows = 64;
  const int rows = source.rows, cols = source.cols;
  std::vector<std::pair<cv::Rect, cv::Rect>> pieces;  // what is worked on, and what of it is kept
  std::int64_t area = 0;
  std::vector<std::uint8_t> occupied(static_cast<std::size_t>(cols));
  for (int top = 0; top < rows; top += stripRows) {
    const int bottom = std::min(rows, top + stripRows);
    std::fill(occupied.begin(), occupied.end(), 0);
    for (int y = std::max(0, top - support); y < std::min(rows, bottom + support); ++y)
      largerOfTwo(source.ptr<std::uint8_t>(y), occupied.data(), cols);
    for (int x = 0; x < cols;) {
      if (occupied[static_cast<std::size_t>(x)] == 0) {
        ++x;
        continue;
      }
      // Set columns whose pieces would overlap share one.
      int lastSet = x;
      for (int next = x + 1; next < cols && next - lastSet <= 2 * (support + dependency); ++next)
        if (occupied[static_cast<std::size_t>(next)] != 0) lastSet = next;
      const int from = std::max(0, x - support), to = std::min(cols, lastSet + 1 + support);
      const cv::Rect kept(from, top, to - from, bottom - top);
      const cv::Rect worked = (kept + cv::Size(2 * dependency, 2 * dependency) - cv::Point(dependency, dependency)) & cv::Rect(0, 0, cols, rows);
      pieces.emplace_back(worked, kept);
      area += worked.area();
      x = lastSet + 1;
    }
  }
  if (2 * area > static_cast<std::int64_t>(rows) * cols) return false;
  cv::Mat done = cv::Mat::zeros(source.size(), CV_8UC1), piece;
  for (const auto& [worked, kept] : pieces) {
    operation(source(worked), piece);
    piece(kept - worked.tl()).copyTo(done(kept));
  }
  if (result.size() == source.size() && result.type() == CV_8UC1) done.copyTo(result);
  else result = done;
  return true;
}

}  // namespace

// Dilation leaves nought beyond the radius from set pixels; opening, beyond the set
// pixels themselves, reading twice the radius around.
void dilateDisc(const cv::Mat& source, cv::Mat& result, int radius) {
  const auto dilate = [radius](const cv::Mat& in, cv::Mat& out) { morphDisc<Larger>(in, out, radius); };
  if (radius < 0 || !bySparsePieces(source, result, radius, radius, dilate)) dilate(source, result);
}

void erodeDisc(const cv::Mat& source, cv::Mat& result, int radius) { morphDisc<Smaller>(source, result, radius); }

void openDisc(const cv::Mat& source, cv::Mat& result, int radius) {
  const auto open = [radius](const cv::Mat& in, cv::Mat& out) {
    morphDisc<Smaller>(in, out, radius);
    morphDisc<Larger>(out, out, radius);
  };
  if (radius < 0 || !bySparsePieces(source, result, 0, 2 * radius, open)) open(source, result);
}

void closeDisc(const cv::Mat& source, cv::Mat& result, int radius) {
  dilateDisc(source, result, radius);
  erodeDisc(result, result, radius);
}

}  // namespace corvale
