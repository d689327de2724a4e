// The suites called in-process, as a plug-in calls them: handles are checked,
// edits move the timestamp and make old handles stale, worlds are readable
// only while lent.
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "hostsdk/comp_suite.h"
#include "hostsdk/item_suite.h"
#include "hostsdk/layer_suite.h"
#include "hostsdk/memory_suite.h"
#include "hostsdk/render.h"
#include "project/project_json.h"
#include "simhost/host.h"
#include "suite_table.h"

namespace sim {
namespace {

class SuiteCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    Host& h = host();
    h.main_thread = std::this_thread::get_id();
    static bool installed = false;
    if (!installed) install_suites(h);
    installed = true;
    Result<Project> p = parse_project_text(R"({"active_comp": "C", "compositions": [{
        "name": "C", "width": 10, "height": 6, "frame_duration": [1, 25], "duration": [50, 25],
        "layers": [
          {"name": "top", "three_d": true, "solid": {"name": "Teal", "color": [0, 0.5, 0.5], "width": 4, "height": 2}},
          {"name": "off", "enabled": false},
          {"name": "base", "solid": {"name": "White", "color": [1, 1, 1]}}]}]})");
    ASSERT_TRUE(p.ok()) << p.error();
    h.project.open(std::move(p).value(), "");
    items = suite<AEGP_ItemSuite14>(kAEGPItemSuite, kAEGPItemSuiteVersion14);
    comps = suite<AEGP_CompSuite25>(kAEGPCompSuite, kAEGPCompSuiteVersion25);
    layers = suite<AEGP_LayerSuite15>(kAEGPLayerSuite, kAEGPLayerSuiteVersion15);
    options = suite<AEGP_RenderOptionsSuite4>(kAEGPRenderOptionsSuite, kAEGPRenderOptionsSuiteVersion4);
    render = suite<AEGP_RenderSuite8>(kAEGPRenderSuite, kAEGPRenderSuiteVersion8);
    worlds = suite<AEGP_WorldSuite3>(kAEGPWorldSuite, kAEGPWorldSuiteVersion3);
    memory = suite<AEGP_MemorySuite1>(kAEGPMemorySuite, kAEGPMemorySuiteVersion1);
    ASSERT_EQ(items->GetActiveItem(&item), 0);
    ASSERT_EQ(comps->GetCompFromItem(item, &comp), 0);
    ASSERT_NE(comp, nullptr);
  }

  const AEGP_ItemSuite14* items = nullptr;
  const AEGP_CompSuite25* comps = nullptr;
  const AEGP_LayerSuite15* layers = nullptr;
  const AEGP_RenderOptionsSuite4* options = nullptr;
  const AEGP_RenderSuite8* render = nullptr;
  const AEGP_WorldSuite3* worlds = nullptr;
  const AEGP_MemorySuite1* memory = nullptr;
  AEGP_ItemH item = nullptr;
  AEGP_CompH comp = nullptr;
};

TEST_F(SuiteCalls, LayersAndTheirSolidItems) {
  A_long n = 0;
  ASSERT_EQ(layers->GetCompNumLayers(comp, &n), 0);
  EXPECT_EQ(n, 3);
  struct Case {
    A_long index;
    AEGP_LayerFlags flags;
    bool has_source;
  };
  const Case cases[] = {{0, AEGP_LayerFlag_VIDEO_ACTIVE | AEGP_LayerFlag_LAYER_IS_3D, true}, {1, 0, false},
                        {2, AEGP_LayerFlag_VIDEO_ACTIVE, true}};
  for (const Case& c : cases) {
    AEGP_LayerH layer = nullptr;
    ASSERT_EQ(layers->GetCompLayerByIndex(comp, c.index, &layer), 0);
    AEGP_LayerFlags flags = -1;
    EXPECT_EQ(layers->GetLayerFlags(layer, &flags), 0);
    EXPECT_EQ(flags, c.flags) << c.index;
    AEGP_ItemH source = nullptr;
    EXPECT_EQ(layers->GetLayerSourceItem(layer, &source), 0);
    EXPECT_EQ(source != nullptr, c.has_source) << c.index;
  }
  AEGP_LayerH top = nullptr;
  AEGP_ItemH solid = nullptr;
  ASSERT_EQ(layers->GetCompLayerByIndex(comp, 0, &top), 0);
  ASSERT_EQ(layers->GetLayerSourceItem(top, &solid), 0);
  AEGP_ItemType type = 0;
  A_long w = 0, h = 0;
  EXPECT_EQ(items->GetItemType(solid, &type), 0);
  EXPECT_EQ(type, AEGP_ItemType_FOOTAGE);
  EXPECT_EQ(items->GetItemDimensions(solid, &w, &h), 0);
  EXPECT_EQ(w * 100 + h, 402);
  AEGP_CompH not_comp = reinterpret_cast<AEGP_CompH>(1);
  EXPECT_EQ(comps->GetCompFromItem(solid, &not_comp), 0);
  EXPECT_EQ(not_comp, nullptr);

  // The project's items: the composition, then its two solids.
  int count = 0;
  AEGP_ProjectH project = reinterpret_cast<AEGP_ProjectH>(0x13);
  AEGP_ItemH it = nullptr;
  ASSERT_EQ(items->GetFirstProjItem(project, &it), 0);
  while (it && count < 10) {
    ++count;
    ASSERT_EQ(items->GetNextProjItem(project, it, &it), 0);
  }
  EXPECT_EQ(count, 3);
}

