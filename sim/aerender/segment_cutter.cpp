#include "segment_cutter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

// The segment as the transport lays it out (the hostile producer's layout
// too): a 192-byte header whose slot state lies at 32, then the payload.
constexpr uint64_t kHeaderBytes = 192;
constexpr off_t kAtSlot = 32;
constexpr uint32_t kFree = 0;

constexpr auto kPatience = std::chrono::seconds(10);
constexpr auto kWholeBetweenCuts = std::chrono::microseconds(50);

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<SegmentCutter> SegmentCutter::open(const std::string& output, std::string& why) {
  const std::string manifest = output + ".vnx-manifest.json";
  std::ifstream in(manifest);
  const nlohmann::json m = nlohmann::json::parse(in, nullptr, false);
  if (!m.is_object() || !m.contains("mapping_name") || !m["mapping_name"].is_string() || !m.contains("capacity") ||
      !m["capacity"].is_number_unsigned()) {
    why = "no readable manifest beside " + output;
    return std::nullopt;
  }
  const std::string mapping = m["mapping_name"].get<std::string>();
  const int fd = ::shm_open(mapping.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    why = "cannot open the segment " + mapping;
    return std::nullopt;
  }
  return SegmentCutter(fd, kHeaderBytes + m["capacity"].get<uint64_t>(), manifest);
}

SegmentCutter::SegmentCutter(SegmentCutter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      whole_(other.whole_),
      manifest_(std::move(other.manifest_)),
      cutting_(std::move(other.cutting_)) {}

SegmentCutter::~SegmentCutter() {
  if (cutting_ && cutting_->thread.joinable()) {
    cutting_->stop.store(true);
    cutting_->thread.join();
  }
  if (fd_ >= 0) ::close(fd_);
}

bool SegmentCutter::start_cutting(int64_t to, std::FILE* log, std::string& why) {
  const int64_t size = to < 0 ? static_cast<int64_t>(whole_) + to : to;
  if (size < 0 || static_cast<uint64_t>(size) >= whole_ || cutting_) {
    why = "no cut to " + std::to_string(to) + " bytes of a " + std::to_string(whole_) + "-byte segment";
    return false;
  }
  cutting_ = std::make_unique<Cutting>();
  cutting_->to = static_cast<uint64_t>(size);
  std::fprintf(log, "aerender: cutting the segment to %llu bytes\n", static_cast<unsigned long long>(size));
  std::fflush(log);
  Cutting* c = cutting_.get();
  try {
    cutting_->thread = std::thread([this, c] {
      // Only once the slot is empty: the frames after are the ones cut
      // under.
      for (;;) {
        if (c->stop.load()) return;
        uint32_t slot = 1;
        if (::pread(fd_, &slot, sizeof slot, kAtSlot) == static_cast<ssize_t>(sizeof slot) && slot == kFree) break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      while (!c->stop.load()) {
        (void)::ftruncate(fd_, static_cast<off_t>(c->to));
        (void)::ftruncate(fd_, static_cast<off_t>(whole_));
        const uint64_t n = c->cuts.fetch_add(1) + 1;
        const auto whole_until = std::chrono::steady_clock::now() + kWholeBetweenCuts;
        while (std::chrono::steady_clock::now() < whole_until) {
        }
        if (n % 16 == 0 && !exists(manifest_)) return;  // the host let the output go
      }
    });
  } catch (const std::system_error&) {
    cutting_.reset();
    why = "no thread for the cuts";
    return false;
  }
  // The module adds no frame before the first cut: a thread that a busy
  // machine leaves unscheduled for as long as the module takes to add every
  // frame (a few tens of ms) would otherwise cut under none of them, and
  // the host would have no cut to meet.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (c->cuts.load() == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      why = "the cuts did not start within 10 s";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

void SegmentCutter::stop_cutting(std::FILE* log) {
  if (!cutting_) return;
  cutting_->stop.store(true);
  if (cutting_->thread.joinable()) cutting_->thread.join();
  std::fprintf(log, "aerender: the segment cut to %llu bytes under the host %llu times\n",
               static_cast<unsigned long long>(cutting_->to), static_cast<unsigned long long>(cutting_->cuts.load()));
  std::fflush(log);
}

bool SegmentCutter::cut_while_host_reads(std::FILE* log) {
  // The slot read through the descriptor, as every touch of this side is:
  // the cuts would fault a mapping here as much as in the host.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (;;) {
    uint32_t slot = 1;
    if (::pread(fd_, &slot, sizeof slot, kAtSlot) == static_cast<ssize_t>(sizeof slot) && slot == kFree) break;
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(log, "aerender ERROR: the host never took the last frame\n");
      std::fflush(log);
      return false;
    }
  }
  // Cut at once (the host is still handing that frame on), then again and
  // again: each cut brief, the file whole most of the time, so that the
  // host's looks at its size mostly find it whole and its touches after
  // them may meet the next cut.
  uint64_t cuts = 0;
  bool let_go = false;
  while (!let_go && std::chrono::steady_clock::now() < deadline) {
    (void)::ftruncate(fd_, 0);
    (void)::ftruncate(fd_, static_cast<off_t>(whole_));
    ++cuts;
    const auto whole_until = std::chrono::steady_clock::now() + kWholeBetweenCuts;
    while (std::chrono::steady_clock::now() < whole_until) {
    }
    if (cuts % 16 == 0) let_go = !exists(manifest_);
  }
  std::fprintf(log, "aerender: the segment cut under the host %llu times\n", static_cast<unsigned long long>(cuts));
  std::fprintf(log, let_go ? "aerender: the host let the output go\n" : "aerender ERROR: the host kept the output\n");
  std::fflush(log);
  return let_go;
}

}  // namespace sim
