// A cost profile is a file in the user's home: any text must read without a
// crash, every figure taken must count, and what is taken must come back
// unchanged through the writer.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/cost_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader never holds more than the file limit.
  if (size > vel::kCostProfileFileLimit) return 0;
  const vel::CostFigures figures =
      vel::read_cost_profile(std::string_view(reinterpret_cast<const char*>(data), size));
  bool any = false;
  for (const auto& f : figures) {
    if (f && !vel::cost_figure_counts(*f)) std::abort();
    any = any || f.has_value();
  }
  const auto written = vel::write_cost_profile(figures);
  if (written.has_value() != any) std::abort();
  if (written && vel::read_cost_profile(*written) != figures) std::abort();
  return 0;
}
