// The operating-system services the library uses. One interface; a POSIX and a Win32
// implementation. Nothing else in the library calls the operating system.
#pragma once

#include <cstdint>

namespace qx::platform {

// Auto-reset event: a wait that succeeds resets it.
struct Event;
Event *event_create();  // nullptr when the system refuses
void event_destroy(Event *e);
void event_set(Event *e);
void event_wait(Event *e);  // without time-out
void event_reset(Event *e);

using ThreadEntry = uint32_t (*)(void *param);
using Thread = std::uintptr_t;  // 0: no thread
// Starts a thread at the highest priority the process may use (falling back to the default
// priority when a higher one is not permitted). 0 when no thread can be created.
Thread thread_start(ThreadEntry entry, void *param);
void thread_join(Thread t);  // after the thread has signalled its end
// For tests: the next thread_start fails as if the system had refused.
void fail_next_thread_start_for_test();
// For tests: the event_create after the next `skip` ones returns nullptr as if the system had
// refused it (-1 clears the request).
void fail_event_create_for_test(int skip);

void *foreground_window();
// Shows "text" as the library's error message box (on POSIX: one line on standard error).
void alert(const char *text);
// Tests route alerts to a hook instead; nullptr restores the default.
using AlertHook = void (*)(const char *text);
void set_alert_hook(AlertHook hook);

// For the implementations: the state of the test hooks above.
bool thread_start_should_fail();  // true once after fail_next_thread_start_for_test
bool event_create_should_fail();  // true once, as fail_event_create_for_test asked
AlertHook alert_hook();

void sleep_ms(unsigned ms);
void cpu_relax();

}  // namespace qx::platform
