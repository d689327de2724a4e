#include "memout/guarded_copy.h"

#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vel {

namespace {

struct sigaction g_previous {};
bool g_installed = false;

// The armed copy of this thread; set before the copy, cleared after it.
thread_local sigjmp_buf* t_escape = nullptr;
thread_local const uint8_t* t_begin = nullptr;
thread_local const uint8_t* t_end = nullptr;

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const auto* at = static_cast<const uint8_t*>(info->si_addr);
  if (t_escape != nullptr && at >= t_begin && at < t_end) siglongjmp(*t_escape, 1);
  // Not a fault of ours: as if this handler had never been installed.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  } else {
    // The faulting access runs again and takes the default action.
    signal(sig, SIG_DFL);
  }
}

// The destination is a pooled buffer that last held some other frame, long
// out of the caches: streaming stores write it without reading each line in
// first, and leave the caches to the frames being worked on.
void stream_copy(uint8_t* dst, const uint8_t* src, size_t len) {
#if defined(__SSE2__)
  const size_t head = std::min(len, (64 - (reinterpret_cast<uintptr_t>(dst) & 63)) & 63);
  std::memcpy(dst, src, head);
  size_t i = head;
  for (; i + 64 <= len; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
  }
  _mm_sfence();
  std::memcpy(dst + i, src + i, len - i);
#else
  std::memcpy(dst, src, len);
#endif
}

// ThreadSanitizer keeps SIGBUS for its own deadly-signal report whatever
// sigaction says; under it the copy always goes through the descriptor.
#if defined(__SANITIZE_THREAD__)
constexpr bool kGuardPossible = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kGuardPossible = false;
#else
constexpr bool kGuardPossible = true;
#endif
#else
constexpr bool kGuardPossible = true;
#endif

bool guard_armed() {
  if (!kGuardPossible) return false;
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    // Left by siglongjmp without restoring a mask: the signal must not stay
    // blocked on this thread.
    sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    g_installed = sigaction(SIGBUS, &sa, &g_previous) == 0;
  });
  if (!g_installed) return false;
  // The host may have taken SIGBUS since: then the guard would not be ours.
  struct sigaction now {};
  return sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == on_sigbus;
}

}  // namespace

GuardedCopy copy_from_shared_mapping(uint8_t* dst, const uint8_t* src, size_t len) {
  if (len == 0) return GuardedCopy::Copied;
  if (!guard_armed()) return GuardedCopy::Unavailable;
  sigjmp_buf escape;
  t_begin = src;
  t_end = src + len;
  if (sigsetjmp(escape, 0) != 0) {
    t_escape = nullptr;
    return GuardedCopy::Faulted;
  }
  t_escape = &escape;
  stream_copy(dst, src, len);
  t_escape = nullptr;
  return GuardedCopy::Copied;
}

}  // namespace vel
