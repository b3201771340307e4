#include "analysis/review/corrections_file.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "analysis/dish_analysis.hpp"
#include "analysis/io/safe_file.hpp"

namespace corvale {
namespace {

using nlohmann::json;

json point(cv::Point2d p) { return json::array({p.x, p.y}); }

cv::Point2d pointFrom(const json& value) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number())
    throw std::runtime_error("a point is not [x, y]");
  return {value[0].get<double>(), value[1].get<double>()};
}

double number(const json& object, const char* key) {
  if (!object.is_object() || !object.contains(key) || !object[key].is_number())
    throw std::runtime_error(std::string("\"") + key + "\" is missing or not a number");
  return object[key].get<double>();
}

const json& arrayAt(const json& object, const char* key) {
  if (!object.contains(key) || !object[key].is_array())
    throw std::runtime_error(std::string("\"") + key + "\" is missing or not a list");
  return object[key];
}

std::int32_t setting(const json& settings, const char* key, std::int32_t fallback) {
  if (!settings.contains(key)) return fallback;
  const json& value = settings[key];
  if (!value.is_number_integer() || value.get<std::int64_t>() != value.get<std::int32_t>())
    throw std::runtime_error(std::string("setting \"") + key + "\" is not a whole number");
  return value.get<std::int32_t>();
}

double radius(const json& object) {
  const double r = number(object, "radius");
  if (!(r >= 0)) throw std::runtime_error("a radius is negative");
  return r;
}

bool isSha256(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

std::filesystem::path correctionsFolder(const std::filesystem::path& resultsFolder) {
  return resultsFolder / "corrections";
}

std::filesystem::path correctionsFilePath(const std::filesystem::path& folder, std::string_view sha256) {
  if (!isSha256(sha256)) throw std::invalid_argument("not a SHA-256 in lower-case hex: " + std::string(sha256));
  return folder / (std::string(sha256) + ".json");
}

json correctionsToJson(const CorrectionsFile& file) {
  const Corrections& c = file.corrections;
  json removed = json::array();
  for (const cv::Point2d& centre : c.removed) removed.push_back(point(centre));
  json added = json::array();
  for (const AddedColony& colony : c.added)
    added.push_back({{"x", colony.centre.x}, {"y", colony.centre.y}, {"radius", colony.radius}});
  json excluded = json::array();
  for (const ExcludedRegion& region : c.excluded) {
    json corners = json::array();
    for (const cv::Point2d& corner : region.corners) corners.push_back(point(corner));
    excluded.push_back(corners);
  }
  const AnalysisSettings& s = file.settings;
  return {{"format", correctionsFormatVersion},
          {"sha256", file.sha256},
          {"imageName", file.imageName},
          {"method", countingMethodName(file.method)},
          {"settings",
           {{"minColonyArea", s.minColonyArea},
            {"maxColonyArea", s.maxColonyArea},
            {"dishLip", s.dishLip},
            {"dishDiameterMm", s.dishDiameterMm}}},
          {"removed", removed},
          {"added", added},
          {"excluded", excluded},
          {"dish", c.dish ? json{{"x", c.dish->centre.x}, {"y", c.dish->centre.y}, {"radius", c.dish->radius}}
                          : json()}};
}

CorrectionsFile correctionsFromJson(const json& value) {
  try {
    if (!value.is_object()) throw std::runtime_error("not a JSON object");
    if (!value.contains("format") || value["format"] != correctionsFormatVersion)
      throw std::runtime_error("not format " + std::to_string(correctionsFormatVersion));
    CorrectionsFile file;
    file.sha256 = value.at("sha256").get<std::string>();
    if (!isSha256(file.sha256)) throw std::runtime_error("\"sha256\" is not a SHA-256");
    file.imageName = value.value("imageName", "");
    const auto method = countingMethodFromName(value.at("method").get<std::string>());
    if (!method) throw std::runtime_error("unknown method");
    file.method = *method;
    const json& settings = value.at("settings");
    const AnalysisSettings defaults;
    file.settings = {setting(settings, "minColonyArea", defaults.minColonyArea),
                     setting(settings, "maxColonyArea", defaults.maxColonyArea),
                     setting(settings, "dishLip", defaults.dishLip),
                     setting(settings, "dishDiameterMm", defaults.dishDiameterMm)};
    Corrections& c = file.corrections;
    for (const json& centre : arrayAt(value, "removed")) c.removed.push_back(pointFrom(centre));
    for (const json& colony : arrayAt(value, "added"))
      c.added.push_back({{number(colony, "x"), number(colony, "y")}, radius(colony)});
    for (const json& corners : arrayAt(value, "excluded")) {
      if (!corners.is_array() || corners.size() < 3) throw std::runtime_error("a region has fewer than 3 corners");
      ExcludedRegion region;
      for (const json& corner : corners) region.corners.push_back(pointFrom(corner));
      c.excluded.push_back(std::move(region));
    }
    if (value.contains("dish") && !value["dish"].is_null()) {
      const json& dish = value["dish"];
      c.dish = CountedCircle{{number(dish, "x"), number(dish, "y")}, radius(dish)};
    }
    return file;
  } catch (const json::exception& error) {
    throw std::runtime_error(std::string("malformed corrections: ") + error.what());
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(std::string("malformed corrections: ") + error.what());
  }
}

void saveCorrections(const std::filesystem::path& folder, const CorrectionsFile& file) {
  const std::filesystem::path path = correctionsFilePath(folder, file.sha256);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) throw std::runtime_error(folder.string() + ": " + error.message());
  writeFileAtomically(path, correctionsToJson(file).dump(2, ' ', false, json::error_handler_t::replace) + "\n");
}

std::optional<CorrectionsFile> loadCorrections(const std::filesystem::path& folder, std::string_view sha256) {
  const std::filesystem::path path = correctionsFilePath(folder, sha256);
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  std::ifstream stream(path, std::ios::binary);
  std::stringstream text;
  text << stream.rdbuf();
  if (!stream) throw std::runtime_error(path.string() + ": cannot be read");
  try {
    CorrectionsFile file = correctionsFromJson(json::parse(text.str()));
    if (file.sha256 != sha256) throw std::runtime_error("it belongs to another photograph");
    return file;
  } catch (const json::exception& failure) {
    throw std::runtime_error(path.string() + ": not JSON: " + failure.what());
  } catch (const std::runtime_error& failure) {
    throw std::runtime_error(path.string() + ": " + failure.what());
  }
}

bool madeFor(const CorrectionsFile& file, CountingMethod method, const AnalysisSettings& settings) {
  if (file.method != method) return false;
  const AnalysisSettings& s = file.settings;
  if (method == CountingMethod::adaptive) return true;  // it finds its colonies without the settings
  return s.minColonyArea == settings.minColonyArea && s.maxColonyArea == settings.maxColonyArea &&
         s.dishLip == settings.dishLip && s.dishDiameterMm == settings.dishDiameterMm;
}

void applyCorrectionsFrom(const std::filesystem::path& folder, DishAnalysis& analysis) {
  if (!analysis.ok() || analysis.sha256.empty()) return;
  try {
    const std::optional<CorrectionsFile> file = loadCorrections(folder, analysis.sha256);
    if (!file) return;
    if (!madeFor(*file, analysis.method, analysis.settings)) {
      analysis.flags.push_back("corrections saved for another method or other settings were not applied");
      return;
    }
    analysis.corrections = applyCorrections(analysis, file->corrections);
  } catch (const std::runtime_error& failure) {
    analysis.flags.push_back(std::string("corrections not applied: ") + failure.what());
  }
}

}  // namespace corvale
