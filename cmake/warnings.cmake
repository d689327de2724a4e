# Every target of ours links vel_warnings. Warnings are errors only where we
# ask for it (scripts/test and CI turn VEL_WERROR on), so that a user or a
# packager building with another compiler or build type is never stopped by
# a new diagnostic.
option(VEL_WERROR "Treat compiler warnings as errors" OFF)
add_library(vel_warnings INTERFACE)
target_compile_options(vel_warnings INTERFACE -Wall -Wextra -Wno-missing-field-initializers)
if(VEL_WERROR)
  target_compile_options(vel_warnings INTERFACE -Werror)
endif()
