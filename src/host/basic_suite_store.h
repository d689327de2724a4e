// The host's basic suite, stored once at entry and read by every suite
// acquisition afterwards, from any thread.
#pragma once

struct SPBasicSuite;

namespace vel {

// Keeps `basic` for the life of the process (null forgets it). The host
// guarantees the suite outlives the plug-in.
void store_basic_suite(const SPBasicSuite* basic);
// The stored suite, or null before entry.
const SPBasicSuite* stored_basic_suite();

}  // namespace vel
