// The plug-in's topology scan stops at a wall-clock budget. A simhost run
// descheduled past it (a loaded machine, a sanitizer) takes the host's own
// renderer, so a test about the raster path plays such a run again.
#pragma once

#include <regex>
#include <string>

namespace vel::testing {

inline bool scan_cut_short(const std::string& log) {
  static const std::regex cut("PREVIEW_SCAN layers=[0-9]+ complete=false ");
  return std::regex_search(log, cut);
}

}  // namespace vel::testing
