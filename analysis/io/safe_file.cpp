#include "analysis/io/safe_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

namespace corvale {
namespace {

// The temporary files being written, for the signal handler to remove. Each slot's
// path is changed only while the slot is not live and its version is odd; the
// handler copies a live slot's path and uses it only when the version did not change
// meanwhile, so it never acts on a half-written path. Everything it touches is a
// lock-free atomic, and it calls only unlink, signal and raise.
constexpr std::size_t slotCount = 256;
constexpr std::size_t maxPathBytes = 4096;  // PATH_MAX, with its terminating zero

struct Slot {
  std::atomic<bool> claimed{false};
  std::atomic<bool> live{false};
  std::atomic<std::uint32_t> version{0};
  std::array<std::atomic<char>, maxPathBytes> path{};
};

std::array<Slot, slotCount> slots;
std::atomic<bool> ending{false};  // a signal is ending the process
// Writers between registering a temporary file and knowing whether the handler has
// run: the handler waits for them, so a file created just after it looked cannot be
// left behind. A writer's own thread is not waited for: the process ends when the
// handler returns, before that thread creates anything.
std::atomic<int> creating{0};
thread_local bool creatingHere = false;
constexpr int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void removeLiveTemporaries() {
  char path[maxPathBytes];
  for (Slot& slot : slots) {
    if (!slot.live.load()) continue;
    const std::uint32_t before = slot.version.load();
    if (before % 2 != 0) continue;
    std::size_t i = 0;
    for (; i + 1 < maxPathBytes && (path[i] = slot.path[i].load(std::memory_order_relaxed)) != '\0'; ++i) {
    }
    path[i] = '\0';
    if (slot.live.load() && slot.version.load() == before) unlink(path);
  }
}

extern "C" void removeTemporariesAndEnd(int signal) {
  const int savedErrno = errno;
  ending.store(true);
  const int own = creatingHere ? 1 : 0;
  for (long spin = 0; creating.load() > own && spin < 1'000'000'000L; ++spin) {
  }
  removeLiveTemporaries();
  // Ended by the same signal once the handler returns: the signal stays blocked until then.
  ::signal(signal, SIG_DFL);
  raise(signal);
  errno = savedErrno;
}

// A temporary file's place in the registry for as long as it may exist.
class TemporaryRegistration {
 public:
  explicit TemporaryRegistration(const std::string& path) {
    if (path.size() >= maxPathBytes) return;  // too long to be created at all
    for (;;) {
      for (std::size_t i = 0; i < slotCount; ++i) {
        bool expected = false;
        if (!slots[i].claimed.compare_exchange_strong(expected, true)) continue;
        slot_ = &slots[i];
        slot_->version.fetch_add(1);
        for (std::size_t c = 0; c <= path.size(); ++c)
          slot_->path[c].store(c < path.size() ? path[c] : '\0', std::memory_order_relaxed);
        slot_->version.fetch_add(1);
        slot_->live.store(true);
        return;
      }
      std::this_thread::yield();  // more writes at once than slots: wait for one to end
    }
  }
  ~TemporaryRegistration() {
    if (slot_ == nullptr) return;
    slot_->live.store(false);
    slot_->claimed.store(false);
  }
  TemporaryRegistration(const TemporaryRegistration&) = delete;
  TemporaryRegistration& operator=(const TemporaryRegistration&) = delete;

 private:
  Slot* slot_ = nullptr;
};

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& reason) {
  throw std::runtime_error(path.string() + ": cannot be written: " + reason);
}

// Writes all of `bytes` to `fd`; the error number of a failed write, or 0.
int writeAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// A name no other writer uses: ".<name>.<random>.tmp" in the target's folder. The
// leading dot hides it from listings and no photograph extension is ever given to it.
std::filesystem::path temporaryName(const std::filesystem::path& path) {
  thread_local std::mt19937_64 random{std::random_device{}() ^
                                      (static_cast<std::uint64_t>(getpid()) << 32) ^
                                      std::hash<std::thread::id>{}(std::this_thread::get_id())};
  static constexpr char hex[] = "0123456789abcdef";
  std::string name(1, '.');
  name.append(path.filename().string(), 0, 200);
  name.push_back('.');
  std::uint64_t bits = random();
  for (int i = 0; i < 16; ++i, bits >>= 4) name.push_back(hex[bits & 15]);
  name += ".tmp";
  return path.parent_path() / name;
}

void writeDirectly(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting for one.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) fail(path, errno == ENXIO ? "nothing reads from it" : std::strerror(errno));
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  const int writeError = writeAll(fd, bytes);
  const int closeError = ::close(fd) != 0 ? errno : 0;
  if (writeError != 0) fail(path, std::strerror(writeError));
  if (closeError != 0 && closeError != EINTR) fail(path, std::strerror(closeError));
}

void writeThroughTemporary(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  for (int attempt = 0;; ++attempt) {
    const std::filesystem::path temporary = temporaryName(path);
    const TemporaryRegistration registration(temporary.string());
    creatingHere = true;
    creating.fetch_add(1);
    if (ending.load()) {  // the process is about to end: create nothing more
      creating.fetch_sub(1);
      creatingHere = false;
      fail(path, std::strerror(EINTR));
    }
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    const int openError = errno;
    creating.fetch_sub(1);
    creatingHere = false;
    if (fd < 0) {
      if (openError == EEXIST && attempt < 100) continue;
      fail(path, std::strerror(openError));
    }
    const auto removeAndFail = [&](int error) {
      ::unlink(temporary.c_str());
      fail(path, std::strerror(error));
    };
    const int writeError = writeAll(fd, bytes);
    if (::close(fd) != 0 && writeError == 0 && errno != EINTR) removeAndFail(errno);
    if (writeError != 0) removeAndFail(writeError);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) removeAndFail(errno);
    return;
  }
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) {
    writeDirectly(path, bytes);
  } else {
    writeThroughTemporary(path, bytes);
  }
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view text) {
  writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void removeTemporaryFilesOnSignals() {
  for (const int signal : cleanedSignals) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = removeTemporariesAndEnd;
    sigemptyset(&action.sa_mask);
    for (const int other : cleanedSignals) sigaddset(&action.sa_mask, other);
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace corvale
