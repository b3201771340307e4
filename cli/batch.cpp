#include "cli/batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "analysis/io/image_files.hpp"
#include "analysis/io/image_header.hpp"
#include "analysis/review/corrections_file.hpp"

namespace corvale {
namespace {

constexpr const auto& imageNames = outputImageNames;
constexpr const auto& stageNames = stageImageNames;

// Bytes of working memory per pixel of a photograph: the decoded photograph, the
// adaptive method's colour, Lab and stage images (or the fixed method's threshold and
// label images) and the three written images with their encoders. Measured at about
// 23 (adaptive) and 12 (fixed) bytes of peak resident memory per pixel on a
// 64-megapixel photograph.
constexpr std::uint64_t workingBytesPerPixel = 24;

// Where a folder entry is, independent of how the command line spells it.
std::filesystem::path entryKey(const std::filesystem::path& folder, const std::string& name) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(folder.empty() ? "." : folder, error);
  if (error) resolved = std::filesystem::absolute(folder, error).lexically_normal();
  return resolved / name;
}

struct FileIdentity {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identityOf(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

// A path that cannot even be looked up, in words; nothing for a path that exists or
// is simply absent (the reader says so).
std::optional<std::string> lookupProblem(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return std::nullopt;
  switch (errno) {
    case ENAMETOOLONG:
      return "the path is longer than the system allows (" + std::to_string(path.size()) +
             " bytes; at most 4095 in all and 255 for each name)";
    case ELOOP: return std::string("the path goes round a loop of symbolic links (or through too many of them)");
    case EACCES: return std::string("a folder on the path cannot be searched: permission denied");
    case ENOTDIR: return std::string("a part of the path that should be a folder is a file");
    default: return std::nullopt;
  }
}

// Waits until a photograph's estimated memory fits beside those already running.
class MemoryGate {
 public:
  explicit MemoryGate(std::uint64_t budget) : budget_(budget) {}
  // Takes `bytes` of the budget if they fit now.
  bool tryAcquire(std::uint64_t bytes) {
    if (budget_ == 0) return true;
    std::lock_guard lock(mutex_);
    if (!fits(bytes)) return false;
    used_ += bytes;
    return true;
  }
  void acquire(std::uint64_t bytes) {
    if (budget_ == 0) return;
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return fits(bytes); });
    used_ += bytes;
  }
  void release(std::uint64_t bytes) {
    if (budget_ == 0) return;
    std::lock_guard lock(mutex_);
    used_ -= bytes;
    released_.notify_all();
  }

 private:
  bool fits(std::uint64_t bytes) const { return used_ == 0 || used_ + bytes <= budget_; }

  std::uint64_t budget_;
  std::uint64_t used_ = 0;
  std::mutex mutex_;
  std::condition_variable released_;
};

}  // namespace

bool isOwnImageName(std::string_view name) {
  const auto matches = [&](std::string_view own) {
    return name == own || (name.size() > own.size() && name.ends_with(own) && name[name.size() - own.size() - 1] == '.');
  };
  return std::any_of(std::begin(imageNames), std::end(imageNames), matches) ||
         std::any_of(std::begin(stageNames), std::end(stageNames), matches);
}

std::vector<BatchItem> collectBatch(const std::vector<std::string>& paths) {
  std::vector<BatchItem> items;
  for (const std::string& path : paths) {
    if (const std::optional<std::string> problem = lookupProblem(path)) {
      items.push_back({path, "", "", *problem});
      continue;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
      items.push_back({path, "", "", ""});
      continue;
    }
    try {
      for (const std::string& name : listJpgNames(path, true))
        if (!isOwnImageName(name)) items.push_back({joinImagePath(path, name), "", "", ""});
    } catch (const std::filesystem::filesystem_error& failure) {
      items.push_back({path, "", "", std::string("the folder cannot be read: ") + failure.code().message()});
    }
  }
  return items;
}

