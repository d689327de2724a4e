// The worker folders of a job folder, held by descriptor. A worker owns its
// folder and may put anything in its place, a link to a user's pictures
// included: so the discovery opens each folder from the job folder's
// descriptor without following a link, and every later step on a frame file
// (its read, its removal) goes through that descriptor, after checking that
// the folder is still the one the job folder names. No file outside the job
// folder is read as a frame or removed.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/change_stamp.h"
#include "core/dir_fd.h"

namespace vel {

// One worker folder as the discovery found it.
struct FrameFolder {
  std::shared_ptr<const DirFd> job;  // the job folder
  DirFd dir;                         // the worker folder, opened from `job`
  std::string name;                  // its name in the job folder
};

// Why an entry of the job folder is not a worker folder to scan.
enum class FolderRefusal : uint8_t {
  NotAFolder,  // a plain file, a FIFO, a socket: not a worker's, skipped silently
  Foreign,     // a link, or a folder of another user: skipped with an ERROR line
  Failed,      // gone meanwhile, unreadable
};

// The folder `name` of the job folder, opened without following a link and
// checked once open: a folder of this user, the very one the name gave.
std::shared_ptr<const FrameFolder> open_frame_folder(std::shared_ptr<const DirFd> job, std::string_view name,
                                                     FolderRefusal* why = nullptr);

// The job folder at `path`; a link at `path` itself is not followed.
std::shared_ptr<const DirFd> open_job_folder(const std::string& path);

// The folder `name` names in the job folder now is still `folder` (a
// worker that renamed it away and put something else there fails this).
bool still_in_job_folder(const FrameFolder& folder);

// Whether an open frame file is one a worker made for the pool: a regular
// file of this user with one name (not a second name of someone's file).
bool frame_file_status_ok(const struct stat& st);

// Removes the frame file `name` from its folder when that name still gives
// the file that was read (`read`) and the folder is still in the job folder;
// a link is never followed. False when nothing was removed.
bool remove_frame_file(const FrameFolder& folder, const std::string& name, const FileChangeStamp& read);

}  // namespace vel
