// The stand-in aerender reads its templates from the host's store.
#include <gtest/gtest.h>

#include "aerender_command.h"

namespace {

TEST(AerenderTemplateStore, ResolutionAndFormatFromTheStore) {
  const nlohmann::json store = {
      {"rs", {{"velocinta-half-v6", {{"Resolution", "Half"}}}, {"mine", {{"Resolution", "Quarter"}}},
              {"odd", {{"Resolution", "Third"}}}}},
      {"om", {{"Photoshop", {{"Format", "Photoshop"}}}, {"velocinta-tga-v1", {{"Format", "Targa"}}},
              {"velocinta-memory-v1", {{"Format", "Velocinta Memory 8bpc"}, {"Module", "VnM1"}}},
              {"short-module", {{"Module", "VnM"}}}}}};
  EXPECT_EQ(sim::stored_render_settings_downsample(store, "velocinta-half-v6"), 2);
  EXPECT_EQ(sim::stored_render_settings_downsample(store, "mine"), 4);
  EXPECT_EQ(sim::stored_render_settings_downsample(store, "odd"), std::nullopt);
  EXPECT_EQ(sim::stored_render_settings_downsample(store, "velocinta-quarter-v6"), std::nullopt);
  EXPECT_EQ(sim::stored_output_template_format(store, "Photoshop"), sim::FrameFileFormat::Psd);
  EXPECT_EQ(sim::stored_output_template_format(store, "velocinta-tga-v1"), sim::FrameFileFormat::Tga);
  EXPECT_EQ(sim::stored_output_template_format(store, "velocinta-memory-v1"), std::nullopt);
  EXPECT_EQ(sim::stored_output_template_format(nlohmann::json::object(), "Photoshop"), std::nullopt);
  // A template that names an output module by its signature.
  EXPECT_EQ(sim::stored_output_module(store, "velocinta-memory-v1"), "VnM1");
  EXPECT_EQ(sim::stored_output_module(store, "Photoshop"), std::nullopt);
  EXPECT_EQ(sim::stored_output_module(store, "short-module"), std::nullopt);
  EXPECT_EQ(sim::stored_output_module(store, "absent"), std::nullopt);
}

}  // namespace
