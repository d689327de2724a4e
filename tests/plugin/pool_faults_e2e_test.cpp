// The pool's file road under injected faults, end to end in the stand-in
// host: one row per fault, each a simhost run in a private pid namespace on
// a short composition with the pool on. The scenario follows the plug-in's
// log (a batch's end report) and the pool folder (its job folders gone),
// never a guess of how long a batch takes. Every row also checks that
// nothing is left behind: no process in the namespace, no decoder,
// discovery or memory reader thread after the death hook, no job folder
// (removed by the deferred file work, or, when an error line names a log
// in it, by the next load's purge), and no frame in the cache twice.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "plugin/simhost_pool_run.h"
#include "psd_writer.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr const char* kEndReport = "PERF: POOL optimized=";
constexpr const char* kLaunchLine = "DELIVERY use_pool=true reason=pool_next_batch_ready ranges=";

// The sample cut to three seconds, so that a batch ends well within a run.
// The host renders a frame in 20 ms and the stand-in aerender in 10, so
// that the pool's batches are short. The faults name frames by their place
// in a worker's range, and keep a worker alive with a pause after its last
// frame rather than by its number of frames: where the first batch starts,
// and how many frames it holds, depend on how far the host's renderer and
// the disk store's lookups got before it.
constexpr int kFaultFrames = 72;
constexpr int kHostFrameMs = 20;
constexpr const char* kWorkerFrameMs = "SIM_AERENDER_COST_MS=10";
// A corrupt frame file, and its worker staying a while after its last
// frame, so that the file is read until it is given up.
constexpr const char* kCorruptFrame = "SIM_AERENDER_CORRUPT=0/w0:+1";
constexpr const char* kCorruptWorkerStays = "SIM_AERENDER_EXIT_DELAY_MS=0/w0:3000";

struct FaultRow {
  const char* name;
  std::vector<std::string> env;
  int batches = 1;              // end reports waited for before the pool is turned off
  bool folder_kept = false;     // an error line names a log in the job folder
  bool unexecutable_copy = false;  // the workers start from a copy of the stand-in that a fault may spoil
  bool edit_after_first = false;   // an edit and a save after the first batch, so that another one follows
  // What ends the wait for a batch: its end report, or (when another batch
  // only has to start) its launch line.
  const char* batch_line;
  std::function<void(const std::string& log, const std::string& pool_dir)> check;
  int quality = 1;  // the panel's size popup: 1 gives frame files at a quarter, 2 at half size
  std::function<void(const fs::path& home)> prepare;  // the user's files, before the run
};

// The end reports of the batches, in order.
std::vector<std::smatch> end_reports(const std::string& text) {
  static const std::regex line(
      "PERF: POOL optimized=[a-z]+ clients=([0-9]+) peak_active=([0-9]+) frames=([0-9]+)/([0-9]+) [^\n]* "
      "output_format=([a-z]+)\n");
  std::vector<std::smatch> out;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) out.push_back(*it);
  return out;
}

size_t count_in(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The frames the pool put into the cache ("S5 pool" lines) in `text`.
std::map<int64_t, int> pool_frames_cached(const std::string& text) {
  static const std::regex line("S5 pool : image ([0-9]+)/24 en cache");
  std::map<int64_t, int> out;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) ++out[std::stoll((*it)[1].str())];
  return out;
}

// What a batch that closes whole says: every frame it owed, and how many
// workers it started when `clients` is given.
void expect_whole(const std::smatch& report, const char* clients, const char* format, const std::string& text) {
  if (clients != nullptr) {
    EXPECT_EQ(report[1].str(), clients) << text;
  }
  EXPECT_EQ(report[3].str(), report[4].str()) << text;
  EXPECT_EQ(report[5].str(), format) << text;
}

std::string worker_exit_line(int worker) {
  return "ERROR: pool: worker " + std::to_string(worker) + " sorti en erreur (";
}

