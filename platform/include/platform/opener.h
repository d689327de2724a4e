// The system's opener of links: the program that hands an address to the
// user's browser ("/usr/bin/open" on the desktop the plug-in ships for). Here
// it is xdg-open's path unless the host or a test names another program.
#pragma once

#include <string>

namespace platform {

inline constexpr const char* kDefaultOpenerPath = "/usr/bin/xdg-open";

// The opener's path; callable from any thread.
std::string opener_path();

// Names another opener for the rest of the process (the stand-in host's
// recorder, a test's script). An empty path restores the default.
void set_opener_path(std::string path);

}  // namespace platform
