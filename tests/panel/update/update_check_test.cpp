// One update check end to end: the real curl against the stand-in update
// service on 127.0.0.1, and small stand-in curls for what a service cannot
// make curl do. Nothing here leaves the machine: every endpoint is the
// loopback service or a stand-in curl that never connects.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/log.h"
#include "panel/update/update_check.h"
#include "panel/update/update_fetch.h"
#include "panel/update/update_request.h"
#include "panel/update/update_spawn.h"
#include "support/scratch_dir.h"
#include "update/update_service.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using sim::HttpReply;
using sim::UpdateService;
using testing::read_text;

const UpdateNotice kEarlier{"0.3.31", "https://earlier.example/get"};

std::unique_ptr<UpdateService> serve(std::vector<HttpReply> replies) {
  auto s = UpdateService::start(std::move(replies));
  EXPECT_TRUE(s.ok()) << s.error();
  return s.ok() ? std::move(s).value() : nullptr;
}

HttpReply body(std::string text, bool with_length = true) {
  HttpReply r;
  r.body = std::move(text);
  r.with_length = with_length;
  return r;
}

// No child of this test is left: every curl was reaped by the check itself.
bool no_child_left() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

class UpdateCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    // A proxy from the environment must not carry loopback requests away.
    ::setenv("no_proxy", "127.0.0.1", 1);
    ::setenv("NO_PROXY", "127.0.0.1", 1);
    store_update_notice(kEarlier);
  }
  const char* system_path() { return std::getenv("PATH"); }

  // A folder holding one stand-in "curl" running `script`.
  std::string fake_curl(const std::string& name, const std::string& script) {
    const fs::path dir = scratch_.path() / name;
    fs::create_directories(dir);
    std::ofstream(dir / "curl") << "#!/bin/sh\n" << script << "\n";
    ::chmod((dir / "curl").c_str(), 0755);
    return dir.string();
  }

  testing::ScratchDir scratch_{"vel-update"};
};

TEST_F(UpdateCheck, RealCurlAsksTheServiceAndFillsTheSlot) {
  auto service = serve({body(R"({"version":"0.3.32","download_url":"https://dl.example/v"})"),
                        body(R"({"version":"0.3.33"})")});
  ASSERT_TRUE(service);
  EXPECT_EQ(run_update_check(service->url("/update"), system_path()),
            (UpdateNotice{"0.3.32", "https://dl.example/v"}));
  EXPECT_EQ(run_update_check(service->url("/update?k=1"), system_path()),
            (UpdateNotice{"0.3.33", std::string(kDefaultDownloadLink)}));
  EXPECT_EQ(update_notice(), (UpdateNotice{"0.3.33", std::string(kDefaultDownloadLink)}));  // the later one wins
  ASSERT_TRUE(service->wait_served(2));
  const auto served = service->served();
  EXPECT_EQ(served[0].target, "/update?channel=beta&current=0.3.30");
  EXPECT_EQ(served[1].target, "/update?k=1&channel=beta&current=0.3.30");
  EXPECT_TRUE(no_child_left());
}

TEST_F(UpdateCheck, ErrorPagesAndUnreadableRepliesKeepTheEarlierNotice) {
  HttpReply not_found = body("404 page not found");
  not_found.status = 404;
  not_found.reason = "Not Found";
  HttpReply gateway = body("502 Bad Gateway\n");
  gateway.status = 502;
  gateway.reason = "Bad Gateway";
  // An error status makes no reply a version, however well it reads.
  HttpReply version_not_found = body("0.3.99");
  version_not_found.status = 404;
  version_not_found.reason = "Not Found";
  HttpReply record_on_error = body(R"({"version":"0.3.99","update_available":true})");
  record_on_error.status = 500;
  record_on_error.reason = "Internal Server Error";
  HttpReply redirect_nowhere = body("0.3.99");  // a 3xx without a place to go: curl stops there
  redirect_nowhere.status = 302;
  redirect_nowhere.reason = "Found";
  auto service = serve({not_found, gateway, body("404"), body("<html>0.9</html>"), body("", true),
                        body(R"({"version":"0.3.30"})"), version_not_found, record_on_error, redirect_nowhere});
  ASSERT_TRUE(service);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(run_update_check(service->url("/update"), system_path()), std::nullopt) << i;
    EXPECT_EQ(update_notice(), kEarlier) << i;
  }
}

TEST_F(UpdateCheck, AReplyWithoutLengthPastTheLimitEndsCurlAtOnce) {
  auto service = serve({body(std::string(300000, ' '), /*with_length=*/false)});
  ASSERT_TRUE(service);
  const FetchOutcome out = fetch_update_reply(*find_program_on_path("curl", system_path()),
                                              update_request(service->url("/update")));
  EXPECT_EQ(out.status, FetchStatus::too_long);
  EXPECT_TRUE(no_child_left());
  EXPECT_EQ(run_update_check(service->url("/update"), system_path()), std::nullopt);
  EXPECT_EQ(update_notice(), kEarlier);
}

TEST_F(UpdateCheck, AnEndlessReplyIsCutLongBeforeTheServiceCap) {
  HttpReply endless = body("0.3.99\n", false);
  endless.endless = true;
  auto service = serve({endless});
  ASSERT_TRUE(service);
  EXPECT_EQ(run_update_check(service->url("/update"), system_path()), std::nullopt);
  EXPECT_EQ(update_notice(), kEarlier);
  EXPECT_TRUE(no_child_left());
  ASSERT_TRUE(service->wait_served(1));
  const sim::ServedRequest served = service->served().front();
  EXPECT_TRUE(served.peer_closed);
  EXPECT_LT(served.body_bytes_sent, sim::kEndlessBodyCapBytes / 2);
}

