// Whether this test binary is built with AddressSanitizer or ThreadSanitizer
// (GCC says so by macros, clang by __has_feature): there the runs are several
// times slower, and the tests that bound what a run shows in time ask less.
#pragma once

namespace vel::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEL_TESTING_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEL_TESTING_SANITIZED 1
#endif
#endif
#ifdef VEL_TESTING_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace vel::testing
