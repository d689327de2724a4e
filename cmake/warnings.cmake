# Every target of ours links vel_warnings: warnings are errors everywhere.
add_library(vel_warnings INTERFACE)
target_compile_options(vel_warnings INTERFACE -Wall -Wextra -Werror -Wno-missing-field-initializers)
