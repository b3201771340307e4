#include "analysis/report/output_formats.hpp"

#include <cmath>

#include "analysis/report/number_format.hpp"
#include "analysis/version.hpp"

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

// The length of the UTF-8 sequence a lead byte starts (0: none) and the range its
// second byte must lie in, which rules out overlong forms, surrogates and code
// points past U+10FFFF.
struct Utf8Sequence {
  std::size_t length;
  unsigned char low;
  unsigned char high;
};

Utf8Sequence sequenceStartedBy(unsigned char lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// The last pixel of a box side, in 64 bits so that no box can overflow it.
std::int64_t lastPixel(int first, int length) { return std::int64_t{first} + length - 1; }

}  // namespace

std::string validUtf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const Utf8Sequence sequence = sequenceStartedBy(static_cast<unsigned char>(text[at]));
    bool ok = sequence.length > 0 && at + sequence.length <= text.size();
    for (std::size_t i = 1; ok && i < sequence.length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      ok = i == 1 ? next >= sequence.low && next <= sequence.high : next >= 0x80 && next <= 0xBF;
    }
    if (ok) {
      valid.append(text.substr(at, sequence.length));
      at += sequence.length;
    } else {
      valid.append("\xEF\xBF\xBD");  // U+FFFD in place of the offending byte
      ++at;
    }
  }
  return valid;
}

std::string csvField(std::string_view raw) {
  const std::string text = validUtf8(raw);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
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
         "backgroundLevel,dishLeft,dishRight,dishTop,dishBottom,error,flags,"
         "estimatedColonies,method,minColonyArea,maxColonyArea,dishLip,dishDiameterMm,"
         "dishCentreX,dishCentreY,dishRadius,agarLightness,noise,typicalColonyArea,polarity,"
         "outputError,sha256,version,correctedCount\n";
}

std::string summaryCsvRow(const DishAnalysis& analysis) {
  std::string row = csvField(analysis.imagePath);
  const auto add = [&row](const std::string& field) { row.append(",").append(field); };
  const auto blanks = [&row](int n) { row.append(static_cast<std::size_t>(n), ','); };
  const auto& s = analysis.statistics;
  if (s) {
    add(formatRoundTrip(s->percentage));
    add(formatRoundTrip(s->colonyAreaMm2));
    add(formatRoundTrip(s->medianColonyAreaMm2));
    add(std::to_string(s->estimatedYeasts));
    add(std::to_string(s->colonyCount));
  } else {
    blanks(5);
  }
  add(analysis.backgroundLevel ? std::to_string(*analysis.backgroundLevel) : "");
  if (const auto& b = analysis.dishBounds) {
    for (const std::int32_t edge : {b->left, b->right, b->top, b->bottom}) add(std::to_string(edge));
  } else {
    blanks(4);
  }
  add(csvField(analysis.error.value_or("")));
  std::string flags;
  for (const std::string& flag : analysis.flags) flags.append(flags.empty() ? "" : "; ").append(flag);
  add(csvField(flags));

  add(s ? std::to_string(analysis.estimatedColonies()) : "");
  add(std::string(countingMethodName(analysis.method)));
  const AnalysisSettings& settings = analysis.settings;
  if (analysis.method == CountingMethod::fixed) {
    for (const std::int32_t value : {settings.minColonyArea, settings.maxColonyArea, settings.dishLip})
      add(std::to_string(value));
  } else {
    blanks(3);  // the adaptive method takes no size range and no lip
  }
  add(std::to_string(settings.dishDiameterMm));
  if (const auto& a = analysis.adaptive) {
    for (const double value : {a->dishCentre.x, a->dishCentre.y, a->dishRadius, a->agarLightness, a->noise,
                               a->typicalColonyArea})
      add(formatRoundTrip(value));
    add(std::string(colonyPolarityName(a->polarity)));
  } else {
    blanks(7);
  }
  add(csvField(analysis.outputError.value_or("")));
  add(analysis.sha256);
  add(std::string(programVersion()));
  add(analysis.corrections ? std::to_string(analysis.corrections->count.total) : "");
  row.push_back('\n');
  return row;
}

std::string coloniesCsvHeader() {
  return "imagePath,label,area,minX,maxX,minY,maxY,centroidX,centroidY,kind,correction\n";
}