void expect_no_fallback(const std::string& text) {
  EXPECT_EQ(text.find("repli PSD"), std::string::npos) << text;
  EXPECT_EQ(text.find("DÉSACTIVÉ"), std::string::npos) << text;
}

// The log cut after each batch's end report: the stretches in which one
// batch delivered (an edit between batches asks for every frame again).
std::vector<std::string> batch_stretches(const std::string& text) {
  std::vector<std::string> out;
  size_t from = 0;
  for (const std::smatch& report : end_reports(text)) {
    const size_t end = text.find(report.str(), from) + report.str().size();
    out.push_back(text.substr(from, end - from));
    from = end;
  }
  out.push_back(text.substr(from));
  return out;
}

// A corrupt frame: read at most 120 times, given up with one line, and
// never in the cache from the pool. (The host's own renderer takes it while
// the pool pauses after the batch that fell short, before any later batch.)
void expect_given_up_once(const std::string& text) {
  static const std::regex line("ERROR: pool: frame ([0-9]+) illisible après 120 essais\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, line)) << text;
  EXPECT_EQ(count_in(text, "illisible après"), 1u) << "logged once\n" << text;
  EXPECT_EQ(pool_frames_cached(text).count(std::stoll(m[1].str())), 0u) << text;
}

// Frames written under numbers the worker was not given: none reaches the
// cache or the disk store, where the comp's frames all lie below kFaultFrames.
void expect_only_own_frames(const std::string& text, const std::string& pool_dir) {
  for (const auto& [frame, times] : pool_frames_cached(text)) EXPECT_LT(frame, kFaultFrames) << text;
  const fs::path store = fs::path(pool_dir).parent_path().parent_path() / "home" / "Library" / "Caches" / "velocinta";
  static const std::regex name("v([0-9]+)_s24\\.vnf");
  size_t files = 0;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(store, ec)) {
    std::smatch m;
    const std::string file = e.path().filename().string();
    if (!std::regex_match(file, m, name)) continue;
    ++files;
    EXPECT_LT(std::stoll(m[1].str()), kFaultFrames) << e.path();
  }
  EXPECT_GT(files, 0u) << "the store holds the comp's frames";
  expect_no_fallback(text);
}

