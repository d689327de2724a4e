// What a stack of solid layers makes of any premultiplied pixel, as one table.
//
// A solid layer's result for a colour channel depends only on that channel's
// byte and the pixel's alpha byte, and its alpha only on the alpha byte. So
// one table of 65536 pixels, indexed by alpha x 256 + byte, holds a layer's
// whole effect: entry (A, c) is what the layer makes of the pixel (c, c, c, A),
// and a pixel's red comes from its red byte's entry, green from green's, blue
// and alpha from blue's. Blending a second layer over the table's own pixels
// gives the table of both, in that order, to the same bytes: however many
// layers cover a pixel, one lookup applies them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vel {

class BlendTable {
 public:
  static constexpr size_t kEntries = size_t{1} << 16;

  // The table that changes nothing: entry (A, c) is (c, c, c, A). Null when
  // the memory cannot be had, or on a processor whose 32-bit words do not
  // hold R, G, B, A from their low end (the lookups rely on it).
  static std::unique_ptr<BlendTable> identity();

  // The entries as kEntries premultiplied RGBA pixels, to blend a layer over
  // them in place: the table then ends with that layer.
  uint8_t* pixels() { return reinterpret_cast<uint8_t*>(entries_.get()); }

  // The table of this one followed by `after`, made by looking each entry up
  // in `after`; the same bytes as blending after's layers over the entries.
  void compose(const BlendTable& after);

  // Applies the table to `count` pixels at `pixels` (4 bytes each) in place.
  void apply(uint8_t* pixels, size_t count) const;

 private:
  BlendTable() = default;
  std::unique_ptr<uint32_t[]> entries_;
};

// The tables of the layer stacks a scene has needed, by the exact sequence of
// what each layer blends with: its kernel, its colour and its opacity, bit for
// bit (the shape and place of a layer do not change its table). Frames of one
// composition share colours and opacities while positions and rotations move,
// so a table made for one frame serves the next. Holds a few tables, dropping
// the least recently used; any number of threads may use it at once.
class BlendTableCache {
 public:
  using Key = std::vector<uint64_t>;
  static constexpr size_t kCapacity = 8;  // 256 KiB each

  std::shared_ptr<const BlendTable> find(const Key& key);
  void insert(Key key, std::shared_ptr<const BlendTable> table);
  size_t size();

 private:
  struct Entry {
    Key key;
    std::shared_ptr<const BlendTable> table;
    uint64_t used = 0;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  uint64_t clock_ = 0;
};

}  // namespace vel
