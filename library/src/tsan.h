// Readers take samples from the ring without a lock, while the acquisition thread refills the
// ring block that the oldest readable block shares. A reader that is overtaken by that refill is
// detected by reading the block counter again after the bytes, and the sample is discarded.
// ThreadSanitizer cannot see that protocol, so the one ring load is kept out of its view.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define QX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QX_TSAN 1
#endif
#endif

namespace qx {

#if defined(QX_TSAN)
__attribute__((no_sanitize("thread"), noinline)) static int32_t load_ring_sample(const uint8_t *p) {
  return p[0] | (p[1] << 8);
}
#else
inline int32_t load_ring_sample(const uint8_t *p) {
  return p[0] | (p[1] << 8);
}
#endif

// Loads the block counter again after the ring bytes have been read: the fence keeps those byte
// loads ahead of it. ThreadSanitizer does not model fences; there the acquire load stands in.
inline uint32_t reload_after_reads(const std::atomic<uint32_t> &counter) {
#if defined(QX_TSAN)
  return counter.load(std::memory_order_acquire);
#else
  std::atomic_thread_fence(std::memory_order_acquire);
  return counter.load(std::memory_order_relaxed);
#endif
}

}  // namespace qx
