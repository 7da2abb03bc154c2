// Writes on a thread of its own behind a bounded queue, so that an output that stalls (a slow
// disk, a network share, a pipe read late) holds up neither the reading nor the library's ring:
// the recording loses nothing until the queue is full, and beyond it the ring's losses are
// reported as any other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording.h"

namespace qx470rec {

class WriteQueue {
 public:
  // `capacity`: samples the queue holds at most.
  WriteQueue(Recording &writer, uint64_t capacity);
  ~WriteQueue();
  WriteQueue(const WriteQueue &) = delete;
  WriteQueue &operator=(const WriteQueue &) = delete;

  // Whether `n` more samples fit now.
  bool has_room(uint64_t n) const;
  void samples(int channel, const int32_t *codes, size_t n);
  void gap(const qx470reader::Gap &g);
  void event(const Event &e);
  // A copy of the clock map and the count of events the kernel dropped, for the sidecar, then
  // a sync.
  void sync(const qx470reader::ClockMap &map, uint64_t events_dropped = 0);
  // Writes everything queued and stops the thread; the writer is then the caller's again.
  void drain();

  // The writer's first error, once it has met one; later items are dropped.
  std::string error() const;
  // The share of the queue in use (0 to 1), and the writer's bytes so far.
  double fill() const;
  uint64_t bytes() const { return bytes_.load(); }

 private:
  struct Item {
    enum Kind { kSamples, kGap, kEvent, kSync } kind = kSamples;
    int channel = 0;
    std::vector<int32_t> codes;
    qx470reader::Gap gap;
    Event event;
    qx470reader::ClockMap clock;
    uint64_t dropped = 0;
  };
  void push(Item item, uint64_t samples);
  void run();

  Recording &writer_;
  const uint64_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> items_;
  uint64_t queued_ = 0;  // samples in items_
  bool closing_ = false;
  std::string error_;
  std::atomic<uint64_t> bytes_{0};
  std::thread thread_;
};

}  // namespace qx470rec
