# Every target of ours links vel_warnings. Warnings are errors only where we
# ask for it (scripts/test and CI turn VEL_WERROR on), so that a user or a
# packager building with another compiler or build type is never stopped by
# a new diagnostic.
option(VEL_WERROR "Treat compiler warnings as errors" OFF)
add_library(vel_warnings INTERFACE)
target_compile_options(vel_warnings INTERFACE -Wall -Wextra -Wno-missing-field-initializers)
# GCC 12 at -O3 reports overlaps, bounds and uninitialised reads inside
# libstdc++'s own string, vector and optional code once it has inlined it
# (fixed in GCC 13); the same code at -O2 and under clang is clean. Those four
# are left to the other builds there.
target_compile_options(vel_warnings INTERFACE
  "$<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>,$<CONFIG:Release>>:-Wno-restrict;-Wno-array-bounds;-Wno-stringop-overflow;-Wno-maybe-uninitialized>")
# The same GCC reads libstdc++'s optional and variant as uninitialised at -O1
# under a sanitizer (the sanitizer builds' Debug level), and, once the
# standard headers come precompiled there, reports the same four as at -O3
# for a string moved into an error; RelWithDebInfo and clang keep them.
if(VEL_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(vel_warnings INTERFACE "$<$<CONFIG:Debug>:-Wno-maybe-uninitialized;-Wno-array-bounds;-Wno-stringop-overflow;-Wno-stringop-overread;-Wno-restrict>")
endif()
if(VEL_WERROR)
  target_compile_options(vel_warnings INTERFACE -Werror)
endif()
