# VEL_SANITIZE=address,undefined builds everything (plug-in, stand-ins, tests)
# under ASan+UBSan; VEL_SANITIZE=thread under TSan. Applied globally so the
# plug-in loaded by simhost and the tests agree on the runtime.
if(VEL_SANITIZE)
  set(_vel_san "-fsanitize=${VEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined")
  # A Debug build optimises at -O1 under a sanitizer, as the sanitizers'
  # makers advise: unoptimised, every local goes through instrumented memory
  # and the stand-in GPU under TSan draws a few pictures a second, too few for
  # the playback tests to mean anything. Asserts and debug info stay.
  string(APPEND CMAKE_C_FLAGS_DEBUG " -O1")
  string(APPEND CMAKE_CXX_FLAGS_DEBUG " -O1")
  string(APPEND CMAKE_C_FLAGS " ${_vel_san}")
  string(APPEND CMAKE_CXX_FLAGS " ${_vel_san}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -fsanitize=${VEL_SANITIZE}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " -fsanitize=${VEL_SANITIZE}")
endif()
