#include "deletion_log.hpp"

#include <cstdlib>
#include <new>

namespace {

// A fixed buffer: the log itself must not allocate while operator delete runs.
constexpr int capacity = 4096;
const void* deleted[capacity];
int deletedCount = 0;
bool recording = false;

void note(const void* pointer) {
  if (recording && pointer != nullptr && deletedCount < capacity) deleted[deletedCount++] = pointer;
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* pointer = std::malloc(size == 0 ? 1 : size)) return pointer;
  throw std::bad_alloc();
}

void operator delete(void* pointer) noexcept {
  note(pointer);
  std::free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept {
  note(pointer);
  std::free(pointer);
}

namespace corvale::testing {

void startDeletionLog() {
  deletedCount = 0;
  recording = true;
}

std::vector<const void*> stopDeletionLog() {
  recording = false;
  return std::vector<const void*>(deleted, deleted + deletedCount);
}

}  // namespace corvale::testing
