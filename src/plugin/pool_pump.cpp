#include "plugin/pool_pump.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "core/log.h"
#include "core/machine.h"
#include "plugin/preview_state.h"
#include "core/switches.h"
#include "host/project_calls.h"
#include "host/render_calls.h"
#include "host/utility_calls.h"
#include "pool/pool_directory.h"
#include "pool/pool_runtime_ops.h"
#include "pool/rs_templates.h"
#include "pool/snapshot_adoption.h"
#include "pool/utf8_validity.h"

namespace vel {

namespace {

std::string one_decimal(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

OpenProject open_project_state() {
  auto state = project_file_state();
  if (!state) return std::nullopt;
  return std::make_pair(state->path, state->dirty);
}

// The script adds and removes a render-queue item, which moves the host's
// project-change stamp: the preview takes the new stamp as its baseline so
// that the template check is not seen as an edit.
void refresh_edit_baseline(PreviewState& s) {
  if (!s.preview.edits.baseline) return;
  if (auto stamp = current_timestamp()) {
    s.preview.edits.baseline = stamp.value();
  } else {
    s.preview.edits.baseline.reset();
  }
}

void run_template_check(PreviewState& s) {
  TemplateHost host;
  host.run_script = [&s](const std::string& script) -> Result<TemplateHost::Ran> {
    auto out = execute_script(s.plugin_id, script);
    if (!out) return err(to_string(out.error()));
    return TemplateHost::Ran{out->result, out->error};
  };
  host.refresh_project_baseline = [&s] { refresh_edit_baseline(s); };
  ensure_rs_templates(s.pool, host);
}

void poll_background_copy(PreviewState& s, uint64_t now_ns) {
  PoolRuntime& rt = s.pool;
  auto reply = poll_snapshot_reply(rt.snapshot_reply, rt.snapshot_generation);
  if (!reply) return;
  if (auto* text = std::get_if<std::string>(&*reply)) {
    log_line("ERROR", "snapshot copy: " + *text);
    note_pool_comp_edit(rt, now_ns);
    return;
  }
  SnapshotReady ready = std::move(std::get<SnapshotReady>(*reply));
  auto stamp = file_modified_time(ready.source());
  if (!snapshot_still_fresh(ready, open_project_state(), stamp, rt.last_edit_wall_time)) return;  // deleted here
  if (perf_enabled()) perf_log("SNAPSHOT copy_ms=" + one_decimal(ready.copy_ms()));
  adopt_project_snapshot(rt, std::move(ready));
}

void take_snapshot(PreviewState& s, uint64_t now_ns) {
  PoolRuntime& rt = s.pool;
  auto dir = pool_directory_path();
  if (!dir) return;
  if (auto made = ensure_private_dir(*dir); !made) {
    log_line("ERROR", "pool: snapshot: " + made.error());
    return;
  }
  auto project = open_project_state();
  std::optional<FileStamp> stamp;
  if (project) stamp = file_modified_time(project->first);
  switch (choose_snapshot_road(project, stamp, rt.last_edit_wall_time, pipeline_optimize_enabled())) {
    case SnapshotRoad::WaitForSave:
      rt.save_required = true;
      return;
    case SnapshotRoad::BackgroundCopy:
      start_snapshot_copy(rt.snapshot_reply, SnapshotRequest{project->first, *stamp, *dir, rt.snapshot_generation, {}});
      return;
    case SnapshotRoad::DirectCopy: {
      uint64_t start = mono_ns();
      rt.snapshot_file.reset();
      fs::path target = pool_snapshot_path(*dir);
      if (auto copied = copy_project_file(project->first, target); !copied) {
        log_line("ERROR", "pool: copie du projet: " + copied.error());
        note_pool_comp_edit(rt, now_ns);
        return;
      }
      adopt_project_snapshot(rt, SnapshotReady(target, project->first, *stamp, static_cast<double>(mono_ns() - start) / 1e6));
      return;
    }
    case SnapshotRoad::HostSave: {
      rt.snapshot_file.reset();
      fs::path written = fresh_partial_name(*dir, "hostsave-");
      auto saved = save_project_copy(written);
      if (!saved) {
        ::unlink(written.c_str());
        log_line("ERROR", "pool: snapshot forcé: " + saved.error());
        note_pool_comp_edit(rt, now_ns);
        return;
      }
      fs::path target = pool_snapshot_path(*dir);
      if (auto adopted = adopt_written_file(written, target); !adopted) {
        log_line("ERROR", "pool: snapshot: " + adopted.error());
        note_pool_comp_edit(rt, now_ns);
        return;
      }
      adopt_project_snapshot(rt, SnapshotReady(target, project->first, stamp.value_or(FileStamp{}), saved->save_ms));
      return;
    }
  }
}

}  // namespace

Result<SavedCopy> save_project_copy(const fs::path& path) {
  auto count = num_projects();
  if (!count) return err("suite Project: " + to_string(count.error()));
  if (count.value() < 1) return err("aucun projet ouvert");
  auto project = project_by_index(0);
  if (project && !valid_utf8(path.native())) return err("chemin non-UTF8");
  if (!project) return err("project_by_index(0): " + to_string(project.error()));
  uint64_t start = mono_ns();
  if (auto saved = save_project_to_path(project.value(), path.string()); !saved) {
    return err("save_project_to_path: " + to_string(saved.error()));
  }
  SavedCopy out;
  out.save_ms = static_cast<double>(mono_ns() - start) / 1e6;
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) out.size = static_cast<uint64_t>(st.st_size);
  return out;
}

void pump_pool_delivery(PreviewState& s, uint64_t now_ns) {
  PoolRuntime& rt = s.pool;
  if (pool_periodic_check_due(rt, now_ns)) {
    run_template_check(s);
    return;
  }
  if (rt.templates_ready != 1) return;
  if (pipeline_optimize_enabled()) poll_background_copy(s, now_ns);
  if (rt.snapshot_reply.pending()) return;
  if (pool_launch_allowed(rt, now_ns)) take_snapshot(s, now_ns);
  // The launch itself waits behind pool_next_batch_ready.
}

void pool_idle_step(PreviewState& s, uint64_t now_ns, bool edited) {
  PoolRuntime& rt = s.pool;
  if (edited && rt.pool_enabled) note_pool_comp_edit(rt, now_ns);
  if (rt.last_idle_tick && now_ns >= *rt.last_idle_tick) rt.ramp_increment_ns = now_ns - *rt.last_idle_tick;
  rt.last_idle_tick = now_ns;
  advance_pool_ramp_window(rt, rt.plan.has_value());
  // While the raster path holds the composition the pool stays stopped.
  if (s.preview.raster_comp) return;
  pump_pool_delivery(s, now_ns);
}

std::string pool_status_line(const PreviewState& s) {
  return s.pool.save_required ? "Save the project (Cmd+S) to unlock the render engines" : std::string();
}

void cmd_snapshot_probe(PreviewState&) {
  auto dir = pool_directory_path();
  if (!dir || !ensure_private_dir(*dir)) {
    log_line("INFO", "S3.1 snapshot: Err(\"pool folder unavailable\")");
    return;
  }
  // Written under a fresh name and renamed only once saved whole, so that a
  // failed save leaves nothing behind.
  fs::path written = fresh_partial_name(*dir, "hostsave-");
  auto saved = save_project_copy(written);
  if (saved) {
    if (auto moved = adopt_written_file(written, *dir / "velocinta_snapshot.aep"); !moved) saved = err(moved.error());
  } else {
    ::unlink(written.c_str());
  }
  if (saved) {
    log_line("INFO", "S3.1 snapshot: Ok((" + one_decimal(saved->save_ms) + ", " + std::to_string(saved->size) + "))");
  } else {
    log_line("INFO", "S3.1 snapshot: Err(\"" + saved.error() + "\")");
  }
}

}  // namespace vel
