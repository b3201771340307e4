#include "cli/output_formats.hpp"

#include "analysis/number_format.hpp"

namespace corvale {
namespace {

std::string joinFields(std::initializer_list<std::string> fields) {
  std::string row;
  for (const std::string& field : fields) {
    if (&field != fields.begin()) row.push_back(',');
    row += field;
  }
  row.push_back('\n');
  return row;
}

}  // namespace

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string summaryCsvHeader() {
  return "imagePath,percentage,colonyAreaMm2,medianColonyAreaMm2,estimatedYeasts,colonyCount,"
         "backgroundLevel,dishLeft,dishRight,dishTop,dishBottom,error\n";
}

std::string summaryCsvRow(const DishAnalysis& analysis) {
  std::string row = csvField(analysis.imagePath);
  const auto add = [&row](const std::string& field) { row.append(",").append(field); };
  if (const auto& s = analysis.statistics) {
    add(formatRoundTrip(s->percentage));
    add(formatRoundTrip(s->colonyAreaMm2));
    add(formatRoundTrip(s->medianColonyAreaMm2));
    add(std::to_string(s->estimatedYeasts));
    add(std::to_string(s->colonyCount));
  } else {
    row.append(",,,,,");
  }
  add(analysis.backgroundLevel ? std::to_string(*analysis.backgroundLevel) : "");
  if (const auto& b = analysis.dishBounds) {
    for (const std::int32_t edge : {b->left, b->right, b->top, b->bottom}) add(std::to_string(edge));
  } else {
    row.append(",,,,");
  }
  add(csvField(analysis.error.value_or("")));
  row.push_back('\n');
  return row;
}

std::string coloniesCsvHeader() { return "imagePath,label,area,minX,maxX,minY,maxY,centroidX,centroidY\n"; }

std::string coloniesCsvRows(const DishAnalysis& analysis) {
  std::string rows;
  const std::string path = csvField(analysis.imagePath);
  for (const Blob& colony : analysis.colonies) {
    rows += joinFields({path, std::to_string(colony.label), std::to_string(colony.area),
                        std::to_string(colony.minX), std::to_string(colony.maxX),
                        std::to_string(colony.minY), std::to_string(colony.maxY),
                        formatRoundTrip(colony.centroidX), formatRoundTrip(colony.centroidY)});
  }
  return rows;
}

nlohmann::json toJson(const DishAnalysis& analysis) {
  nlohmann::json object;
  object["imagePath"] = analysis.imagePath;
  if (const auto& s = analysis.statistics) {
    object["percentage"] = s->percentage;
    object["colonyAreaMm2"] = s->colonyAreaMm2;
    object["medianColonyAreaMm2"] = s->medianColonyAreaMm2;
    object["estimatedYeasts"] = s->estimatedYeasts;
    object["colonyCount"] = s->colonyCount;
  }
  if (analysis.backgroundLevel) object["backgroundLevel"] = *analysis.backgroundLevel;
  if (const auto& b = analysis.dishBounds) {
    object["dishBounds"] = {{"left", b->left}, {"right", b->right}, {"top", b->top}, {"bottom", b->bottom}};
  }
  if (analysis.error) object["error"] = *analysis.error;
  return object;
}

std::string dumpJson(const nlohmann::json& value) {
  return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvale
