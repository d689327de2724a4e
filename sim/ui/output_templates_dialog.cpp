#include "ui/output_templates_dialog.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "script/script_host.h"
#include "simhost/host.h"

namespace sim {
namespace {

using nlohmann::json;

// The host's own formats, always in the menu, before any module's.
constexpr const char* kHostFormats[] = {"Photoshop", "Targa"};
const std::vector<std::string> kChannels = {"RGB", "Alpha", "RGB + Alpha"};
const std::vector<std::string> kColors = {"Premultiplied (Matted)", "Straight (Unmatted)"};
const std::vector<std::string> kHostDepths = {"Millions of Colors", "Millions of Colors+"};

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

bool offers(const std::vector<std::string>& menu, const std::string& item) {
  return std::find(menu.begin(), menu.end(), item) != menu.end();
}

std::string signature_text(AEIO_ModuleSignature sig) {
  const uint32_t u = static_cast<uint32_t>(sig);
  return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8), static_cast<char>(u)};
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

// The depth menu of a module's format, from what its GetDepths answered.
std::vector<std::string> module_depths(AEIO_SupportedDepthFlags flags) {
  std::vector<std::string> menu;
  if (flags & AEIO_SupportedDepthFlags_DEPTH_32) menu.push_back("Millions of Colors+");
  return menu;
}

// The new output the dialog makes for a module's format, given back (with
// the module's options) whatever happens.
class DialogOutput {
 public:
  DialogOutput() : handle_(host().out_specs.add(std::make_unique<OutSpecRec>())) {}
  ~DialogOutput() {
    std::unique_ptr<OutSpecRec> spec = host().out_specs.take(handle_);
    if (spec && spec->options != nullptr && dispose_ != nullptr) (void)dispose_(nullptr, spec->options);
  }
  DialogOutput(const DialogOutput&) = delete;
  DialogOutput& operator=(const DialogOutput&) = delete;
  AEIO_OutSpecH handle() const { return reinterpret_cast<AEIO_OutSpecH>(handle_); }
  void dispose_with(A_Err (*dispose)(AEIO_BasicData*, void*)) { dispose_ = dispose; }

 private:
  OutSpecRec* handle_;
  A_Err (*dispose_)(AEIO_BasicData*, void*) = nullptr;
};

// What the module's format adds to the template: its signature, which the
// render engine looks the module up by, and its flattened options.
Result<json> module_settings(const OutputModuleEntry& m, std::string& depth) {
  const AEIO_FunctionBlock& fn = m.functions;
  const std::string format = m.name();
  if (fn.InitOutputSpec == nullptr || fn.GetDepths == nullptr) {
    return fail("the module of format \"" + format + "\" has no InitOutputSpec or GetDepths");
  }
  DialogOutput output;
  output.dispose_with(fn.DisposeOutputOptions);
  A_Boolean interacted = 0;
  if (A_Err e = fn.InitOutputSpec(nullptr, output.handle(), &interacted)) {
    return fail("the module of format \"" + format + "\" refused a new output (InitOutputSpec answered " +
                std::to_string(e) + ")");
  }
  AEIO_SupportedDepthFlags flags = 0;
  if (A_Err e = fn.GetDepths(nullptr, output.handle(), &flags)) {
    return fail("the module of format \"" + format + "\" gave no depths (GetDepths answered " + std::to_string(e) + ")");
  }
  const std::vector<std::string> depths = module_depths(flags);
  if (depths.empty()) return fail("the module of format \"" + format + "\" offers no depth the host knows");
  if (depth.empty()) depth = depths.front();
  if (!offers(depths, depth)) {
    return fail("depth \"" + depth + "\" is not offered for format \"" + format + "\" (" + joined(depths) + ")");
  }
  json settings = {{"Module", signature_text(m.info.sig)}};
  if (fn.GetFlatOutputOptions != nullptr) {
    AEGP_MemHandle flat = nullptr;
    if (A_Err e = fn.GetFlatOutputOptions(nullptr, output.handle(), &flat)) {
      return fail("the module of format \"" + format + "\" gave no options (GetFlatOutputOptions answered " +
                  std::to_string(e) + ")");
    }
    // The flat copy is the host's to keep and free.
    if (std::unique_ptr<MemBlock> block = host().memory.take(flat)) settings["Options"] = hex(block->bytes);
  }
  return settings;
}

}  // namespace

Result<TemplateChoice> template_choice_from_json(const json& event) {
  TemplateChoice c;
  const struct {
    const char* key;
    std::string* into;
    bool required;
  } fields[] = {{"name", &c.name, true},
                {"format", &c.format, true},
                {"channels", &c.channels, false},
                {"depth", &c.depth, false},
                {"color", &c.color, false}};
  for (const auto& f : fields) {
    auto it = event.find(f.key);
    if (it == event.end()) {
      if (f.required) return fail(std::string("missing \"") + f.key + "\"");
      continue;
    }
    if (!it->is_string() || it->get<std::string>().empty()) return fail(std::string(f.key) + ": expected a text");
    *f.into = it->get<std::string>();
  }
  return c;
}

std::vector<std::string> offered_formats(const std::vector<OutputModuleEntry>& modules) {
  std::vector<std::string> menu(std::begin(kHostFormats), std::end(kHostFormats));
  for (const OutputModuleEntry& m : modules) menu.push_back(m.name());
  return menu;
}

Status make_output_module_template(const std::vector<OutputModuleEntry>& modules, const TemplateChoice& choice) {
  const std::string where = "Output Module Templates: \"" + choice.name + "\": ";
  const std::vector<std::string> formats = offered_formats(modules);
  if (!offers(formats, choice.format)) {
    return fail(where + "format \"" + choice.format + "\" is not offered; the formats are " + joined(formats));
  }
  const std::string channels = choice.channels.empty() ? kChannels.front() : choice.channels;
  const std::string color = choice.color.empty() ? kColors.front() : choice.color;
  if (!offers(kChannels, channels)) return fail(where + "channels \"" + channels + "\" are not offered");
  if (!offers(kColors, color)) return fail(where + "color \"" + color + "\" is not offered");
  std::string depth = choice.depth;
  json settings = json::object();
  const auto module = std::find_if(modules.begin(), modules.end(),
                                   [&](const OutputModuleEntry& m) { return m.name() == choice.format; });
  if (module != modules.end()) {
    Result<json> added = module_settings(*module, depth);
    if (!added) return fail(where + added.error());
    settings = std::move(added).value();
  } else {
    if (depth.empty()) depth = kHostDepths.front();
    if (!offers(kHostDepths, depth)) return fail(where + "depth \"" + depth + "\" is not offered");
  }
  settings.update({{"Format", choice.format}, {"Channels", channels}, {"Depth", depth}, {"Color", color},
                   {"Resize", false}, {"Crop", false}, {"Starting #", "0"}, {"Use Comp Frame Number", "true"}});
  json store = load_template_store();
  store["om"][choice.name] = std::move(settings);
  if (!save_template_store(store)) return fail(where + "the template store cannot be written");
  return done();
}

}  // namespace sim
