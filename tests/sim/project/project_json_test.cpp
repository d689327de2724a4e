#include "project/project_json.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "project/project_store.h"
#include "vel_build_paths.h"

namespace sim {
namespace {

using nlohmann::json;

json minimal() {
  return json::parse(R"({
    "active_comp": "A",
    "compositions": [{
      "name": "A", "width": 64, "height": 32,
      "frame_duration": [1, 24], "duration": [48, 24],
      "layers": [{
        "name": "L",
        "solid": {"color": [1, 0, 0], "width": 10, "height": 10},
        "transform": {"opacity": {"keyframes": [
          {"time": [0, 24], "value": 0},
          {"time": [24, 24], "value": 100, "interp": "bezier",
           "ease_in": {"speed": 0, "influence": 33}, "ease_out": {"speed": 0, "influence": 33}}]}}
      }]
    }]
  })");
}

std::string repo_file(const char* rel) {
  return std::string(VEL_SOURCE_DIR) + "/" + rel;
}

TEST(ProjectJson, BadInputIsRefusedNamingTheField) {
  struct Case {
    const char* pointer;
    json value;
    const char* want;
  };
  const Case cases[] = {
      {"/compositions", json::object(), "compositions: expected an array"},
      {"/compositions/0/width", 0, "compositions[0].width: out of range"},
      {"/compositions/0/height", 1.5, "compositions[0].height: expected an integer"},
      {"/compositions/0/frame_duration", json::array({1, 0}), "compositions[0].frame_duration[1]: out of range"},
      {"/compositions/0/frame_duration", json::array({0, 24}), "frame_duration: must be above 0"},
      {"/compositions/0/duration", json::array({1, 2, 3}), "duration: expected a time"},
      {"/compositions/0/work_area", json{{"start", {40, 24}}, {"duration", {24, 24}}}, "work_area: must lie inside"},
      {"/compositions/0/current_time", json::array({-1, 24}), "current_time: outside the composition"},
      {"/compositions/0/layers/0/blend_mode", "sparkle", "layers[0].blend_mode: unknown blend mode"},
      {"/compositions/0/layers/0/solid/color", json::array({1, 0}), "solid.color: expected [red, green, blue]"},
      {"/compositions/0/layers/0/transform/opacity", "half", "transform.opacity: expected a number"},
      {"/compositions/0/layers/0/transform/position", json::array({1}), "position: expected [x, y] or [x, y, z]"},
      {"/compositions/0/layers/0/transform/opacity/keyframes/1/time", json::array({0, 24}),
       "keyframes[1].time: keyframe times must increase"},
      {"/compositions/0/layers/0/transform/opacity/keyframes/0/interp", "smooth",
       "keyframes[0].interp: expected \"linear\", \"bezier\" or \"hold\""},
      {"/compositions/0/layers/0/transform/opacity/keyframes/1/ease_in", json{{"speed", 1}},
       "ease_in: missing \"influence\""},
      {"/compositions/0/layers/0/duration", json::array({-1, 24}), "layers[0].duration: negative"},
      {"/compositions/0/layers/0/name", nullptr, "layers[0].name: expected a string"},
      {"/active_comp", "B", "active_comp: no composition named \"B\""},
      {"/compositions/1", json{{"name", "A"}, {"width", 8}, {"height", 8}, {"frame_duration", {1, 24}},
                               {"duration", {1, 24}}},
       "compositions[1].name: duplicate composition name"},
  };
  for (const Case& c : cases) {
    json doc = minimal();
    doc[json::json_pointer(c.pointer)] = c.value;
    Result<Project> p = project_from_json(doc);
    ASSERT_FALSE(p.ok()) << c.pointer;
    EXPECT_NE(p.error().find(c.want), std::string::npos) << c.pointer << " gave: " << p.error();
  }
  EXPECT_FALSE(parse_project_text("{\"compositions\": [").ok());
  EXPECT_FALSE(parse_project_text("[1,2]").ok());
  EXPECT_TRUE(project_from_json(minimal()).ok());
}

TEST(ProjectJson, DefaultsPlaceANewSolidCentred) {
  Result<Project> p = project_from_json(minimal());
  ASSERT_TRUE(p.ok());
  const Layer& l = p.value().comps[0].layers[0];
  EXPECT_EQ(l.transform.anchor.fixed, (Vec3{5, 5, 0}));
  EXPECT_EQ(l.transform.position.fixed, (Vec3{32, 16, 0}));
  EXPECT_EQ(l.duration, (HostTime{48, 24}));
  EXPECT_EQ(l.transform.opacity.keys[0].in_interp, Interp::linear);
  EXPECT_TRUE(l.transform.opacity.keys[1].ease_out.has_value());
}

TEST(ProjectJson, WritingAndReadingBackKeepsEverything) {
  Result<Project> sample = load_project_file(repo_file("demo/sample.aep"));
  ASSERT_TRUE(sample.ok()) << sample.error();
  Project p = sample.value();
  p.comps[0].layers[0].transfer_mode = 26;  // the second "difference"
  p.comps[0].layers[1].transform.scale.keys[0].out_interp = Interp::hold;
  json once = project_to_json(p);
  Result<Project> back = project_from_json(once);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(project_to_json(back.value()), once);
  EXPECT_EQ(back.value().comps[0].layers[0].transfer_mode, 26);
}

TEST(ProjectStore, EditsPublishANewProjectOrNothing) {
  ProjectStore store;
  store.open(project_from_json(minimal()).value(), "");
  ProjectSnapshot before = store.snapshot();
  const uint64_t changes = store.change_count();
  const uint32_t id = before->comps[0].id;

  ASSERT_TRUE(store.edit("/compositions/0/layers/0/solid/color", json::array({0, 1, 0})).ok());
  EXPECT_EQ(store.snapshot()->comps[0].layers[0].solid->color, (std::array<double, 3>{0, 1, 0}));
  EXPECT_EQ(store.snapshot()->comps[0].id, id);
  EXPECT_EQ(store.change_count(), changes + 1);
  EXPECT_TRUE(store.dirty());
  EXPECT_EQ(before->comps[0].layers[0].solid->color[0], 1.0);  // a held snapshot never changes

  EXPECT_FALSE(store.edit("/compositions/0/width", "wide").ok());
  EXPECT_FALSE(store.edit("/compositions/0/width/x", 3).ok());
  EXPECT_EQ(store.change_count(), changes + 1);
  EXPECT_EQ(store.snapshot()->comps[0].width, 64);
  EXPECT_FALSE(store.save().ok());  // no file to save to
}

}  // namespace
}  // namespace sim
