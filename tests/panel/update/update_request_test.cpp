// The endpoint taken from the environment, the request made of it and
// curl's arguments. No request leaves the process here.
#include <gtest/gtest.h>

#include "panel/update/update_request.h"
#include "panel/update/update_text.h"

namespace vel {
namespace {

TEST(UpdateRequest, EndpointFromTheEnvironmentIsTrimmedAndChecked) {
  const std::string builtin(kDefaultUpdateEndpoint);
  struct Case {
    const char* value;
    std::string endpoint;
  };
  const Case cases[] = {
      {nullptr, builtin},
      {"", builtin},
      {" \t\n", builtin},
      {"  http://127.0.0.1:8/u \n", "http://127.0.0.1:8/u"},
      {"\u3000https://a.example/u\u00a0", "https://a.example/u"},
      {"HTTPS://A.example/u", "HTTPS://A.example/u"},
      {"HtTp://a.example", "HtTp://a.example"},
      // Would become an option of curl, a configuration file or a local read.
      {"-o/tmp/x", builtin},
      {"-K/tmp/config", builtin},
      {"file:///etc/passwd", builtin},
      {"ftp://a.example/", builtin},
      {"http://a.example/x y", builtin},
      {"http://a.example/\x01", builtin},
      {"http://a.example/\xff", builtin},  // not valid Unicode
  };
  for (const Case& c : cases) EXPECT_EQ(update_url_from(c.value), c.endpoint) << (c.value ? c.value : "(unset)");
  EXPECT_TRUE(builtin.find(".invalid/") != std::string::npos);
  EXPECT_TRUE(std::string(kDefaultDownloadLink).find(".invalid/") != std::string::npos);
}

TEST(UpdateRequest, TheQueryIsAppendedWithTheRightSeparator) {
  EXPECT_EQ(update_request("http://h/update"), "http://h/update?channel=beta&current=0.3.30");
  EXPECT_EQ(update_request("http://h/update?k=1"), "http://h/update?k=1&channel=beta&current=0.3.30");
}

TEST(UpdateRequest, CurlArgumentsInOrderWithTheRequestLast) {
  EXPECT_EQ(curl_arguments("R"), (std::vector<std::string>{"-sS", "-L", "--connect-timeout", "5", "--max-time", "15",
                                                           "--max-filesize", "65536", "--write-out",
                                                           "\n%{http_code}", "R"}));
}

TEST(UpdateText, TrimsUnicodeSpaceAndFindsControls) {
  EXPECT_EQ(trim_unicode_space("\u2003 a b\u2029\r\n"), "a b");
  EXPECT_EQ(trim_unicode_space("\xff "), "\xff");
  EXPECT_EQ(trim_unicode_space(" \u0085"), "");
  EXPECT_TRUE(holds_space_or_control("a\u2009b"));
  EXPECT_TRUE(holds_space_or_control("a\u0085"));
  EXPECT_FALSE(holds_space_or_control("https://é.example/"));
  EXPECT_FALSE(holds_control("a b"));
  EXPECT_TRUE(holds_control("a\x1b"));
  EXPECT_TRUE(holds_control("a\xc2"));  // cut sequence
}

}  // namespace
}  // namespace vel
