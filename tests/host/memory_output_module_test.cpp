#include "host/memory_output_module.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "hostsdk/basic_suite.h"
#include "hostsdk/io.h"
#include "hostsdk/memory_suite.h"
#include "hostsdk/register_suite.h"
#include "memout/output_consumer.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

// A host of one output module, small enough to steer each answer.
struct FakeHandle {
  std::vector<uint8_t> bytes;
  int locks = 0;
};
struct FakeHost {
  std::set<FakeHandle*> live;
  std::set<std::string> hidden;
  A_Err register_answer = A_Err_NONE;
  int register_calls = 0;
  PF_PixelFormat format = PF_PixelFormat_ARGB32;
  std::vector<uint8_t> path_bytes;  // what GetOutSpecFilePath hands over
  A_short depth = 32;
  A_long width = 8, height = 4, start = 0;
  A_Fixed fps = (30000 << 16) / 1001;
  AEIO_AlphaLabel label{AEIO_AlphaLabel_VERSION, 0, 0, 0, 0, AEIO_Alpha_STRAIGHT};
  void* options = nullptr;
};
FakeHost* g = nullptr;

A_Err NewMemHandle(AEGP_PluginID, const A_char*, AEGP_MemSize size, AEGP_MemFlag, AEGP_MemHandle* h) {
  auto* f = new FakeHandle{std::vector<uint8_t>(size), 0};
  g->live.insert(f);
  *h = reinterpret_cast<AEGP_MemHandle>(f);
  return A_Err_NONE;
}
A_Err FreeMemHandle(AEGP_MemHandle h) {
  auto* f = reinterpret_cast<FakeHandle*>(h);
  if (g->live.erase(f) == 0) return 1;
  delete f;
  return A_Err_NONE;
}
A_Err LockMemHandle(AEGP_MemHandle h, void** p) {
  auto* f = reinterpret_cast<FakeHandle*>(h);
  ++f->locks;
  *p = f->bytes.data();
  return A_Err_NONE;
}
A_Err UnlockMemHandle(AEGP_MemHandle h) {
  auto* f = reinterpret_cast<FakeHandle*>(h);
  return f->locks-- > 0 ? A_Err_NONE : 1;
}
A_Err GetMemHandleSize(AEGP_MemHandle h, AEGP_MemSize* s) {
  *s = reinterpret_cast<FakeHandle*>(h)->bytes.size();
  return A_Err_NONE;
}
AEGP_MemorySuite1 memory_suite{NewMemHandle, FreeMemHandle, LockMemHandle, UnlockMemHandle, GetMemHandleSize};

A_Err GetOutSpecFilePath(AEIO_OutSpecH, AEGP_MemHandle* h, A_Boolean*) {
  NewMemHandle(0, "path", g->path_bytes.size(), 0, h);
  if (!g->path_bytes.empty()) {
    std::memcpy(reinterpret_cast<FakeHandle*>(*h)->bytes.data(), g->path_bytes.data(), g->path_bytes.size());
  }
  return A_Err_NONE;
}
A_Err GetOutSpecDepth(AEIO_OutSpecH, A_short* d) { return *d = g->depth, A_Err_NONE; }
A_Err GetOutSpecDimensions(AEIO_OutSpecH, A_long* w, A_long* h) {
  *w = g->width;
  *h = g->height;
  return A_Err_NONE;
}
A_Err GetOutSpecAlphaLabel(AEIO_OutSpecH, AEIO_AlphaLabel* l) { return *l = g->label, A_Err_NONE; }
A_Err GetOutSpecStartFrame(AEIO_OutSpecH, A_long* s) { return *s = g->start, A_Err_NONE; }
A_Err GetOutSpecFPS(AEIO_OutSpecH, A_Fixed* f) { return *f = g->fps, A_Err_NONE; }
A_Err SetOutSpecOptionsHandle(AEIO_OutSpecH, void* fresh, void** old) {
  *old = g->options;
  g->options = fresh;
  return A_Err_NONE;
}
AEGP_IOOutSuite7 io_suite{GetOutSpecFilePath,   GetOutSpecDepth, GetOutSpecDimensions,   GetOutSpecAlphaLabel,
                          GetOutSpecStartFrame, GetOutSpecFPS,   SetOutSpecOptionsHandle};

