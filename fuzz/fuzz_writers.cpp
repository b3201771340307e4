// Arbitrary results, paths and messages through the CSV and JSON writers: the output
// must always be valid UTF-8, parse back, and keep its columns.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "analysis/report/output_formats.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The fields of each line of RFC 4180 CSV; nothing when a quoted field is unterminated.
std::optional<std::vector<std::size_t>> fieldsPerLine(const std::string& csv) {
  std::vector<std::size_t> counts;
  std::size_t fields = 1;
  bool quoted = false;
  for (std::size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      ++fields;
    } else if (c == '\n') {
      counts.push_back(fields);
      fields = 1;
    }
  }
  if (quoted) return std::nullopt;
  return counts;
}

double anyDouble(FuzzedDataProvider& input) {
  const std::uint64_t bits = input.ConsumeIntegral<std::uint64_t>();
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;  // NaN and infinities included
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  corvale::DishAnalysis analysis;
  analysis.imagePath = input.ConsumeRandomLengthString(64);
  if (input.ConsumeBool()) analysis.error = input.ConsumeRandomLengthString(64);
  if (input.ConsumeBool()) analysis.outputError = input.ConsumeRandomLengthString(64);
  if (input.ConsumeBool()) analysis.method = corvale::CountingMethod::adaptive;
  if (input.ConsumeBool())
    analysis.adaptive = corvale::AdaptiveMeasures{{anyDouble(input), anyDouble(input)}, anyDouble(input), anyDouble(input),
                                                  anyDouble(input), anyDouble(input), anyDouble(input),
                                                  corvale::ColonyPolarity::dark};
  if (input.ConsumeBool()) analysis.flags.push_back(input.ConsumeRandomLengthString(32));
  if (input.ConsumeBool()) analysis.backgroundLevel = input.ConsumeIntegral<std::int32_t>();
  if (input.ConsumeBool())
    analysis.dishBounds = corvale::DishBounds{input.ConsumeIntegral<std::int32_t>(), input.ConsumeIntegral<std::int32_t>(),
                                              input.ConsumeIntegral<std::int32_t>(), input.ConsumeIntegral<std::int32_t>()};
  if (input.ConsumeBool()) {
    analysis.statistics = corvale::ColonyStatistics{anyDouble(input), anyDouble(input), anyDouble(input),
                                                    input.ConsumeIntegral<std::int32_t>(),
                                                    input.ConsumeIntegral<std::int32_t>()};
  }
  const std::size_t colonies = input.ConsumeIntegralInRange<std::size_t>(0, 4);
  for (std::size_t i = 0; i < colonies; ++i) {
    corvale::Colony colony;
    colony.region = input.ConsumeIntegral<std::uint32_t>();
    colony.area = anyDouble(input);
    colony.radius = anyDouble(input);
    colony.centre = {anyDouble(input), anyDouble(input)};
    colony.box = cv::Rect(input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
                          input.ConsumeIntegral<int>());
    colony.kind = static_cast<corvale::ColonyKind>(input.ConsumeIntegralInRange<int>(0, 2));
    analysis.colonies.push_back(colony);
  }

  const std::string summary = corvale::summaryCsvHeader() + corvale::summaryCsvRow(analysis);
  require(corvale::validUtf8(summary) == summary);
  require(fieldsPerLine(summary) == std::vector<std::size_t>{30, 30});

  const std::string rows = corvale::coloniesCsvRows(analysis);
  require(corvale::validUtf8(rows) == rows);
  require(fieldsPerLine(rows) == std::vector<std::size_t>(colonies, 11));

  const std::string json = corvale::dumpJson(corvale::toJson(analysis));
  const nlohmann::json parsed = nlohmann::json::parse(json);  // throws, and so fails, on invalid JSON
  require(parsed.contains("imagePath"));
  require(parsed.contains("error") == analysis.error.has_value());
  return 0;
}
