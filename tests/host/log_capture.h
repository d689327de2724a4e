// Points the plug-in's log at a temporary file for one test and reads back
// the lines that contain a given text.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/repeat_log.h"

namespace fake {

class LogCapture {
 public:
  LogCapture() {
    path_ = std::filesystem::temp_directory_path() / ("vel_host_test_" + std::to_string(::getpid()) + ".log");
    vel::forget_repeated_failures();  // each capture sees a failure's first line
    std::filesystem::remove(path_);
    vel::open_log_file_at(path_, vel::LogRole::Worker);
  }
  ~LogCapture() {
    vel::close_log_file();
    std::filesystem::remove(path_);
  }
  std::vector<std::string> lines_with(const std::string& text) const {
    std::vector<std::string> out;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);)
      if (line.find(text) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace fake
