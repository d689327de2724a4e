#include "ui/metal_events.h"

#include <optional>

#include "platform/metal_testing.h"

namespace sim {
namespace {

using nlohmann::json;
using platform::MetalCompletion;
using platform::MetalCreation;

template <class E>
struct Named {
  const char* name;
  E value;
};

constexpr Named<MetalCompletion> kCompletions[] = {{"at_commit", MetalCompletion::at_commit},
                                                   {"device_thread", MetalCompletion::device_thread},
                                                   {"held", MetalCompletion::held},
                                                   {"without_executing", MetalCompletion::without_executing}};

// The framework's names of the creations that can be made to fail.
constexpr Named<MetalCreation> kCreations[] = {{"newCommandQueue", MetalCreation::command_queue},
                                               {"newBufferWithLength:options:", MetalCreation::buffer},
                                               {"newTextureWithDescriptor:", MetalCreation::texture},
                                               {"commandBuffer", MetalCreation::command_buffer},
                                               {"blitCommandEncoder", MetalCreation::blit_encoder},
                                               {"renderCommandEncoderWithDescriptor:", MetalCreation::render_encoder},
                                               {"nextDrawable", MetalCreation::next_drawable}};

constexpr const char* kFields[] = {"at_ms",         "action",       "completion",    "fail_command_buffers",
                                   "fail_creation", "count",        "fail_library",  "fail_pipeline",
                                   "release_held",  "reset_faults"};
constexpr uint64_t kMaxCount = 1000000;

template <class E, size_t N>
std::optional<E> value_named(const Named<E> (&table)[N], const std::string& name) {
  for (const Named<E>& n : table) {
    if (name == n.name) return n.value;
  }
  return std::nullopt;
}

std::optional<MetalCompletion> completion_named(const std::string& name) { return value_named(kCompletions, name); }
std::optional<MetalCreation> creation_named(const std::string& name) { return value_named(kCreations, name); }

bool is_count(const json& v) {
  return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= int64_t(kMaxCount));
}

uint64_t count_of(const json& e, const char* key, uint64_t fallback) {
  auto it = e.find(key);
  return it == e.end() ? fallback : std::min<uint64_t>(it->get<uint64_t>(), kMaxCount);
}

// The error a failed compilation or pipeline answers, with the message given.
platform::NSError stand_in_error(const char* domain, const std::string& message) {
  return platform::NSError{domain, 1, message, {{"scenario", "metal"}}};
}

}  // namespace

Status check_metal_event(const json& e, const std::string& where) {
  for (const auto& [key, value] : e.items()) {
    bool known = false;
    for (const char* f : kFields) known = known || key == f;
    if (!known) return fail(where + "." + key + ": not a field of a metal event");
  }
  if (auto it = e.find("completion"); it != e.end() && (!it->is_string() || !completion_named(it->get<std::string>()))) {
    return fail(where + ".completion: expected at_commit, device_thread, held or without_executing");
  }
  if (auto it = e.find("fail_creation"); it != e.end() && (!it->is_string() || !creation_named(it->get<std::string>()))) {
    return fail(where + ".fail_creation: not a creation the stand-in can fail");
  }
  for (const char* key : {"fail_command_buffers", "count", "release_held"}) {
    if (auto it = e.find(key); it != e.end() && !is_count(*it)) return fail(where + "." + key + ": expected a count");
  }
  for (const char* key : {"fail_library", "fail_pipeline"}) {
    if (auto it = e.find(key); it != e.end() && !it->is_string() && !it->is_null()) {
      return fail(where + "." + key + ": expected a message or null");
    }
  }
  if (auto it = e.find("reset_faults"); it != e.end() && !it->is_boolean()) {
    return fail(where + ".reset_faults: expected true or false");
  }
  return done();
}

Status run_metal_event(const json& e) {
  // Back to simhost's own defaults: no faults, completion on the device's thread.
  if (e.value("reset_faults", false)) {
    platform::reset_metal_faults();
    platform::set_metal_completion(MetalCompletion::device_thread);
  }
  if (auto it = e.find("completion"); it != e.end()) platform::set_metal_completion(*completion_named(it->get<std::string>()));
  if (auto it = e.find("fail_command_buffers"); it != e.end()) platform::fail_next_command_buffers(count_of(e, "fail_command_buffers", 0));
  if (auto it = e.find("fail_creation"); it != e.end()) {
    platform::fail_next_creations(*creation_named(it->get<std::string>()), count_of(e, "count", 1));
  }
  if (auto it = e.find("fail_library"); it != e.end()) {
    platform::fail_library_compilation(it->is_null() ? std::nullopt
                                                     : std::optional(stand_in_error("MTLLibraryErrorDomain", it->get<std::string>())));
  }
  if (auto it = e.find("fail_pipeline"); it != e.end()) {
    platform::fail_pipeline_creation(it->is_null() ? std::nullopt
                                                   : std::optional(stand_in_error("CompilerError", it->get<std::string>())));
  }
  if (e.contains("release_held")) (void)platform::release_held_command_buffers(count_of(e, "release_held", 0));
  return done();
}

}  // namespace sim