std::string coloniesCsvRows(const DishAnalysis& analysis) {
  std::string rows;
  const std::string path = csvField(analysis.imagePath);
  const AppliedCorrections* corrections = analysis.corrections ? &*analysis.corrections : nullptr;
  for (std::size_t i = 0; i < analysis.colonies.size(); ++i) {
    const Colony& colony = analysis.colonies[i];
    const bool reviewed = corrections != nullptr && i < corrections->statuses.size();
    rows += joinFields({path, std::to_string(colony.region), formatRoundTrip(colony.area),
                        std::to_string(colony.box.x), std::to_string(lastPixel(colony.box.x, colony.box.width)),
                        std::to_string(colony.box.y), std::to_string(lastPixel(colony.box.y, colony.box.height)),
                        formatRoundTrip(colony.centre.x), formatRoundTrip(colony.centre.y),
                        std::string(colonyKindName(colony.kind)),
                        csvField(reviewed ? colonyStatusName(corrections->statuses[i]) : "")});
  }
  if (corrections == nullptr) return rows;
  // Added colonies have no region: label 0, the area and box of their disc.
  for (const AddedColony& added : corrections->added) {
    const double r = added.radius;
    rows += joinFields({path, "0", formatRoundTrip(CV_PI * r * r), formatRoundTrip(std::floor(added.centre.x - r)),
                        formatRoundTrip(std::ceil(added.centre.x + r)), formatRoundTrip(std::floor(added.centre.y - r)),
                        formatRoundTrip(std::ceil(added.centre.y + r)), formatRoundTrip(added.centre.x),
                        formatRoundTrip(added.centre.y), "added", "added"});
  }
  return rows;
}

nlohmann::json toJson(const DishAnalysis& analysis) {
  nlohmann::json object;
  object["imagePath"] = analysis.imagePath;
  object["method"] = countingMethodName(analysis.method);
  const AnalysisSettings& settings = analysis.settings;
  object["settings"] = analysis.method == CountingMethod::fixed
                           ? nlohmann::json{{"minColonyArea", settings.minColonyArea},
                                            {"maxColonyArea", settings.maxColonyArea},
                                            {"dishLip", settings.dishLip},
                                            {"dishDiameterMm", settings.dishDiameterMm}}
                           : nlohmann::json{{"dishDiameterMm", settings.dishDiameterMm}};
  object["version"] = programVersion();
  object["sha256"] = analysis.sha256.empty() ? nlohmann::json() : nlohmann::json(analysis.sha256);
  const auto& s = analysis.statistics;
  if (s) {
    object["percentage"] = s->percentage;
    object["colonyAreaMm2"] = s->colonyAreaMm2;
    object["medianColonyAreaMm2"] = s->medianColonyAreaMm2;
    object["estimatedYeasts"] = s->estimatedYeasts;
    object["colonyCount"] = s->colonyCount;
    object["estimatedColonies"] = analysis.estimatedColonies();
  }
  object["backgroundLevel"] = analysis.backgroundLevel ? nlohmann::json(*analysis.backgroundLevel) : nlohmann::json();
  if (const auto& b = analysis.dishBounds) {
    object["dishBounds"] = {{"left", b->left}, {"right", b->right}, {"top", b->top}, {"bottom", b->bottom}};
  } else {
    object["dishBounds"] = nullptr;
  }
  if (const auto& a = analysis.adaptive) {
    object["dishCircle"] = {{"centreX", a->dishCentre.x}, {"centreY", a->dishCentre.y}, {"radius", a->dishRadius}};
    object["agarLightness"] = a->agarLightness;
    object["noise"] = a->noise;
    object["typicalColonyArea"] = a->typicalColonyArea;
    object["polarity"] = colonyPolarityName(a->polarity);
  }
  if (const auto& c = analysis.corrections) {
    object["correctedCount"] = c->count.total;
    object["corrections"] = {{"removed", c->count.removed}, {"excluded", c->count.excluded}, {"added", c->count.added}};
  } else {
    object["correctedCount"] = nullptr;
  }
  if (!analysis.flags.empty()) object["flags"] = analysis.flags;
  if (analysis.error) object["error"] = *analysis.error;
  if (analysis.outputError) object["outputError"] = *analysis.outputError;
  return object;
}

std::string dumpJson(const nlohmann::json& value) {
  return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace corvale
