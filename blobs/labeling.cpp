#include "blobs/labeling.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blobs/format_error.hpp"

namespace corvale {
namespace {

// A horizontal run of foreground pixels [start, end) in one row, with the
// provisional label that the run belongs to.
struct Run {
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t label;
};

// The sums of x, y, x*y, x^2 and y^2 are whole numbers. 64 bits are not enough for
// every image OpenCV can hold (a fully set 540000 x 185 mask passes 2^63 in m20);
// 128 bits are: at most 2^62 pixels times coordinates below 2^31 squared.
using MomentSum = unsigned __int128;

// What a provisional region has gathered: its area, box and raw moments.
struct RegionSums {
  std::uint32_t area;
  std::uint32_t minX, maxX, minY, maxY;
  MomentSum m10, m01, m11, m20, m02;
};

// Working memory of one call, kept per thread so that a batch of photographs
// reuses it instead of allocating afresh for every image.
struct Scratch {
  std::vector<Run> runs;                 // every run of the mask, row by row
  std::vector<std::size_t> rowBegin;     // index of each row's first run; one extra at the end
  std::vector<RegionSums> sums;          // by provisional label (entry 0 unused)
  std::vector<std::uint32_t> parent;     // union-find parent by provisional label
  std::vector<std::uint32_t> rank;       // union-find rank by provisional label
};

// Every region started counts, before pieces that meet further down are joined: the
// scan stops as soon as the count passes the limit, before the memory of the regions
// (about 300 bytes each with their records) runs away. On the sample plates a region
// starts once per 380 pixels or less often.
struct TooManyRegions : std::runtime_error {
  explicit TooManyRegions(std::uint64_t limit)
      : std::runtime_error("the image breaks up into too many pieces to be a plate photograph (more than " +
                           std::to_string(limit) + ", one per " + std::to_string(pixelsPerRegion) + " pixels)") {}
};

std::uint32_t findLabelRoot(std::vector<std::uint32_t>& parent, std::uint32_t label) {
  std::uint32_t root = label;
  while (parent[root] != root) root = parent[root];
  while (parent[label] != root) {
    const std::uint32_t next = parent[label];
    parent[label] = root;
    label = next;
  }
  return root;
}

// Joins the region of the upper neighbour with the region of the left one. The
// root with the larger rank stays root; on equal ranks the upper one does.
void uniteLabels(Scratch& s, std::uint32_t upper, std::uint32_t left) {
  const std::uint32_t a = findLabelRoot(s.parent, upper);
  const std::uint32_t b = findLabelRoot(s.parent, left);
  if (a == b) return;
  if (s.rank[a] > s.rank[b]) {
    s.parent[b] = a;
  } else if (s.rank[a] < s.rank[b]) {
    s.parent[a] = b;
  } else {
    s.parent[b] = a;
    ++s.rank[a];
  }
}

// Appends the runs of nonzero bytes of one mask row to `runs` (label left 0).
void findRuns(const std::uint8_t* row, std::uint32_t width, std::vector<Run>& runs) {
  bool inRun = false;
  std::uint32_t start = 0;
  std::uint32_t x = 0;
#if defined(__SSE2__)
  // Sixteen pixels at a time: a bit per nonzero byte, then one step per edge.
  const __m128i zero = _mm_setzero_si128();
  for (; x + 16 <= width; x += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const unsigned set = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))) & 0xFFFFu;
    unsigned edges = (set ^ ((set << 1) | (inRun ? 1u : 0u))) & 0xFFFFu;
    while (edges != 0) {
      const std::uint32_t at = x + static_cast<std::uint32_t>(std::countr_zero(edges));
      if (inRun) {
        runs.push_back({start, at, 0});
      } else {
        start = at;
      }
      inRun = !inRun;
      edges &= edges - 1;
    }
  }
#endif
  for (; x < width; ++x) {
    const bool set = row[x] != 0;
    if (set != inRun) {
      if (inRun) {
        runs.push_back({start, x, 0});
      } else {
        start = x;
      }
      inRun = set;
    }
  }
  if (inRun) runs.push_back({start, width, 0});
}

// Adds the pixels [start, end) of row y; the sums of x and x^2 over the run are
// taken in closed form.
void addRun(RegionSums& sums, std::uint32_t start, std::uint32_t end, std::uint32_t y) {
  const MomentSum a = start;
  const MomentSum n = end - start;
  const MomentSum yy = y;
  const MomentSum sumX = (2 * a + n - 1) * n / 2;
  const MomentSum sumXX = n * a * a + a * n * (n - 1) + (n - 1) * n * (2 * n - 1) / 6;
  sums.area += static_cast<std::uint32_t>(n);
  sums.maxX = std::max(sums.maxX, end - 1);
  sums.maxY = y;
  sums.m10 += sumX;
  sums.m01 += yy * n;
  sums.m11 += yy * sumX;
  sums.m20 += sumXX;
  sums.m02 += yy * yy * n;
}

void mergeInto(RegionSums& root, const RegionSums& other) {
  root.area += other.area;
  root.minX = std::min(root.minX, other.minX);
  root.maxX = std::max(root.maxX, other.maxX);
  root.minY = std::min(root.minY, other.minY);
  root.maxY = std::max(root.maxY, other.maxY);
  root.m10 += other.m10;
  root.m01 += other.m01;
  root.m11 += other.m11;
  root.m20 += other.m20;
  root.m02 += other.m02;
}

