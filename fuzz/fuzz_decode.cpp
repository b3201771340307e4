// Arbitrary bytes as a photograph file: the header reader and the decoder must
// refuse or decode, never crash, and never decode past the pixel limit.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>

#include "analysis/io/image_files.hpp"
#include "analysis/io/image_header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const corvale::PhotographLimits limits{.maxPixels = 1'000'000, .maxFileBytes = 1 << 20};
  const auto header = corvale::readImageHeader(bytes);
  try {
    const cv::Mat image = corvale::decodePhotograph(bytes, limits);
    // Whatever decodes was announced by a header within the limit.
    if (!header || image.empty() || static_cast<std::uint64_t>(image.total()) > limits.maxPixels) std::abort();
  } catch (const std::runtime_error&) {
    // refused with a message: fine
  }
  return 0;
}
