// The output discovery worker of a file-mode batch, "velocinta-discovery":
// on each request it scans the batch's worker folders for finished frame
// files of the batch's format and answers them read-first around the
// playhead. One report per request, in order; the worker ends when the stop
// flag rises or either channel is dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "memout/output_format.h"
#include "pool/bounded_channel.h"
#include "pool/decode/discovery_wake.h"
#include "pool/decode/frame_folder.h"
#include "pool/runtime/job_dir_guard.h"

namespace vel {

struct DiscoveryRequest {
  bool has_playhead = false;
  int64_t playhead = 0;  // the frame reading starts from
  // The frames the supervision does not want now, sorted by frame: their
  // files ask for no early idle call until they are due.
  std::vector<FrameWait> waits;
};

struct DiscoveredFile {
  std::filesystem::path path;
  int64_t frame = 0;
  bool age_known = false;
  double age_ms = 0.0;  // from the file's modification to the scan
  std::optional<uint64_t> worker;  // the number of its folder "w<N>"; none for another folder
  std::shared_ptr<const FrameFolder> folder;  // the folder it was found in, held open
  std::string name;                           // its name there
};

struct DiscoveryReport {
  std::vector<DiscoveredFile> files;  // read-first order
  std::chrono::steady_clock::time_point scan_started;
  std::chrono::steady_clock::duration scan_took{};
  bool fresh = false;  // it holds a file new since the last scan, or due for its try
};

// The batch plan's end of one discovery worker. Releasing it raises the stop
// flag first, then drops both channels, so the worker ends whatever it waits on.
class DiscoveryHandle {
 public:
  DiscoveryHandle(ChannelSender<DiscoveryRequest> requests, ChannelReceiver<DiscoveryReport> reports,
                  std::shared_ptr<std::atomic<bool>> stop);
  DiscoveryHandle(DiscoveryHandle&&) noexcept = default;
  // Releases the handle it replaces first.
  DiscoveryHandle& operator=(DiscoveryHandle&& other) noexcept;
  ~DiscoveryHandle();

  uint64_t counter = 0;  // kept by the supervision
  ChannelSender<DiscoveryRequest> requests;
  ChannelReceiver<DiscoveryReport> reports;
  std::optional<std::chrono::steady_clock::time_point> pending_since;
  std::shared_ptr<std::atomic<bool>> stop;
  bool waiting = false;
  // After a report with nothing fresh, no scan is asked before this.
  std::optional<std::chrono::steady_clock::time_point> next_scan_at;

 private:
  // Raises the stop flag, then drops the request sender, the report
  // receiver and the flag, in that order.
  void release();
};

// Starts the worker over `job_dir` for files of `format` (PSD or TGA). Never
// fails: when the thread cannot start ("pool: discovery worker unavailable:
// ..." is logged) the handle's channels are already disconnected.
DiscoveryHandle spawn_output_discovery(std::filesystem::path job_dir, SharedJobDir job_dir_guard,
                                       WorkerOutputFormat format);

// The frame number at the end of a file name's stem: 1 to 12 ASCII digits.
// "f_00012.tga" gives 12; "f_.tga" and a 13-digit run give nothing.
std::optional<int64_t> frame_number_from_file_name(std::string_view name);

// Whether a file in a worker folder is a finished frame of `extension`:
// valid UTF-8, not an "AEtemp" file, a 3-byte extension equal to it in any
// ASCII case, and a frame number.
std::optional<int64_t> finished_frame_of(std::string_view name, std::string_view extension);

// Read-first order, stable: with a playhead the frames at or after it in
// ascending order, then those before it; without, plain ascending order.
void sort_read_first(std::vector<DiscoveredFile>& files, const DiscoveryRequest& request);

// What one discovery worker keeps between its scans: the job folder, opened
// once, and the entries it refused (each is logged once).
struct JobFolderScan {
  std::shared_ptr<const DirFd> job;
  std::set<std::string> refused;
};

// One scan of the job folder (the worker's step 3 to 6), each file with the
// worker its folder names; nothing when the stop flag rose meanwhile. A
// folder that cannot be listed logs "pool: discovery failed: ..." and gives
// an empty list. The scan never leaves the job folder: a link in it, or a
// folder of another user, is skipped with one ERROR line ("pool: discovery
// skips ...") per entry and `state`; the job folder itself, a worker
// folder or a frame file is never reached through a link, and only regular
// files are reported.
std::optional<std::vector<DiscoveredFile>> scan_job_dir(const std::filesystem::path& job_dir,
                                                       std::string_view extension,
                                                       const DiscoveryRequest& request,
                                                       const std::atomic<bool>& stop, JobFolderScan& state);
// The same with a state of its own.
std::optional<std::vector<DiscoveredFile>> scan_job_dir(const std::filesystem::path& job_dir,
                                                       std::string_view extension,
                                                       const DiscoveryRequest& request,
                                                       const std::atomic<bool>& stop);

}  // namespace vel
