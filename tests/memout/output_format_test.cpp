#include "memout/output_format.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "memout_test_support.h"

namespace vel {
namespace {

TEST(OutputFormatTest, ParsesExactNamesInAnyCase) {
  using F = WorkerOutputFormat;
  struct Case {
    std::optional<std::string_view> text;
    F want;
  } cases[] = {
      {std::nullopt, F::Psd}, {"", F::Psd},         {"psd", F::Psd},  {"tga", F::Tga},   {"TGA", F::Tga},
      {"Tga", F::Tga},        {"tga ", F::Psd},     {" tga", F::Psd}, {"targa", F::Psd}, {"memory", F::Memory},
      {"MEMORY", F::Memory},  {"memory\n", F::Psd}, {"mem", F::Psd},  {"vnm", F::Psd},   {"\xff\xfe", F::Psd},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_output_format(c.text), c.want) << (c.text ? std::string(*c.text) : "(unset)");
  }
  EXPECT_STREQ(output_format_extension(F::Memory), "vnm");
  EXPECT_STREQ(output_format_script_name(F::Memory), "memory");
  EXPECT_STREQ(output_format_extension(F::Psd), "psd");
}

// Read once: a later change of the variable does not switch transports in
// the middle of the process's life. Checked in a child, whose environment
// and once-cell are its own.
TEST(OutputFormatTest, ReadOncePerProcess) {
  testing::ForkedChild child([] {
    setenv("VELOCINTA_OUTPUT_FORMAT", "Memory", 1);
    if (worker_output_format() != WorkerOutputFormat::Memory) return 1;
    setenv("VELOCINTA_OUTPUT_FORMAT", "tga", 1);
    if (worker_output_format() != WorkerOutputFormat::Memory) return 2;
    return 0;
  });
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.exit_code(), 0);
}

}  // namespace
}  // namespace vel
