#include "qx470_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "amplifiers.h"
#include "bridge_in_use.h"
#include "continuous_reader.h"
#include "device.h"
#include "rates.h"

#ifndef QX470_VERSION
#error "QX470_VERSION names the project's version"
#endif

struct qx470_reader {
  explicit qx470_reader(const std::array<int, 4> &rates) : reader(rates) {}
  qx470reader::ContinuousReader reader;
  std::optional<qx470reader::StallWatch> watch;
  std::atomic<bool> busy{false};
};

namespace {

// The library's boundary is process-wide, so two readers would step it under each other.
std::atomic<bool> g_open{false};

// Runs `body` and turns whatever it throws into a result code: nothing C++ reaches a C caller.
template <typename Body>
int32_t guarded(Body &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return QX470_ERR_NO_MEMORY;
  } catch (...) {
    return QX470_ERR_REFUSED;
  }
}

// Holds the reader for one call; a second thread in the same reader is refused, not interleaved.
class Entry {
 public:
  explicit Entry(qx470_reader *r) : r_(r), ok_(r != nullptr && !r->busy.exchange(true)) {}
  ~Entry() {
    if (ok_) r_->busy.store(false);
  }
  Entry(const Entry &) = delete;
  Entry &operator=(const Entry &) = delete;
  explicit operator bool() const { return ok_; }

 private:
  qx470_reader *r_;
  bool ok_;
};

int32_t entry_failure(const qx470_reader *r) {
  return r == nullptr ? QX470_ERR_BAD_ARGUMENT : QX470_ERR_BUSY;
}

// Copies `text` into a caller's buffer as snprintf does; returns the whole length.
int32_t copy_out(const std::string &text, char *out, int32_t capacity) {
  if (out != nullptr && capacity > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(capacity) - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
}

qx470reader::Rates rates_of(const int32_t rates_ks[4]) {
  return {rates_ks[0], rates_ks[1], rates_ks[2], rates_ks[3]};
}

int32_t gap_kind_code(qx470reader::GapKind kind) {
  return static_cast<int32_t>(kind);
}

}  // namespace

extern "C" {

const char *qx470_result_words(int32_t result) {
  switch (result) {
    case QX470_OK:
      return "ok";
    case QX470_READ_GAP:
      return "a gap comes first";
    case QX470_ERR_BAD_ARGUMENT:
      return "bad argument";
    case QX470_ERR_NO_MEMORY:
      return "out of memory";
    case QX470_ERR_BUSY:
      return "busy: another reader is open in this process, or another thread is using this one";
    case QX470_ERR_REFUSED:
      return "the library refused";
    case QX470_ERR_NOT_STARTED:
      return "the reader is not running";
    case QX470_ERR_BRIDGE:
      return "the USB bridge could not list its devices";
    default:
      return "unknown result";
  }
}

const char *qx470_reader_version(void) {
  return QX470_VERSION;
}

int32_t qx470_rates(int32_t *rates_ks, int32_t capacity) {
  const int32_t n = static_cast<int32_t>(std::size(qx470reader::kKnownRates));
  for (int32_t i = 0; rates_ks != nullptr && i < std::min(n, capacity); ++i)
    rates_ks[i] = qx470reader::kKnownRates[i];
  return n;
}

int32_t qx470_parse_rates(const char *text, int32_t rates_ks[4], char *message, int32_t capacity) {
  copy_out("", message, capacity);
  if (text == nullptr || rates_ks == nullptr) return QX470_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    qx470reader::Rates rates{};
    const std::string why = qx470reader::parse_rates(text, rates);
    if (!why.empty()) {
      copy_out(why, message, capacity);
      return QX470_ERR_BAD_ARGUMENT;
    }
    std::copy(rates.begin(), rates.end(), rates_ks);
    return QX470_OK;
  });
}

int32_t qx470_sample_targets(const int32_t rates_ks[4], double seconds, uint64_t samples,
                             uint64_t targets[4], char *message, int32_t capacity) {
  copy_out("", message, capacity);
  if (rates_ks == nullptr || targets == nullptr) return QX470_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    std::array<uint64_t, 4> out{};
    const std::string why = qx470reader::sample_targets(rates_of(rates_ks), seconds, samples, out);
    if (!why.empty()) {
      copy_out(why, message, capacity);
      return QX470_ERR_BAD_ARGUMENT;
    }
    std::copy(out.begin(), out.end(), targets);
    return QX470_OK;
  });
}