// A user's pictures, named like frames of a Photoshop batch, one of them of
// another size than the batch's frames.
constexpr int kUserPictures = 35;
fs::path user_pictures(const fs::path& home) { return home / "Pictures"; }
std::string user_picture_name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "holiday_%05d.psd", i);
  return name;
}
std::vector<uint8_t> user_picture(int i) {
  const int w = i == 3 ? 640 : 64, h = i == 3 ? 360 : 36;
  return sim::encode_psd(sim::FrameImage{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4, uint8_t(i))}, {});
}
void write_user_pictures(const fs::path& home) {
  fs::create_directories(user_pictures(home));
  for (int i = 0; i < kUserPictures; ++i) {
    const std::vector<uint8_t> b = user_picture(i);
    std::ofstream(user_pictures(home) / user_picture_name(i), std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
}

// The pictures a worker's link led to: every one still there, unchanged.
void expect_user_pictures_whole(const std::string& text, const std::string& pool_dir) {
  const fs::path home = fs::path(pool_dir).parent_path().parent_path() / "home";
  int whole = 0;
  for (int i = 0; i < kUserPictures; ++i) {
    const std::string bytes = read_text(user_pictures(home) / user_picture_name(i));
    const std::vector<uint8_t> want = user_picture(i);
    whole += bytes == std::string(want.begin(), want.end()) ? 1 : 0;
  }
  EXPECT_EQ(whole, kUserPictures) << "user pictures lost or changed\n" << text;
  const std::regex skipped("ERROR: pool: discovery skips " + pool_dir + "/job_[0-9_]+/w0: [^\n]*\n");
  EXPECT_TRUE(std::regex_search(text, skipped)) << text;
  EXPECT_EQ(count_in(text, "pool: discovery skips"), 1u) << text;
  // Its next frames would go through the link: the worker is ended, and its
  // folder left for the next load (the line names it).
  const std::regex ended("ERROR: pool: worker 0 arrêté — " + pool_dir +
                         "/job_[0-9_]+/w0 ne mène plus au dossier créé \\(lien ou dossier remplacé\\)\n");
  EXPECT_TRUE(std::regex_search(text, ended)) << text;
  // The worker's frames went through its link: its replay makes them.
  const auto reports = end_reports(text);
  ASSERT_GE(reports.size(), 1u) << text;
  expect_whole(reports[0], "2", "psd", text);
  expect_no_fallback(text);
}

// The frame file that never settles is given up while its worker still
// runs (not once the batch ended it and the file stood still), and only
// after the worker's other frames came from the pool: it held up neither a
// decoder nor the batch, which ends then rather than with its worker a
// minute on; the host makes that frame, and the work area is cached. No try of it waited for the file to settle: each
// took what a look at the file takes (the pool's own phase records; a try
// that waited takes the whole of its wait, hundreds of ms).
void expect_churning_frame_given_up(const std::string& text, const std::string&) {
  EXPECT_EQ(count_in(text, "illisible après"), 1u) << "logged once\n" << text;
  const size_t given_up = text.find("illisible après 120 essais");
  ASSERT_NE(given_up, std::string::npos) << text;
  const std::string frame = std::regex_replace(text.substr(text.rfind("pool: frame ", given_up) + 12, 12),
                                               std::regex(" .*"), "");
  const std::regex phase("POOL_FILE_PHASE worker=Some\\(0\\) frame=" + frame +
                         " attempt=[0-9]+ read_ms=([0-9.]+) [^\n]*outcome=ReadFailed");
  size_t tries = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), phase), end; it != end; ++it, ++tries)
    EXPECT_LT(std::stod((*it)[1].str()), 200.0) << "a try waited for the file to settle: " << it->str();
  EXPECT_GT(tries, 0u) << text;
  const auto reports = end_reports(text);
  ASSERT_GE(reports.size(), 1u) << text;
  const size_t batch_end = text.find(reports[0].str());
  ASSERT_LT(given_up, batch_end) << "given up only once the batch was over\n" << text;
  static const std::regex elapsed(" elapsed_ms=([0-9.]+) ");
  std::smatch m;
  const std::string report = reports[0].str();
  ASSERT_TRUE(std::regex_search(report, m, elapsed)) << report;
  EXPECT_LT(std::stod(m[1].str()), 30'000.0) << "the batch waited for the worker that owed nothing more\n" << report;
  EXPECT_LT(batch_end, text.find("S2 zone de travail en cache")) << text;
  EXPECT_EQ(pool_frames_cached(text.substr(0, batch_end)).count(std::stoll(frame)), 0u) << text;
  EXPECT_FALSE(pool_frames_cached(text.substr(0, given_up)).empty()) << text;
  EXPECT_TRUE(pool_frames_cached(text.substr(given_up, batch_end - given_up)).empty())
      << "the other frames waited for the one that never settles\n" << text;
  expect_no_fallback(text);
}

