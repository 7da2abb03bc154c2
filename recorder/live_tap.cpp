#include "live_tap.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "qx470_reader.h"

namespace qx470rec {

namespace {

// Room in a ring for kRingSeconds of the rate, a whole number of buckets.
uint64_t ring_size(int rate) {
  uint64_t n = LiveTap::kBucket;
  while (double(n) < LiveTap::kRingSeconds * rate) n *= 2;
  return n;
}

// Commands waiting for the session at most; a page that sends more is told to wait.
constexpr size_t kMostCommands = 64;
// Gaps and events kept for the view: the newest ones.
constexpr size_t kMostMarks = 1000;

}  // namespace

LiveTap::LiveTap(const std::array<int, 4> &rates, const std::array<std::string, 4> &labels) {
  names_.names = labels;
  for (size_t c = 0; c < 4; ++c) {
    labels_[c] = labels[c].empty() ? "Ch" + std::to_string(c + 1) : labels[c];
    if (rates[c] <= 0) continue;
    Ring &r = rings_[c];
    r.rate = rates[c] * 1000;
    const uint64_t n = ring_size(r.rate);
    r.mask = n - 1;
    r.raw = std::make_unique<uint16_t[]>(n);
    r.buckets = std::make_unique<CodeSpan[]>(n / kBucket);
  }
}

void LiveTap::put(Ring &r, uint64_t at, uint16_t code, bool fill) {
  r.raw[at & r.mask] = code;
  if (!fill) r.partial.add(code);
  if ((at + 1) % kBucket == 0) {
    r.buckets[(at / kBucket) & (r.mask / kBucket)] = r.partial;
    r.partial = CodeSpan{};
  }
}

void LiveTap::samples(int channel, const int32_t *codes, size_t n) {
  Ring &r = rings_[size_t(channel)];
  if (!r.rate) return;
  uint64_t at = r.written.load(std::memory_order_relaxed);
  for (size_t i = 0; i < n; ++i) put(r, at++, static_cast<uint16_t>(codes[i]), false);
  r.written.store(at, std::memory_order_release);
  fed_.store(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

void LiveTap::gap(const qx470reader::Gap &g) {
  Ring &r = rings_[size_t(g.channel)];
  if (!r.rate) return;
  const uint64_t start = r.written.load(std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gaps_.push_back({g.channel, qx470_gap_words(static_cast<int32_t>(g.kind)), gap_text(names_, g),
                     start, start + g.count});
    if (gaps_.size() > kMostMarks) gaps_.pop_front();
  }
  // Only the part the ring can hold is written; older fill would be overwritten at once.
  const uint64_t skip = g.count > r.mask ? g.count - (r.mask + 1) : 0;
  uint64_t at = start + skip;
  if (skip) {
    // Whole buckets of nothing: the partial one ends before the skipped samples.
    r.partial = CodeSpan{};
    for (uint64_t b = at - at % kBucket; b < at; ++b) put(r, b, 32768, true);
  }
  for (; at < start + g.count; ++at) put(r, at, 32768, true);
  r.written.store(at, std::memory_order_release);
}

void LiveTap::event(const LiveEvent &e) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(e);
  if (events_.size() > kMostMarks) events_.pop_front();
}

void LiveTap::status(const LiveStatus &s) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = s;
}

LiveStatus LiveTap::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

void LiveTap::post(LiveCommand c) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (commands_.size() >= kMostCommands) {
    lock.unlock();
    if (c.done) c.done("too many requests at once; try again");
    return;
  }
  commands_.push_back(std::move(c));
}

std::vector<LiveCommand> LiveTap::take_commands() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LiveCommand> out;
  out.swap(commands_);
  return out;
}

void LiveTap::marks_since(double from_seconds, std::vector<LiveGap> &gaps,
                          std::vector<LiveEvent> &events) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const LiveGap &g : gaps_) {
    const int rate = rings_[size_t(g.channel)].rate;
    if (rate && double(g.end) / rate >= from_seconds) gaps.push_back(g);
  }
  for (const LiveEvent &e : events_)
    if (e.seconds >= from_seconds) events.push_back(e);
}

// The samples [from, to) of the ring, gap fill left out: whole buckets where the range holds
// them, single samples at its ends.
CodeSpan LiveTap::span(const Ring &r, int channel, uint64_t from, uint64_t to,
                       const std::vector<LiveGap> &gaps) const {
  CodeSpan s;
  uint64_t i = from;
  while (i < to) {
    if (i % kBucket == 0 && i + kBucket <= to) {
      s.add(r.buckets[(i / kBucket) & (r.mask / kBucket)]);
      i += kBucket;
      continue;
    }
    // A single sample: skip it when a gap of this channel covers it.
    const auto in_gap = std::find_if(gaps.begin(), gaps.end(), [&](const LiveGap &g) {
      return g.channel == channel && g.start <= i && i < g.end;
    });
    if (in_gap != gaps.end()) {
      i = std::min(to, in_gap->end);
      continue;
    }
    s.add(r.raw[i & r.mask]);
    ++i;
  }
  return s;
}

ChannelEnvelope LiveTap::envelope(int channel, double seconds, int columns) const {
  const Ring &r = rings_[size_t(channel)];
  ChannelEnvelope e;
  e.channel = channel;
  e.rate = r.rate;
  const uint64_t n = r.written.load(std::memory_order_acquire);
  e.end = n;
  seconds = std::clamp(seconds, 1e-3, kMaxWindowSeconds);
  const uint64_t cols = uint64_t(std::clamp(columns, 1, 8192));
  const uint64_t want = std::max<uint64_t>(1, uint64_t(std::llround(seconds * r.rate)));
  uint64_t per = (want + cols - 1) / cols;
  // Columns of whole buckets are summed from the buckets: a minute at 100 kS/s in a few
  // thousand steps.
  if (per >= kBucket) per = (per + kBucket - 1) / kBucket * kBucket;
  const uint64_t count = (want + per - 1) / per;
  // Column edges on multiples of the column's width, so that a trace does not shimmer as the
  // window slides.
  const uint64_t end = n / per * per;
  e.per_column = per;
  // Before the first sample the columns are empty: the newest column is always the last one.
  e.first = int64_t(end) - int64_t(count * per);
  // The ring keeps the last mask + 1 samples; a page never asks for more, but says nothing older.
  const uint64_t oldest = n > r.mask ? n - r.mask : 0;
  std::vector<LiveGap> gaps;
  std::vector<LiveEvent> unused;
  marks_since(double(e.first) / r.rate, gaps, unused);
  e.columns.assign(count, CodeSpan{});
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t to = e.first + int64_t((i + 1) * per);
    if (to <= 0) continue;
    const uint64_t from =
        std::max<uint64_t>(oldest, uint64_t(std::max<int64_t>(0, to - int64_t(per))));
    if (from >= uint64_t(to)) continue;
    e.columns[i] = span(r, channel, from, uint64_t(to), gaps);
    e.total.add(e.columns[i]);
  }
  return e;
}

std::vector<ChannelEnvelope> LiveTap::envelopes(double seconds, int columns) const {
  std::vector<ChannelEnvelope> out;
  for (int c = 0; c < 4; ++c)
    if (rings_[size_t(c)].rate) out.push_back(envelope(c, seconds, columns));
  return out;
}

}  // namespace qx470rec
