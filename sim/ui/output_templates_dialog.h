// The host's Output Module Templates dialog, as a user works it: "New",
// then a name, a format from the menu, and the channels, depth and colour
// the format allows; "OK" saves the template in the host's template store,
// where scripts and the render engine find it by name.
//
// The format menu holds the host's own formats and those of the output
// modules registered in this host process, nothing else: a template of a
// module the host process never registered cannot be made. Choosing a
// module's format makes a new output for it and calls the module as the
// host does (InitOutputSpec, GetDepths for the depth menu, GetFlatOutputOptions
// for what the template keeps, DisposeOutputOptions at the end).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simhost/hook_table.h"
#include "simhost/result.h"

namespace sim {

// What the user picks. Empty choices keep the dialog's defaults: "RGB",
// "Premultiplied (Matted)" and the format's first depth.
struct TemplateChoice {
  std::string name;
  std::string format;
  std::string channels;
  std::string depth;
  std::string color;
};

// The scenario event's fields: "name" and "format" required, "channels",
// "depth" and "color" optional, all texts.
Result<TemplateChoice> template_choice_from_json(const nlohmann::json& event);

// The formats the menu offers with these modules registered, in menu order.
std::vector<std::string> offered_formats(const std::vector<OutputModuleEntry>& modules);

// Makes the template and saves it in the store (script_host.h). An error
// names what the dialog would not take: an unknown format (with the formats
// offered), a choice its menu lacks, or a module that refused.
Status make_output_module_template(const std::vector<OutputModuleEntry>& modules, const TemplateChoice& choice);

}  // namespace sim
