// How pool workers hand frames over, chosen by VELOCINTA_OUTPUT_FORMAT: PSD
// files (the default), TGA files, or shared memory. Read in the host (which
// transport to ask workers for) and in each worker (whether to register the
// memory output module).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vel {

enum class WorkerOutputFormat : uint8_t {
  Psd = 0,
  Tga = 1,
  Memory = 2,
};

// "tga" and "memory" in any ASCII case select TGA and shared memory; no
// text, and any other text (surrounding blanks included), selects PSD. Pure.
WorkerOutputFormat parse_output_format(std::optional<std::string_view> text);

// The variable parsed on first use; the same answer for the life of the
// process, whatever the environment does later.
WorkerOutputFormat worker_output_format();

// "psd", "tga", "vnm": PERF lines and the worker's output file extension.
const char* output_format_extension(WorkerOutputFormat format);
// "psd", "tga", "memory": the name the template script is told.
const char* output_format_script_name(WorkerOutputFormat format);

}  // namespace vel
