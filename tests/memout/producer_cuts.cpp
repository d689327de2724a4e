#include "producer_cuts.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "memout/segment_layout.h"

namespace vel::testing {

namespace {

// Set before the host runs, read on its thread; the cases run in children
// with one thread touching the segment.
struct Armed {
  std::atomic<bool> on{false};
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t whole = 0;
  std::vector<ProducerCut> cuts;
  int looks = 0;
  int payload_reads = 0;
  int done = 0;
};

Armed& armed() {
  static Armed& a = *new Armed;
  return a;
}

int raw_fstat(int fd, struct stat* st) { return static_cast<int>(::syscall(SYS_fstat, fd, st)); }

bool is_armed_segment(const struct stat& st) {
  const Armed& a = armed();
  return a.on.load() && st.st_dev == a.dev && st.st_ino == a.ino;
}

void act(int fd, ProducerCut::At at, int count) {
  Armed& a = armed();
  for (const ProducerCut& c : a.cuts) {
    if (c.at != at || c.nth != count) continue;
    if (::ftruncate(fd, static_cast<off_t>(c.to)) == 0) ++a.done;
    if (c.grow_again) (void)::ftruncate(fd, static_cast<off_t>(a.whole));
  }
}

}  // namespace

void arm_producer_cuts(int fd, uint64_t whole_length, std::vector<ProducerCut> cuts) {
  Armed& a = armed();
  struct stat st {};
  if (raw_fstat(fd, &st) != 0) return;
  a.dev = st.st_dev;
  a.ino = st.st_ino;
  a.whole = whole_length;
  a.cuts = std::move(cuts);
  a.looks = a.payload_reads = a.done = 0;
  a.on.store(true);
}

void disarm_producer_cuts() { armed().on.store(false); }

int producer_cuts_done() { return armed().done; }

}  // namespace vel::testing

// The C library's entries, as the program's own. The size a look answers is
// the one it saw: the cut comes after it.
extern "C" int fstat(int fd, struct stat* st) {
  const int rc = vel::testing::raw_fstat(fd, st);
  if (rc == 0 && vel::testing::is_armed_segment(*st)) {
    vel::testing::act(fd, vel::testing::ProducerCut::At::SizeLook, ++vel::testing::armed().looks);
  }
  return rc;
}

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  struct stat st {};
  if (offset >= static_cast<off_t>(vel::kSegmentHeaderBytes) && vel::testing::raw_fstat(fd, &st) == 0 &&
      vel::testing::is_armed_segment(st)) {
    vel::testing::act(fd, vel::testing::ProducerCut::At::PayloadRead, ++vel::testing::armed().payload_reads);
  }
  return static_cast<ssize_t>(::syscall(SYS_pread64, fd, buf, count, offset));
}
