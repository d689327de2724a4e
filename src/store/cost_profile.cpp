#include "store/cost_profile.h"

#include <cmath>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/frame_file_io.h"
#include "store/store_names.h"

namespace vel {

bool cost_figure_counts(double ms) { return std::isfinite(ms) && ms > 30.0 && ms <= 600000.0; }

std::optional<std::string> write_cost_profile(const CostFigures& figures) {
  nlohmann::json array = nlohmann::json::array();
  bool any = false;
  for (const std::optional<double>& f : figures) {
    if (f && cost_figure_counts(*f)) {
      array.push_back(*f);
      any = true;
    } else {
      array.push_back(nullptr);
    }
  }
  if (!any) return std::nullopt;
  return array.dump();
}

CostFigures read_cost_profile(std::string_view text) {
  CostFigures out{};
  const nlohmann::json doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_array()) return out;
  for (size_t i = 0; i < out.size() && i < doc.size(); ++i) {
    if (!doc[i].is_number()) continue;
    const double ms = doc[i].get<double>();
    if (cost_figure_counts(ms)) out[i] = ms;
  }
  return out;
}

fs::path cost_profile_file(const fs::path& app_support, std::string_view comp_key) {
  return app_support / "cost-fast-v1" / (sanitize_file_stem(comp_key) + ".json");
}

CostFigures load_cost_profile(const fs::path& path) {
  std::vector<uint8_t> bytes;
  if (!read_file_limited(path, kCostProfileFileLimit, bytes)) return {};
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!valid_utf8(text)) return {};
  return read_cost_profile(text);
}

}  // namespace vel
