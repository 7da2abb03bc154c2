#include "write_queue.h"

namespace qx470rec {

WriteQueue::WriteQueue(Recording &writer, uint64_t capacity)
    : writer_(writer), capacity_(capacity), thread_([this] { run(); }) {}

WriteQueue::~WriteQueue() {
  drain();
}

bool WriteQueue::has_room(uint64_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queued_ + n <= capacity_;
}

void WriteQueue::samples(int channel, const int32_t *codes, size_t n) {
  Item item;
  item.channel = channel;
  item.codes.assign(codes, codes + n);
  push(std::move(item), n);
}

void WriteQueue::gap(const qx470reader::Gap &g) {
  Item item;
  item.kind = Item::kGap;
  item.gap = g;
  push(std::move(item), 0);
}

void WriteQueue::event(const Event &e) {
  Item item;
  item.kind = Item::kEvent;
  item.event = e;
  push(std::move(item), 0);
}

void WriteQueue::sync(const qx470reader::ClockMap &map, uint64_t events_dropped) {
  Item item;
  item.kind = Item::kSync;
  item.clock = map;
  item.dropped = events_dropped;
  push(std::move(item), 0);
}

void WriteQueue::push(Item item, uint64_t samples) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
    queued_ += samples;
  }
  wake_.notify_one();
}

void WriteQueue::drain() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

std::string WriteQueue::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

double WriteQueue::fill() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_ ? static_cast<double>(queued_) / static_cast<double>(capacity_) : 0.0;
}

void WriteQueue::run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !items_.empty() || closing_; });
      if (items_.empty()) return;  // closing, and everything written
      item = std::move(items_.front());
      items_.pop_front();
    }
    std::string e;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      e = error_;
    }
    // After an error the writer has cut its files back; nothing more goes in.
    if (e.empty()) {
      switch (item.kind) {
        case Item::kSamples:
          e = writer_.samples(item.channel, item.codes.data(), item.codes.size());
          break;
        case Item::kGap:
          e = writer_.gap(item.gap);
          break;
        case Item::kEvent:
          e = writer_.event(item.event);
          break;
        case Item::kSync:
          writer_.clock(item.clock);
          writer_.dropped_events(item.dropped);
          e = writer_.sync();
          break;
      }
      bytes_.store(writer_.bytes());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    queued_ -= item.codes.size();
    if (error_.empty()) error_ = e;
  }
}

}  // namespace qx470rec
