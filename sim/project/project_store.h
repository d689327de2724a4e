// The open project: the current immutable snapshot, its file, whether it has
// unsaved changes, and the count of changes behind the host's project-change
// timestamp. Thread-safe; a render thread keeps drawing from the snapshot it
// took while an edit publishes a new one.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "project/project_model.h"
#include "simhost/result.h"

namespace sim {

class ProjectStore {
 public:
  // Opens `project`, read from `path`, as clean; ids are given to its items.
  void open(Project project, std::string path);

  ProjectSnapshot snapshot() const;
  std::string path() const;
  bool dirty() const;
  // Rises by one with every change of the project.
  uint64_t change_count() const;

  // Sets the value at `pointer` in the project's JSON form and reads the
  // result back; refused (and nothing changed) when the result is not a valid
  // project. Compositions keep their ids by position.
  Status edit(const std::string& pointer, const nlohmann::json& value);
  // Applies `change` to a copy and publishes it unless it reports a failure.
  Status modify(const std::function<Status(Project&)>& change);
  // Brings the composition named `name` to the front (the active item). A
  // selection, not a change: the project stays clean and the change count
  // stays where it is.
  Status activate(const std::string& name);
  // Moves the playhead of the composition `name`: not a change either.
  Status move_playhead(const std::string& name, HostTime time);
  // Moves the project-change count without changing the project, as the
  // host does when a script adds or removes a render-queue item; `dirty`
  // also marks unsaved changes.
  void touch(bool dirty);
  // Saves to the project's own file and marks it clean.
  Status save();
  // Writes a copy elsewhere; the open project keeps its path and state.
  Status save_copy(const std::string& path) const;

 private:
  void publish_locked(Project next);

  mutable std::mutex mu_;
  ProjectSnapshot current_ = std::make_shared<const Project>();
  std::string path_;
  bool dirty_ = false;
  uint64_t changes_ = 0;
  uint32_t next_id_ = 1;
};

}  // namespace sim
