#include "memout/active_outputs.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>

#include "core/log.h"
#include "core/machine.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;

struct ActiveOutput {
  MemoryOutputWriter writer;
  Clock::time_point opened_at;
  std::optional<uint64_t> first_pixels_ms;
  int64_t frames_written = 0;
  uint64_t slot_wait_ns = 0;
  uint64_t copy_ns = 0;
  bool premultiply = true;  // the host hands straight alpha
  bool failed = false;
};

struct Registry {
  std::mutex mutex;
  std::map<const void*, ActiveOutput> outputs;
};
Registry& registry() {
  static Registry* r = new Registry;  // callbacks may run while the process exits
  return *r;
}

std::atomic<bool>& failure_flag() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::mutex& facts_mutex() {
  static std::mutex m;
  return m;
}
std::optional<MemoryModuleFacts>& facts_cell() {
  static std::optional<MemoryModuleFacts> cell;
  return cell;
}

const char* const kBusy = "output callback already active";

uint64_t whole_ms(Clock::duration d) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

std::string ms3(uint64_t ns) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(ns) / 1e6);
  return buf;
}

Status<> check_against_manifest(const MemoryOutputWriter& writer, const HostOutputFacts& host) {
  const OutputContract& c = writer.contract;
  if (c.step == 0) return err("invalid manifest frame rate");
  const int64_t expected = static_cast<int64_t>((uint64_t{c.key_scale} << 16) / static_cast<uint64_t>(c.step));
  const int64_t fixed = static_cast<int64_t>(host.fps_fixed);
  if (host.fps_fixed < 1 || host.fps_fixed > uint64_t{std::numeric_limits<int64_t>::max()} ||
      (fixed > expected ? fixed - expected : expected - fixed) > 1) {
    return err("output frame rate differs from manifest: fixed=" + std::to_string(host.fps_fixed) +
               ", expected=" + std::to_string(expected));
  }
  if (host.depth != 32 || host.width != int64_t{c.width} || host.height != int64_t{c.height} ||
      host.start_frame != c.range_start) {
    return err("output differs from manifest: depth=" + std::to_string(host.depth) +
               " size=" + std::to_string(host.width) + "x" + std::to_string(host.height) +
               " start=" + std::to_string(host.start_frame) + ", expected=" + std::to_string(c.width) + "x" +
               std::to_string(c.height) + " start=" + std::to_string(c.range_start));
  }
  if (host.alpha_version != 0x0101) return err("unsupported alpha label");
  if (host.alpha_flags != 0 || host.alpha != OutputAlpha::Straight) {
    return err("output alpha must match verified Straight (Unmatted) template");
  }
  return ok_unit();
}

// Removes the output of `spec` from the registry; nothing when it has none.
Result<std::optional<ActiveOutput>> take_output(const void* spec) {
  Registry& r = registry();
  std::unique_lock lk(r.mutex, std::try_to_lock);
  if (!lk.owns_lock()) return err(kBusy);
  auto it = r.outputs.find(spec);
  if (it == r.outputs.end()) return std::optional<ActiveOutput>();
  std::optional<ActiveOutput> out(std::move(it->second));
  r.outputs.erase(it);
  return out;
}

}  // namespace

void set_memory_module_facts(const MemoryModuleFacts& facts) {
  std::lock_guard lk(facts_mutex());
  facts_cell() = facts;
}

std::optional<MemoryModuleFacts> memory_module_facts() {
  std::lock_guard lk(facts_mutex());
  return facts_cell();
}

void raise_output_failure() { failure_flag().store(true, std::memory_order_release); }
bool output_failure_raised() { return failure_flag().load(std::memory_order_acquire); }

Status<> open_memory_output(const void* spec, std::string_view output_path, const HostFactsQuery& facts) {
  const std::optional<MemoryModuleFacts> module = memory_module_facts();
  if (!module) return err("AEIO not initialized");
  if (spec == nullptr || !module->engine) return err("memory export requires an owned headless render engine");
  MemoutResult<MemoryOutputWriter> writer = read_output_manifest(output_path);
  if (!writer) return err(writer.error().message);
  Result<HostOutputFacts> host = facts ? facts() : Result<HostOutputFacts>(err("output facts unavailable"));
  if (!host) return err(host.error());
  if (Status<> matches = check_against_manifest(*writer, *host); !matches) return matches;

  Registry& r = registry();
  std::unique_lock lk(r.mutex, std::try_to_lock);
  if (!lk.owns_lock()) return err(kBusy);
  if (r.outputs.size() >= kMaxActiveOutputs || r.outputs.count(spec) != 0) {
    return err("output already active or output limit reached");
  }
  if (r.outputs.empty()) failure_flag().store(false, std::memory_order_release);
  const OutputContract& c = writer->contract;
  perf_log("AEIO start: pid=" + std::to_string(getpid()) + " output=" + std::string(output_path) +
           " mode=" + (c.null_mode ? "Null" : "Memory") + " range=" + std::to_string(c.range_start) + ".." +
           std::to_string(c.range_end) + " size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
           " entry_to_output_start_ms=" + std::to_string(whole_ms(Clock::now() - module->registered_at)) +
           " mono_ns=" + std::to_string(mono_ns()));
  ActiveOutput out{std::move(*writer), Clock::now(), std::nullopt, 0, 0, 0, true, false};
  r.outputs.emplace(spec, std::move(out));
  return ok_unit();
}

