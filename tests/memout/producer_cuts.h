// A producer that cuts its segment's file at the worst moment for the host:
// right after the host looked at the file's size, or right before it reads
// the payload. This test program's own fstat and pread stand in front of
// the C library's (they are defined here, so every caller in the program
// reaches them): once armed for one segment, they act the cut at the touch
// it names, and answer as the file was before it (a size look answers the
// size it saw). Unarmed, or for any other file, they only pass through.
#pragma once

#include <cstdint>
#include <vector>

namespace vel::testing {

struct ProducerCut {
  enum class At {
    SizeLook,     // after the host's nth fstat of the segment
    PayloadRead,  // before the host's nth pread of payload bytes
  };
  At at = At::SizeLook;
  int nth = 1;
  uint64_t to = 0;          // the file's length after the cut
  bool grow_again = false;  // then back to its whole length, the cut pages zeroed
};

// Arms `cuts` for the segment open at `fd` (any descriptor of it), whose
// whole length is `whole_length`. Counting starts at zero.
void arm_producer_cuts(int fd, uint64_t whole_length, std::vector<ProducerCut> cuts);
void disarm_producer_cuts();
// How many armed cuts were acted so far.
int producer_cuts_done();

}  // namespace vel::testing