A_Err GetPixelFormat(const AEIO_FrameWorld*, PF_PixelFormat* f) { return *f = g->format, A_Err_NONE; }
PF_WorldSuite2 world_suite{GetPixelFormat};

A_Err RegisterIO(AEGP_PluginID, AEGP_IORefcon, const AEIO_ModuleInfo*, const AEIO_FunctionBlock*) {
  ++g->register_calls;
  return g->register_answer;
}
AEGP_RegisterSuite6 register_suite{nullptr, nullptr, nullptr, nullptr, RegisterIO};

SPErr AcquireSuite(const char* name, A_long version, const void** suite) {
  const std::string key = std::string(name) + "/" + std::to_string(version);
  if (g->hidden.count(key)) return 1;
  static const std::map<std::string, const void*> tables = {
      {"AEGP IO Out Suite/7", &io_suite},
      {"AEGP Memory Suite/1", &memory_suite},
      {"PF World Suite/2", &world_suite},
      {"AEGP Register Suite/6", &register_suite},
  };
  auto it = tables.find(key);
  if (it == tables.end()) return 1;
  *suite = it->second;
  return 0;
}
SPErr ReleaseSuite(const char*, A_long) { return 0; }
const SPBasicSuite basic{AcquireSuite, ReleaseSuite};

std::vector<uint8_t> utf16_bytes(const std::string& ascii, bool terminate = true) {
  std::vector<uint8_t> out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  if (terminate) out.insert(out.end(), {0, 0});
  return out;
}

class MemoryOutputModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &host_;
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(open_log_file_at(dir_.file("velocinta.log"), LogRole::Worker));
    forget_memory_output_registration_for_tests();
  }
  void TearDown() override {
    forget_memory_output_registration_for_tests();
    if (host_.options) FreeMemHandle(static_cast<AEGP_MemHandle>(host_.options));
    EXPECT_TRUE(host_.live.empty()) << "live memory handles left";
    close_log_file();
    g = nullptr;
  }
  std::string log() const { return testing::read_text(dir_.file("velocinta.log")); }
  AEIO_OutSpecH spec() { return reinterpret_cast<AEIO_OutSpecH>(&spec_); }
  const AEIO_FunctionBlock& cb() { return memory_output_callbacks(); }

  FakeHost host_;
  testing::ScratchDir dir_;
  int spec_ = 0;
};

