// The analysis of whole photographs, next to the image input and output it cannot avoid.
//   build/bin/analysis_bench
// io/12MP decodes one 12-megapixel JPEG and encodes and writes three; analysis/12MP is the
// whole analysis of that photograph with its three images written, adaptive/12MP the same
// with the adaptive method. plates/fixed and plates/adaptive analyse the seven shared
// plate photographs (one iteration: all seven), images written; plates/both does both in
// turn and reports their ratio. batch/jobs:N analyses a folder of 20
// photographs with N workers.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/dish_analysis.hpp"
#include "analysis/image_outputs.hpp"
#include "analysis/io/image_files.hpp"
#include "bench_plates.hpp"
#include "cli/batch.hpp"
#include "cli/machine.hpp"

namespace {

using namespace corvale;

const std::string& photographPath() {
  static const std::string path = [] {
    const auto file = bench::benchFolder("corvale-bench") / "plate-12mp.jpg";
    cv::imwrite(file.string(), bench::platePhotograph(4000, 3000, 300, 1));
    return file.string();
  }();
  return path;
}

// Decoding the photograph and encoding and writing the three images the analysis
// writes (the thresholded photograph is made beforehand: only its encoding counts).
void io(benchmark::State& state) {
  cv::setNumThreads(1);
  const auto out = bench::benchFolder("corvale-bench-out");
  cv::Mat thresholded;
  cv::threshold(cv::imread(photographPath(), cv::IMREAD_UNCHANGED), thresholded, 100, 200, cv::THRESH_BINARY);
  for (auto _ : state) {
    const cv::Mat photo = cv::imread(photographPath(), cv::IMREAD_UNCHANGED);
    writeJpeg(out / "threshold.jpg", thresholded);
    writeJpeg(out / "centroid.jpg", photo);
    writeJpeg(out / "bb.jpg", photo);
  }
}

void analysis(benchmark::State& state) {
  cv::setNumThreads(1);
  const ImageOutputs outputs{true, bench::benchFolder("corvale-bench-out"), ""};
  AnalysisBuffers buffers;
  AnalysisSettings settings;
  photographPath();
  for (auto _ : state) {
    DishAnalysis result = analysePhotographFile(photographPath(), CountingMethod::fixed, settings, {}, &buffers);
    writeAnalysisImages(result, outputs);
    if (!result.ok()) state.SkipWithError(result.error->c_str());
    state.counters["colonies"] = result.statistics ? result.statistics->colonyCount : 0;
  }
}

// The adaptive method on the same photograph, images written as well.
void adaptive(benchmark::State& state) {
  cv::setNumThreads(1);
  const ImageOutputs outputs{true, bench::benchFolder("corvale-bench-out"), ""};
  photographPath();
  for (auto _ : state) {
    DishAnalysis result = analysePhotographFile(photographPath(), CountingMethod::adaptive, AnalysisSettings{});
    writeAnalysisImages(result, outputs);
    if (!result.ok()) state.SkipWithError(result.error->c_str());
    state.counters["colonies"] = result.statistics ? result.statistics->colonyCount : 0;
  }
}

// The seven photographed plates beside the repository, sorted; empty where they are not all there.
std::vector<std::string> sevenPlates() {
  const std::filesystem::path folder = std::filesystem::path(CORVALE_SOURCE_DIR) / "../shared/data/dishes/makrai_adbc";
  std::vector<std::string> photographs;
  if (std::filesystem::is_directory(folder))
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.path().extension() == ".jpg") photographs.push_back(entry.path().string());
  std::sort(photographs.begin(), photographs.end());
  if (photographs.size() != 7) photographs.clear();
  return photographs;
}

// One photograph analysed and its images written; false (and the benchmark stopped) on an error.
bool analyseAndWrite(benchmark::State& state, const std::string& photograph, CountingMethod method, AnalysisBuffers& buffers) {
  static const ImageOutputs outputs{true, bench::benchFolder("corvale-bench-out"), ""};
  DishAnalysis result = analysePhotographFile(photograph, method, AnalysisSettings{}, {}, &buffers);
  writeAnalysisImages(result, outputs);
  if (!result.ok()) state.SkipWithError(result.error->c_str());
  return result.ok();
}

