#include "cli/batch.hpp"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "analysis/io/image_files.hpp"
#include "analysis/review/corrections_file.hpp"

namespace corvale {

std::vector<BatchItem> collectBatch(const std::vector<std::string>& paths) {
  std::vector<BatchItem> items;
  for (const std::string& path : paths) {
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
      items.push_back({path, "", ""});
      continue;
    }
    try {
      for (const std::string& name : listJpgNames(path, true)) items.push_back({joinImagePath(path, name), "", ""});
    } catch (const std::filesystem::filesystem_error& failure) {
      items.push_back({path, "", std::string("the folder cannot be read: ") + failure.code().message()});
    }
  }
  if (items.size() > 1) {
    std::map<std::string, int> seen;
    for (BatchItem& item : items) {
      const std::string stem = std::filesystem::path(item.imagePath).stem().string();
      const int count = ++seen[stem];
      item.imagePrefix = count == 1 ? stem + "." : stem + "-" + std::to_string(count) + ".";
    }
  }
  return items;
}

void runBatch(const std::vector<BatchItem>& items, const BatchOptions& options,
              const std::function<void(std::size_t index, const DishAnalysis&)>& report) {
  std::vector<std::optional<DishAnalysis>> results(items.size());
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};

  const auto work = [&] {
    AnalysisBuffers buffers;  // reused for every photograph of this worker
    for (std::size_t index = next++; index < items.size(); index = next++) {
      const BatchItem& item = items[index];
      DishAnalysis result;
      if (item.failure.empty()) {
        const bool stageImages = options.method == CountingMethod::adaptive && !options.debugFolder.empty();
        const RunOptions run{options.limits, options.writeImages || stageImages};
        result = analysePhotographFile(item.imagePath, options.method, options.settings, run, &buffers);
        if (!options.correctionsFolder.empty()) applyCorrectionsFrom(options.correctionsFolder, result);
        StageOutputs stages;
        if (stageImages) {
          stages.folder = options.debugFolder;
          stages.prefix = item.imagePrefix.empty() ? std::filesystem::path(item.imagePath).stem().string() + "."
                                                   : item.imagePrefix;
        }
        writeAnalysisImages(result, ImageOutputs{options.writeImages, options.outputFolder, item.imagePrefix}, stages);
        // Nobody shows the images: free them now.
        result.photograph.release();
        result.stages.reset();
        result.annotatedImage.release();
      } else {
        result.imagePath = item.imagePath;
        result.error = item.failure;
      }
      std::lock_guard lock(mutex);
      results[index] = std::move(result);
      finished.notify_all();
    }
  };

  const unsigned workers = std::max(1u, std::min<unsigned>(options.jobs, static_cast<unsigned>(items.size())));
  std::vector<std::jthread> threads;
  for (unsigned i = 0; i < workers; ++i) threads.emplace_back(work);

  for (std::size_t index = 0; index < items.size(); ++index) {
    DishAnalysis result;
    {
      std::unique_lock lock(mutex);
      finished.wait(lock, [&] { return results[index].has_value(); });
      result = std::move(*results[index]);
      results[index].reset();
    }
    report(index, result);
  }
}

}  // namespace corvale
