#include "cli/machine.hpp"

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace corvale {

unsigned usableCpuCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

std::uint64_t defaultMemoryBudget() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  std::uint64_t memory = pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                                                   : std::uint64_t{4} << 30;
  std::ifstream cgroupLimit("/sys/fs/cgroup/memory.max");
  std::uint64_t limit = 0;
  if (cgroupLimit >> limit && limit > 0) memory = std::min(memory, limit);  // "max" reads as no number
  return memory / 2;
}

void reuseLargeAllocations() {
  constexpr int kept = 512 << 20;  // bytes: above any working image a worker needs
  mallopt(M_MMAP_THRESHOLD, kept);
  mallopt(M_TRIM_THRESHOLD, kept);
}

}  // namespace corvale
