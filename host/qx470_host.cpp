#include "qx470_host.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "bridge_in_use.h"
#include "continuous_reader.h"

struct qx470_reader {
  explicit qx470_reader(const std::array<int, 4> &rates) : reader(rates) {}
  qx470host::ContinuousReader reader;
};

namespace {
// The library's boundary is process-wide, so two readers would step it under each other.
std::atomic<bool> g_open{false};
}  // namespace

extern "C" {

qx470_reader *qx470_reader_open(const int32_t rates_ks[4]) {
  if (rates_ks == nullptr) return nullptr;
  bool expected = false;
  if (!g_open.compare_exchange_strong(expected, true)) return nullptr;
  const std::array<int, 4> rates{rates_ks[0], rates_ks[1], rates_ks[2], rates_ks[3]};
  auto *r = new (std::nothrow) qx470_reader(rates);
  if (r == nullptr) g_open.store(false);
  return r;
}

void qx470_reader_close(qx470_reader *reader) {
  if (reader == nullptr) return;
  delete reader;  // the reader's destructor stops the acquisition
  g_open.store(false);
}

int32_t qx470_reader_start(qx470_reader *reader) {
  return reader != nullptr && reader->reader.start() ? 1 : 0;
}

void qx470_reader_stop(qx470_reader *reader) {
  if (reader != nullptr) reader->reader.stop();
}

int32_t qx470_reader_restart(qx470_reader *reader) {
  return reader != nullptr && reader->reader.restart() ? 1 : 0;
}

int32_t qx470_reader_read(qx470_reader *reader, int32_t channel, int32_t *values, int32_t capacity,
                          uint64_t *first, qx470_gap *gap) {
  if (reader == nullptr || values == nullptr || first == nullptr || gap == nullptr ||
      capacity < 0 || channel < 0 || channel > 3)
    return QX470_READ_BAD_ARGUMENT;
  try {
    const qx470host::ReadResult r = reader->reader.read(channel, values, capacity);
    if (r.has_gap) {
      gap->channel = r.gap.channel;
      switch (r.gap.kind) {
        case qx470host::GapKind::kLost:
          gap->kind = QX470_GAP_LOST;
          break;
        case qx470host::GapKind::kRestart:
          gap->kind = QX470_GAP_RESTART;
          break;
        case qx470host::GapKind::kRealign:
          gap->kind = QX470_GAP_REALIGN;
          break;
        case qx470host::GapKind::kClock:
          gap->kind = QX470_GAP_CLOCK;
          break;
      }
      gap->index = r.gap.index;
      gap->count = r.gap.count;
      return QX470_READ_GAP;
    }
    *first = r.first;
    return r.count;
  } catch (const std::bad_alloc &) {  // a gap could not be queued: nothing was consumed
    return 0;
  }
}

uint64_t qx470_reader_next_index(const qx470_reader *reader, int32_t channel) {
  return reader != nullptr ? reader->reader.next_index(channel) : 0;
}

uint64_t qx470_reader_lost(const qx470_reader *reader, int32_t channel) {
  return reader != nullptr ? reader->reader.lost(channel) : 0;
}

double qx470_reader_behind_seconds(const qx470_reader *reader, int32_t channel) {
  return reader != nullptr ? reader->reader.behind_seconds(channel) : 0.0;
}

int32_t qx470_bridge(char *file, int32_t capacity) {
  if (file != nullptr && capacity > 0) file[0] = '\0';
  try {
    const qx470host::BridgeInUse bridge = qx470host::bridge_in_use();
    if (file != nullptr && capacity > 0) {
      const size_t n = std::min(bridge.file.size(), static_cast<size_t>(capacity) - 1);
      std::memcpy(file, bridge.file.data(), n);
      file[n] = '\0';
    }
    return static_cast<int32_t>(bridge.kind);
  } catch (...) {
    return QX470_BRIDGE_UNKNOWN;  // out of memory for the path: nothing is known
  }
}

}  // extern "C"
