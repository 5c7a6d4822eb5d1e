// Whether this test program runs under a sanitizer, for the tests that set
// resource limits: address-space limits cannot be combined with the
// sanitizers' shadow memory (and their allocator ends the process instead of
// refusing an allocation), and their run-time checks need descriptors of
// their own.
#pragma once

namespace test_support {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace test_support
