// The comp dump's text: key order, the pretty form, numbers and strings.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "raster/comp_dump.h"

namespace vel {
namespace {

CompModel small_model() {
  CompModel m;
  m.name = "Q \"quoted\"\n";
  m.width = 4;
  m.height = 2;
  m.frame_rate = 30;
  m.duration = 2.5;
  m.bg_color = {0.5f, 0.25f, 1.0f};
  LayerModel l;
  l.index = 3;
  l.name = "L";
  l.kind = LayerKind::Null;
  l.in_point = 0;
  l.out_point = 1;
  l.blend_mode = "normal";
  l.transform.position = AnimatedVec2::keyed({{0, {1, 2}, Interpolation::Linear},
                                              {1, {3, 4}, Interpolation::Bezier, TemporalEase{0, 50}, TemporalEase{2, 25}}});
  l.transform.scale = AnimatedVec2::constant({100, 100});
  l.transform.opacity = AnimatedScalar::constant(100);
  l.effects.push_back({"ADBE Fill", true, false});
  l.unsupported = {"masks(3)"};
  m.layers.push_back(l);
  m.unsupported = {"markers", "motion_blur_settings"};
  return m;
}

TEST(CompDump, KeyOrderAndForm) {
  CompModel m = small_model();
  m.layers.clear();
  auto text = comp_dump_text(m);
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(text.value(), R"({
  "schema_version": 0,
  "comp": {
    "name": "Q \"quoted\"\n",
    "width": 4,
    "height": 2,
    "frame_rate": 30.0,
    "duration": 2.5,
    "bg_color": [
      0.5,
      0.25,
      1.0
    ],
    "layers": [],
    "unsupported": [
      "markers",
      "motion_blur_settings"
    ]
  }
})");
}

TEST(CompDump, LayerKeysInOrderWithOptionalOnesLeftOut) {
  auto text = comp_dump_text(small_model());
  ASSERT_TRUE(text.ok());
  auto doc = nlohmann::ordered_json::parse(text.value());
  const auto& layer = doc["comp"]["layers"][0];
  std::vector<std::string> keys;
  for (const auto& [k, v] : layer.items()) keys.push_back(k);
  // No source: no "source" key; no matte: null.
  EXPECT_EQ(keys, (std::vector<std::string>{"index", "name", "kind", "in_point", "out_point", "start_time", "enabled",
                                            "three_d", "blend_mode", "track_matte", "transform", "masks", "effects",
                                            "unsupported"}));
  EXPECT_TRUE(layer["track_matte"].is_null());
  EXPECT_EQ(layer["kind"], "null");
  const auto& keysj = layer["transform"]["position"]["keyframes"];
  std::vector<std::string> first, second;
  for (const auto& [k, v] : keysj[0].items()) first.push_back(k);
  for (const auto& [k, v] : keysj[1].items()) second.push_back(k);
  EXPECT_EQ(first, (std::vector<std::string>{"t", "v", "interp"}));
  EXPECT_EQ(second, (std::vector<std::string>{"t", "v", "interp", "ease_in", "ease_out"}));
  EXPECT_EQ(layer["transform"]["opacity"].dump(), R"({"static":100.0})");
  EXPECT_EQ(layer["effects"][0].dump(), R"({"match_name":"ADBE Fill","enabled":true,"params_captured":false})");
  // The writer's pretty form is the JSON library's own.
  EXPECT_EQ(text.value(), doc.dump(2));
}

TEST(CompDump, SourcesMattesAndMasks) {
  CompModel m = small_model();
  LayerModel& l = m.layers[0];
  const struct {
    LayerSource source;
    const char* json;
  } cases[] = {
      {FootageSource{"a.mov"}, R"({"type":"footage","path":"a.mov"})"},
      {CompSource{"Inner"}, R"({"type":"comp","comp_name":"Inner"})"},
      {SolidSource{{0.1f, 0.2f, 0.3f}, 8, 9}, R"({"type":"solid","color":[0.1,0.2,0.3],"width":8,"height":9})"},
      {UnsupportedSource{"item_type(1): F"}, R"({"type":"unsupported","desc":"item_type(1): F"})"},
  };
  for (const auto& c : cases) {
    l.source = c.source;
    auto text = comp_dump_text(m);
    ASSERT_TRUE(text.ok());
    // Compared as text: the single-precision channels must come out short.
    const std::string compact = nlohmann::ordered_json::parse(text.value())["comp"]["layers"][0]["source"].dump();
    if (std::holds_alternative<SolidSource>(c.source)) {
      EXPECT_NE(text.value().find(" 0.1,\n"), std::string::npos);
      EXPECT_EQ(text.value().find("0.100000001"), std::string::npos);
      EXPECT_EQ(compact, c.json) << "the library reads the short text back to the same float";
    } else {
      EXPECT_EQ(compact, c.json);
    }
  }
  l.track_matte = TrackMatte{TrackMatteMode::LumaInverted, 2};
  l.masks.push_back({"Mask 1", MaskMode::Subtract, true, AnimatedScalar::constant(50), AnimatedVec2::constant({1, 1}),
                     AnimatedScalar::constant(0), false});
  auto doc = nlohmann::ordered_json::parse(comp_dump_text(m).value());
  EXPECT_EQ(doc["comp"]["layers"][0]["track_matte"].dump(), R"({"mode":"luma_inverted","layer_index":2})");
  EXPECT_EQ(doc["comp"]["layers"][0]["masks"][0].dump(),
            R"({"name":"Mask 1","mode":"subtract","inverted":true,"opacity":{"static":50.0},)"
            R"("feather":{"static":[1.0,1.0]},"expansion":{"static":0.0},"path_captured":false})");
}

TEST(CompDump, NonFiniteNumbersAreNullAndBadTextIsRefused) {
  CompModel m = small_model();
  m.frame_rate = std::nan("");
  m.duration = -INFINITY;
  auto text = comp_dump_text(m);
  ASSERT_TRUE(text.ok());
  auto doc = nlohmann::ordered_json::parse(text.value());
  EXPECT_TRUE(doc["comp"]["frame_rate"].is_null());
  EXPECT_TRUE(doc["comp"]["duration"].is_null());

  m.layers[0].name = "bad \xC3";
  auto bad = comp_dump_text(m);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "invalid UTF-8 in a string");
}

TEST(CompDump, OnlyUtf8NamesAreWritten) {
  const struct {
    const char* s;
    bool ok;
  } cases[] = {{"plain", true},      {"caf\xC3\xA9", true},     {"\xF0\x9F\x8E\xAC", true}, {"\xC3", false},
               {"\xC0\xAF", false},  {"\xED\xA0\x80", false},   {"\xF4\x90\x80\x80", false}, {"\xFF", false}};
  for (const auto& c : cases) {
    CompModel m = small_model();
    m.layers[0].effects[0].match_name = c.s;
    EXPECT_EQ(comp_dump_text(m).ok(), c.ok) << c.s;
  }
}

}  // namespace
}  // namespace vel