// The seven plates with either method.
void plates(benchmark::State& state, CountingMethod method) {
  cv::setNumThreads(1);
  const std::vector<std::string> photographs = sevenPlates();
  if (photographs.empty()) return state.SkipWithError("the seven plates are not in ../shared/data/dishes/makrai_adbc");
  AnalysisBuffers buffers;
  for (auto _ : state)
    for (const std::string& photograph : photographs)
      if (!analyseAndWrite(state, photograph, method, buffers)) return;
}

// The seven plates with both methods in turn, all seven with one and then all seven with
// the other, so that whatever else the machine is doing slows both alike: on a shared
// machine the two separate benchmarks above can differ by a fifth from run to run. The
// counters are the milliseconds per pass over the seven with each method and their
// ratio; "best" sums each plate's quickest time with each method instead, which leaves
// out the passes another process slowed.
void platesBoth(benchmark::State& state) {
  cv::setNumThreads(1);
  const std::vector<std::string> photographs = sevenPlates();
  if (photographs.empty()) return state.SkipWithError("the seven plates are not in ../shared/data/dishes/makrai_adbc");
  AnalysisBuffers buffers;
  using Clock = std::chrono::steady_clock;
  const auto timed = [&](const std::string& photograph, CountingMethod method, double& total, double& best) {
    const Clock::time_point start = Clock::now();
    const bool ok = analyseAndWrite(state, photograph, method, buffers);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    total += ms;
    best = std::min(best, ms);
    return ok;
  };
  double fixedTotal = 0.0, adaptiveTotal = 0.0;
  std::vector<double> fixedBest(photographs.size(), INFINITY), adaptiveBest(photographs.size(), INFINITY);
  for (auto _ : state) {
    for (std::size_t i = 0; i < photographs.size(); ++i)
      if (!timed(photographs[i], CountingMethod::fixed, fixedTotal, fixedBest[i])) return;
    for (std::size_t i = 0; i < photographs.size(); ++i)
      if (!timed(photographs[i], CountingMethod::adaptive, adaptiveTotal, adaptiveBest[i])) return;
  }
  const auto passes = static_cast<double>(state.iterations());
  const double fixedBestSum = std::accumulate(fixedBest.begin(), fixedBest.end(), 0.0);
  const double adaptiveBestSum = std::accumulate(adaptiveBest.begin(), adaptiveBest.end(), 0.0);
  state.counters["fixed_ms"] = fixedTotal / passes;
  state.counters["adaptive_ms"] = adaptiveTotal / passes;
  state.counters["adaptive/fixed"] = adaptiveTotal / fixedTotal;
  state.counters["best_adaptive/fixed"] = adaptiveBestSum / fixedBestSum;
}

void batch(benchmark::State& state) {
  cv::setNumThreads(1);
  const auto folder = bench::benchFolder("corvale-bench-batch");
  std::vector<std::string> photographs;
  for (int i = 0; i < 20; ++i) {
    const auto file = folder / ("plate-" + std::to_string(100 + i) + ".jpg");
    if (!std::filesystem::exists(file)) cv::imwrite(file.string(), bench::platePhotograph(2000, 1500, 80, 100 + i));
    photographs.push_back(file.string());
  }
  std::vector<BatchItem> items = collectBatch(photographs);
  BatchOptions options;
  options.outputFolder = bench::benchFolder("corvale-bench-out");
  assignOutputNames(items, options);
  options.jobs = static_cast<unsigned>(state.range(0));
  for (auto _ : state) runBatch(items, options, [](std::size_t, const DishAnalysis&) {});
  state.counters["photographs/s"] = benchmark::Counter(20.0 * static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate);
}

BENCHMARK(io)->Name("io/12MP")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(analysis)->Name("analysis/12MP")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(adaptive)->Name("adaptive/12MP")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK_CAPTURE(plates, fixed, CountingMethod::fixed)->Name("plates/fixed")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);
BENCHMARK_CAPTURE(plates, adaptive, CountingMethod::adaptive)->Name("plates/adaptive")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);
BENCHMARK(platesBoth)->Name("plates/both")->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(10);
BENCHMARK(batch)->Name("batch")->ArgName("jobs")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

}  // namespace

// Both methods run with the allocator set as corvale-cli sets it.
int main(int argc, char** argv) {
  corvale::reuseLargeAllocations();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