// Three frame files of 400 MiB each, sized ahead and never filled: each
// refused from its size (once it stood still) with no more read of it than
// its head, then only looked at on its later tries, which still count, so
// that the three frames are given up in their three seconds. The batch
// reads next to nothing of them and closes within seconds; a later batch
// (another job folder: the fault stays behind) makes the three frames, and
// the work area is cached.
void expect_hollow_frames_given_up(const std::string& text, const std::string&) {
  const auto reports = end_reports(text);
  ASSERT_GE(reports.size(), 1u) << text;
  const std::string report = reports[0].str();
  const std::string batch = text.substr(0, text.find(report) + report.size());
  static const std::regex given_up("ERROR: pool: frame ([0-9]+) illisible après 120 essais\n");
  std::vector<std::string> frames;
  for (std::sregex_iterator it(batch.begin(), batch.end(), given_up), end; it != end; ++it) frames.push_back((*it)[1]);
  ASSERT_EQ(frames.size(), 3u) << text;
  EXPECT_EQ(count_in(text, "illisible après"), 3u) << text;
  for (const std::string& frame : frames) {
    const std::regex phase("POOL_FILE_PHASE worker=Some\\(0\\) frame=" + frame +
                           " attempt=[0-9]+ read_ms=[0-9.]+ decode_ms=[0-9.]+ read_bytes=([0-9]+) outcome=([A-Za-z]+)");
    std::string outcomes;  // one letter a try
    for (std::sregex_iterator it(batch.begin(), batch.end(), phase), end; it != end; ++it) {
      EXPECT_LE(std::stoull((*it)[1].str()), 26u) << "read past its head: " << it->str();
      outcomes += (*it)[2].str()[0];
    }
    // Still settling (R: refused at once), then found too large once (O),
    // then unchanged (U) to the end.
    EXPECT_EQ(outcomes.size(), 120u) << "frame " << frame << ": " << outcomes;
    EXPECT_TRUE(std::regex_match(outcomes, std::regex("R*OU+"))) << "frame " << frame << ": " << outcomes;
    EXPECT_EQ(pool_frames_cached(batch).count(std::stoll(frame)), 0u) << text;
  }
  static const std::regex figures(" elapsed_ms=([0-9.]+) read_decode_ms_sum=[0-9.]+ read_bytes=([0-9]+) ");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(report, m, figures)) << report;
  EXPECT_LT(std::stoull(m[2].str()), uint64_t{16} << 20) << "the batch read more than its frames\n" << report;
  EXPECT_LT(std::stod(m[1].str()), 30'000.0) << "the batch read its files over and over\n" << report;
  EXPECT_EQ(std::stoul(reports[0][3].str()) + 3, std::stoul(reports[0][4].str())) << report;
  EXPECT_LT(batch.size(), text.find("S2 zone de travail en cache")) << text;
  expect_no_fallback(text);
}

