// labelBlobs against OpenCV's connected components on 12-megapixel masks, single thread.
//   build/bin/labeling_bench
// Compare each ours/<mask> with opencv_labels/<mask> and opencv_stats/<mask> of the same run.

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "bench_masks.hpp"
#include "blobs/labeling.hpp"

namespace {

using corvale::bench::dishLikeMask;
using corvale::bench::randomMask;

const cv::Mat& maskFor(int kind) {
  static const cv::Mat masks[] = {dishLikeMask(), randomMask(0.1), randomMask(0.5), randomMask(0.9)};
  return masks[kind];
}

void setLabel(benchmark::State& state) {
  static const char* names[] = {"dish", "random10", "random50", "random90"};
  state.SetLabel(names[state.range(0)]);
}

void ours(benchmark::State& state) {
  const cv::Mat& mask = maskFor(static_cast<int>(state.range(0)));
  corvale::LabelImage labels(mask.size(), CV_32SC1);
  corvale::BlobTable blobs;
  for (auto _ : state) {
    benchmark::DoNotOptimize(corvale::labelBlobs(mask, labels, blobs));
    state.PauseTiming();
    corvale::releaseBlobs(blobs);
    state.ResumeTiming();
  }
  setLabel(state);
}

// The floor that the blob table sets: one allocated record and one ordered-map
// entry per region, as many as the mask has, with nothing computed.
void tableOnly(benchmark::State& state) {
  const cv::Mat& mask = maskFor(static_cast<int>(state.range(0)));
  corvale::LabelImage labels(mask.size(), CV_32SC1);
  corvale::BlobTable blobs;
  corvale::labelBlobs(mask, labels, blobs);
  const auto count = static_cast<std::uint32_t>(blobs.size());
  corvale::releaseBlobs(blobs);
  for (auto _ : state) {
    for (std::uint32_t label = 1; label <= count; ++label) blobs.emplace_hint(blobs.end(), label, new corvale::Blob);
    state.PauseTiming();
    corvale::releaseBlobs(blobs);
    state.ResumeTiming();
  }
  setLabel(state);
}

void opencvLabels(benchmark::State& state) {
  cv::setNumThreads(1);
  const cv::Mat& mask = maskFor(static_cast<int>(state.range(0)));
  cv::Mat labels;
  for (auto _ : state) benchmark::DoNotOptimize(cv::connectedComponents(mask, labels, 4, CV_32S, cv::CCL_DEFAULT));
  setLabel(state);
}

void opencvStats(benchmark::State& state) {
  cv::setNumThreads(1);
  const cv::Mat& mask = maskFor(static_cast<int>(state.range(0)));
  cv::Mat labels, stats, centroids;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        cv::connectedComponentsWithStats(mask, labels, stats, centroids, 4, CV_32S, cv::CCL_DEFAULT));
  setLabel(state);
}

BENCHMARK(ours)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(tableOnly)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(opencvLabels)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(opencvStats)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
