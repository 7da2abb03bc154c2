#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "../src/context.h"
#include "platform.h"

namespace qx::platform {

struct Event {
  pthread_mutex_t mu;
  pthread_cond_t cv;
  bool signalled;
};

Event *event_create() {
  if (event_create_should_fail()) return nullptr;
  auto *e = new (std::nothrow) Event;
  if (!e) return nullptr;
  e->signalled = false;
  if (pthread_mutex_init(&e->mu, nullptr) != 0) {
    delete e;
    return nullptr;
  }
  if (pthread_cond_init(&e->cv, nullptr) != 0) {
    pthread_mutex_destroy(&e->mu);
    delete e;
    return nullptr;
  }
  return e;
}

void event_destroy(Event *e) {
  if (!e) return;
  pthread_cond_destroy(&e->cv);
  pthread_mutex_destroy(&e->mu);
  delete e;
}

void event_set(Event *e) {
  pthread_mutex_lock(&e->mu);
  e->signalled = true;
  pthread_cond_signal(&e->cv);
  pthread_mutex_unlock(&e->mu);
}

void event_wait(Event *e) {
  pthread_mutex_lock(&e->mu);
  while (!e->signalled) pthread_cond_wait(&e->cv, &e->mu);
  e->signalled = false;
  pthread_mutex_unlock(&e->mu);
}

void event_reset(Event *e) {
  pthread_mutex_lock(&e->mu);
  e->signalled = false;
  pthread_mutex_unlock(&e->mu);
}

namespace {
struct Start {
  ThreadEntry entry;
  void *param;
};
void *trampoline(void *arg) {
  const Start start = *static_cast<Start *>(arg);
  delete static_cast<Start *>(arg);
  start.entry(start.param);
  return nullptr;
}
}  // namespace

Thread thread_start(ThreadEntry entry, void *param) {
  if (thread_start_should_fail()) return 0;
  auto *start = new (std::nothrow) Start{entry, param};
  if (!start) return 0;
  pthread_t t;
  // A real-time policy keeps the stream flowing under load; most processes may not use one.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  sched_param sp{};
  sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
  bool started = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED) == 0 &&
                 pthread_attr_setschedpolicy(&attr, SCHED_FIFO) == 0 &&
                 pthread_attr_setschedparam(&attr, &sp) == 0 &&
                 pthread_create(&t, &attr, trampoline, start) == 0;
  pthread_attr_destroy(&attr);
  if (!started && pthread_create(&t, nullptr, trampoline, start) != 0) {
    delete start;
    return 0;
  }
  static_assert(sizeof(pthread_t) <= sizeof(Thread));
  return static_cast<Thread>(t);
}

void thread_join(Thread t) {
  if (t) pthread_join(static_cast<pthread_t>(t), nullptr);
}

void *foreground_window() {
  return nullptr;
}

void alert(const char *text) {
  if (auto hook = alert_hook()) return hook(text);
  std::fprintf(stderr, "QX470USB: %s\n", text);
}

void sleep_ms(unsigned ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void cpu_relax() {
  sched_yield();
}

}  // namespace qx::platform

// Load-time initialisation and unload of the library (the shared object's constructor and
// destructor; in the static archive used by the tests, the process's). A constructor cannot fail
// the load: without its events the library stays loaded and refuses every start.
__attribute__((constructor)) static void qx470_on_load() {
  qx::library_attach();
}
__attribute__((destructor)) static void qx470_on_unload() {
  qx::library_detach();
}
