// What the stand-in GPU's cores touch, as the thread checker sees it. A GPU's
// cores are no CPU threads: what the checker must see is each command's
// reading of its sources and writing of its target, against what the CPU
// threads do with the same memory. So a command names those ranges whole, on
// the device's thread, before its rows run, and the rows run unwatched by the
// checker. Watched pixel by pixel, the panel's draws took most of the thread
// checker's test runs (each pixel's loads and stores a call into it) and
// found nothing the whole ranges do not. Without the thread checker these
// are nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_THREAD__)
#define PLATFORM_THREAD_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLATFORM_THREAD_CHECKER 1
#endif
#endif

#ifdef PLATFORM_THREAD_CHECKER
extern "C" {
void __tsan_read_range(void* addr, unsigned long size);
void __tsan_write_range(void* addr, unsigned long size);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
}
#endif

namespace platform {

// The command reads [p, p + n).
inline void gpu_reads([[maybe_unused]] const void* p, [[maybe_unused]] size_t n) {
#ifdef PLATFORM_THREAD_CHECKER
  if (n > 0) __tsan_read_range(const_cast<void*>(p), n);
#endif
}

// The command writes [p, p + n).
inline void gpu_writes([[maybe_unused]] void* p, [[maybe_unused]] size_t n) {
#ifdef PLATFORM_THREAD_CHECKER
  if (n > 0) __tsan_write_range(p, n);
#endif
}

// While alive, this thread's loads and stores are the GPU's cores' own.
class GpuCoreWork {
 public:
  GpuCoreWork() {
#ifdef PLATFORM_THREAD_CHECKER
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
  }
  ~GpuCoreWork() {
#ifdef PLATFORM_THREAD_CHECKER
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#endif
  }
  GpuCoreWork(const GpuCoreWork&) = delete;
  GpuCoreWork& operator=(const GpuCoreWork&) = delete;
};

}  // namespace platform