const std::vector<FaultRow>& fault_rows() {
  static const std::vector<FaultRow> rows = {
      {"WorkerZeroCrashesAfterFiveFrames",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_CRASH_AFTER=w0:5"},
       1, true, false, false, kEndReport,
       [](const std::string& text, const std::string& pool_dir) {
         const std::regex crash("ERROR: pool: worker 0 sorti en erreur \\(signal: 6 \\(SIGABRT\\)\\) — log : " + pool_dir +
                                "/job_[0-9_]+/w0\\.log\n");
         EXPECT_TRUE(std::regex_search(text, crash)) << text;
         EXPECT_EQ(text.find(worker_exit_line(1)), std::string::npos) << "the replay runs clean\n" << text;
         // w0 and the one replay of its missing frames, which delivers them all.
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         expect_whole(reports[0], "2", "psd", text);
         expect_no_fallback(text);
       }},
      {"TheReplayCrashesToo",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_CRASH_AFTER=0/w0:2,0/w1:2"},
       2, true, false, true, kLaunchLine,
       [](const std::string& text, const std::string&) {
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 2u) << text;
         const size_t first_end = text.find(reports[0].str());
         const std::string first = text.substr(0, first_end), later = text.substr(first_end);
         EXPECT_NE(first.find(worker_exit_line(0)), std::string::npos) << text;
         EXPECT_NE(first.find(worker_exit_line(1)), std::string::npos) << text;
         // One replay, never a replay of the replay: what it left waits.
         EXPECT_EQ(reports[0][1].str(), "2") << reports[0].str();
         EXPECT_EQ(reports[0][3].str(), "4") << reports[0].str();
         EXPECT_GT(std::stoul(reports[0][4].str()), 4u) << reports[0].str();
         // A later batch (another job folder: the faults stay behind) runs
         // clean. (The host's own renderer takes the replay's leftovers
         // while the pool pauses after a batch that fell short, so the later
         // batch follows an edit that asks for every frame again.)
         EXPECT_EQ(later.find("sorti en erreur"), std::string::npos) << text;
         EXPECT_EQ(reports[1][5].str(), "psd") << reports[1].str();
         expect_no_fallback(text);
       }},
      {"WorkerOneIsSlow",
       {"VELOCINTA_POOL_WORKERS=2", "SIM_AERENDER_FRAME_MS=w1:30"},
       1, false, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         EXPECT_EQ(text.find("ERROR"), std::string::npos) << "nothing killed\n" << text;
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         expect_whole(reports[0], "2", "psd", text);
       }},
      {"ACorruptPsdFrame",
       {"VELOCINTA_POOL_WORKERS=1", kCorruptFrame, kCorruptWorkerStays},
       1, false, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         expect_given_up_once(text);
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         EXPECT_EQ(std::stoul(reports[0][3].str()) + 1, std::stoul(reports[0][4].str())) << reports[0].str();
         expect_no_fallback(text);
       }},
      {"ACorruptTgaFrame",
       {"VELOCINTA_OUTPUT_FORMAT=tga", "VELOCINTA_POOL_WORKERS=1", kCorruptFrame,
        kCorruptWorkerStays},
       1, false, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         expect_given_up_once(text);
         // A TGA batch that fell short sends later batches to PSD.
         EXPECT_EQ(count_in(text, "ERROR: pool: lot expérimental incomplet — repli PSD pour les images manquantes\n"), 1u)
             << text;

       }},
      {"ATgaWorkerSkipsAFrame",
       {"VELOCINTA_OUTPUT_FORMAT=tga", "VELOCINTA_POOL_WORKERS=1",
        "SIM_AERENDER_SKIP_FRAME=w0:+1"},
       1, false, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
         // The replay makes the one frame skipped: the batch is whole.
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         expect_whole(reports[0], "2", "tga", text);
       }},
      {"ATgaFrameSkippedByTheReplayToo",
       {"VELOCINTA_OUTPUT_FORMAT=tga", "VELOCINTA_POOL_WORKERS=1",
        "SIM_AERENDER_SKIP_FRAME=0/w0:+1,0/w1:+0"},
       2, false, false, true, kLaunchLine,
       [](const std::string& text, const std::string&) {
         EXPECT_EQ(count_in(text, "ERROR: pool: lot expérimental incomplet — repli PSD pour les images manquantes\n"), 1u)
             << text;
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 2u) << text;
         EXPECT_EQ(reports[0][1].str(), "2") << reports[0].str();
         EXPECT_EQ(std::stoul(reports[0][3].str()) + 1, std::stoul(reports[0][4].str())) << reports[0].str();
         EXPECT_EQ(reports[0][5].str(), "tga") << reports[0].str();
         EXPECT_EQ(reports[1][5].str(), "psd") << "later batches use PSD\n" << reports[1].str();
       }},
      {"TheStandInTurnsNonExecutableMidBatch",
       {"VELOCINTA_POOL_WORKERS=1",
        "SIM_AERENDER_UNEXEC_AFTER=w0:1", "SIM_AERENDER_SKIP_FRAME=w0:+2"},
       1, false, true, false, kEndReport,
       [](const std::string& text, const std::string&) {
         // The replay of the skipped frame cannot start: no freeze (the run
         // ended on its own), one line, the range dropped and the batch closed.
         EXPECT_EQ(count_in(text, "ERROR: pool: spawn aerender: "), 1u) << text;
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         EXPECT_EQ(reports[0][1].str(), "1") << reports[0].str();
         expect_no_fallback(text);
       }},
      {"EachFrameAlsoWrittenAThousandOn",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_ALSO_AS=1000"},
       1, false, false, false, kEndReport, expect_only_own_frames},
      {"WorkersLeaveChildrenInTheirGroups",
       {"VELOCINTA_POOL_WORKERS=2", "SIM_AERENDER_GROUP_CHILDREN=2"},
       1, false, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         // The children end with their worker: the run's check that no
         // process outlived the host holds.
         EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
       }},
      {"APsdBatchWithoutAnyFrame",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_EXIT_AFTER=0",
        "SIM_AERENDER_EXIT_STATUS=1"},
       1, true, false, false, kEndReport,
       [](const std::string& text, const std::string& pool_dir) {
         const std::regex disabled("ERROR: pool: DÉSACTIVÉ pour la session — lot sans aucune frame produite — vérifier " +
                                   pool_dir + "/job_[0-9_]+/w0\\.log\n");
         EXPECT_TRUE(std::regex_search(text, disabled)) << text;
         EXPECT_EQ(text.find("templates RS"), std::string::npos) << text;
       }},
      {"ATemplateNamedInTheWorkerLog",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_FORGET_RS_TEMPLATE=1"},
       1, true, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         EXPECT_NE(text.find("ERROR: pool: création des templates RS en échec (signalé par aerender sur un lot)"),
                   std::string::npos)
             << text;
         EXPECT_EQ(text.find("DÉSACTIVÉ"), std::string::npos) << text;
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         EXPECT_EQ(reports[0][3].str(), "0") << reports[0].str();
         EXPECT_NE(reports[0].str().find(" file_ds=2 "), std::string::npos) << reports[0].str();
       },
       2},
      {"AWorkerLinksItsFolderToTheUsersPictures",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_LINK_OUT=0/w0", "SIM_AERENDER_LINK_TARGET=~/Pictures"},
       1, true, false, false, kEndReport, expect_user_pictures_whole, 1, write_user_pictures},
      {"FrameFilesFilledEightyMsAfterTheyAppear",
       {"VELOCINTA_POOL_WORKERS=2", "SIM_AERENDER_LATE_WRITE_MS=w0:80,w1:80"},
       1, false, false, false, kEndReport,
       [](const std::string& text, const std::string&) {
         EXPECT_EQ(text.find("illisible"), std::string::npos) << "a frame given up\n" << text;
         const auto reports = end_reports(text);
         ASSERT_GE(reports.size(), 1u) << text;
         expect_whole(reports[0], nullptr, "psd", text);
         expect_no_fallback(text);
       }},
      // The worker would stay a minute, its file churning: the batch ends
      // once the frame is given up, and the host renders that frame.
      {"AFrameFileThatNeverSettles",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_CHURN=0/w0:+1", "SIM_AERENDER_EXIT_DELAY_MS=0/w0:60000"},
       1, false, false, false, "S2 zone de travail en cache", expect_churning_frame_given_up},
      {"ThreeFrameFilesOfFourHundredMegabytes",
       {"VELOCINTA_POOL_WORKERS=1", "SIM_AERENDER_HOLLOW=0/w0:3"},
       1, false, false, false, "S2 zone de travail en cache", expect_hollow_frames_given_up},
  };
  return rows;
}

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

