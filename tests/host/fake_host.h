// A small in-process stand-in for the host's suites, for the host access
// layer's tests: a basic suite that counts acquisitions and releases per
// suite and can hide suites, and Item, Comp, Layer, Memory, Proj and Utility
// tables over a scripted model.
#pragma once

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/suite_access.h"

namespace fake {

struct Ledger {
  int acquired = 0;
  int released = 0;
};

struct Item {
  AEGP_ItemType type = AEGP_ItemType_COMP;
  std::u16string name;
  A_long width = 1920, height = 1080;
  A_Time frame_duration{1, 24};
  A_Time duration{240, 24};
  A_Err type_err = A_Err_NONE;
  A_Err name_err = A_Err_NONE;
  A_Err frame_duration_err = A_Err_NONE;
  A_Err duration_err = A_Err_NONE;
};

struct Host {
  // Suites by published name and version.
  std::map<std::pair<std::string, A_long>, const void*> tables;
  std::set<std::string> hidden;
  bool acquire_succeeds_without_table = false;
  std::map<std::string, Ledger> ledger;  // by suite name + " " + version

  std::vector<Item> items;  // an item handle is 1 + its index
  AEGP_ItemH active = nullptr;

  // Memory handles: live ones and their lock depth.
  std::map<AEGP_MemHandle, std::pair<std::vector<unsigned char>, int>> handles;
  int next_handle = 1;
  int frees = 0;
  int bad_frees = 0;

  // Project.
  A_long num_projects = 1;
  std::u16string project_path;
  A_Boolean dirty = 0;
  std::u16string saved_to;

  // Script.
  std::string script_seen;
  std::string script_result;
  std::string script_error;
  bool script_returns_handles = true;
  A_Err script_err = A_Err_NONE;

  // Utility.
  std::atomic<int> idle_requests{0};

  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  const SPBasicSuite* basic() const;
  static Host& current();

  AEGP_ItemH add_item(Item item);
  Item* item(AEGP_ItemH h);
  AEGP_MemHandle new_handle(const void* bytes, size_t size);
  // Acquisitions not yet released, all suites together.
  int outstanding() const;
  const Ledger& of(const std::string& name, A_long version) { return ledger[name + " " + std::to_string(version)]; }
};

}  // namespace fake
