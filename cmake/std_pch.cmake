# The standard library's headers (and JSON's) read once per library, as a
# precompiled header, instead of once per file: a third to a half of a small
# file's compile. scripts/test turns it on for the sanitizer builds only; the
# plain build reads each file's own includes, so a file that leaves out a
# header it uses still fails to compile there.
option(VEL_STD_PCH "Precompile the standard headers for the plug-in's and stand-ins' libraries" OFF)
set(VEL_STD_PCH_HEADERS
  <algorithm> <array> <atomic> <chrono> <condition_variable> <cstdint> <cstring> <deque> <filesystem>
  <functional> <map> <memory> <mutex> <optional> <set> <span> <string> <string_view> <thread>
  <unordered_map> <utility> <variant> <vector>)

# vel_std_pch(TARGET [JSON]): JSON adds nlohmann/json.hpp, for the libraries
# that link it.
function(vel_std_pch target)
  if(NOT VEL_STD_PCH)
    return()
  endif()
  cmake_parse_arguments(ARG "JSON" "" "" ${ARGN})
  set(_headers ${VEL_STD_PCH_HEADERS})
  if(ARG_JSON)
    list(APPEND _headers <nlohmann/json.hpp>)
  endif()
  target_precompile_headers(${target} PRIVATE ${_headers})
endfunction()
