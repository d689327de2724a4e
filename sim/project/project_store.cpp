#include "project/project_store.h"

#include "project/project_json.h"

namespace sim {

void ProjectStore::open(Project project, std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Composition& c : project.comps) c.id = next_id_++;
  current_ = std::make_shared<const Project>(std::move(project));
  path_ = std::move(path);
  dirty_ = false;
  ++changes_;
}

ProjectSnapshot ProjectStore::snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return current_;
}

std::string ProjectStore::path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return path_;
}

bool ProjectStore::dirty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dirty_;
}

uint64_t ProjectStore::change_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return changes_;
}

void ProjectStore::publish_locked(Project next) {
  current_ = std::make_shared<const Project>(std::move(next));
  dirty_ = true;
  ++changes_;
}

Status ProjectStore::edit(const std::string& pointer, const nlohmann::json& value) {
  std::lock_guard<std::mutex> lock(mu_);
  nlohmann::json doc = project_to_json(*current_);
  try {
    doc[nlohmann::json::json_pointer(pointer)] = value;
  } catch (const nlohmann::json::exception& e) {
    return fail("edit " + pointer + ": " + e.what());
  }
  Result<Project> next = project_from_json(doc);
  if (!next) return fail("edit " + pointer + ": " + next.error());
  Project p = std::move(next).value();
  for (size_t i = 0; i < p.comps.size(); ++i) {
    p.comps[i].id = i < current_->comps.size() ? current_->comps[i].id : next_id_++;
  }
  publish_locked(std::move(p));
  return done();
}

Status ProjectStore::modify(const std::function<Status(Project&)>& change) {
  std::lock_guard<std::mutex> lock(mu_);
  Project copy = *current_;
  Status s = change(copy);
  if (!s) return s;
  publish_locked(std::move(copy));
  return done();
}

Status ProjectStore::activate(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < current_->comps.size(); ++i) {
    if (current_->comps[i].name != name) continue;
    Project next = *current_;
    next.active_comp = i;
    current_ = std::make_shared<const Project>(std::move(next));
    return done();
  }
  return fail("activate: no composition named \"" + name + "\"");
}

Status ProjectStore::move_playhead(const std::string& name, HostTime time) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < current_->comps.size(); ++i) {
    if (current_->comps[i].name != name) continue;
    Project next = *current_;
    next.comps[i].current_time = time;
    current_ = std::make_shared<const Project>(std::move(next));
    return done();
  }
  return fail("move_playhead: no composition named \"" + name + "\"");
}

Status ProjectStore::save() {
  std::lock_guard<std::mutex> lock(mu_);
  if (path_.empty()) return fail("save: the project has no file");
  Status s = save_project_file(*current_, path_);
  if (s) dirty_ = false;
  return s;
}

void ProjectStore::touch(bool dirty) {
  std::lock_guard<std::mutex> lock(mu_);
  ++changes_;
  if (dirty) dirty_ = true;
}

Status ProjectStore::save_copy(const std::string& path) const {
  ProjectSnapshot snap = snapshot();
  return save_project_file(*snap, path);
}

}  // namespace sim