TEST_F(MemoryOutputModuleTest, RegistrationRefusals) {
  const struct {
    const char* hide;
    const char* want;
  } cases[] = {
      {"AEGP IO Out Suite/7", "IOOutSuite4 unavailable"},
      {"AEGP Memory Suite/1", "MemorySuite1 unavailable"},
      {"PF World Suite/2", "PF WorldSuite2 unavailable"},
      {"AEGP Register Suite/6", "RegisterSuite5 unavailable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hide);
    host_.hidden = {c.hide};
    auto r = register_memory_output(&basic, 7, true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.want);
  }
  host_.hidden.clear();
  register_suite.RegisterIO = nullptr;
  EXPECT_EQ(register_memory_output(&basic, 7, true).error(), "RegisterIO unavailable");
  register_suite.RegisterIO = RegisterIO;
  world_suite.GetPixelFormat = nullptr;
  EXPECT_EQ(register_memory_output(&basic, 7, true).error(), "required memory output callbacks unavailable");
  world_suite.GetPixelFormat = GetPixelFormat;
  memory_suite.GetMemHandleSize = nullptr;
  EXPECT_EQ(register_memory_output(&basic, 7, true).error(), "required memory output callbacks unavailable");
  memory_suite.GetMemHandleSize = GetMemHandleSize;
  EXPECT_EQ(host_.register_calls, 0);
}

TEST_F(MemoryOutputModuleTest, RegistersOnceAndARefusalStaysARefusal) {
  ASSERT_TRUE(register_memory_output(&basic, 7, true));
  ASSERT_TRUE(register_memory_output(&basic, 7, true));
  EXPECT_EQ(host_.register_calls, 1);

  forget_memory_output_registration_for_tests();
  host_.register_answer = 5;
  EXPECT_EQ(register_memory_output(&basic, 7, true).error(), "host rejected memory output registration");
  EXPECT_EQ(register_memory_output(&basic, 7, true).error(), "host rejected memory output registration");
  EXPECT_EQ(host_.register_calls, 2);

  const AEIO_ModuleInfo info = memory_output_module_info();
  EXPECT_EQ(info.sig, ('V' << 24) | ('n' << 16) | ('M' << 8) | '1');
  EXPECT_STREQ(info.name, "Velocinta Memory 8bpc");
  EXPECT_EQ(info.flags, 0x00010016);
  EXPECT_EQ(info.create_ext.pad, '.');
}

TEST_F(MemoryOutputModuleTest, StubsAndNullOutParameters) {
  ASSERT_TRUE(register_memory_output(&basic, 7, true));
  EXPECT_EQ(cb().SetOutputFile(nullptr, spec(), nullptr), 9992);
  EXPECT_EQ(cb().GetSizes(nullptr, spec(), nullptr, nullptr), 9992);
  EXPECT_EQ(cb().GetOutputSuffix(nullptr, spec(), nullptr), 9992);
  EXPECT_EQ(cb().OutputInfoChanged(nullptr, spec()), 0);
  AEIO_LabelFlags labels = 5;
  EXPECT_EQ(cb().WriteLabels(nullptr, spec(), &labels), 0);
  EXPECT_EQ(labels, 0);
  EXPECT_EQ(cb().UserOptionsDialog, nullptr);
  EXPECT_EQ(cb().AddSoundChunk, nullptr);
  EXPECT_EQ(cb().Idle, nullptr);

  EXPECT_EQ(cb().GetDepths(nullptr, spec(), nullptr), 9990);
  EXPECT_EQ(cb().GetOutputInfo(nullptr, spec(), nullptr), 9990);
  EXPECT_EQ(cb().GetFlatOutputOptions(nullptr, spec(), nullptr), 9990);
  EXPECT_EQ(cb().InitOutputSpec(nullptr, spec(), nullptr), 9990);
  A_Boolean asked = 1;
  EXPECT_EQ(cb().InitOutputSpec(nullptr, nullptr, &asked), 9990);
  EXPECT_EQ(cb().AddFrame(nullptr, spec(), 0, 1, nullptr, nullptr, 0, nullptr), 9990);
  const std::string text = log();
  EXPECT_NE(text.find("ERROR: AEIO GetDepths: null supported depth output"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR: AEIO GetOutputInfo: null output description"), std::string::npos);
  EXPECT_NE(text.find("ERROR: AEIO GetFlatOutputOptions: null flat options destination"), std::string::npos);
  // Both nulls given to InitOutputSpec say so, the handle's as well.
  const std::regex null_spec("ERROR: AEIO InitOutputSpec: null output specification\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), null_spec), std::sregex_iterator()), 2)
      << text;
  EXPECT_EQ(text.find("null output handle"), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR: AEIO AddFrame: null frame world"), std::string::npos);

  AEIO_SupportedDepthFlags depths = 0;
  EXPECT_EQ(cb().GetDepths(nullptr, spec(), &depths), 0);
  EXPECT_EQ(depths, 128);
  AEIO_Verbiage v;
  EXPECT_EQ(cb().GetOutputInfo(nullptr, spec(), &v), 0);
  EXPECT_STREQ(v.sub_type, "Experimental RGBA8; owned render engines only");
}

TEST_F(MemoryOutputModuleTest, OptionsHandlesAreMadeReplacedAndFreed) {
  ASSERT_TRUE(register_memory_output(&basic, 7, true));
  A_Boolean interacted = 1;
  ASSERT_EQ(cb().InitOutputSpec(nullptr, spec(), &interacted), 0);
  EXPECT_EQ(interacted, 0);
  auto* first = static_cast<FakeHandle*>(host_.options);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bytes, (std::vector<uint8_t>{'V', 'N', 'M', '1', 0, 0, 0, 0}));
  ASSERT_EQ(cb().InitOutputSpec(nullptr, spec(), &interacted), 0);
  EXPECT_EQ(host_.live.size(), 1u);  // the first one was freed
  AEGP_MemHandle flat = nullptr;
  ASSERT_EQ(cb().GetFlatOutputOptions(nullptr, spec(), &flat), 0);
  EXPECT_EQ(cb().DisposeOutputOptions(nullptr, flat), 0);
  EXPECT_EQ(cb().DisposeOutputOptions(nullptr, host_.options), 0);
  host_.options = nullptr;
}

TEST_F(MemoryOutputModuleTest, OutputPathRefusals) {
  ASSERT_TRUE(register_memory_output(&basic, 7, true));
  std::vector<uint8_t> invalid = {0x00, 0xD8, 'a', 0, 0, 0};  // a lone high surrogate
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* want;
  } cases[] = {
      {"empty", {}, "invalid UTF16 output path size"},
      {"odd", {'a', 0, 0}, "invalid UTF16 output path size"},
      {"too long", std::vector<uint8_t>(65538, 'a'), "invalid UTF16 output path size"},
      {"unterminated", utf16_bytes("/tmp/x.vnm", false), "unterminated output path"},
      {"invalid", invalid, "invalid UTF16 output path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host_.path_bytes = c.bytes;
    EXPECT_EQ(cb().StartAdding(nullptr, spec(), 0), 9990);
    EXPECT_NE(log().find(std::string("AEIO StartAdding: ") + c.want), std::string::npos) << log();
  }
}

TEST_F(MemoryOutputModuleTest, FramesCrossFromTheCallbacksToTheConsumer) {
  ASSERT_TRUE(register_memory_output(&basic, 7, true));
  OutputRequest req;
  req.range_start = 0;
  req.range_end = 1;
  req.step = 1001;
  req.key_scale = 30000;
  req.width = 8;
  req.height = 4;
  auto consumer = create_memory_output(dir_.file("output.vnm"), req);
  ASSERT_TRUE(consumer) << consumer.error().message;
  host_.path_bytes = utf16_bytes(dir_.file("output.vnm"));
  ASSERT_EQ(cb().StartAdding(nullptr, spec(), 0), 0) << log();

  std::vector<uint8_t> argb(64 * 4, 0);
  for (size_t i = 0; i < argb.size(); i += 4) argb[i] = 255;  // opaque black
  AEIO_FrameWorld world{8, 4, 64, argb.data(), 0, 0};
  A_LPoint origin{0, 0};
  std::vector<uint8_t> pixels;
  // The host's first look at the empty slot lets the first frame go.
  ASSERT_TRUE(receive_output_frame(*consumer, pixels));
  for (A_long i = 0; i < 2; ++i) {
    ASSERT_EQ(cb().AddFrame(nullptr, spec(), i, 1, &world, &origin, 0, nullptr), 0) << log();
    auto got = receive_output_frame(*consumer, pixels);
    ASSERT_TRUE(got && got->has_value());
    EXPECT_EQ((*got)->frame, i);
  }
  ASSERT_EQ(cb().EndAdding(nullptr, spec(), 0), 0) << log();
  EXPECT_EQ(output_completion(*consumer), OutputCompletion::Complete);

  host_.format = PF_PixelFormat_ARGB64;
  EXPECT_EQ(cb().AddFrame(nullptr, spec(), 0, 1, &world, &origin, 0, nullptr), 9990);
  EXPECT_NE(log().find("unsupported output pixel format " + std::to_string(PF_PixelFormat_ARGB64) +
                       "; require ARGB8"),
            std::string::npos);
}

}  // namespace
}  // namespace vel