Status<> check_frame_world(const void* spec, const HostFrameWorld* world) {
  const std::optional<MemoryModuleFacts> module = memory_module_facts();
  if (!module) return err("AEIO not initialized");
  if (spec == nullptr || !module->engine) return err("memory output is not an owned engine operation");
  if (world == nullptr) return err("null frame world");
  if (world->width < 0) return err("negative width");
  if (world->height < 0) return err("negative height");
  if (world->row_bytes < 0) return err("negative row stride");
  if (world->width < 1 || world->width > kMaxOutputSide || world->height < 1 || world->height > kMaxOutputSide ||
      world->width * world->height > 64'000'000 || world->row_bytes < world->width * 4 || world->pixels == nullptr ||
      world->origin_x != 0 || world->origin_y != 0) {
    return err("unsupported frame world dimensions, origin, or stride");
  }
  return ok_unit();
}

Status<> write_output_frame(const void* spec, int64_t ordinal, const HostFrameWorld& world,
                            const CancelCheck& cancel) {
  Registry& r = registry();
  std::unique_lock lk(r.mutex, std::try_to_lock);
  if (!lk.owns_lock()) return err(kBusy);
  auto it = r.outputs.find(spec);
  if (it == r.outputs.end()) return err("output was not started");
  ActiveOutput& out = it->second;
  if (out.failed || output_failure_raised() || ordinal != out.frames_written) {
    out.failed = true;
    return err("nonsequential output ordinal " + std::to_string(ordinal) + "; expected " +
               std::to_string(out.frames_written));
  }
  const OutputContract& c = out.writer.contract;
  int64_t frame = 0;
  if (__builtin_add_overflow(c.range_start, ordinal, &frame) || frame > c.range_end) {
    out.failed = true;
    return err("frame outside owned range");
  }
  if (!out.first_pixels_ms) {
    out.first_pixels_ms = whole_ms(Clock::now() - out.opened_at);
    perf_log("AEIO first pixels: pid=" + std::to_string(getpid()) + " frame=" + std::to_string(frame) +
             " output_start_to_first_pixels_ms=" + std::to_string(*out.first_pixels_ms) +
             " mono_ns=" + std::to_string(mono_ns()) + " (includes host scheduling and conversion)");
  }
  // The last row needs only its pixels, not the host's padding after them.
  const uint64_t length = static_cast<uint64_t>(world.width) * 4 +
                          static_cast<uint64_t>(world.row_bytes) * static_cast<uint64_t>(world.height - 1);
  const ArgbFrame source{world.pixels, length, static_cast<uint64_t>(world.row_bytes),
                         static_cast<uint32_t>(world.width), static_cast<uint32_t>(world.height)};
  MemoutResult<SlotWriteTimes> wrote = write_frame_to_slot(out.writer, frame, source, out.premultiply, cancel);
  if (!wrote) {
    out.failed = true;
    return err(wrote.error().message);
  }
  out.slot_wait_ns = saturating_add(out.slot_wait_ns, wrote->slot_wait_ns);
  out.copy_ns = saturating_add(out.copy_ns, wrote->copy_ns);
  if (out.frames_written == std::numeric_limits<int64_t>::max()) return err("output ordinal overflow");
  ++out.frames_written;
  return ok_unit();
}

Status<> add_output_frame(const void* spec, const HostFrameCall& call, const HostFrameWorld* world,
                          const std::function<Status<>()>& pixel_format_ok, const CancelCheck& cancel) {
  Status<> done = [&]() -> Status<> {
    if (call.frames != 1 || call.compressed || (call.origin && (call.origin->first != 0 || call.origin->second != 0))) {
      return err("unsupported repeated, compressed, or cropped frame");
    }
    if (Status<> world_ok = check_frame_world(spec, world); !world_ok) return world_ok;
    if (pixel_format_ok) {
      if (Status<> format = pixel_format_ok(); !format) return format;
    }
    return write_output_frame(spec, call.ordinal, *world, cancel);
  }();
  if (!done) raise_output_failure();
  return done;
}

Status<> finish_memory_output(const void* spec) {
  Result<std::optional<ActiveOutput>> taken = take_output(spec);
  if (!taken) return err(taken.error());
  std::optional<ActiveOutput>& out = *taken;
  if (!out) return ok_unit();
  const OutputContract& c = out->writer.contract;
  int64_t span = 0;
  if (__builtin_sub_overflow(c.range_end, c.range_start, &span) || span == std::numeric_limits<int64_t>::max()) {
    return err("invalid output range");
  }
  const int64_t expected = span + 1;
  perf_log("AEIO finish: frames=" + std::to_string(out->frames_written) + "/" + std::to_string(expected) +
           " failed=" + (out->failed ? "true" : "false") +
           " output_ms=" + std::to_string(whole_ms(Clock::now() - out->opened_at)) + " first_pixels_ms=" +
           (out->first_pixels_ms ? "Some(" + std::to_string(*out->first_pixels_ms) + ")" : std::string("None")) +
           " queue_ms=" + ms3(out->slot_wait_ns) + " copy_ms=" + ms3(out->copy_ns));
  if (!out->failed && !output_failure_raised() && out->frames_written == expected) {
    mark_output_finished(out->writer);
    return ok_unit();
  }
  return err("memory output incomplete; consumer must use fallback");
}

Status<> flush_memory_output(const void* spec) {
  Result<std::optional<ActiveOutput>> taken = take_output(spec);
  if (!taken) return err(taken.error());
  std::optional<ActiveOutput>& out = *taken;
  if (!out) return ok_unit();
  log_line("ERROR", "AEIO: active output flushed before completion");
  return ok_unit();
}

size_t active_output_count() {
  Registry& r = registry();
  std::lock_guard lk(r.mutex);
  return r.outputs.size();
}

}  // namespace vel