class PoolFaultRun : public testing::SimhostPoolRun, public ::testing::WithParamInterface<FaultRow> {
 protected:
  // The panel open and paused (the playhead stays: its own renders do not
  // race the batch), the pool on; once the batches asked for have ended,
  // the pool off, and the run ends when the job folders are gone (or at
  // once when one is kept for the next load).
  json scenario(const FaultRow& row) {
    json events = json::array({command(50, "Velocinta"), {{"at_ms", 60}, {"action", "pause"}},
                               command(100, "velocinta: pool (toggle)")});
    if (row.edit_after_first) {
      // Every frame to render again, and dearer in the host (the stand-in
      // aerender keeps its own cost), so that the host's renderer is still
      // at it when the pool's pause after a batch that fell short is over.
      events.push_back(when_logged(kEndReport, 1,
                                   {{"action", "edit"}, {"pointer", "/compositions/0/render_cost_ms"}, {"value", 100}}));
      events.push_back({{"at_ms", 0}, {"action", "edit"}, {"pointer", "/compositions/0/layers/1/solid/color"},
                        {"value", json::array({0.2, 0.8, 0.3})}});
      events.push_back({{"at_ms", 0}, {"action", "save"}});
    }
    // Turning the pool off ends a batch still running, with its report.
    events.push_back(when_logged(row.batch_line, row.batches, {{"action", "command"}, {"name", "velocinta: pool (toggle)"}}));
    json quit = {{"action", "quit"}};
    events.push_back(row.folder_kept ? when_logged("INFO: velocinta: pool désactivé", 1, quit) : when_no_job_folder(quit));
    return events;
  }
  // The stand-in and its engine, copied where a fault may take the execute
  // bits away without touching the build's own.
  std::string stand_in_copy() {
    const fs::path bin = root_ / "bin";
    fs::create_directories(bin);
    const fs::path aerender = VEL_AERENDER_PATH;
    for (const char* name : {"aerender", "aerendercore"})
      fs::copy_file(aerender.parent_path() / name, bin / name, fs::copy_options::overwrite_existing);
    return (bin / "aerender").string();
  }
  void expect_nothing_left(const testing::ChildResult& r) {
    EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
    const json s = summary();
    ASSERT_TRUE(s.is_object()) << r.output;
    EXPECT_EQ(s["still_waiting"], "") << "waited in vain\n" << log();
    const auto threads = pool_threads_left();
    EXPECT_TRUE(threads.empty()) << threads.front();
  }
};

