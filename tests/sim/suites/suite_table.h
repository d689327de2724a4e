// Test support: a suite table of the stand-in host, acquired through its
// basic suite as a plug-in would.
#pragma once

#include <gtest/gtest.h>

#include "simhost/host.h"

namespace sim {

template <class S>
const S* suite(const char* name, A_long version) {
  const void* p = nullptr;
  EXPECT_EQ(host().basic.AcquireSuite(name, version, &p), 0) << name;
  return static_cast<const S*>(p);
}

}  // namespace sim
