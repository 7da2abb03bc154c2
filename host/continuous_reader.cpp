#include "continuous_reader.h"

#include <algorithm>
#include <limits>

#include "QX470USB.h"

namespace qx470host {

namespace {
constexpr int32_t kNothingYet = -1;
constexpr int32_t kGone = -4;
constexpr double kWordsPerBlock = 16384.0;
}  // namespace

bool is_supported_rate(int rate_ks) {
  return std::find(std::begin(kKnownRates), std::end(kKnownRates), rate_ks) !=
         std::end(kKnownRates);
}

ContinuousReader::ContinuousReader(const std::array<int, kChannels> &rates_ks) : rates_(rates_ks) {}

ContinuousReader::~ContinuousReader() {
  stop();
}

bool ContinuousReader::channel_on(int channel) const {
  return channel >= 0 && channel < kChannels && rates_[static_cast<size_t>(channel)] > 0;
}

int ContinuousReader::rate_ks(int channel) const {
  return channel_on(channel) ? rates_[static_cast<size_t>(channel)] : 0;
}

uint64_t ContinuousReader::next_index(int channel) const {
  return channel_on(channel) ? index_[static_cast<size_t>(channel)] : 0;
}

uint64_t ContinuousReader::lost(int channel) const {
  return channel_on(channel) ? lost_[static_cast<size_t>(channel)] : 0;
}

double ContinuousReader::block_seconds() const {
  double words_per_second = 0;
  for (int r : rates_) words_per_second += r > 0 ? r * 1000.0 : 0.0;
  return words_per_second > 0 ? kWordsPerBlock / words_per_second : 0.0;
}

bool ContinuousReader::start() {
  stop();
  bool any = false;
  for (int r : rates_) {
    if (r != 0 && !is_supported_rate(r)) return false;
    any = any || r > 0;
  }
  if (!any) return false;
  for (int c = 0; c < kChannels; ++c) Set_Sample_Rate(c, rates_[static_cast<size_t>(c)]);
  for (int c = 0; c < kChannels; ++c) {
    const size_t i = static_cast<size_t>(c);
    modulus_[i] = channel_on(c) ? static_cast<uint32_t>(Get_Sample_Modulus(c)) : 0;
    next_[i] = 0;
    index_[i] = 0;
    lost_[i] = 0;
    pending_[i].clear();
  }
  steps_ = 0;
  last_blocks_ = 0;
  streams_ = 0;
  if (LV_Start_Acquisition() != 1) {
    Stop_Acquisition();  // a refused start may still have opened the stream channel
    return false;
  }
  started_ = true;
  streams_ = 1;
  return true;
}

void ContinuousReader::stop() {
  if (!started_) return;
  Stop_Acquisition();
  started_ = false;
}

bool ContinuousReader::restart() {
  if (!started_) return false;
  if (Pause_Acquisition() != 1) return false;
  // What the ring holds now is gone once the count starts again; the estimate never exceeds
  // what was complete, so the tail it reports is a lower bound.
  std::array<uint64_t, kChannels> tail{};
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    const int32_t done = Get_Current_DataPoint(c);
    if (done > 0 && static_cast<uint32_t>(done) > next_[i])
      tail[i] = static_cast<uint32_t>(done) - next_[i];
  }
  if (Restart_Acquisition() != 1) return false;
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    pending_[i].push_back({c, GapKind::kRestart, index_[i], tail[i]});
    index_[i] += tail[i];
    lost_[i] += tail[i];
    next_[i] = 0;
  }
  steps_ = 0;
  last_blocks_ = 0;
  ++streams_;
  return true;
}

// A block count that went backwards means the library began a new stream under us (a restart
// not made through this reader); sample numbers start from 0 and the boundary is back at 0.
void ContinuousReader::observe_stream() {
  const uint32_t blocks = Get_Blocks_Transferred();
  if (blocks < last_blocks_) begin_new_stream();
  last_blocks_ = blocks;
}

