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

#if defined(QX_TSAN)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#define QX_RING_READ_DONE(addr) __tsan_release(addr)
#define QX_RING_BEFORE_FILL(addr) __tsan_acquire(addr)
#else
#define QX_RING_READ_DONE(addr) ((void)0)
#define QX_RING_BEFORE_FILL(addr) ((void)0)
#endif
