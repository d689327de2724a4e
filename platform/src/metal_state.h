// Process state of the Metal stand-in shared by its source files: faults,
// completion mode, the ledger, the misuse record and registered programs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/metal.h"
#include "platform/metal_shader_registry.h"
#include "platform/metal_testing.h"

namespace platform::metal_state {

enum LedgerKind { kDevice, kQueue, kLibrary, kPipeline, kBuffer, kTexture, kCommandBuffer, kDrawable, kKinds };
void count_live(LedgerKind kind, int64_t delta);
void count_copy();
void count_draw();
enum PresentKind { kPresentDrawn, kPresentBlitted, kPresentDirect, kPresentCleared };
void count_present(PresentKind kind);

void record_misuse(std::string line);
// Consumes one injected failure of `what` when one is pending.
bool take_creation_failure(MetalCreation what);
bool take_command_failure();
std::optional<NSError> library_failure();
std::optional<NSError> pipeline_failure();
bool gpu_available();

std::shared_ptr<const RegisteredProgram> registered_program(std::string_view source);

// Hands a committed buffer to the completion mode in force.
void dispatch_committed(std::shared_ptr<MTLCommandBuffer> buffer);

}  // namespace platform::metal_state

namespace platform {
// A drawable's BGRA8 render-target texture (shared storage, one level).
std::shared_ptr<MTLTexture> make_drawable_texture(uint64_t width, uint64_t height);
}  // namespace platform