TEST_F(SuiteCalls, WrongKindOutOfRangeAndStaleHandlesAreRefused) {
  AEGP_LayerH layer = nullptr;
  A_long n = 0;
  EXPECT_NE(layers->GetCompLayerByIndex(comp, 3, &layer), 0);
  EXPECT_NE(layers->GetCompLayerByIndex(comp, -1, &layer), 0);
  EXPECT_NE(layers->GetCompNumLayers(reinterpret_cast<AEGP_CompH>(item), &n), 0) << "an item is not a comp";
  A_long w = 0, h = 0;
  EXPECT_NE(items->GetItemDimensions(reinterpret_cast<AEGP_ItemH>(comp), &w, &h), 0);
  EXPECT_NE(items->GetItemDimensions(nullptr, &w, &h), 0);

  ASSERT_EQ(layers->GetCompLayerByIndex(comp, 2, &layer), 0);
  ASSERT_TRUE(host().project.edit("/compositions/0/layers", nlohmann::json::array()).ok());
  AEGP_LayerFlags flags = 0;
  EXPECT_NE(layers->GetLayerFlags(layer, &flags), 0) << "the layer is gone";
  EXPECT_EQ(items->GetItemDimensions(item, &w, &h), 0) << "the composition is still there";
}

TEST_F(SuiteCalls, TimestampMovesWithEveryChange) {
  AEGP_TimeStamp a{}, b{}, c{};
  ASSERT_EQ(render->AEGP_GetCurrentTimestamp(&a), 0);
  ASSERT_EQ(render->AEGP_GetCurrentTimestamp(&b), 0);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
  A_Time start{5, 25}, dur{10, 25};
  ASSERT_EQ(comps->SetCompWorkAreaStartAndDuration(comp, &start, &dur), 0);
  ASSERT_EQ(render->AEGP_GetCurrentTimestamp(&c), 0);
  EXPECT_NE(std::memcmp(&b, &c, sizeof b), 0);

  A_Time past_end{45, 25};
  EXPECT_NE(comps->SetCompWorkAreaStartAndDuration(comp, &past_end, &dur), 0);
  A_Time got{};
  ASSERT_EQ(comps->GetCompWorkAreaStart(comp, &got), 0);
  EXPECT_EQ(got.value, 5);

  // Main-thread-only calls are refused elsewhere.
  A_Err from_thread = 0;
  std::thread([&] { from_thread = render->AEGP_GetCurrentTimestamp(&a); }).join();
  EXPECT_EQ(from_thread, A_Err_WRONG_THREAD);
}

TEST_F(SuiteCalls, RenderedWorldIsReadableOnlyWhileCheckedOut) {
  AEGP_RenderOptionsH o = nullptr;
  ASSERT_EQ(options->AEGP_NewFromItem(1, item, &o), 0);
  EXPECT_NE(options->AEGP_SetDownsampleFactor(o, 0, 1), 0);
  EXPECT_NE(options->AEGP_SetWorldType(o, AEGP_WorldType_NONE), 0);
  EXPECT_NE(options->AEGP_SetTime(o, A_Time{1, 0}), 0);
  ASSERT_EQ(options->AEGP_SetWorldType(o, AEGP_WorldType_16), 0);
  ASSERT_EQ(options->AEGP_SetDownsampleFactor(o, 3, 3), 0);

  AEGP_FrameReceiptH receipt = nullptr;
  ASSERT_EQ(render->AEGP_RenderAndCheckoutFrame(o, &receipt), 0);
  AEGP_WorldH world = nullptr;
  ASSERT_EQ(render->AEGP_GetReceiptWorld(receipt, &world), 0);
  A_long w = 0, h = 0;
  AEGP_WorldType type = 0;
  A_u_long row_bytes = 0;
  EXPECT_EQ(worlds->AEGP_GetSize(world, &w, &h), 0);
  EXPECT_EQ(w, 4);  // 10 / 3 rounded up
  EXPECT_EQ(h, 2);
  EXPECT_EQ(worlds->AEGP_GetType(world, &type), 0);
  EXPECT_EQ(type, AEGP_WorldType_16);
  EXPECT_EQ(worlds->AEGP_GetRowBytes(world, &row_bytes), 0);
  EXPECT_GE(row_bytes, 4u * 8u);

  EXPECT_EQ(render->AEGP_CheckinFrame(receipt), 0);
  EXPECT_NE(render->AEGP_CheckinFrame(receipt), 0) << "checked in twice";
  EXPECT_NE(worlds->AEGP_GetSize(world, &w, &h), 0) << "the world went with its receipt";
  EXPECT_EQ(options->AEGP_Dispose(o), 0);
  EXPECT_NE(options->AEGP_Dispose(o), 0);
}

TEST_F(SuiteCalls, MemoryHandlesCountTheirLocks) {
  AEGP_MemHandle m = nullptr;
  ASSERT_EQ(memory->NewMemHandle(1, "t", 16, AEGP_MemFlag_NONE, &m), 0);
  void* p = nullptr;
  EXPECT_NE(memory->UnlockMemHandle(m), 0) << "not locked";
  EXPECT_EQ(memory->LockMemHandle(m, &p), 0);
  EXPECT_EQ(memory->LockMemHandle(m, &p), 0);
  EXPECT_EQ(memory->UnlockMemHandle(m), 0);
  EXPECT_EQ(memory->UnlockMemHandle(m), 0);
  EXPECT_NE(memory->UnlockMemHandle(m), 0);
  EXPECT_EQ(memory->FreeMemHandle(m), 0);
  EXPECT_NE(memory->FreeMemHandle(m), 0) << "freed twice";
  EXPECT_NE(memory->NewMemHandle(1, "huge", 1ull << 40, AEGP_MemFlag_NONE, &m), 0);
  EXPECT_EQ(m, nullptr);
}

}  // namespace
}  // namespace sim
