#include "simhost/plugin_loader.h"

#include <dlfcn.h>

namespace sim {

Result<AEGP_EntryPointFunc> load_plugin(const std::string& path) {
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = ::dlerror();
    return fail("cannot load " + path + ": " + (why ? why : "unknown error"));
  }
  ::dlerror();
  void* sym = ::dlsym(lib, AEGP_ENTRY_POINT_NAME);
  if (!sym) {
    const char* why = ::dlerror();
    return fail(path + ": no " AEGP_ENTRY_POINT_NAME ": " + (why ? why : "null symbol"));
  }
  return reinterpret_cast<AEGP_EntryPointFunc>(sym);
}

}  // namespace sim
