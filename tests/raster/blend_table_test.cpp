// A table of layers against the layers themselves, pixel by pixel through
// `composite_pixel`, and the cache that keeps such tables between frames.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "raster/blend_table.h"
#include "raster/span_blend.h"

namespace vel {
namespace {

// Premultiplied pixels of every alpha, and a few that are not (a colour
// above its alpha), which a table must still map as the layers do.
std::vector<uint8_t> pixels_of_every_alpha() {
  std::mt19937 rng(9);
  std::vector<uint8_t> px(4 * 40000);
  for (size_t p = 0; p < px.size(); p += 4) {
    const uint32_t x = rng(), a = (p / 4) % 256, over = p % 7 == 0;
    for (uint32_t ch = 0; ch < 3; ++ch) px[p + ch] = static_cast<uint8_t>(((x >> (8 * ch)) & 0xFF) * (a + over) / 255);
    px[p + 3] = static_cast<uint8_t>(a);
  }
  return px;
}

std::unique_ptr<BlendTable> table_of(std::initializer_list<std::pair<const SolidPaint*, double>> layers) {
  std::unique_ptr<BlendTable> t = BlendTable::identity();
  for (const auto& [paint, opacity] : layers) {
    SpanBlender(*paint, opacity).blend_with(best_vector_kernel(), t->pixels(), BlendTable::kEntries);
  }
  return t;
}

TEST(BlendTable, ComposedTablesMatchBlendingEachLayer) {
  const SolidPaint first{blend_for_name("overlay"), 1, 1, 0.5, 0.2f, 0.9f, false};
  const SolidPaint second{blend_for_name("difference"), 1, 1, 0.74f, 0.5, 0.1, false};
  const SolidPaint third{blend_for_name("screen"), 1, 1, 0.3, 0.6f, 0.5, false};
  const std::vector<uint8_t> under = pixels_of_every_alpha();
  std::vector<uint8_t> expected = under;
  for (size_t p = 0; p < expected.size(); p += 4) {
    composite_pixel(0.6, expected.data() + p, first, 0);
    composite_pixel(0.35, expected.data() + p, second, 0);
    composite_pixel(0.8, expected.data() + p, third, 0);
  }
  if (!BlendTable::identity()) GTEST_SKIP() << "no tables on this processor";

  // Each layer blended over the table in turn, and tables of one layer
  // composed after the first.
  auto blended = table_of({{&first, 0.6}, {&second, 0.35}, {&third, 0.8}});
  auto composed = table_of({{&first, 0.6}});
  composed->compose(*table_of({{&second, 0.35}}));
  composed->compose(*table_of({{&third, 0.8}}));
  for (const BlendTable* t : {blended.get(), composed.get()}) {
    std::vector<uint8_t> got = under;
    t->apply(got.data(), got.size() / 4);
    ASSERT_EQ(got, expected) << (t == blended.get() ? "blended" : "composed");
  }
  std::vector<uint8_t> unchanged = under;
  BlendTable::identity()->apply(unchanged.data(), unchanged.size() / 4);
  EXPECT_EQ(unchanged, under);
}

TEST(BlendTableCache, KeepsTheMostRecentlyUsed) {
  BlendTableCache cache;
  std::shared_ptr<const BlendTable> tables[BlendTableCache::kCapacity + 1];
  for (auto& t : tables) t = BlendTable::identity();
  for (uint64_t k = 0; k < BlendTableCache::kCapacity; ++k) cache.insert({k, 7}, tables[k]);
  // Key 0, the oldest, is used again; key 1 is then the least recent.
  EXPECT_EQ(cache.find({0, 7}), tables[0]);
  cache.insert({99, 7}, tables[BlendTableCache::kCapacity]);
  // A second insert of a key kept keeps the first table.
  cache.insert({99, 7}, tables[2]);
  struct Want {
    BlendTableCache::Key key;
    std::shared_ptr<const BlendTable> table;
  } wants[] = {{{0, 7}, tables[0]},
               {{1, 7}, nullptr},
               {{2, 7}, tables[2]},
               {{99, 7}, tables[BlendTableCache::kCapacity]},
               {{0}, nullptr},
               {{0, 7, 0}, nullptr}};
  for (const Want& w : wants) EXPECT_EQ(cache.find(w.key), w.table) << w.key.size() << " words from " << w.key[0];
  EXPECT_EQ(cache.size(), BlendTableCache::kCapacity);
}

}  // namespace
}  // namespace vel
