// The host's stream types as the access layer accepts them.
#include <gtest/gtest.h>

#include "host/stream_calls.h"

namespace vel {
namespace {

TEST(StreamKind, KnownTypesMapAndMarkerOrArbitraryDataAreRefused) {
  const struct {
    int32_t type;
    StreamKind kind;
  } known[] = {{0, StreamKind::None},   {1, StreamKind::ThreeDSpatial}, {2, StreamKind::ThreeD},
               {3, StreamKind::TwoDSpatial}, {4, StreamKind::TwoD}, {5, StreamKind::OneD},
               {6, StreamKind::Color},  {9, StreamKind::LayerId},       {10, StreamKind::MaskId},
               {11, StreamKind::Mask},  {12, StreamKind::TextDocument}};
  for (const auto& c : known) {
    auto k = stream_kind_from_type(c.type);
    ASSERT_TRUE(k.ok()) << c.type;
    EXPECT_EQ(k.value(), c.kind) << c.type;
  }
  for (int32_t type : {7, 8, 13, -1}) {
    auto k = stream_kind_from_type(type);
    ASSERT_FALSE(k.ok()) << type;
    EXPECT_EQ(k.error().kind(), AeErrorKind::Internal);
    EXPECT_EQ(k.error().name(), "Unknown enum value AEGP_StreamType: " + std::to_string(type));
  }
}

}  // namespace
}  // namespace vel
