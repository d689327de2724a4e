// The command line the render pool gives aerender, read as the host's
// aerender reads it:
//   -project P -comp NAME -s FIRST -e LAST -OMtemplate T -mfr ON|OFF PERCENT
//   -output PATH [-continueOnMissingFootage] [-RStemplate T]
// and the templates it knows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <vector>

#include "simhost/result.h"

namespace sim {

enum class FrameFileFormat { Psd, Tga };

struct AerenderCommand {
  std::string project;
  std::string comp;
  int64_t first_frame = 0;
  int64_t last_frame = 0;
  std::string output_template;   // -OMtemplate
  bool mfr_on = true;
  uint32_t mfr_percent = 100;
  std::string output;            // with a [#####] frame number pattern
  bool continue_on_missing_footage = false;
  std::optional<std::string> render_settings_template;  // -RStemplate
};

// Every argument checked; a text naming the fault otherwise.
Result<AerenderCommand> parse_aerender_command(const std::vector<std::string>& args);

// "Photoshop" writes PSD, "velocinta-tga-v1" Targa; nothing for any other.
std::optional<FrameFileFormat> output_template_format(const std::string& name);
// The render settings templates the pool makes: quarter 4, half 2, extreme 1
// (full resolution); nothing for any other.
std::optional<int32_t> render_settings_downsample(const std::string& name);

// The same two answers read from the host's template store (simhost's
// preferences file): a render-settings template's "Resolution" (Full 1,
// Half 2, Quarter 4) and an output module's "Format" ("Photoshop" PSD,
// "Targa" TGA). None for a name the store does not hold.
std::optional<int32_t> stored_render_settings_downsample(const nlohmann::json& store, const std::string& name);
std::optional<FrameFileFormat> stored_output_template_format(const nlohmann::json& store, const std::string& name);

// The signature of the output module a stored output template hands its
// frames to (its "Module": four characters, e.g. "VnM1"); none for a file
// template or a name the store does not hold.
std::optional<std::string> stored_output_module(const nlohmann::json& store, const std::string& name);

// The output path with its "[###...]" pattern replaced by the frame number,
// zero-padded to the pattern's width; nothing when the path has no pattern.
std::optional<std::string> frame_file_path(const std::string& output, int64_t frame);

}  // namespace sim
