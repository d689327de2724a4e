// The stand-in's Output Module Templates dialog: only what the host process
// registered is offered, the module is called as a host calls it, and what
// the dialog saves is what scripts and the render engine read.
#include "ui/output_templates_dialog.h"

#include <stdlib.h>

#include <cstring>

#include <gtest/gtest.h>

#include "hostsdk/memory_suite.h"
#include "script/script_host.h"
#include "simhost/host.h"
#include "suites/suites.h"
#include "support/scratch_dir.h"

namespace sim {
namespace {

using nlohmann::json;

// A module that keeps an options handle of its own on every new output,
// as an output module does, through the host's suites.
struct FakeModule {
  static inline int inits = 0, disposed = 0;
  static inline AEIO_SupportedDepthFlags depths = AEIO_SupportedDepthFlags_DEPTH_32;
  static inline A_Err init_answer = A_Err_NONE;

  static AEGP_MemHandle options(const char* bytes) {
    AEGP_MemHandle h = nullptr;
    const AEGP_MemorySuite1* m = memory_suite_table();
    if (m->NewMemHandle(kPluginId, "options", 4, 0, &h) != A_Err_NONE) return nullptr;
    void* p = nullptr;
    (void)m->LockMemHandle(h, &p);
    std::memcpy(p, bytes, 4);
    (void)m->UnlockMemHandle(h);
    return h;
  }
  static A_Err Init(AEIO_BasicData*, AEIO_OutSpecH outH, A_Boolean* interacted) {
    ++inits;
    if (init_answer != A_Err_NONE) return init_answer;
    const void* io = nullptr;
    if (host().suites.acquire(kAEGPIOOutSuite, kAEGPIOOutSuiteVersion7, &io) != A_Err_NONE) return 1;
    void* old = nullptr;
    const A_Err e = static_cast<const AEGP_IOOutSuite7*>(io)->SetOutSpecOptionsHandle(outH, options("OPT1"), &old);
    (void)host().suites.release(kAEGPIOOutSuite, kAEGPIOOutSuiteVersion7);
    *interacted = 0;
    return e;
  }
  static A_Err Flat(AEIO_BasicData*, AEIO_OutSpecH, AEGP_MemHandle* flat) {
    *flat = options("FLAT");
    return A_Err_NONE;
  }
  static A_Err Dispose(AEIO_BasicData*, void* options) {
    ++disposed;
    return memory_suite_table()->FreeMemHandle(static_cast<AEGP_MemHandle>(options));
  }
  static A_Err Depths(AEIO_BasicData*, AEIO_OutSpecH, AEIO_SupportedDepthFlags* which) {
    *which = depths;
    return A_Err_NONE;
  }
  static OutputModuleEntry entry() {
    OutputModuleEntry e;
    e.info.sig = ('V' << 24) | ('n' << 16) | ('M' << 8) | '1';
    std::strcpy(e.info.name, "Velocinta Memory 8bpc");
    e.info.flags = AEIO_MFlag_OUTPUT | AEIO_MFlag_FILE;
    e.functions.InitOutputSpec = Init;
    e.functions.GetFlatOutputOptions = Flat;
    e.functions.DisposeOutputOptions = Dispose;
    e.functions.GetDepths = Depths;
    return e;
  }
};

class OutputTemplatesDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    if (const char* old = getenv("HOME")) old_home_ = old;
    setenv("HOME", dir_.path().c_str(), 1);
    static bool installed = false;
    if (!installed) install_suites(host());
    installed = true;
    FakeModule::inits = FakeModule::disposed = 0;
    FakeModule::depths = AEIO_SupportedDepthFlags_DEPTH_32;
    FakeModule::init_answer = A_Err_NONE;
    handles_before_ = host().memory.size();
  }
  void TearDown() override {
    if (old_home_.empty()) unsetenv("HOME");
    else setenv("HOME", old_home_.c_str(), 1);
  }
  static TemplateChoice memory_choice() {
    return {"velocinta-memory-v1", "Velocinta Memory 8bpc", "RGB + Alpha", "Millions of Colors+", "Straight (Unmatted)"};
  }

  vel::testing::ScratchDir dir_{"vel-om-dialog"};
  std::string old_home_;
  size_t handles_before_ = 0;
};

TEST_F(OutputTemplatesDialog, AModuleFormatIsOfferedOnlyOnceRegistered) {
  EXPECT_EQ(offered_formats({}), (std::vector<std::string>{"Photoshop", "Targa"}));
  EXPECT_EQ(offered_formats({FakeModule::entry()}),
            (std::vector<std::string>{"Photoshop", "Targa", "Velocinta Memory 8bpc"}));

  const Status refused = make_output_module_template({}, memory_choice());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            "Output Module Templates: \"velocinta-memory-v1\": format \"Velocinta Memory 8bpc\" is not offered; the "
            "formats are Photoshop, Targa");
  EXPECT_EQ(load_template_store()["om"].count("velocinta-memory-v1"), 0u);
  EXPECT_EQ(FakeModule::inits, 0);
}

