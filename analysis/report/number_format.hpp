#pragma once
// Number formatting that never depends on the C locale: a desktop toolkit sets the
// locale from the environment, and "%.2f" would then print "3,14" in many countries.

#include <string>

namespace corvale {

// Fixed notation with the given number of decimals, like "%.2f" in the C locale.
std::string formatFixed(double value, int decimals);

// The shortest text that reads back as exactly the same double.
std::string formatRoundTrip(double value);

}  // namespace corvale