TEST_P(PoolFaultRun, EndsAsExpectedAndLeavesNothingBehind) {
  const FaultRow& row = GetParam();
  json p = project();
  p["compositions"][0]["duration"] = json::array({kFaultFrames, 24});
  p["compositions"][0]["work_area"] = {{"start", json::array({0, 24})}, {"duration", json::array({kFaultFrames, 24})}};
  p["compositions"][0]["render_cost_ms"] = kHostFrameMs;
  write_project(p);
  const fs::path support = root_ / "home" / "Library" / "Application Support" / "velocinta";
  fs::create_directories(support);
  std::ofstream(support / "panel_options.json") << json{{"quality", row.quality}}.dump();
  if (row.prepare) row.prepare(root_ / "home");
  std::vector<std::string> env = row.env;
  env.push_back(kWorkerFrameMs);
  if (row.unexecutable_copy) env.push_back("VELOCINTA_AERENDER=" + stand_in_copy());
  auto r = run(env, scenario(row), 90);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  expect_nothing_left(r);
  const std::string text = log();
  row.check(text, pool_dir().string());
  for (const std::string& stretch : batch_stretches(text))
    for (const auto& [frame, times] : pool_frames_cached(stretch))
      EXPECT_EQ(times, 1) << "frame " << frame << " cached twice by one batch";
  if (!row.folder_kept) {
    EXPECT_TRUE(job_dirs().empty()) << "removed through the deferred file work";
    return;
  }
  // A folder kept for its log goes at the next load. That run ends once its
  // update check is over too (a newer version offered: one line), so that
  // the check's own child is not cut short by the end of the run.
  EXPECT_FALSE(job_dirs().empty());
  std::ofstream(root_ / "update.json") << R"({"ok":true,"version":"9.9.9"})";
  const json wait_for_load = json::array({when_logged("INFO: update: version 9.9.9", 1, {{"action", "wait"}}),
                                          when_no_job_folder({{"action", "quit"}})});
  auto next = run(env, wait_for_load, 30, {"--update-reply", (root_ / "update.json").string()});
  ASSERT_EQ(next.exit_code, 0) << next.output;
  EXPECT_EQ(summary()["still_waiting"], "") << "the load's purge left a job folder";
  EXPECT_TRUE(job_dirs().empty());
}

INSTANTIATE_TEST_SUITE_P(FileRoad, PoolFaultRun, ::testing::ValuesIn(fault_rows()),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel
