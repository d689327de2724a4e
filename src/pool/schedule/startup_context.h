// The configuration a batch runs for. Two batches with equal contexts render
// interchangeable frames, so a change of any field starts a fresh batch
// identity and what was learnt about timings is kept per context.
#pragma once

#include <cstdint>
#include <optional>

namespace vel {

struct FrameDimensions {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const FrameDimensions&) const = default;
};

struct StartupContext {
  uint64_t identity = 0;  // the pooled composition
  uint64_t file_ds = 1;   // downsample of the worker output files
  std::optional<FrameDimensions> dimensions;
  bool comp_3d = false;
  uint8_t output_format = 0;  // WorkerOutputFormat value
  bool operator==(const StartupContext&) const = default;
};

}  // namespace vel
