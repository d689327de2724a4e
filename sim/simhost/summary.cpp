#include "simhost/summary.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/appkit_controls.h"
#include "platform/appkit_display_record.h"
#include "platform/appkit_image.h"
#include "platform/metal_testing.h"
#include "ui/panel_events.h"

namespace sim {
namespace {

using nlohmann::json;

std::string menu_name(AEGP_MenuID menu) {
  switch (menu) {
    case AEGP_Menu_NONE: return "none";
    case AEGP_Menu_FILE: return "file";
    case AEGP_Menu_EDIT: return "edit";
    case AEGP_Menu_COMPOSITION: return "composition";
    case AEGP_Menu_LAYER: return "layer";
    case AEGP_Menu_EFFECT: return "effect";
    case AEGP_Menu_WINDOW: return "window";
    case AEGP_Menu_PURGE: return "purge";
    default: return "menu_" + std::to_string(menu);
  }
}

// A view's frame in the window's content, in points from the top left.
platform::NSRect frame_in_window(const platform::NSView& v) {
  double x = 0.0, y = 0.0;
  for (const platform::NSView* cur = &v; cur->superview() != nullptr; cur = cur->superview()) {
    const platform::NSRect f = cur->frame();
    x += f.x;
    y += cur->superview()->frame().height - f.y - f.height;  // each superview's origin is its bottom left
  }
  return {x, y, v.frame().width, v.frame().height};
}

// The visible text fields whose frames meet `area` (all from the top left).
void overlapping_texts(const platform::NSView& v, const platform::NSRect& area, json& out) {
  for (const auto& sub : v.subviews()) {
    if (sub->isHidden()) continue;
    if (dynamic_cast<const platform::NSTextField*>(sub.get()) != nullptr) {
      const platform::NSRect f = frame_in_window(*sub);
      if (f.x < area.x + area.width && area.x < f.x + f.width && f.y < area.y + area.height &&
          area.y < f.y + f.height) {
        out.push_back({f.x, f.y, f.width, f.height});
      }
    }
    overlapping_texts(*sub, area, out);
  }
}

json panel_summary(const Host& h, const RunStats& s) {
  json docked = json::array();
  for (const auto& p : h.panels.panels()) {
    const platform::NSRect f = p->window->frame();
    docked.push_back({{"name", p->match_name},
                      {"title", p->title},
                      {"visible", p->window->isVisible()},
                      {"size", {f.width, f.height}},
                      {"create_error", p->create_err},
                      {"snap_sizes", p->snap_sizes ? json(*p->snap_sizes) : json(nullptr)}});
  }
  json out = {{"docked", std::move(docked)},
              {"events", s.panel.events},
              {"screenshots", s.panel.screenshots},
              {"screenshot_ms", s.panel.screenshot_ms},
              {"windows", platform::NSWindow::windows().size()}};
  std::shared_ptr<platform::NSWindow> w = panel_event_window(h.panels);
  if (w && w->contentView()) {
    out["texts"] = window_texts(*w->contentView());
    if (const platform::NSImageView* picture = largest_image_view(*w->contentView())) {
      // The picture is an image view on the CPU path and a Metal layer on
      // the GPU path: both count, as a user sees either.
      if (auto shown = platform::shown_image(picture->viewId())) {
        const platform::MetalPresentTotals metal = platform::metal_present_totals();
        out["picture"] = {{"frames_shown", shown->images_set + metal.drawn + metal.blitted + metal.direct},
                          {"images_set", shown->images_set}};
      }
      // Where the picture lies in a screenshot, and the texts drawn over it.
      const platform::NSRect r = frame_in_window(*picture);
      json texts_over = json::array();
      overlapping_texts(*w->contentView(), r, texts_over);
      out["picture_rect"] = {r.x, r.y, r.width, r.height};
      out["texts_over_picture"] = std::move(texts_over);
    }
  }
  return out;
}

}  // namespace

json build_summary(const Host& h, const RunStats& s) {
  json summary;
  summary["entry_called"] = s.entry_called;
  summary["entry_error"] = s.entry_err;
  summary["seconds_run"] = s.seconds_run;
  summary["quit"] = s.quit;
  summary["still_waiting"] = s.still_waiting;
  summary["idle_calls"] = s.idle_calls;
  summary["idle_errors"] = s.idle_errors;
  summary["smallest_max_sleep_ms"] = s.smallest_max_sleep_ms;
  summary["early_idle_requests"] = h.idle.requests();
  summary["early_wakeups"] = h.idle.early_wakeups();
  summary["marks"] = nlohmann::json::array();
  for (const RunMark& m : s.marks) {
    summary["marks"].push_back({{"name", m.name},
                                {"at_ms", m.at_ms},
                                {"idle_calls", m.idle_calls},
                                {"early_idle_requests", m.early_idle_requests},
                                {"picture_frames", m.picture_frames},
                                {"main_thread_cpu_ms", m.main_thread_cpu_ms},
                                {"idle_hook_cpu_ms", m.idle_hook_cpu_ms}});
  }
  summary["update_menu_calls"] = s.update_menu_calls;
  summary["death_calls"] = s.death_calls;
  summary["threads_after_death"] = s.threads_after_death;
  summary["threads_seen"] = s.threads_seen;
  summary["update"] = {{"requests", s.update_requests},
                       {"links_opened", s.links_opened},
                       {"zombie_openers", s.zombie_openers},
                       {"children_after_death", s.children_after_death}};

  HookCounts c = h.hooks.counts();
  summary["hooks"] = {{"idle", c.idle},
                      {"command", c.command},
                      {"update_menu", c.update_menu},
                      {"death", c.death},
                      {"output_modules", c.output_modules},
                      {"panels", c.panels}};
  json menu = json::array();
  for (const MenuCommand& m : h.hooks.menu_commands()) {
    if (!m.in_menu) continue;
    menu.push_back({{"menu", menu_name(m.menu)}, {"name", m.name}, {"enabled", m.enabled}, {"checked", m.checked}});
  }
  summary["menu_commands"] = std::move(menu);
  summary["output_modules"] = h.hooks.output_module_names();
  nlohmann::json scripts = nlohmann::json::array();
  for (const ScriptRecord& r : h.scripts.runs()) scripts.push_back({{"result", r.result}, {"error", r.error}});
  summary["scripts"] = std::move(scripts);
  summary["templates"] = h.scripts.template_names();
  nlohmann::json saves = nlohmann::json::array();
  for (const SaveRecord& r : h.saves.all()) saves.push_back({{"path", r.path}, {"size", r.size}});
  summary["saves"] = std::move(saves);
  summary["panels"] = h.hooks.panel_names();

  json runs = json::array();
  for (const CommandRun& r : s.commands) {
    runs.push_back({{"name", r.name}, {"found", r.found}, {"enabled", r.enabled}, {"handled", r.handled},
                    {"error", r.err}});
  }
  summary["commands_run"] = std::move(runs);

  json suites = json::object();
  for (const auto& [name, k] : h.suites.ledger()) {
    suites[name] = {{"acquired", k.acquired}, {"released", k.released}, {"refused", k.refused},
                    {"bad_releases", k.bad_releases}};
  }
  summary["suites"] = std::move(suites);

  AsyncCounts a = h.async.counts();
  summary["renders"] = {{"sync", h.sync_renders.completed.load()},
                        {"sync_failed", h.sync_renders.failed.load()},
                        {"async", a.completed},
                        {"async_failed", a.failed},
                        {"cancelled", a.cancelled}};
  summary["scenario_events"] = s.scenario_events;
  summary["scenario_failures"] = s.scenario_failures;
  summary["modal_windows"] = s.modal_windows;
  summary["info_reports"] = h.info_reports.load();
  summary["wrong_thread_calls"] = h.wrong_thread_calls.load();
  summary["live_at_end"] = {{"mem_handles", h.memory.size()},
                            {"receipts", h.receipts.size()},
                            {"render_options", h.render_options.size()},
                            {"suites", h.suites.outstanding()},
                            {"stream_refs", h.streams.counts().live},
                            {"effect_refs", h.effects.counts().live},
                            {"stream_values", h.stream_values.counts().live}};
  summary["bad_releases"] = {{"mem_handles", h.bad_mem_frees.load()},
                             {"stream_refs", h.streams.counts().bad_releases},
                             {"effect_refs", h.effects.counts().bad_releases},
                             {"stream_values", h.stream_values.counts().bad_releases}};
  const platform::DisplayTotals shown = platform::display_totals();
  summary["display"] = {{"views_created", shown.views_created},
                        {"images_set", shown.images_set},
                        {"last_image", {shown.last_pixels_wide, shown.last_pixels_high}}};
  const platform::MetalPresentTotals metal = platform::metal_present_totals();
  summary["presentations"] = {{"metal-gpu", metal.drawn},
                              {"metal-blit", metal.blitted},
                              {"metal-direct", metal.direct},
                              {"metal-clear", metal.cleared},
                              {"appkit", 0}};
  summary["metal_validation"] = platform::metal_misuse_record();
  const platform::MetalLedger live = platform::metal_ledger();
  summary["metal_live_after_death"] = {{"devices", live.devices},           {"queues", live.queues},
                                       {"libraries", live.libraries},       {"pipelines", live.pipelines},
                                       {"buffers", live.buffers},           {"textures", live.textures},
                                       {"command_buffers", live.command_buffers}, {"drawables", live.drawables}};
  summary["panel"] = panel_summary(h, s);
  if (summary["panel"].contains("picture")) {
    summary["presentations"]["appkit"] = summary["panel"]["picture"].value("images_set", uint64_t{0});
  }
  summary["project"] = {{"changes", h.project.change_count()}, {"dirty", h.project.dirty()}};
  return summary;
}

Status write_summary(const json& summary, const std::string& out_dir) {
  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  if (ec) return fail("summary: cannot create " + out_dir + ": " + ec.message());
  std::string path = out_dir + "/summary.json";
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return fail("summary: cannot write " + tmp);
    out << summary.dump(2) << '\n';
    if (!out.flush()) return fail("summary: write failed " + tmp);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return fail("summary: cannot rename to " + path);
  return done();
}

}  // namespace sim
