// The library's operating-system services on Windows: kernel events, a time-critical thread,
// the foreground window and the modal error box.
#include <windows.h>

#include <new>

#include "../src/context.h"
#include "platform.h"

namespace qx::platform {

// The event is the kernel object itself.
struct Event;

Event *event_create() {
  if (event_create_should_fail()) return nullptr;
  // Auto-reset, not signalled, unnamed: one waiter wakes per set and the wake resets it.
  return reinterpret_cast<Event *>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

void event_destroy(Event *e) {
  if (e) CloseHandle(reinterpret_cast<HANDLE>(e));
}

void event_set(Event *e) {
  SetEvent(reinterpret_cast<HANDLE>(e));
}

void event_wait(Event *e) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(e), INFINITE);
}

void event_reset(Event *e) {
  ResetEvent(reinterpret_cast<HANDLE>(e));
}

namespace {
struct Start {
  ThreadEntry entry;
  void *param;
};
DWORD WINAPI trampoline(LPVOID arg) {
  const Start start = *static_cast<Start *>(arg);
  delete static_cast<Start *>(arg);
  return start.entry(start.param);
}
}  // namespace

Thread thread_start(ThreadEntry entry, void *param) {
  if (thread_start_should_fail()) return 0;
  auto *start = new (std::nothrow) Start{entry, param};
  if (!start) return 0;
  // Created suspended only so the priority is in place before its first instruction.
  HANDLE t = CreateThread(nullptr, 0, trampoline, start, CREATE_SUSPENDED, nullptr);
  if (!t) {
    delete start;
    return 0;
  }
  SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL);
  ResumeThread(t);
  return reinterpret_cast<Thread>(t);
}

void thread_join(Thread t) {
  if (!t) return;
  WaitForSingleObject(reinterpret_cast<HANDLE>(t), INFINITE);
  CloseHandle(reinterpret_cast<HANDLE>(t));
}

void *foreground_window() {
  return GetForegroundWindow();
}

void alert(const char *text) {
  if (auto hook = alert_hook()) return hook(text);
  // No owner window: the box belongs to the acquisition thread, which it blocks until dismissed.
  MessageBoxA(nullptr, text, "QX470USB", MB_OK | MB_ICONEXCLAMATION);
}

void sleep_ms(unsigned ms) {
  Sleep(ms);
}

void cpu_relax() {
  SwitchToThread();
}

}  // namespace qx::platform

// Load-time initialisation and unload. In the DLL the loader calls DllMain; in the tests' static
// archive, linked into a program, nobody does, so the program's start-up and exit stand in.
// Without its events the library could never start: the load fails instead.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    return qx::library_attach() ? TRUE : FALSE;  // creates the events; waits for nothing
  } else if (reason == DLL_PROCESS_DETACH) {
    qx::library_detach();
  }
  return TRUE;
}

namespace {

bool linked_into_program() {
  HMODULE self = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&linked_into_program), &self);
  return self == GetModuleHandleA(nullptr);
}

__attribute__((constructor)) void qx470_on_program_start() {
  if (linked_into_program()) qx::library_attach();
}
__attribute__((destructor)) void qx470_on_program_exit() {
  if (linked_into_program()) qx::library_detach();
}

}  // namespace