TEST_F(OutputTemplatesDialog, TheTemplateNamesTheModuleAndKeepsItsOptions) {
  ASSERT_TRUE(make_output_module_template({FakeModule::entry()}, memory_choice()));
  const json t = load_template_store()["om"]["velocinta-memory-v1"];
  EXPECT_EQ(t["Format"], "Velocinta Memory 8bpc");
  EXPECT_EQ(t["Module"], "VnM1");
  EXPECT_EQ(t["Channels"], "RGB + Alpha");
  EXPECT_EQ(t["Depth"], "Millions of Colors+");
  EXPECT_EQ(t["Color"], "Straight (Unmatted)");
  EXPECT_EQ(t["Options"], "464c4154");  // "FLAT"
  EXPECT_EQ(t["Resize"], false);
  EXPECT_EQ(t["Crop"], false);
  // The host's own templates stay beside it.
  EXPECT_EQ(load_template_store()["om"].count("Photoshop"), 1u);
  EXPECT_EQ(FakeModule::inits, 1);
  EXPECT_EQ(FakeModule::disposed, 1) << "the new output's options go back to the module";
  EXPECT_EQ(host().memory.size(), handles_before_) << "no memory handle left";
  EXPECT_EQ(host().out_specs.size(), 0u);
}

TEST_F(OutputTemplatesDialog, ChoicesTheMenusLackAndModulesThatRefuse) {
  struct Case {
    const char* name;
    TemplateChoice choice;
    AEIO_SupportedDepthFlags depths;
    A_Err init;
    const char* error;
  } cases[] = {
      {"depth the module does not take",
       {"t", "Velocinta Memory 8bpc", "", "Millions of Colors", ""},
       AEIO_SupportedDepthFlags_DEPTH_32,
       A_Err_NONE,
       "depth \"Millions of Colors\" is not offered for format \"Velocinta Memory 8bpc\" (Millions of Colors+)"},
      {"module with no depth", {"t", "Velocinta Memory 8bpc", "", "", ""}, 0, A_Err_NONE, "offers no depth"},
      {"module refusing the output", {"t", "Velocinta Memory 8bpc", "", "", ""}, AEIO_SupportedDepthFlags_DEPTH_32, 9990,
       "refused a new output (InitOutputSpec answered 9990)"},
      {"unknown channels", {"t", "Photoshop", "RGBA", "", ""}, 0, A_Err_NONE, "channels \"RGBA\" are not offered"},
      {"unknown color", {"t", "Targa", "", "", "Straight"}, 0, A_Err_NONE, "color \"Straight\" is not offered"},
  };
  for (const Case& c : cases) {
    FakeModule::depths = c.depths;
    FakeModule::init_answer = c.init;
    const Status s = make_output_module_template({FakeModule::entry()}, c.choice);
    ASSERT_FALSE(s) << c.name;
    EXPECT_NE(s.error().find(c.error), std::string::npos) << c.name << ": " << s.error();
    EXPECT_EQ(load_template_store()["om"].count("t"), 0u) << c.name;
  }
  EXPECT_EQ(host().memory.size(), handles_before_) << "no memory handle left";
}

TEST_F(OutputTemplatesDialog, TheHostsOwnFormatsWithTheDialogsDefaults) {
  ASSERT_TRUE(make_output_module_template({}, {"my-targa", "Targa", "", "", ""}));
  const json t = load_template_store()["om"]["my-targa"];
  EXPECT_EQ(t["Format"], "Targa");
  EXPECT_EQ(t["Channels"], "RGB");
  EXPECT_EQ(t["Depth"], "Millions of Colors");
  EXPECT_EQ(t["Color"], "Premultiplied (Matted)");
  EXPECT_FALSE(t.contains("Module"));
}

TEST_F(OutputTemplatesDialog, ScenarioFields) {
  EXPECT_TRUE(template_choice_from_json({{"name", "a"}, {"format", "Targa"}}));
  EXPECT_FALSE(template_choice_from_json({{"format", "Targa"}}));
  EXPECT_FALSE(template_choice_from_json({{"name", "a"}, {"format", ""}}));
  EXPECT_FALSE(template_choice_from_json({{"name", "a"}, {"format", "Targa"}, {"depth", 32}}));
}

}  // namespace
}  // namespace sim
