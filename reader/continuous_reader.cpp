#include "continuous_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "QX470USB.h"

namespace qx470reader {

namespace {
constexpr int32_t kNothingYet = -1;
constexpr int32_t kGone = -4;
// A shortfall against the clock is reported once it exceeds a few blocks (the buffers below the
// library and the host's own jitter) plus a share for the amplifier's crystal against the host's,
// and has stayed for a second: a process that was stalled catches up faster than real time.
constexpr double kClockSlackBlocks = 4.0;
constexpr double kClockSlackShare = 0.002;
constexpr double kClockPersistSeconds = 1.0;

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}
}  // namespace

void ContinuousReader::begin_clock_segment(double ago) {
  const double steady = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
  const double utc =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  clock_.begin_segment(streams_, stream_base_, steady - ago, utc - steady);
}

const char *gap_kind_word(GapKind kind) {
  switch (kind) {
    case GapKind::kRestart:
      return "restart";
    case GapKind::kRealign:
      return "realign";
    case GapKind::kClock:
      return "clock";
    case GapKind::kLost:
      break;
  }
  return "lost";
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

double ContinuousReader::samples_in_blocks(int channel, double blocks) const {
  double total = 0;
  for (int r : rates_) total += r > 0 ? r : 0;
  return total > 0 ? blocks * double(kWordsPerBlock) * rate_ks(channel) / total : 0.0;
}

double ContinuousReader::block_seconds() const {
  return qx470reader::block_seconds(rates_);
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
    stream_base_[i] = 0;
    pending_[i].clear();
  }
  steps_ = 0;
  last_blocks_ = 0;
  streams_ = 0;
  restart_clock();
  if (LV_Start_Acquisition() != 1) {
    Stop_Acquisition();  // a refused start may still have opened the stream channel
    return false;
  }
  started_ = true;
  streams_ = 1;
  clock_.reset(rates_);
  begin_clock_segment();
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
    stream_base_[i] = index_[i];
  }
  steps_ = 0;
  last_blocks_ = 0;
  ++streams_;
  restart_clock();  // the pause asked for is no shortfall
  begin_clock_segment();
  return true;
}

void ContinuousReader::restart_clock() {
  last_look_ = last_change_ = Clock::now();
  quiet_seconds_ = active_seconds_ = anchor_blocks_ = credited_blocks_ = suspect_blocks_ = 0;
  anchored_ = suspect_ = false;
}

// A block count that went backwards means the library began a new stream under us: it
// realigned the stream after words were lost below it (or another caller restarted it). Sample
// numbers start from 0 and the boundary is back at 0.
void ContinuousReader::observe_stream() {
  const uint32_t blocks = Get_Blocks_Transferred();
  if (blocks < last_blocks_) begin_new_stream(blocks);
  const bool changed = blocks != last_blocks_;
  const auto now = Clock::now();
  // A block seen as soon as it came places its end on the host's clocks; a count that jumped
  // (the reader looked away) says only that the blocks came some time before.
  if (changed && blocks == last_blocks_ + 1) {
    const int ref = clock_.reference();
    const auto end = stream_base_[size_t(ref)] +
                     static_cast<uint64_t>(std::llround(samples_in_blocks(ref, blocks)));
    const double utc =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    clock_.note(end, std::chrono::duration<double>(now.time_since_epoch()).count(), utc);
  }
  last_blocks_ = blocks;
  check_clock(blocks, now, changed);
}

void ContinuousReader::begin_new_stream(uint32_t blocks_now) {
  const auto now = Clock::now();
  // The old stream's last whole block had come in by the time its count was last seen to change;
  // the new one began about as many blocks ago as it has now. In between the amplifier's
  // samples were lost, and the time they took is kept, so every later sample keeps its time.
  const double dark = std::max(0.0, seconds(now - last_change_) - blocks_now * block_seconds());
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    const auto had = static_cast<uint64_t>(samples_in_blocks(c, last_blocks_));
    const uint64_t old_end = stream_base_[i] + had;
    const uint64_t unread = old_end > index_[i] ? old_end - index_[i] : 0;
    const auto in_dark = static_cast<uint64_t>(std::llround(dark * rates_[i] * 1000.0));
    const uint64_t count = unread + in_dark;
    pending_[i].push_back({c, GapKind::kRealign, index_[i], count});
    index_[i] += count;
    lost_[i] += count;
    next_[i] = 0;
    stream_base_[i] = index_[i];
  }
  steps_ = 0;
  last_blocks_ = 0;
  ++streams_;
  restart_clock();
  begin_clock_segment(blocks_now * block_seconds());
}

// Compares the blocks of the current stream with the steady clock. Time counts while blocks are
// coming, and while the reader did not look (a stalled process: the amplifier went on sending);
// a stretch in which the reader looked and nothing came (a device that stopped, a stream slower
// than its rate) counts only while it is as short as the time between two blocks.
void ContinuousReader::check_clock(uint32_t blocks, Clock::time_point now, bool changed) {
  const double looked_after = seconds(now - last_look_);
  last_look_ = now;
  if (!anchored_) {
    if (blocks > 0) {
      anchored_ = true;
      anchor_blocks_ = blocks;
      last_change_ = now;
    }
    return;
  }
  const double block = block_seconds();
  if (!changed) {
    quiet_seconds_ += looked_after;
    return;
  }
  active_seconds_ += looked_after + (quiet_seconds_ <= 2 * block ? quiet_seconds_ : 0.0);
  quiet_seconds_ = 0;
  last_change_ = now;
  const double expected = active_seconds_ / block;
  const double shortfall = expected - (blocks - anchor_blocks_ + credited_blocks_);
  if (shortfall <= kClockSlackBlocks + kClockSlackShare * expected) {
    suspect_ = false;
    return;
  }
  if (!suspect_ || shortfall < suspect_blocks_ - 1) {  // first seen, or still catching up
    suspect_ = true;
    suspect_blocks_ = shortfall;
    suspect_since_ = now;
    return;
  }
  if (seconds(now - suspect_since_) < std::max(kClockPersistSeconds, 2 * block)) return;
  // It stayed: blocks that the clock says were sent never came, and no layer said so.
  const double whole = std::floor(shortfall);
  credited_blocks_ += whole;
  suspect_ = false;
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const size_t i = static_cast<size_t>(c);
    const auto count = static_cast<uint64_t>(std::llround(samples_in_blocks(c, whole)));
    if (count == 0) continue;
    pending_[i].push_back({c, GapKind::kClock, index_[i], count});
    index_[i] += count;
    lost_[i] += count;
    stream_base_[i] += count;
  }
  begin_clock_segment();  // the indexes moved on against the blocks
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
  const int streams_before = streams_;
  observe_stream();
  // The stream began anew during the run: its values may belong to either stream.
  if (streams_ != streams_before) return read(channel, dest, capacity);
  // A shortfall found just now comes before these samples.
  if (!pending_[i].empty()) return read(channel, dest, capacity);
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

}  // namespace qx470reader