TEST_F(UpdateCheck, AReplyOfExactlyTheLimitIsAccepted) {
  std::string record = R"({"version":"0.3.40"})";
  record.resize(kMaxUpdateReplyBytes, ' ');
  auto service = serve({body(record, false), body(record + " ", false)});
  ASSERT_TRUE(service);
  EXPECT_EQ(run_update_check(service->url("/update"), system_path()),
            (UpdateNotice{"0.3.40", std::string(kDefaultDownloadLink)}));
  store_update_notice(kEarlier);
  EXPECT_EQ(run_update_check(service->url("/update"), system_path()), std::nullopt);
  EXPECT_EQ(update_notice(), kEarlier);
}

TEST_F(UpdateCheck, CurlGetsItsArgumentsInOrder) {
  const fs::path args = scratch_.path() / "args";
  const std::string dir =
      fake_curl("recorder", "printf '%s\\n' \"$@\" > '" + args.string() + "'\necho '{\"latest\":\"0.4\"}'\nprintf '\\n200'");
  EXPECT_EQ(run_update_check("http://h.example/u", dir.c_str()), (UpdateNotice{"0.4", std::string(kDefaultDownloadLink)}));
  EXPECT_EQ(read_text(args), "-sS\n-L\n--connect-timeout\n5\n--max-time\n15\n--max-filesize\n65536\n"
                             "--write-out\n\n%{http_code}\n"
                             "http://h.example/u?channel=beta&current=0.3.30\n");
}

TEST_F(UpdateCheck, AnEndpointThatIsNoWebAddressIsNotUsed) {
  const fs::path args = scratch_.path() / "args";
  const fs::path written = scratch_.path() / "written";
  const std::string dir = fake_curl("recorder", "printf '%s\\n' \"$@\" > '" + args.string() + "'");
  const std::string builtin_request = update_request(kDefaultUpdateEndpoint);
  for (const std::string& value : {"-o" + written.string(), " -K" + written.string(), "file://" + written.string()}) {
    (void)run_update_check(update_url_from(value.c_str()), dir.c_str());
    const std::string seen = read_text(args);
    EXPECT_EQ(seen.substr(seen.rfind('\n', seen.size() - 2) + 1), builtin_request + "\n") << value;
  }
  EXPECT_FALSE(fs::exists(written));
}

TEST_F(UpdateCheck, FailingCurlsLeaveTheSlotAndTheLogAlone) {
  const fs::path log = scratch_.path() / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(log, LogRole::Host));
  struct Case {
    const char* name;
    std::string script;
    FetchStatus status;
  };
  const Case cases[] = {
      {"exit7", "echo 0.9.0; exit 7", FetchStatus::failed},
      {"signal", "echo 0.9.0; kill -9 $$", FetchStatus::killed},
      {"silent", "exit 0", FetchStatus::empty},
      {"no status", "echo 0.9.0", FetchStatus::http_error},
      {"status 404", "printf '0.9.0\\n404'", FetchStatus::http_error},
      {"status 200, no body", "printf '\\n200'", FetchStatus::empty},
      {"endless", "exec yes 0.9.0", FetchStatus::too_long},
  };
  for (const Case& c : cases) {
    const std::string dir = fake_curl(c.name, c.script);
    EXPECT_EQ(fetch_update_reply(dir + "/curl", "r").status, c.status) << c.name;
    EXPECT_EQ(run_update_check("http://h.example/u", dir.c_str()), std::nullopt) << c.name;
    EXPECT_EQ(update_notice(), kEarlier) << c.name;
  }
  // No curl on the search path at all.
  fs::create_directories(scratch_.path() / "empty");
  EXPECT_EQ(run_update_check("http://h.example/u", (scratch_.path() / "empty").c_str()), std::nullopt);
  EXPECT_EQ(fetch_update_reply((scratch_.path() / "empty" / "curl").string(), "r").status, FetchStatus::not_started);
  close_log_file();
  EXPECT_EQ(read_text(log), "");
  EXPECT_EQ(update_notice(), kEarlier);
  EXPECT_TRUE(no_child_left());
}

TEST(UpdateSearchPath, FindsTheFirstExecutableFile) {
  testing::ScratchDir d{"vel-path"};
  fs::create_directories(d.path() / "a" / "curl");  // a folder is no program
  fs::create_directories(d.path() / "b");
  std::ofstream(d.path() / "b" / "curl") << "#!/bin/sh\n";  // not executable
  fs::create_directories(d.path() / "c");
  std::ofstream(d.path() / "c" / "curl") << "#!/bin/sh\n";
  ::chmod((d.path() / "c" / "curl").c_str(), 0755);
  const std::string path = (d.path() / "a").string() + ":" + (d.path() / "b").string() + "::" + (d.path() / "c").string();
  EXPECT_EQ(find_program_on_path("curl", path.c_str()), (d.path() / "c" / "curl").string());
  EXPECT_EQ(find_program_on_path("curl", (d.path() / "a").c_str()), std::nullopt);
}

}  // namespace
}  // namespace vel
