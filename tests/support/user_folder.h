// A folder of the user's that the pool must never touch: pictures, notes and
// folders named as the pool names its own ("w0" … "w7" holding frame-named
// files, "w0.log" … "w7.log"), and a look at all of it that follows no link.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>

namespace vel::testing {

// Writes the folder; each file's bytes name it, so that a file overwritten
// by another's shows. Answers how many files it holds.
inline size_t write_user_folder(const std::filesystem::path& dir, int frames = 12) {
  namespace fs = std::filesystem;
  fs::create_directories(dir);
  size_t files = 0;
  const auto write = [&](const fs::path& p) {
    std::ofstream(p, std::ios::binary) << "the user's " << p.lexically_relative(dir).string();
    ++files;
  };
  for (int i = 0; i < 20; ++i) write(dir / ("IMG_" + std::to_string(1000 + i) + ".jpg"));
  write(dir / "notes.txt");
  for (int w = 0; w < 8; ++w) {
    const std::string name = "w" + std::to_string(w);
    write(dir / (name + ".log"));
    fs::create_directories(dir / name);
    for (int f = 0; f < frames; ++f) {
      char frame[16];
      std::snprintf(frame, sizeof frame, "f_%05d", f);
      write(dir / name / (std::string(frame) + ".psd"));
      write(dir / name / (std::string(frame) + ".tga"));
    }
  }
  return files;
}

// Every entry under `dir` by its relative path: a file's bytes, "<folder>"
// or "-> " and a link's target. No link is followed.
inline std::map<std::string, std::string> folder_contents(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string rel = it->path().lexically_relative(dir).string();
    if (it->is_symlink(ec)) {
      out[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
    } else if (it->is_directory(ec)) {
      out[rel] = "<folder>";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      out[rel] = bytes.str();
    }
  }
  return out;
}

// How many files of `before` are still there with the same bytes.
inline size_t files_intact(const std::map<std::string, std::string>& before,
                           const std::map<std::string, std::string>& now) {
  size_t n = 0;
  for (const auto& [name, bytes] : before) {
    if (bytes == "<folder>") continue;
    const auto it = now.find(name);
    n += it != now.end() && it->second == bytes ? 1 : 0;
  }
  return n;
}

}  // namespace vel::testing
