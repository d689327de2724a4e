// The stand-in aerender's fault switches that act on one worker only: the
// pool's command line is fixed, so they come from the environment. A value
// is a list of items separated by ","; each item is "w<N>", "w<N>:<number>"
// or "w<N>:<word>" and acts only when the output path's folder is "w<N>" (a
// replay runs under a new number, and so runs clean). An item may also name
// the job folder first, "<J>/w<N>…": it then acts only in the job folder
// whose name ends in "_<J>" (the pool numbers its job folders in order), so
// that a later batch runs clean.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// The worker folder a switch is matched against: the output path's parent.
std::string worker_folder_of(const std::string& output_path);

// The worker folder with its job's number, "<J>/w<N>", when the job folder's
// name ends in "_<J>"; the worker folder alone otherwise.
std::string worker_scope_of(const std::string& output_path);

// What follows the item naming `scope` ("w<N>" or "<J>/w<N>") in a value:
// "" for a bare item, the text after ":" otherwise; nothing when no item
// names it. An item without a job names the worker in every job.
std::optional<std::string> worker_switch_text(const std::optional<std::string>& value, const std::string& scope);

// The whole number after "<item>:", 0 for a bare item; nothing when no item
// names `scope` or the text is not a number.
std::optional<int64_t> worker_switch_number(const std::optional<std::string>& value, const std::string& scope);

}  // namespace sim
