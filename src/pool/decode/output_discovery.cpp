#include "pool/process/hold_points.h"
#include "pool/decode/output_discovery.h"

#include "pool/batch/batch_threads.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/machine.h"
#include "core/process_flags.h"
#include "core/threads.h"
#include "pool/decode/frame_ingest.h"
#include "pool/utf8_validity.h"

namespace vel {

namespace {

namespace fs = std::filesystem;

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch; };
           return lower(x) == lower(y);
         });
}

// Age of the entry's own modification at the wall clock now.
void measure_age(const struct stat& st, DiscoveredFile& file) {
  struct timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return;
  const __int128 modified = static_cast<__int128>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  const __int128 wall = static_cast<__int128>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  if (modified > wall) return;
  file.age_known = true;
  file.age_ms = static_cast<double>(wall - modified) / 1e6;
}

struct DiscoveryWorker {
  ChannelReceiver<DiscoveryRequest> requests;
  ChannelSender<DiscoveryReport> reports;
  fs::path job_dir;
  std::shared_ptr<std::atomic<bool>> stop;
  SharedJobDir job_dir_guard;
  WorkerOutputFormat format;

  void run() {
    const std::string extension = output_format_extension(format);
    JobFolderScan scan;
    ScanMemory seen;
    // The folder the launch made and holds, not whatever its path names by
    // the first scan.
    if (job_dir_guard) scan.job = job_dir_guard->folder();
    for (;;) {
      std::optional<DiscoveryRequest> request = requests.recv();
      if (!request || stop->load(std::memory_order_acquire)) return;
      DiscoveryReport report;
      report.scan_started = std::chrono::steady_clock::now();
      hold_at(HoldPoint::FolderScan);
      std::optional<std::vector<DiscoveredFile>> files = scan_job_dir(job_dir, extension, *request, *stop, scan);
      if (!files) return;
      report.files = std::move(*files);
      report.scan_took = std::chrono::steady_clock::now() - report.scan_started;
      report.fresh = seen.note_scan(report.files, request->waits, mono_ns());
      const bool wake = report.fresh;
      if (reports.send(std::move(report)) != SendOutcome::Sent) return;
      if (wake) request_early_idle();
    }
  }
};

}  // namespace

DiscoveryHandle::DiscoveryHandle(ChannelSender<DiscoveryRequest> requests_end,
                                 ChannelReceiver<DiscoveryReport> reports_end,
                                 std::shared_ptr<std::atomic<bool>> stop_flag)
    : requests(std::move(requests_end)), reports(std::move(reports_end)), stop(std::move(stop_flag)) {}

DiscoveryHandle::~DiscoveryHandle() { release(); }

DiscoveryHandle& DiscoveryHandle::operator=(DiscoveryHandle&& other) noexcept {
  if (this != &other) {
    release();
    counter = other.counter;
    requests = std::move(other.requests);
    reports = std::move(other.reports);
    pending_since = other.pending_since;
    stop = std::move(other.stop);
    waiting = other.waiting;
    next_scan_at = other.next_scan_at;
  }
  return *this;
}

void DiscoveryHandle::release() {
  if (stop) stop->store(true, std::memory_order_seq_cst);
  requests.reset();
  reports.reset();
  stop.reset();
}

std::optional<int64_t> frame_number_from_file_name(std::string_view name) {
  const size_t dot = name.rfind('.');
  const std::string_view stem = dot == std::string_view::npos ? name : name.substr(0, dot);
  size_t digits = 0;
  while (digits < stem.size() && stem[stem.size() - 1 - digits] >= '0' && stem[stem.size() - 1 - digits] <= '9') {
    ++digits;
  }
  if (digits == 0 || digits > 12) return std::nullopt;
  int64_t value = 0;
  for (char c : stem.substr(stem.size() - digits)) value = value * 10 + (c - '0');
  return value;
}

std::optional<int64_t> finished_frame_of(std::string_view name, std::string_view extension) {
  if (!valid_utf8(name) || name.starts_with("AEtemp")) return std::nullopt;
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || !equal_ignoring_ascii_case(name.substr(dot + 1), extension)) {
    return std::nullopt;
  }
  return frame_number_from_file_name(name);
}

void sort_read_first(std::vector<DiscoveredFile>& files, const DiscoveryRequest& request) {
  std::stable_sort(files.begin(), files.end(), [&](const DiscoveredFile& a, const DiscoveredFile& b) {
    if (request.has_playhead) {
      const bool a_before = a.frame < request.playhead, b_before = b.frame < request.playhead;
      if (a_before != b_before) return !a_before;
    }
    return a.frame < b.frame;
  });
}

std::optional<std::vector<DiscoveredFile>> scan_job_dir(const fs::path& job_dir, std::string_view extension,
                                                       const DiscoveryRequest& request, const std::atomic<bool>& stop,
                                                       JobFolderScan& state) {
  std::vector<DiscoveredFile> files;
  if (!state.job) state.job = open_job_folder(job_dir.string());
  if (!state.job) {
    log_line("ERROR", "pool: discovery failed: " + std::error_code(errno, std::generic_category()).message());
    return files;
  }
  for (const std::string& entry : folder_names(state.job->get())) {
    if (stop.load(std::memory_order_acquire)) return std::nullopt;
    FolderRefusal refusal{};
    std::shared_ptr<const FrameFolder> folder = open_frame_folder(state.job, entry, &refusal);
    if (!folder) {
      if (refusal == FolderRefusal::Foreign && state.refused.insert(entry).second)
        log_line("ERROR", "pool: discovery skips " + (job_dir / entry).string() +
                              ": a link or a folder of another user is no worker folder");
      continue;  // plain files, folders gone meanwhile
    }
    const fs::path folder_path = job_dir / entry;
    for (const std::string& name : folder_names(folder->dir.get())) {
      if (stop.load(std::memory_order_acquire)) return std::nullopt;
      const std::optional<int64_t> frame = finished_frame_of(name, extension);
      if (!frame) continue;
      struct stat st {};
      if (::fstatat(folder->dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
      DiscoveredFile file{folder_path / name, *frame, false, 0.0, parse_worker_dir_name(folder_path / name), folder,
                          name};
      measure_age(st, file);
      files.push_back(std::move(file));
    }
  }
  sort_read_first(files, request);
  if (stop.load(std::memory_order_acquire)) return std::nullopt;
  return files;
}

std::optional<std::vector<DiscoveredFile>> scan_job_dir(const fs::path& job_dir, std::string_view extension,
                                                       const DiscoveryRequest& request,
                                                       const std::atomic<bool>& stop) {
  JobFolderScan state;
  return scan_job_dir(job_dir, extension, request, stop, state);
}

DiscoveryHandle spawn_output_discovery(fs::path job_dir, SharedJobDir job_dir_guard, WorkerOutputFormat format) {
  auto [request_tx, request_rx] = make_bounded_channel<DiscoveryRequest>(1);
  auto [report_tx, report_rx] = make_bounded_channel<DiscoveryReport>(1);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto worker = std::make_shared<DiscoveryWorker>(DiscoveryWorker{std::move(request_rx), std::move(report_tx),
                                                                  std::move(job_dir), stop,
                                                                  std::move(job_dir_guard), format});
  Status<> thread = start_batch_thread("velocinta-discovery", [worker]() mutable {
    worker->run();
    worker.reset();
  });
  if (!thread) log_line("ERROR", "pool: discovery worker unavailable: " + thread.error());
  worker.reset();  // the thread holds the only share, or nobody does
  return DiscoveryHandle(std::move(request_tx), std::move(report_rx), std::move(stop));
}

}  // namespace vel
