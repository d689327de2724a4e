#include "memout/manifest.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "memout_test_support.h"

namespace vel {
namespace {

Manifest sample(const std::string& output_path = "/jobs/w1/output.vnm") {
  Manifest m;
  m.version = 1;
  for (int i = 0; i < 16; ++i) m.token[i] = static_cast<uint8_t>(i * 17);
  m.mapping_name = "/vnx_00001234_00000000deadbeef";
  m.output_path = output_path;
  m.capacity = 1920ull * 1080 * 4;
  m.range_start = -2;
  m.range_end = 100;
  m.step = 1001;
  m.key_scale = 30000;
  m.width = 1920;
  m.height = 1080;
  m.mode = ManifestMode::Memory;
  return m;
}

const char* kSampleJson = R"({"version":1,"token":[0,17,34,51,68,85,102,119,136,153,170,187,204,221,238,255],)"
                          R"("mapping_name":"/vnx_00001234_00000000deadbeef","output_path":"/jobs/w1/output.vnm",)"
                          R"("capacity":8294400,"range_start":-2,"range_end":100,"step":1001,"key_scale":30000,)"
                          R"("width":1920,"height":1080,"mode":"memory"})";

TEST(ManifestTest, SerialisesCompactInKeyOrderAndReadsBack) {
  auto text = serialize_manifest(sample());
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, kSampleJson);
  auto back = parse_manifest(*text);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(*back, sample());

  Manifest null_mode = sample("/tmp/a \"quoted\" é.vnm");
  null_mode.mode = ManifestMode::Null;
  null_mode.capacity = 0;
  auto null_text = serialize_manifest(null_mode);
  ASSERT_TRUE(null_text);
  auto null_back = parse_manifest(*null_text);
  ASSERT_TRUE(null_back) << null_back.error().message;
  EXPECT_EQ(*null_back, null_mode);
}

TEST(ManifestTest, ArrayFormIsTheSameManifest) {
  const std::string array =
      R"([1,[0,17,34,51,68,85,102,119,136,153,170,187,204,221,238,255],"/vnx_00001234_00000000deadbeef",)"
      R"("/jobs/w1/output.vnm",8294400,-2,100,1001,30000,1920,1080,"memory"])";
  auto m = parse_manifest(array);
  ASSERT_TRUE(m) << m.error().message;
  EXPECT_EQ(*m, sample());
}

TEST(ManifestTest, SerialiseRefusesBadPathsAndOversizedDocuments) {
  Manifest bad = sample(std::string("/jobs/\xff\xfe.vnm"));
  auto r = serialize_manifest(bad);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "path contains invalid UTF-8 characters");
  Manifest big = sample("/" + std::string(9000, 'a'));
  auto r2 = serialize_manifest(big);
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error().message, "output manifest too large");
}

// Documents another process may hand us. Each is refused with a text naming
// what was wrong.
TEST(ManifestTest, ParseRefusals) {
  const std::string good = kSampleJson;
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    std::string doc;
    std::string error_part;
  } cases[] = {
      {replace(R"("mode":"memory")", R"("mode":"memory","extra":1)"),
       "unknown field \"extra\", expected one of `version`"},
      {replace(R"("width":1920)", R"("width":1920,"width":1920)"), "duplicate field `width`"},
      {replace(R"("version":1,)", R"("version":1,"version":1,)"), "duplicate field `version`"},
      {replace(R"("height":1080,)", ""), "missing field `height`"},
      {replace("238,255]", "238]"), "invalid length 15, expected an array of length 16"},
      {replace("238,255]", "238,255,0]"), "invalid length 17, expected an array of length 16"},
      {replace("[0,17,", "[256,17,"), "expected u8"},
      {replace("[0,17,", "[-1,17,"), "expected u8"},
      {replace("[0,17,", "[[0],17,"), "expected u8"},
      {replace(R"("mode":"memory")", R"("mode":"Memory")"), "unknown variant \"Memory\", expected `memory` or `null`"},
      {replace(R"("mode":"memory")", R"("mode":1)"), "expected `memory` or `null`"},
      {replace(R"("width":1920)", R"("width":-1920)"), "expected u32 for `width`"},
      {replace(R"("width":1920)", R"("width":4294967296)"), "expected u32 for `width`"},
      {replace(R"("width":1920)", R"("width":1920.0)"), "invalid type: floating point"},
      {replace(R"("width":1920)", R"("width":"1920")"), "invalid type: string"},
      {replace(R"("version":1)", R"("version":256)"), "expected u8 for `version`"},
      {replace(R"("range_start":-2)", R"("range_start":9223372036854775808)"), "expected i64 for `range_start`"},
      {replace(R"("capacity":8294400)", R"("capacity":18446744073709551616)"), "expected u64 for `capacity`"},
      {replace(R"("step":1001)", R"("step":{"a":1})"), "invalid type: map"},
      {replace(R"("output_path":"/jobs/w1/output.vnm")", R"("output_path":null)"), "expected a string"},
      {good + "x", "not valid JSON"},
      {good.substr(0, good.size() - 1), "not valid JSON"},
      {"", "not valid JSON"},
      {"1", "expected struct Manifest"},
      {R"([1,[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1],"/vnx_a","/o",0])",
       "invalid length 5, expected struct Manifest with 12 elements"},
      {"[" + std::string(kSampleJson) + "]", "invalid type: map"},
      {std::string(4000, '[') + std::string(4000, ']'), "invalid type: sequence"},
  };
  for (const Case& c : cases) {
    auto r = parse_manifest(c.doc);
    ASSERT_FALSE(r) << c.doc;
    EXPECT_NE(r.error().message.find(c.error_part), std::string::npos)
        << "document: " << c.doc.substr(0, 200) << "\nerror: " << r.error().message;
    EXPECT_EQ(r.error().kind, MemoutErrorKind::InvalidData);
  }
}

TEST(ManifestTest, ManifestPathBesideTheOutput) {
  struct Case {
    const char* output;
    const char* manifest;  // null: refused
  } cases[] = {
      {"/jobs/w1/output.vnm", "/jobs/w1/output.vnm.vnx-manifest.json"},
      {"/jobs//w1/./output", "/jobs/w1/output.vnx-manifest.json"},
      {"/jobs/w1/output.vnm/", "/jobs/w1/output.vnm.vnx-manifest.json"},
      {"output.vnm", "output.vnm.vnx-manifest.json"},
      {"/", nullptr},
      {"", nullptr},
      {"/jobs/..", nullptr},
  };
  for (const Case& c : cases) {
    auto r = manifest_path_for_output(c.output);
    if (c.manifest == nullptr) {
      ASSERT_FALSE(r) << c.output;
      EXPECT_EQ(r.error().message, "output has no file name");
    } else {
      ASSERT_TRUE(r) << c.output;
      EXPECT_EQ(*r, c.manifest);
    }
  }
}

// Each check in turn; the first failing one names the fault even when later
// ones would fail too.
TEST(ManifestTest, ValidationRefusalsInOrder) {
  const std::string real = "/jobs/w1/output.vnm";
  struct Case {
    const char* what;
    std::function<void(Manifest&)> edit;
    std::string real_path;
    const char* error;  // null: accepted
  } cases[] = {
      {"as written", [](Manifest&) {}, real, nullptr},
      {"same path spelt differently", [](Manifest& m) { m.output_path = "/jobs//w1/./output.vnm"; }, real, nullptr},
      {"version 2 and a zero token",
       [](Manifest& m) {
         m.version = 2;
         m.token = {};
       },
       real, "output manifest identity mismatch"},
      {"another file", [](Manifest& m) { m.output_path = "/jobs/w2/output.vnm"; }, real,
       "output manifest identity mismatch"},
      {"relative real path", [](Manifest& m) { m.output_path = "jobs/w1/output.vnm"; }, "jobs/w1/output.vnm",
       "output manifest identity mismatch"},
      {"relative manifest path", [](Manifest& m) { m.output_path = "jobs/w1/output.vnm"; }, real,
       "output manifest identity mismatch"},
      {"zero token and bad step",
       [](Manifest& m) {
         m.token = {};
         m.step = 0;
       },
       real, "invalid output manifest contract"},
      {"empty mapping name", [](Manifest& m) { m.mapping_name.clear(); }, real, "invalid output manifest contract"},
      {"zero scale and bad range",
       [](Manifest& m) {
         m.key_scale = 0;
         m.range_end = -10;
       },
       real, "invalid output manifest contract"},
      {"end before start - 1",
       [](Manifest& m) {
         m.range_start = 5;
         m.range_end = 3;
       },
       real, "invalid output range"},
      {"span overflows",
       [](Manifest& m) {
         m.range_start = INT64_MIN;
         m.range_end = INT64_MAX;
       },
       real, "invalid output range"},
      {"empty range",
       [](Manifest& m) {
         m.range_start = 5;
         m.range_end = 4;
       },
       real, nullptr},
      {"1,000,000 frames",
       [](Manifest& m) {
         m.range_start = 0;
         m.range_end = 999999;
       },
       real, nullptr},
      {"1,000,001 frames",
       [](Manifest& m) {
         m.range_start = 0;
         m.range_end = 1000000;
         m.width = 0;
       },
       real, "output range exceeds frame bound"},
      {"end time overflows",
       [](Manifest& m) {
         m.range_start = INT64_MAX / 2;
         m.range_end = INT64_MAX / 2 + 1;
         m.step = 2;
       },
       real, "output frame time overflow"},
      {"start time overflows",
       [](Manifest& m) {
         m.range_start = INT64_MIN / 2 - 1;
         m.range_end = INT64_MIN / 2;
         m.step = 2;
       },
       real, "output frame time overflow"},
      {"zero width", [](Manifest& m) { m.width = 0; }, real, "invalid output dimensions"},
      {"30001 high", [](Manifest& m) { m.height = 30001; }, real, "invalid output dimensions"},
      {"30000 x 30000", [](Manifest& m) { m.width = m.height = 30000; }, real, "RGBA8 output exceeds 64 MiB"},
      {"4096 x 4096",
       [](Manifest& m) {
         m.width = m.height = 4096;
         m.capacity = 4096ull * 4096 * 4;
       },
       real, nullptr},
      {"null mode with pixels",
       [](Manifest& m) {
         m.mode = ManifestMode::Null;
         m.capacity = 4;
       },
       real, "output capacity does not match dimensions/mode"},
      {"null mode checks sizes too",
       [](Manifest& m) {
         m.mode = ManifestMode::Null;
         m.capacity = 0;
         m.width = 0;
       },
       real, "invalid output dimensions"},
      {"capacity off by four", [](Manifest& m) { m.capacity -= 4; }, real,
       "output capacity does not match dimensions/mode"},
  };
  for (const Case& c : cases) {
    Manifest m = sample(real);
    c.edit(m);
    auto r = validate_output_contract(m, c.real_path);
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << c.what << ": " << r.error().message;
    } else {
      ASSERT_FALSE(r) << c.what;
      EXPECT_EQ(r.error().message, c.error) << c.what;
      EXPECT_EQ(r.error().kind, MemoutErrorKind::InvalidData) << c.what;
    }
  }
}

TEST(ManifestTest, FileIsCreatedOnceWithOwnerOnlyMode) {
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("output.vnm.vnx-manifest.json");
  ASSERT_TRUE(write_manifest_file(path, sample()));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  auto back = read_manifest_file(path);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(*back, sample());

  // A second write never replaces what is there.
  Manifest other = sample();
  other.width = 7;
  auto again = write_manifest_file(path, other);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().os_code, EEXIST);
  auto still = read_manifest_file(path);
  ASSERT_TRUE(still);
  EXPECT_EQ(*still, sample());
}

TEST(ManifestTest, OversizedFileIsRefusedBeforeParsing) {
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("big.vnx-manifest.json");
  // Valid JSON padded with blanks to one byte past the limit.
  std::string doc = kSampleJson;
  doc += std::string(kManifestMaxBytes + 1 - doc.size(), ' ');
  std::ofstream(path) << doc;
  auto r = read_manifest_file(path);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "output manifest too large");

  doc.pop_back();
  std::ofstream(path, std::ios::trunc) << doc;
  EXPECT_TRUE(read_manifest_file(path));
}

// A FIFO under the manifest's name, even one with bytes waiting, is refused
// at once rather than waited on or parsed.
TEST(ManifestTest, AFifoAtTheManifestsNameIsRefused) {
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("fifo.vnx-manifest.json");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // Both ends in one descriptor: the open never waits and the bytes stay
  // queued for the reader.
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  std::string doc = kSampleJson;
  doc += std::string(kManifestMaxBytes + 100 - doc.size(), ' ');
  ASSERT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
  auto r = read_manifest_file(path);
  close(fd);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "output manifest is not a regular file");
}

}  // namespace
}  // namespace vel
