#pragma once
// What this machine lets a batch use.

#include <cstdint>

namespace corvale {

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned usableCpuCount();

// Half of the memory the process may use: the physical memory, or the cgroup's
// limit where that is lower.
std::uint64_t defaultMemoryBudget();

// Keeps large blocks the allocator has handed out for reuse instead of returning
// them to the kernel: every photograph's working images are made afresh, and mapping
// them anew each time costs page faults that add a tenth to an analysis.
void reuseLargeAllocations();

}  // namespace corvale