int32_t qx470_amplifiers(qx470_amplifier *out, int32_t capacity) {
  return guarded([&]() -> int32_t {
    std::vector<qx470reader::Amplifier> amps;
    if (!qx470reader::list_amplifiers(amps)) return QX470_ERR_BRIDGE;
    for (size_t i = 0;
         out != nullptr && capacity > 0 && i < std::min<size_t>(amps.size(), capacity); ++i) {
      copy_out(amps[i].serial, out[i].serial, sizeof out[i].serial);
      copy_out(amps[i].description, out[i].description, sizeof out[i].description);
      out[i].location = static_cast<uint32_t>(amps[i].location);
    }
    return static_cast<int32_t>(amps.size());
  });
}

int32_t qx470_choose_amplifier(const char *serial) {
  return guarded([&]() -> int32_t {
    qx470reader::choose_amplifier(serial != nullptr ? serial : "");
    return QX470_OK;
  });
}

int32_t qx470_chosen_amplifier(char *serial, int32_t capacity) {
  copy_out("", serial, capacity);
  return guarded(
      [&]() -> int32_t { return copy_out(qx470reader::chosen_amplifier(), serial, capacity); });
}

int32_t qx470_bridge_nodes(qx470_bridge_node *out, int32_t capacity) {
  return guarded([&]() -> int32_t {
    std::vector<qx470reader::BridgeNode> nodes;
    if (!qx470reader::list_bridge_nodes(nodes)) return QX470_ERR_BRIDGE;
    for (size_t i = 0;
         out != nullptr && capacity > 0 && i < std::min<size_t>(nodes.size(), capacity); ++i) {
      copy_out(nodes[i].serial, out[i].serial, sizeof out[i].serial);
      copy_out(nodes[i].description, out[i].description, sizeof out[i].description);
      out[i].location = static_cast<uint32_t>(nodes[i].location);
      out[i].flags = static_cast<uint32_t>(nodes[i].flags);
    }
    return static_cast<int32_t>(nodes.size());
  });
}

int32_t qx470_amplifier_holder(const char *serial, int32_t *pid, char *name, int32_t capacity) {
  if (pid != nullptr) *pid = 0;
  copy_out("", name, capacity);
  return guarded([&]() -> int32_t {
    const qx470reader::Holder h = qx470reader::amplifier_holder(serial != nullptr ? serial : "");
    if (pid != nullptr) *pid = static_cast<int32_t>(h.pid);
    copy_out(h.name, name, capacity);
    return h.held ? 1 : 0;
  });
}

int32_t qx470_check_device(int32_t prepare, qx470_device_check *check) {
  if (check == nullptr) return QX470_ERR_BAD_ARGUMENT;
  return guarded([&]() -> int32_t {
    const qx470reader::DeviceCheck d = qx470reader::check_device(prepare == 1);
    check->status = d.status;
    check->calibration_read = d.calibration_read;
    check->calibration = d.calibration;
    check->calibration_valid = d.calibration_valid() ? 1 : 0;
    check->shunt_off = d.shunt_off ? 1 : 0;
    check->calibration_min = qx470reader::kCalibrationMin;
    check->calibration_max = qx470reader::kCalibrationMax;
    check->calibration_default = qx470reader::kDefaultCalibration;
    return d.ready() ? QX470_OK : d.status;
  });
}

int32_t qx470_status_words(int32_t status, char *text, int32_t capacity) {
  copy_out("", text, capacity);
  return guarded(
      [&]() -> int32_t { return copy_out(qx470reader::status_words(status), text, capacity); });
}

const char *qx470_gap_words(int32_t kind) {
  return gap_kind_word(static_cast<qx470reader::GapKind>(kind));
}

int32_t qx470_reader_open(const int32_t rates_ks[4], qx470_reader **reader) {
  if (reader != nullptr) *reader = nullptr;
  if (rates_ks == nullptr || reader == nullptr) return QX470_ERR_BAD_ARGUMENT;
  const qx470reader::Rates rates = rates_of(rates_ks);
  if (std::any_of(rates.begin(), rates.end(),
                  [](int r) { return r != 0 && !qx470reader::is_supported_rate(r); }) ||
      std::all_of(rates.begin(), rates.end(), [](int r) { return r == 0; }))
    return QX470_ERR_BAD_ARGUMENT;
  bool expected = false;
  if (!g_open.compare_exchange_strong(expected, true)) return QX470_ERR_BUSY;
  *reader = new (std::nothrow) qx470_reader(rates);
  if (*reader == nullptr) {
    g_open.store(false);
    return QX470_ERR_NO_MEMORY;
  }
  return QX470_OK;
}

void qx470_reader_close(qx470_reader *reader) {
  if (reader == nullptr) return;
  delete reader;  // the reader's destructor stops the acquisition
  g_open.store(false);
}

int32_t qx470_reader_start(qx470_reader *reader) {
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  return guarded([&]() -> int32_t {
    if (!reader->reader.start()) return QX470_ERR_REFUSED;
    reader->watch.emplace(reader->reader.block_seconds());
    return QX470_OK;
  });
}