void ContinuousReader::begin_new_stream() {
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    pending_[i].push_back({c, GapKind::kRestart, index_[i], 0});
    next_[i] = 0;
  }
  steps_ = 0;
  last_blocks_ = 0;
  ++streams_;
}

// Once every channel's next sample number has passed its modulus, whole steps of the boundary
// can be taken: the samples keep their identity and the numbers stay far from 2^32.
void ContinuousReader::step_boundary() {
  uint32_t whole = std::numeric_limits<uint32_t>::max();
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    if (modulus_[i] == 0) return;
    whole = std::min(whole, next_[i] / modulus_[i]);
  }
  if (whole == 0 || whole == std::numeric_limits<uint32_t>::max()) return;
  steps_ += static_cast<int32_t>(whole);
  Set_Sample_Boundary(steps_);
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    next_[i] -= whole * modulus_[i];
  }
}

// The channel's next sample has left the ring. The oldest sample still there is found by
// probing: samples that are gone stay gone, so the gone ones form a prefix of the numbers, and
// its end can be searched for even while the ring moves on.
ReadResult ContinuousReader::recover(int channel) {
  const size_t i = static_cast<size_t>(channel);
  const uint32_t from = next_[i];
  uint32_t gone = from;  // known to be gone
  uint32_t there = from;
  uint32_t step = 1;
  for (;;) {
    const uint32_t room = std::numeric_limits<uint32_t>::max() - gone;
    const uint32_t probe = gone + std::min(step, room);
    const int32_t v = Get_DataPoint(channel, probe);
    if (v == kNothingYet) return {};  // a new stream began meanwhile; the next read reports it
    if (v != kGone || probe == std::numeric_limits<uint32_t>::max()) {
      there = probe;
      break;
    }
    gone = probe;
    step = step > (1u << 30) ? step : step * 2;
  }
  while (there - gone > 1) {
    const uint32_t mid = gone + (there - gone) / 2;
    const int32_t v = Get_DataPoint(channel, mid);
    if (v == kNothingYet) return {};
    if (v == kGone)
      gone = mid;
    else
      there = mid;
  }
  const uint64_t count = there - from;
  ReadResult r;
  r.has_gap = true;
  r.gap = {channel, GapKind::kLost, index_[i], count};
  index_[i] += count;
  lost_[i] += count;
  next_[i] = there;
  step_boundary();
  return r;
}

ReadResult ContinuousReader::read(int channel, int32_t *dest, int32_t capacity) {
  ReadResult r;
  // After a stop the ring's last blocks can still be read out, until the next start.
  if (streams_ == 0 || !channel_on(channel) || dest == nullptr || capacity <= 0) return r;
  const size_t i = static_cast<size_t>(channel);
  observe_stream();
  if (!pending_[i].empty()) {
    r.has_gap = true;
    r.gap = pending_[i].front();
    pending_[i].pop_front();
    return r;
  }
  const int32_t got = Get_Data_Samples(dest, channel, next_[i], capacity);
  const uint32_t blocks_after = Get_Blocks_Transferred();
  if (blocks_after < last_blocks_) {
    // The stream began anew during the run: its values may belong to either stream.
    begin_new_stream();
    last_blocks_ = blocks_after;
    return read(channel, dest, capacity);
  }
  last_blocks_ = blocks_after;
  if (got > 0) {
    r.first = index_[i];
    r.count = got;
    next_[i] += static_cast<uint32_t>(got);
    index_[i] += static_cast<uint64_t>(got);
    step_boundary();
    return r;
  }
  if (Get_DataPoint(channel, next_[i]) == kGone) return recover(channel);
  return r;
}

double ContinuousReader::behind_seconds(int channel) const {
  if (!started_ || !channel_on(channel)) return 0.0;
  const size_t i = static_cast<size_t>(channel);
  const int32_t done = Get_Current_DataPoint(channel);
  if (done <= 0 || static_cast<uint32_t>(done) <= next_[i]) return 0.0;
  return (static_cast<uint32_t>(done) - next_[i]) / (rates_[i] * 1000.0);
}

}  // namespace qx470host
