#include "fake_host.h"

#include <cstring>

namespace fake {
namespace {

Host* g_host = nullptr;

std::string key(const char* name, A_long version) { return std::string(name) + " " + std::to_string(version); }

SPErr acquire(const char* name, A_long version, const void** suite) {
  Host& h = Host::current();
  *suite = nullptr;
  if (h.hidden.count(name)) return 1;
  if (h.acquire_succeeds_without_table) {
    h.ledger[key(name, version)].acquired++;
    return 0;
  }
  auto it = h.tables.find({name, version});
  if (it == h.tables.end()) return 1;
  h.ledger[key(name, version)].acquired++;
  *suite = it->second;
  return 0;
}

SPErr release(const char* name, A_long version) {
  Host::current().ledger[key(name, version)].released++;
  return 0;
}

const SPBasicSuite kBasic{&acquire, &release};

// ---- Memory ----
A_Err new_mem(AEGP_PluginID, const A_char*, AEGP_MemSize size, AEGP_MemFlag, AEGP_MemHandle* out) {
  *out = Host::current().new_handle(nullptr, static_cast<size_t>(size));
  return A_Err_NONE;
}
A_Err free_mem(AEGP_MemHandle m) {
  Host& h = Host::current();
  h.frees++;
  if (!h.handles.erase(m)) {
    h.bad_frees++;
    return A_Err_PARAMETER;
  }
  return A_Err_NONE;
}
A_Err lock_mem(AEGP_MemHandle m, void** p) {
  auto& hs = Host::current().handles;
  auto it = hs.find(m);
  if (it == hs.end()) return A_Err_PARAMETER;
  it->second.second++;
  *p = it->second.first.data();
  return A_Err_NONE;
}
A_Err unlock_mem(AEGP_MemHandle m) {
  auto& hs = Host::current().handles;
  auto it = hs.find(m);
  if (it == hs.end() || it->second.second == 0) return A_Err_PARAMETER;
  it->second.second--;
  return A_Err_NONE;
}
A_Err mem_size(AEGP_MemHandle m, AEGP_MemSize* size) {
  auto& hs = Host::current().handles;
  auto it = hs.find(m);
  if (it == hs.end()) return A_Err_PARAMETER;
  *size = it->second.first.size();
  return A_Err_NONE;
}
const AEGP_MemorySuite1 kMemory{&new_mem, &free_mem, &lock_mem, &unlock_mem, &mem_size};

// ---- Item ----
A_Err first_item(AEGP_ProjectH, AEGP_ItemH* out) {
  Host& h = Host::current();
  *out = h.items.empty() ? nullptr : reinterpret_cast<AEGP_ItemH>(uintptr_t{1});
  return A_Err_NONE;
}
A_Err next_item(AEGP_ProjectH, AEGP_ItemH item, AEGP_ItemH* out) {
  Host& h = Host::current();
  auto i = reinterpret_cast<uintptr_t>(item);
  *out = i < h.items.size() ? reinterpret_cast<AEGP_ItemH>(i + 1) : nullptr;
  return A_Err_NONE;
}
A_Err active_item(AEGP_ItemH* out) {
  *out = Host::current().active;
  return A_Err_NONE;
}
A_Err item_type(AEGP_ItemH h, AEGP_ItemType* t) {
  Item* it = Host::current().item(h);
  if (!it) return A_Err_PARAMETER;
  if (it->type_err) return it->type_err;
  *t = it->type;
  return A_Err_NONE;
}
A_Err item_name(AEGP_PluginID, AEGP_ItemH h, AEGP_MemHandle* out) {
  Item* it = Host::current().item(h);
  if (!it) return A_Err_PARAMETER;
  if (it->name_err) return it->name_err;
  std::u16string z = it->name;
  z.push_back(0);
  *out = Host::current().new_handle(z.data(), z.size() * 2);
  return A_Err_NONE;
}
A_Err item_id(AEGP_ItemH h, A_long* id) {
  *id = static_cast<A_long>(reinterpret_cast<uintptr_t>(h));
  return A_Err_NONE;
}
A_Err item_dims(AEGP_ItemH h, A_long* w, A_long* ht) {
  Item* it = Host::current().item(h);
  if (!it) return A_Err_PARAMETER;
  *w = it->width;
  *ht = it->height;
  return A_Err_NONE;
}
A_Err item_duration(AEGP_ItemH h, A_Time* t) {
  Item* it = Host::current().item(h);
  if (!it) return A_Err_PARAMETER;
  if (it->duration_err) return it->duration_err;
  *t = it->duration;
  return A_Err_NONE;
}
A_Err item_time(AEGP_ItemH, A_Time* t) {
  *t = A_Time{0, 24};
  return A_Err_NONE;
}
const AEGP_ItemSuite14 kItem{&first_item, &next_item, &active_item, &item_type, &item_name,
                             &item_id,    &item_dims, &item_duration, &item_time};

// ---- Comp: a comp handle is its item handle ----
A_Err comp_from_item(AEGP_ItemH h, AEGP_CompH* out) {
  Item* it = Host::current().item(h);
  if (!it) return A_Err_PARAMETER;
  *out = it->type == AEGP_ItemType_COMP ? reinterpret_cast<AEGP_CompH>(h) : nullptr;
  return A_Err_NONE;
}
A_Err item_from_comp(AEGP_CompH c, AEGP_ItemH* out) {
  *out = reinterpret_cast<AEGP_ItemH>(c);
  return A_Err_NONE;
}
A_Err frame_duration(AEGP_CompH c, A_Time* t) {
  Item* it = Host::current().item(reinterpret_cast<AEGP_ItemH>(c));
  if (!it) return A_Err_PARAMETER;
  if (it->frame_duration_err) return it->frame_duration_err;
  *t = it->frame_duration;
  return A_Err_NONE;
}
A_Err framerate(AEGP_CompH, A_FpLong* fps) {
  *fps = 24;
  return A_Err_NONE;
}
A_Err bg_color(AEGP_CompH, AEGP_ColorVal* c) {
  *c = AEGP_ColorVal{1, 0.25, 0.5, 0.75};
  return A_Err_NONE;
}
A_Err wa_start(AEGP_CompH, A_Time* t) {
  *t = A_Time{24, 24};
  return A_Err_NONE;
}
A_Err wa_dur(AEGP_CompH, A_Time* t) {
  *t = A_Time{48, 24};
  return A_Err_NONE;
}
A_Err set_wa(AEGP_CompH, const A_Time*, const A_Time*) { return A_Err_NONE; }
const AEGP_CompSuite25 kComp{&comp_from_item, &item_from_comp, &frame_duration, &framerate,
                             &bg_color,       &wa_start,       &wa_dur,         &set_wa};

// ---- Proj ----
A_Err num_projects(A_long* n) {
  *n = Host::current().num_projects;
  return A_Err_NONE;
}
A_Err project_by_index(A_long i, AEGP_ProjectH* p) {
  if (i < 0 || i >= Host::current().num_projects) return A_Err_PARAMETER;
  *p = reinterpret_cast<AEGP_ProjectH>(uintptr_t{0x100});
  return A_Err_NONE;
}
A_Err project_path(AEGP_ProjectH, AEGP_MemHandle* out) {
  std::u16string z = Host::current().project_path;
  z.push_back(0);
  *out = Host::current().new_handle(z.data(), z.size() * 2);
  return A_Err_NONE;
}
A_Err project_dirty(AEGP_ProjectH, A_Boolean* d) {
  *d = Host::current().dirty;
  return A_Err_NONE;
}
A_Err save_to(AEGP_ProjectH, const A_UTF16Char* path) {
  std::u16string s;
  for (; *path; ++path) s.push_back(static_cast<char16_t>(*path));
  Host::current().saved_to = s;
  return A_Err_NONE;
}
const AEGP_ProjSuite9 kProj{&num_projects, &project_by_index, &project_path, &project_dirty, &save_to};

// ---- Utility ----
A_Err report_info(AEGP_PluginID, const A_char*) { return A_Err_NONE; }
A_Err cause_idle() {
  Host::current().idle_requests++;
  return A_Err_NONE;
}
A_Err execute_script(AEGP_PluginID, const A_char* script, A_Boolean, AEGP_MemHandle* result,
                     AEGP_MemHandle* error) {
  Host& h = Host::current();
  h.script_seen = script;
  if (h.script_returns_handles) {
    *result = h.new_handle(h.script_result.c_str(), h.script_result.size() + 1);
    *error = h.new_handle(h.script_error.c_str(), h.script_error.size() + 1);
  }
  return h.script_err;
}
A_Err is_modal(A_Boolean* shown) {
  *shown = 0;
  return A_Err_NONE;
}
const AEGP_UtilitySuite13 kUtility{&report_info, &cause_idle, &execute_script, &is_modal};

// ---- Layer (count only) ----
A_Err num_layers(AEGP_CompH, A_long* n) {
  *n = 3;
  return A_Err_NONE;
}
const AEGP_LayerSuite13 kLayer{&num_layers, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

Host::Host() {
  g_host = this;
  tables[{kAEGPMemorySuite, kAEGPMemorySuiteVersion1}] = &kMemory;
  tables[{kAEGPItemSuite, kAEGPItemSuiteVersion14}] = &kItem;
  tables[{kAEGPCompSuite, kAEGPCompSuiteVersion25}] = &kComp;
  tables[{kAEGPProjSuite, kAEGPProjSuiteVersion9}] = &kProj;
  tables[{kAEGPUtilitySuite, kAEGPUtilitySuiteVersion13}] = &kUtility;
  tables[{kAEGPLayerSuite, kAEGPLayerSuiteVersion13}] = &kLayer;
  vel::store_basic_suite(&kBasic);
}

Host::~Host() {
  vel::store_basic_suite(nullptr);
  g_host = nullptr;
}

const SPBasicSuite* Host::basic() const { return &kBasic; }
Host& Host::current() { return *g_host; }

AEGP_ItemH Host::add_item(Item item) {
  items.push_back(std::move(item));
  return reinterpret_cast<AEGP_ItemH>(static_cast<uintptr_t>(items.size()));
}

Item* Host::item(AEGP_ItemH h) {
  auto i = reinterpret_cast<uintptr_t>(h);
  if (i == 0 || i > items.size()) return nullptr;
  return &items[i - 1];
}

AEGP_MemHandle Host::new_handle(const void* bytes, size_t size) {
  auto h = reinterpret_cast<AEGP_MemHandle>(static_cast<uintptr_t>(0x1000 + next_handle++));
  std::vector<unsigned char> v(size);
  if (bytes && size) std::memcpy(v.data(), bytes, size);
  handles[h] = {std::move(v), 0};
  return h;
}

int Host::outstanding() const {
  int n = 0;
  for (const auto& [k, l] : ledger) n += l.acquired - l.released;
  return n;
}

}  // namespace fake
