#pragma once
// Records every pointer passed to the global operator delete while recording is on.
// Linked only into the test that proves which blob records are deleted.

#include <vector>

namespace corvale::testing {

void startDeletionLog();
// Stops recording and returns the pointers deleted since the start, in order.
std::vector<const void*> stopDeletionLog();

}  // namespace corvale::testing
