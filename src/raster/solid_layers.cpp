// A stack of solid layers drawn together. Each covered pixel gets each
// layer's blend once, in layer order, and a pixel's result depends on no
// other pixel: so the layers may be drawn row by row rather than layer by
// layer, and where a row is covered by all of them the whole stack acts as
// one function of the pixel, a single table. Each member keeps one
// blender for every pixel it draws itself, so that it turns to its own
// table as it would drawn alone.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "raster/blend_table.h"
#include "raster/solid_placement.h"
#include "raster/solid_rasterizer.h"
#include "raster/span_blend.h"

namespace vel {
namespace {

// A layer whose rows are runs and which blends (no opaque store), as one of
// a stack of such layers drawn together.
struct Member {
  const SolidPaint* paint;
  double opacity;
  Placement placement;
  Box box;
};

// Consecutive members, drawn row by row: in each row, what every member
// covers (the columns all of them cover) and what only some do.
class Stack {
 public:
  Stack(const std::vector<Member>& members, Canvas& canvas, BlendTableCache* tables)
      : members_(members), canvas_(canvas), tables_(tables) {
    const size_t n = members.size();
    runs_.reserve(n);
    blenders_.reserve(n);
    key_.reserve(5 * n);
    for (const Member& m : members) {
      runs_.emplace_back(m.placement, m.box);
      blenders_.emplace_back(*m.paint, m.opacity);
      key_.insert(key_.end(), {reinterpret_cast<uintptr_t>(m.paint->kernel), std::bit_cast<uint64_t>(m.paint->red),
                               std::bit_cast<uint64_t>(m.paint->green), std::bit_cast<uint64_t>(m.paint->blue),
                               std::bit_cast<uint64_t>(m.opacity)});
    }
    if (tables_) table_ = tables_->find(key_);
  }

  void draw() {
    int64_t y0 = members_.front().box.y0, y1 = members_.front().box.y1;
    for (const Member& m : members_) {
      y0 = std::min(y0, m.box.y0);
      y1 = std::max(y1, m.box.y1);
    }
    std::vector<std::pair<int64_t, int64_t>> row(members_.size());
    for (int64_t j = y0; j < y1; ++j) {
      int64_t first = INT64_MIN, end = INT64_MAX;
      for (size_t i = 0; i < members_.size(); ++i) {
        row[i] = runs_[i].run(j);
        first = std::max(first, row[i].first);
        end = std::min(end, row[i].second);
      }
      if (first < end && table_) {
        // Each member's pixels outside the columns all cover, then those
        // columns in one lookup.
        for (size_t i = 0; i < members_.size(); ++i) {
          blend(i, row[i].first, first, j);
          blend(i, end, row[i].second, j);
        }
        const std::span<uint8_t> all = canvas_.run(first, end, j);
        if (!all.empty()) table_->apply(all.data(), all.size() / 4);
        continue;
      }
      const size_t shared = first < end ? static_cast<size_t>(end - first) : 0;
      for (size_t i = 0; i < members_.size(); ++i) {
        const size_t before = blenders_[i].settled_pixels();
        const size_t length = blend(i, row[i].first, row[i].second, j);
        if (shared && length) settled_ += (blenders_[i].settled_pixels() - before) * shared / length;
      }
      if (shared && !gave_up_ && settled_ >= members_.size() * SpanBlender::kTableAfter) make_table();
    }
  }

 private:
  size_t blend(size_t i, int64_t first, int64_t end, int64_t j) {
    const std::span<uint8_t> run = canvas_.run(first, end, j);
    if (!run.empty()) blenders_[i].blend(run.data(), run.size() / 4);
    return run.size() / 4;
  }

  // Made once the members have settled, on the columns all of them cover,
  // about as many pixels as making the table costs (each member's blend of
  // its 65536 pixels settles about that many). A backdrop of flat runs
  // settles next to nothing and never gets there.
  void make_table() {
    std::unique_ptr<BlendTable> made = BlendTable::identity();
    if (!made) {
      gave_up_ = true;
      return;
    }
    for (size_t i = 0; i < members_.size(); ++i) {
      // A member that made its own table already is looked up, not blended.
      if (const BlendTable* own = blenders_[i].table()) {
        made->compose(*own);
      } else {
        SpanBlender(*members_[i].paint, members_[i].opacity)
            .blend_with(best_vector_kernel(), made->pixels(), BlendTable::kEntries);
      }
    }
    try {
      table_ = std::shared_ptr<const BlendTable>(std::move(made));
      if (tables_) tables_->insert(key_, table_);
    } catch (const std::bad_alloc&) {
      // The table is a saving, not a need: without it the layers are
      // blended one by one, and a table not kept is made again next frame.
      gave_up_ = !table_;
    }
  }

  const std::vector<Member>& members_;
  Canvas& canvas_;
  BlendTableCache* tables_;
  std::vector<RowRuns> runs_;
  std::vector<SpanBlender> blenders_;
  BlendTableCache::Key key_;
  std::shared_ptr<const BlendTable> table_;
  size_t settled_ = 0;
  bool gave_up_ = false;
};

}  // namespace

void rasterize_solid_layers(std::span<uint8_t> pixels, uint32_t width, uint32_t height, uint32_t downsample,
                            std::span<const SolidLayerDraw> layers, bool optimize, BlendTableCache* tables) {
  if (!optimize) {
    for (const SolidLayerDraw& l : layers) {
      rasterize_solid_layer(pixels, width, height, downsample, *l.paint, l.transform, false);
    }
    return;
  }
  Canvas canvas(pixels, width);
  // A layer that cannot join the stack ends it and is drawn alone after it.
  std::vector<Member> stack;
  std::vector<size_t> from;  // which layer each member is
  const auto draw_stack = [&] {
    if (stack.size() == 1) {
      rasterize_solid_layer(pixels, width, height, downsample, *stack[0].paint, layers[from[0]].transform, true);
    } else if (stack.size() > 1) {
      Stack(stack, canvas, tables).draw();
    }
    stack.clear();
    from.clear();
  };
  for (size_t i = 0; i < layers.size(); ++i) {
    const SolidLayerDraw& l = layers[i];
    const std::optional<Placement> placed = place_solid(*l.paint, l.transform, downsample);
    if (!placed) continue;  // draws nothing, so it splits no stack
    const Box box = bounding_box(*placed, width, height);
    if (box.empty()) continue;
    const bool store = l.transform.opacity == 1.0 && l.paint->is_normal;
    if (!store && rows_are_monotone(*placed) && SpanBlender(*l.paint, l.transform.opacity).vectorised()) {
      stack.push_back({l.paint, l.transform.opacity, *placed, box});
      from.push_back(i);
      continue;
    }
    draw_stack();
    rasterize_solid_layer(pixels, width, height, downsample, *l.paint, l.transform, true);
  }
  draw_stack();
}

}  // namespace vel