int32_t qx470_reader_stop(qx470_reader *reader) {
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  return guarded([&]() -> int32_t {
    reader->reader.stop();
    return QX470_OK;
  });
}

int32_t qx470_reader_restart(qx470_reader *reader) {
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  return guarded([&]() -> int32_t {
    if (!reader->reader.started()) return QX470_ERR_NOT_STARTED;
    return reader->reader.restart() ? QX470_OK : QX470_ERR_REFUSED;
  });
}

int32_t qx470_reader_read(qx470_reader *reader, int32_t channel, int32_t *values, int32_t capacity,
                          uint64_t *first, qx470_gap *gap) {
  if (values == nullptr || first == nullptr || gap == nullptr || capacity < 0 || channel < 0 ||
      channel > 3)
    return QX470_ERR_BAD_ARGUMENT;
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  // Out of memory while a gap is queued: nothing was consumed, and the next call tries again.
  return guarded([&]() -> int32_t {
    const qx470reader::ReadResult r = reader->reader.read(channel, values, capacity);
    if (r.has_gap) {
      gap->channel = r.gap.channel;
      gap->kind = gap_kind_code(r.gap.kind);
      gap->index = r.gap.index;
      gap->count = r.gap.count;
      return QX470_READ_GAP;
    }
    *first = r.first;
    return r.count;
  });
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

int32_t qx470_reader_stalled(qx470_reader *reader, double *quiet_seconds, int32_t *status) {
  if (quiet_seconds != nullptr) *quiet_seconds = 0;
  if (status != nullptr) *status = qx470reader::kReady;
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  if (!reader->reader.started() || !reader->watch) return QX470_ERR_NOT_STARTED;
  using State = qx470reader::StallWatch::State;
  const State state = reader->watch->check(reader->reader.blocks_seen());
  if (quiet_seconds != nullptr) *quiet_seconds = reader->watch->quiet_seconds();
  if (status != nullptr) *status = reader->watch->status();
  return static_cast<int32_t>(state);
}

double qx470_steady_now(void) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int32_t qx470_reader_clock_segments(qx470_reader *reader, qx470_clock_segment *out,
                                    int32_t capacity) {
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  const auto &segments = reader->reader.clock().segments();
  for (size_t i = 0;
       out != nullptr && capacity > 0 && i < std::min<size_t>(segments.size(), capacity); ++i) {
    const qx470reader::ClockSegment &s = segments[i];
    out[i].stream = s.stream;
    out[i].reference = reader->reader.clock().reference();
    std::copy(s.first.begin(), s.first.end(), out[i].first);
    out[i].steady0 = s.steady0;
    out[i].seconds_per_sample = s.seconds_per_sample;
    out[i].residual = s.residual;
    out[i].utc_minus_steady = s.utc_minus_steady;
    out[i].notes = s.notes;
  }
  return static_cast<int32_t>(std::min<size_t>(segments.size(), INT32_MAX));
}

int32_t qx470_reader_clock_pairs(qx470_reader *reader, qx470_clock_pair *out, int32_t capacity) {
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  const auto &pairs = reader->reader.clock().pairs();
  for (size_t i = 0; out != nullptr && capacity > 0 && i < std::min<size_t>(pairs.size(), capacity);
       ++i)
    out[i] = {pairs[i].index, pairs[i].steady, pairs[i].utc};
  return static_cast<int32_t>(std::min<size_t>(pairs.size(), INT32_MAX));
}

int32_t qx470_reader_index_at(qx470_reader *reader, int32_t channel, double steady,
                              uint64_t *index) {
  if (index == nullptr || channel < 0 || channel > 3) return QX470_ERR_BAD_ARGUMENT;
  Entry entry(reader);
  if (!entry) return entry_failure(reader);
  return reader->reader.clock().index_at(channel, steady, *index) ? QX470_OK
                                                                  : QX470_ERR_NOT_STARTED;
}

int32_t qx470_bridge(char *file, int32_t capacity) {
  copy_out("", file, capacity);
  try {
    const qx470reader::BridgeInUse bridge = qx470reader::bridge_in_use();
    copy_out(bridge.file, file, capacity);
    return static_cast<int32_t>(bridge.kind);
  } catch (...) {
    return QX470_BRIDGE_UNKNOWN;  // out of memory for the path: nothing is known
  }
}

const char *qx470_bridge_words(int32_t kind) {
  return qx470reader::bridge_kind_words(static_cast<qx470reader::BridgeKind>(
      kind >= QX470_BRIDGE_SIMULATED && kind <= QX470_BRIDGE_EMULATED_USB ? kind : 0));
}

}  // extern "C"
