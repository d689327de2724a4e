// Reading the update service's reply and the decision, as one table of the
// documented cases, plus the faults mended: error pages read as versions,
// links and versions that must not reach the opener or the banner.
#include <gtest/gtest.h>

#include <string>

#include "panel/update/update_reply.h"
#include "panel/update/update_version.h"

namespace vel {
namespace {

constexpr const char* kDefault = "https://default.invalid/dl";

TEST(UpdateVersion, ParsesLeadingDigitsOfUpToFourPieces) {
  struct Case {
    const char* text;
    std::optional<VersionParts> parts;
  };
  const Case cases[] = {
      {"V0.3.31", VersionParts{0, 3, 31, 0}},
      {"v0.3.31", VersionParts{0, 3, 31, 0}},
      {"1.4rc2", VersionParts{1, 4, 0, 0}},
      {"2..5", VersionParts{2, 0, 0, 0}},
      {"1.2.3.4.5", VersionParts{1, 2, 3, 4}},
      {"  vV7 ", VersionParts{7, 0, 0, 0}},
      {"1.99999999999999999999999.3", VersionParts{1, 0, 0, 0}},  // overflow ends the reading
      {"18446744073709551615.1", VersionParts{UINT64_MAX, 1, 0, 0}},
      {"beta", std::nullopt},
      {"", std::nullopt},
      {"v", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_version(c.text), c.parts) << c.text;
  EXPECT_EQ(normalize_version(" vV1.2\t"), "1.2");
}

TEST(UpdateVersion, OnlyASingleVersionTokenPassesAsAPlainTextReply) {
  for (const char* yes : {"0.3.31", "v0.3.31", "V1.0-rc.1+build7", "10.2"}) EXPECT_TRUE(is_version_token(yes)) << yes;
  for (const char* no : {"404", "404 page not found", "502 Bad Gateway", "v", "vv1.2", "1.2 beta", "<html>", "1_2.3",
                         ".1.2", ""}) {
    EXPECT_FALSE(is_version_token(no)) << no;
  }
}

struct ReplyCase {
  const char* name;
  std::string reply;
  std::optional<UpdateNotice> notice;  // with current 0.3.30
};

std::optional<UpdateNotice> notice(const char* version, const char* link = kDefault) {
  return UpdateNotice{version, link};
}

TEST(UpdateReply, DecidesEveryDocumentedCase) {
  const std::string long_version(65, '1');
  const std::string longest_version = "1." + std::string(62, '0');
  const ReplyCase cases[] = {
      {"equal version", R"({"version":"v0.3.30"})", std::nullopt},
      {"only latest", R"({"latest":"0.3.31"})", notice("0.3.31")},
      {"version before latest", R"({"version":"0.3.29","latest":"0.9"})", std::nullopt},
      {"not available", R"({"version":"0.4","update_available":false})", std::nullopt},
      {"available whatever the version", R"({"version":"0.1","update_available":true})", notice("0.1")},
      {"refused first candidate, url not tried",
       R"({"version":"0.4","download_url":"http://x.example/a","url":"https://y.example/b"})", notice("0.4")},
      {"download_url first", R"({"version":"0.4","url":"https://u.example/","download_url":"https://d.example/"})",
       notice("0.4", "https://d.example/")},
      {"package_url second", R"({"version":"0.4","url":"https://u.example/","package_url":"https://p.example/"})",
       notice("0.4", "https://p.example/")},
      {"ok false", R"({"ok":false,"version":"9.0","update_available":true})", std::nullopt},
      {"ok null is absent", R"({"ok":null,"version":"0.3.31"})", notice("0.3.31")},
      {"null version is absent", R"({"version":null,"latest":"0.3.31"})", notice("0.3.31")},
      {"version twice", "{\"version\":\"0.3.31\",\"version\":\"0.3.31\"}", std::nullopt},
      {"null then version", R"({"version":null,"version":"0.3.31"})", std::nullopt},
      {"other keys repeated", R"({"x":1,"x":[1,{"version":2}],"version":"0.3.31","x":null})", notice("0.3.31")},
      {"nested version is another key", R"({"meta":{"version":"9.9"},"latest":"0.3.31"})", notice("0.3.31")},
      {"wrong type fails the record, brace is no version", R"({"version":31})", std::nullopt},
      {"wrong type of ok", R"({"ok":"yes","version":"0.3.31"})", std::nullopt},
      {"object as a field", R"({"url":{},"version":"0.3.31"})", std::nullopt},
      {"trailing bytes", R"({"version":"0.3.31"} x)", std::nullopt},
      {"array reply", R"(["0.3.31"])", std::nullopt},
      {"plain text with CRLF", "0.3.31\r\nmore\n", notice("0.3.31")},
      {"plain text with blanks", "  v0.3.31  \n", notice("0.3.31")},
      {"plain text equal", "0.3.30\n", std::nullopt},
      {"html", "<html><body>0.9</body></html>", std::nullopt},
      {"empty version", R"({"version":"","latest":"0.3.31"})", std::nullopt},
      {"only a v", R"({"version":"v","latest":"0.3.31"})", std::nullopt},
      {"unparsable version", R"({"version":"beta"})", std::nullopt},
      {"unparsable but available", R"({"version":"beta","update_available":true})", notice("beta")},
      {"blank", " \n\t ", std::nullopt},
      {"white space around a record", " \n{\"version\":\"0.3.31\"}\n ", notice("0.3.31")},
      // Error pages are no versions.
      {"404 page", "404 page not found", std::nullopt},
      {"bare 404", "404", std::nullopt},
      {"502 page", "502 Bad Gateway\n", std::nullopt},
      // Links handed to the opener.
      {"link with a blank", R"({"version":"0.4","download_url":"https://a.example/x y"})", notice("0.4")},
      {"link with a line feed", R"({"version":"0.4","download_url":"https://a.example/x\ny"})", notice("0.4")},
      {"link with a no-break space", "{\"version\":\"0.4\",\"download_url\":\"https://a.example/\u00a0\"}",
       notice("0.4")},
      {"only the scheme", R"({"version":"0.4","download_url":"https://"})", notice("0.4")},
      {"scheme in upper case", R"({"version":"0.4","download_url":"HTTPS://a.example/"})", notice("0.4")},
      {"link too long",
       R"({"version":"0.4","download_url":"https://a.example/)" + std::string(2048, 'a') + R"("})", notice("0.4")},
      // Versions shown in the banner's one line.
      {"version of 65 bytes", R"({"update_available":true,"version":")" + long_version + R"("})", std::nullopt},
      {"version of 64 bytes", R"({"version":")" + longest_version + R"("})", notice(longest_version.c_str())},
      {"version with a line feed", R"({"update_available":true,"version":"1.0\nx"})", std::nullopt},
      {"version with a tab inside", R"({"update_available":true,"version":"1.0\tx"})", std::nullopt},
      // Invisible characters that would reorder or hide the banner's text,
      // written raw and as JSON escapes; plain non-ASCII letters stay.
      {"right-to-left override", "{\"version\":\"0.4.0\u202eevil\"}", std::nullopt},
      {"escaped right-to-left override", R"({"version":"0.4.0\u202Eevil"})", std::nullopt},
      {"plain text with an override", "0.4.0\u202eevil\n", std::nullopt},
      {"left-to-right isolate", R"({"update_available":true,"version":"0.4\u2066x"})", std::nullopt},
      {"zero-width space", R"({"version":"0.4\u200b"})", std::nullopt},
      {"zero-width joiner", R"({"version":"0.4\u200dx"})", std::nullopt},
      {"byte order mark", R"({"version":"\ufeff0.4"})", std::nullopt},
      {"soft hyphen", R"({"version":"0.4\u00ad1"})", std::nullopt},
      {"Arabic letter mark", R"({"version":"0.4\u061c"})", std::nullopt},
      {"tag character", "{\"version\":\"0.4\U000E0041\"}", std::nullopt},
      {"line separator inside", R"({"update_available":true,"version":"0.4\u2028x"})", std::nullopt},
      {"letters beside the format characters stay", R"({"update_available":true,"version":"0.4-é\u2010"})",
       notice("0.4-é\u2010")},
      {"link with an override", R"({"version":"0.4","download_url":"https://a.example/\u202egpj"})", notice("0.4")},
  };
  for (const ReplyCase& c : cases) {
    EXPECT_EQ(parse_update_reply(c.reply, "0.3.30", kDefault), c.notice) << c.name;
  }
}

TEST(UpdateReply, DeserializeKeepsTheAvailabilityForTheDecision) {
  struct Case {
    const char* reply;
    std::optional<bool> available;
  };
  const Case cases[] = {
      {R"({"version":"1"})", std::nullopt},
      {R"({"version":"1","update_available":null})", std::nullopt},
      {R"({"version":"1","update_available":true})", true},
      {R"({"version":"1","update_available":false})", false},
      {"1.0", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<UpdateOffer> offer = deserialize_update_reply(c.reply, kDefault);
    ASSERT_TRUE(offer.has_value()) << c.reply;
    EXPECT_EQ(offer->available, c.available) << c.reply;
  }
}

TEST(UpdateReply, TheLinkOfALongestAcceptableAddressIsKept) {
  const std::string link = "https://" + std::string(kMaxUpdateLinkBytes - 8, 'a');
  EXPECT_TRUE(is_acceptable_update_link(link));
  EXPECT_FALSE(is_acceptable_update_link(link + "a"));
  EXPECT_TRUE(is_acceptable_update_link("https://x"));
  EXPECT_FALSE(is_acceptable_update_link("https://x\x7f"));
}

}  // namespace
}  // namespace vel
