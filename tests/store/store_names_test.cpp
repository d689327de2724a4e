#include "store/store_names.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/file_replace.h"

namespace vel {
namespace {

TEST(FrameFileNames, KeyToNameAndTemporaryName) {
  EXPECT_EQ(frame_file_name({-48, 24}), "v-48_s24.vnf");
  EXPECT_EQ(parse_frame_file_name(temporary_name_for(frame_file_name({-48, 24}), 7)), std::nullopt)
      << "a write's temporary is no frame";
  EXPECT_EQ(frame_file_name({INT32_MIN, UINT32_MAX}), "v-2147483648_s4294967295.vnf");
}

TEST(FrameFileNames, ListingRule) {
  struct Row {
    const char* name;
    std::optional<FrameKey> key;
  };
  const Row rows[] = {
      {"v-48_s24.vnf", FrameKey{-48, 24}},
      {"v+5_s+30.vnf", FrameKey{5, 30}},
      {"v2147483647_s4294967295.vnf", FrameKey{INT32_MAX, UINT32_MAX}},
      {"v5_s30_s2.vnf", std::nullopt},  // split at the first "_s": "30_s2" is no number
      {"v5_s0.vnf", std::nullopt},
      {"v5_s-3.vnf", std::nullopt},
      {"v_s30.vnf", std::nullopt},
      {"v+_s30.vnf", std::nullopt},
      {"v-_s30.vnf", std::nullopt},
      {"w5_s30.vnf", std::nullopt},
      {"v5_s30.VNF", std::nullopt},
      {"v5_s30", std::nullopt},
      {"v2147483648_s30.vnf", std::nullopt},
      {"v5_s4294967296.vnf", std::nullopt},
      {".v5_s30.vnf.tmp", std::nullopt},
      {".last_used", std::nullopt},
      {".composition", std::nullopt},
      {"v 5_s30.vnf", std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(parse_frame_file_name(r.name), r.key) << r.name;
}

TEST(FrameFileNames, StemSanitizer) {
  struct Row {
    std::string key;
    std::string stem;
  };
  const Row rows[] = {
      {"Comp 1 / final", "Comp_1___final"},
      {"", "_"},
      {std::string(60, 'a'), std::string(48, 'a')},
      {"été", "_t_"},
      {"日本語", "___"},
      {std::string(50, '\xC3') , std::string(48, '_')},  // stray bytes count one each
      {"a\xF0\x9F\x8E\xACz", "a_z"},                     // one emoji is one character
  };
  for (const Row& r : rows) EXPECT_EQ(sanitize_file_stem(r.key), r.stem) << r.key;
}

TEST(FrameFileNames, StreamFolderName) {
  EXPECT_EQ(stream_dir_name(0xabc), "rgba-premul-v1-0000000000000abc");
  EXPECT_EQ(fnv1a64(""), kFnvOffsetBasis);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
}

// Only these names are ever removed by the sweep and the purge: a user's
// folder two levels down, or a file beside the store's, is not one of them.
TEST(FrameFileNames, NamesTheStoreWrites) {
  struct Row {
    std::string name;
    bool stream, key, file;
  };
  const Row rows[] = {
      {stream_dir_name(0xabc), true, false, false},
      {"rgba-premul-v1-0000000000000ABC", false, false, false},
      {"rgba-premul-v1-abc", false, false, false},
      {"2019", false, true, false},
      {"Comp_1", false, true, false},
      {"Comp_1_" + hex16(fnv1a64("Comp-1")), false, true, false},
      {std::string(66, 'a'), false, false, false},
      {"my photos", false, false, false},
      {"", false, false, false},
      {"v-48_s24.vnf", false, false, true},
      {".last_used", false, false, true},
      {".composition", false, false, true},
      {temporary_name_for("v-48_s24.vnf", 3), false, false, true},
      {temporary_name_for(".composition", 0), false, false, true},
      {".v-48_s24.vnf.tmp", false, false, true},
      {"picture.jpg", false, false, false},
      {".picture.jpg.tmp", false, false, false},
      {".tmp", false, false, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(is_stream_dir_name(r.name), r.stream) << r.name;
    EXPECT_EQ(is_key_dir_name(r.name), r.key) << r.name;
    EXPECT_EQ(is_store_file_name(r.name), r.file) << r.name;
  }
}

// A crash's leftover is known by the exact name a write gives its
// temporary; a name only like it is someone else's and stays.
TEST(FrameFileNames, TemporaryWriter) {
  struct Row {
    std::string name;
    std::optional<int32_t> writer;
  };
  const std::string pid = std::to_string(::getpid());
  const Row rows[] = {
      {temporary_name_for("v-48_s24.vnf", 0), ::getpid()},
      {temporary_name_for(".last_used", 18446744073709551615ull), ::getpid()},
      {temporary_name_for(".composition", 7), ::getpid()},
      {".v5_s24.vnf.2147483647-3.tmp", INT32_MAX},
      {".v5_s24.vnf.2147483648-3.tmp", std::nullopt},  // no pid
      {".v5_s24.vnf.0-3.tmp", std::nullopt},
      {".v5_s24.vnf.012-3.tmp", std::nullopt},
      {".v5_s24.vnf.+12-3.tmp", std::nullopt},
      {".v5_s24.vnf.12-03.tmp", std::nullopt},
      {".v5_s24.vnf.12-18446744073709551616.tmp", std::nullopt},
      {".v5_s24.vnf.12-.tmp", std::nullopt},
      {".v5_s24.vnf.12.tmp", std::nullopt},
      {".v5_s24.vnf.tmp", std::nullopt},               // no writer in the name
      {".v+5_s24.vnf.12-3.tmp", std::nullopt},         // not how the store writes a frame's name
      {".v5_s0.vnf.12-3.tmp", std::nullopt},
      {".v5_s24.VNF.12-3.tmp", std::nullopt},
      {".picture.jpg.12-3.tmp", std::nullopt},
      {".last_used2.12-3.tmp", std::nullopt},
      {"v5_s24.vnf.12-3.tmp", std::nullopt},
      {".v5_s24.vnf.12-3.tmp.x", std::nullopt},
      {"." + pid + "-1.tmp", std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(temporary_writer(r.name), r.writer) << r.name;
}

}  // namespace
}  // namespace vel