// First pass: finds the runs of every row and gives each run a provisional label,
// uniting labels where a run touches runs of the row above. This is the pixel-by-pixel
// raster scan done a run at a time: within a run every pixel after the first has a
// left neighbour, so a new label can only start at a run whose first pixel has no
// upper neighbour, and each run above that the run touches is united with it in
// left-to-right order, the upper label taking the upper neighbour's side. Since the
// outcome of every union depends only on the roots involved, which label of a run
// stands for it does not matter.
// Returns the number of foreground pixels.
std::uint32_t scanRuns(const cv::Mat& mask, std::uint64_t maxRegions, Scratch& s) {
  const auto width = static_cast<std::uint32_t>(mask.cols);
  const auto height = static_cast<std::uint32_t>(mask.rows);
  std::uint32_t pixels = 0;
  s.runs.clear();
  s.rowBegin.assign(1, 0);
  s.parent.assign(1, 0);
  s.rank.assign(1, 0);
  s.sums.resize(1);

  for (std::uint32_t y = 0; y < height; ++y) {
    const std::size_t rowStart = s.runs.size();
    findRuns(mask.ptr<std::uint8_t>(static_cast<int>(y)), width, s.runs);
    const std::size_t rowEnd = s.runs.size();
    const std::size_t upperEnd = rowStart;
    std::size_t upper = y == 0 ? rowStart : s.rowBegin[y - 1];

    for (std::size_t r = rowStart; r < rowEnd; ++r) {
      Run& run = s.runs[r];
      pixels += run.end - run.start;
      while (upper < upperEnd && s.runs[upper].end <= run.start) ++upper;

      std::size_t touching = upper;
      std::uint32_t label;
      if (touching < upperEnd && s.runs[touching].start <= run.start) {
        label = s.runs[touching].label;  // the first pixel joins its upper neighbour
        ++touching;
      } else {
        if (s.parent.size() > maxRegions) throw TooManyRegions(maxRegions);
        label = static_cast<std::uint32_t>(s.parent.size());
        s.sums.push_back({0, run.start, run.start, y, y, 0, 0, 0, 0, 0});
        s.parent.push_back(label);
        s.rank.push_back(0);
      }
      for (; touching < upperEnd && s.runs[touching].start < run.end; ++touching) {
        uniteLabels(s, s.runs[touching].label, label);
      }
      run.label = label;
      addRun(s.sums[label], run.start, run.end, y);
    }
    s.rowBegin.push_back(rowEnd);
  }
  return pixels;
}

}  // namespace

std::uint64_t maxRegionCount(std::uint64_t pixels) { return std::max<std::uint64_t>(minRegionLimit, pixels / pixelsPerRegion); }

std::uint32_t labelBlobs(const cv::Mat& mask, LabelImage& labelImage, BlobTable& blobs) {
  if (mask.depth() != CV_8U || mask.channels() != 1) {
    raiseFormatError("Error: Input image format.");
  }
  // A label image smaller than the mask would be written out of bounds: refuse it
  // like one of the wrong type.
  if (labelImage.depth() != CV_32S || labelImage.dims > 2 || labelImage.rows < mask.rows ||
      labelImage.cols * labelImage.channels() < mask.cols) {
    raiseFormatError("Error: Output image format.");
  }

  thread_local Scratch s;
  blobs.clear();
  const std::uint32_t pixels = scanRuns(mask, maxRegionCount(mask.total()), s);

  // Resolution: every provisional region hands its sums to its root. Path
  // compression leaves each parent entry pointing straight at the root, so the
  // parent array then maps every provisional label (and 0) to its region's label.
  const auto count = static_cast<std::uint32_t>(s.parent.size() - 1);
  for (std::uint32_t label = 1; label <= count; ++label) {
    const std::uint32_t root = findLabelRoot(s.parent, label);
    if (root != label) mergeInto(s.sums[root], s.sums[label]);
  }
  const std::vector<std::uint32_t>& lookup = s.parent;

  // Relabel: each row is cleared, then every run gets its region's label.
  if (labelImage.rows != mask.rows || labelImage.cols != mask.cols || labelImage.channels() != 1)
    labelImage.setTo(0);
  for (int y = 0; y < mask.rows; ++y) {
    auto* cells = labelImage.ptr<std::uint32_t>(y);
    std::memset(cells, 0, static_cast<std::size_t>(mask.cols) * sizeof(std::uint32_t));
    for (std::size_t r = s.rowBegin[y]; r < s.rowBegin[y + 1]; ++r) {
      const Run& run = s.runs[r];
      const std::uint32_t label = lookup[run.label];
      for (std::uint32_t x = run.start; x < run.end; ++x) cells[x] = label;
    }
  }

  // The table: one record per region, appended in ascending label order.
  for (std::uint32_t label = 1; label <= count; ++label) {
    if (lookup[label] != label) continue;
    const RegionSums& sums = s.sums[label];
    auto* blob = new Blob;
    blob->label = label;
    blob->area = sums.area;
    blob->minX = sums.minX;
    blob->maxX = sums.maxX;
    blob->minY = sums.minY;
    blob->maxY = sums.maxY;
    blob->m10 = static_cast<double>(sums.m10);
    blob->m01 = static_cast<double>(sums.m01);
    blob->m11 = static_cast<double>(sums.m11);
    blob->m20 = static_cast<double>(sums.m20);
    blob->m02 = static_cast<double>(sums.m02);
    blob->centroidX = blob->m10 / static_cast<double>(sums.area);
    blob->centroidY = blob->m01 / static_cast<double>(sums.area);
    blobs.emplace_hint(blobs.end(), label, blob);
  }
  return pixels;
}

}  // namespace corvale