void assignOutputNames(std::vector<BatchItem>& items, const BatchOptions& options) {
  const bool images = options.writeImages;
  const bool stages = options.method == CountingMethod::adaptive && !options.debugFolder.empty();
  if (!images && !stages) return;

  std::set<std::filesystem::path> taken;  // the inputs' and the outputs' folder entries
  std::set<FileIdentity> inputs;
  for (const BatchItem& item : items) {
    const std::filesystem::path path(item.imagePath);
    taken.insert(entryKey(path.parent_path(), path.filename().string()));
    if (const std::optional<FileIdentity> identity = identityOf(path)) inputs.insert(*identity);
  }
  const std::filesystem::path imageFolder = entryKey(options.outputFolder, "");
  const std::filesystem::path stageFolder = entryKey(options.debugFolder, "");

  // Every name of one photograph's outputs with these prefixes; empty when a
  // prefix is not used.
  const auto outputs = [&](const std::optional<std::string>& imagePrefix, const std::optional<std::string>& stagePrefix) {
    std::vector<std::filesystem::path> paths;
    if (images && imagePrefix)
      for (std::string_view name : imageNames) paths.push_back(imageFolder / (*imagePrefix + std::string(name)));
    if (stages && stagePrefix)
      for (std::string_view name : stageNames) paths.push_back(stageFolder / (*stagePrefix + std::string(name)));
    return paths;
  };
  const auto free = [&](const std::vector<std::filesystem::path>& paths) {
    return std::none_of(paths.begin(), paths.end(), [&](const std::filesystem::path& path) {
      if (taken.contains(path)) return true;
      const std::optional<FileIdentity> identity = identityOf(path);
      return identity && inputs.contains(*identity);
    });
  };

  const bool several = items.size() > 1;
  for (BatchItem& item : items) {
    if (!item.failure.empty()) continue;
    const std::string stem = std::filesystem::path(item.imagePath).stem().string();
    const bool plain = !several && free(outputs("", std::nullopt));
    std::string prefix = stem + ".";
    for (int n = 2; !free(outputs(plain ? std::nullopt : std::optional(prefix), prefix)); ++n)
      prefix = stem + "-" + std::to_string(n) + ".";
    item.imagePrefix = plain ? "" : prefix;
    item.stagePrefix = prefix;
    for (const std::filesystem::path& path : outputs(item.imagePrefix, item.stagePrefix)) taken.insert(path);
  }
}

bool isPhotographOfRun(const std::vector<BatchItem>& items, const std::filesystem::path& path) {
  const std::filesystem::path key = entryKey(path.parent_path(), path.filename().string());
  const std::optional<FileIdentity> identity = identityOf(path);
  return std::any_of(items.begin(), items.end(), [&](const BatchItem& item) {
    const std::filesystem::path input(item.imagePath);
    return entryKey(input.parent_path(), input.filename().string()) == key || (identity && identityOf(input) == identity);
  });
}

std::uint64_t estimatedWorkingBytes(const std::string& path, const PhotographLimits& limits) {
  // The size is in the first segments of a JPEG (after the Exif block, at most 64 KB
  // each) or at the start of a PNG.
  // Opened without waiting, and only a regular file read: a FIFO or a device is left
  // to the reader, which refuses it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return 0;
  struct stat status {};
  std::vector<std::uint8_t> start;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    start.resize(256 * 1024);
    const ssize_t n = ::read(fd, start.data(), start.size());
    start.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  ::close(fd);
  if (start.empty()) return 0;
  const std::optional<ImageHeader> header = readImageHeader(start);
  std::uint64_t pixels = limits.maxPixels;
  if (header && header->width > 0 && header->height > 0)
    pixels = std::min<std::uint64_t>(pixels, std::uint64_t{header->width} * header->height);
  return pixels * workingBytesPerPixel;
}

void runBatch(const std::vector<BatchItem>& items, const BatchOptions& options,
              const std::function<void(std::size_t index, const DishAnalysis&)>& report) {
  std::vector<std::optional<DishAnalysis>> results(items.size());
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<std::size_t> next{0};
  MemoryGate memory(options.memoryBudget);

  const auto work = [&] {
    AnalysisBuffers buffers;  // reused for every photograph of this worker
    for (std::size_t index = next++; index < items.size(); index = next++) {
      const BatchItem& item = items[index];
      DishAnalysis result;
      if (item.failure.empty()) {
        const std::uint64_t bytes = options.memoryBudget == 0 ? 0 : estimatedWorkingBytes(item.imagePath, options.limits);
        if (!memory.tryAcquire(bytes)) {
          buffers = {};  // a waiting worker holds no memory of its last photograph
          memory.acquire(bytes);
        }
        const bool stageImages = options.method == CountingMethod::adaptive && !options.debugFolder.empty();
        const RunOptions run{options.limits, options.writeImages || stageImages};
        result = analysePhotographFile(item.imagePath, options.method, options.settings, run, &buffers);
        if (!options.correctionsFolder.empty()) applyCorrectionsFrom(options.correctionsFolder, result);
        StageOutputs stages;
        if (stageImages) stages = {options.debugFolder, item.stagePrefix};
        writeAnalysisImages(result, ImageOutputs{options.writeImages, options.outputFolder, item.imagePrefix}, stages);
        // Nobody shows the images: free them now.
        result.releaseImages();
        memory.release(bytes);
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
