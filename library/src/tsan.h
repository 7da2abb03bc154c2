// Tells ThreadSanitizer about the ring's hand-over rule, which it cannot see: a reader is done
// with a block before the acquisition thread comes round to fill it again (readers re-check the
// block counter after reading and discard a sample whose block was being refilled).
#pragma once

#if defined(__SANITIZE_THREAD__)
#define QX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QX_TSAN 1
#endif
#endif

#include <atomic>
#include <cstdint>

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

#if defined(QX_TSAN)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#define QX_RING_READ_DONE(addr) __tsan_release(addr)
#define QX_RING_BEFORE_FILL(addr) __tsan_acquire(addr)
#else
#define QX_RING_READ_DONE(addr) ((void)0)
#define QX_RING_BEFORE_FILL(addr) ((void)0)
#endif
