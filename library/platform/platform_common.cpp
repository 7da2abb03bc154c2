// The test hooks of the platform layer, the same on every system.
#include <atomic>

#include "platform.h"

namespace qx::platform {

namespace {
std::atomic<AlertHook> g_alert_hook{nullptr};
std::atomic<bool> g_fail_next_start{false};
std::atomic<int> g_event_creates_before_failure{-1};
}  // namespace

void fail_event_create_for_test(int skip) {
  g_event_creates_before_failure.store(skip);
}

bool event_create_should_fail() {
  int left = g_event_creates_before_failure.load();
  while (left >= 0 && !g_event_creates_before_failure.compare_exchange_weak(left, left - 1)) {
  }
  return left == 0;
}

void fail_next_thread_start_for_test() {
  g_fail_next_start.store(true);
}

bool thread_start_should_fail() {
  return g_fail_next_start.exchange(false);
}

void set_alert_hook(AlertHook hook) {
  g_alert_hook.store(hook);
}

AlertHook alert_hook() {
  return g_alert_hook.load();
}

}  // namespace qx::platform
