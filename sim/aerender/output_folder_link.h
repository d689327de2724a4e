// A worker that puts a link to another folder where its output folder was
// (SIM_AERENDER_LINK_OUT, worker_file_faults.h): before its first frame it
// renames its folder "w<N>" to "w<N>.moved" and leaves in its place a
// symbolic link to SIM_AERENDER_LINK_TARGET (a leading "~/" is the home
// folder), a user's folder of pictures, say. Its frames then go wherever
// the link leads, as a real renderer's would.
#pragma once

#include <string>

namespace sim {

// False (with `why`) when the folder cannot be moved or the link made.
bool link_output_folder(const std::string& output_path, const std::string& target, std::string& why);

}  // namespace sim
