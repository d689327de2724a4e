#include "memout/output_format.h"

#include <cstdlib>

namespace vel {

namespace {

bool equals_ascii_nocase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

WorkerOutputFormat parse_output_format(std::optional<std::string_view> text) {
  if (!text) return WorkerOutputFormat::Psd;
  if (equals_ascii_nocase(*text, "tga")) return WorkerOutputFormat::Tga;
  if (equals_ascii_nocase(*text, "memory")) return WorkerOutputFormat::Memory;
  return WorkerOutputFormat::Psd;
}

WorkerOutputFormat worker_output_format() {
  static const WorkerOutputFormat format = [] {
    const char* value = std::getenv("VELOCINTA_OUTPUT_FORMAT");
    return parse_output_format(value ? std::optional<std::string_view>(value) : std::nullopt);
  }();
  return format;
}

const char* output_format_extension(WorkerOutputFormat format) {
  switch (format) {
    case WorkerOutputFormat::Tga:
      return "tga";
    case WorkerOutputFormat::Memory:
      return "vnm";
    case WorkerOutputFormat::Psd:
      break;
  }
  return "psd";
}

const char* output_format_script_name(WorkerOutputFormat format) {
  switch (format) {
    case WorkerOutputFormat::Tga:
      return "tga";
    case WorkerOutputFormat::Memory:
      return "memory";
    case WorkerOutputFormat::Psd:
      break;
  }
  return "psd";
}

}  // namespace vel
