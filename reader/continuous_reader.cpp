#include "continuous_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "QX470USB.h"

namespace qx470reader {

namespace {
constexpr int32_t kNothingYet = -1;
constexpr int32_t kGone = -4;

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}
}  // namespace

std::array<uint64_t, kChannels> ContinuousReader::stream_bases() const {
  std::array<uint64_t, kChannels> bases{};
  for (size_t i = 0; i < bases.size(); ++i) bases[i] = cursors_[i].stream_base;
  return bases;
}

void ContinuousReader::begin_clock_segment(double ago) {
  const double steady = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
  const double utc =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  clock_.begin_segment(streams_, stream_bases(), steady - ago, utc - steady);
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
  return channel_on(channel) ? cursor(channel).index : 0;
}

uint64_t ContinuousReader::lost(int channel) const {
  return channel_on(channel) ? cursor(channel).lost : 0;
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
  for (int c = 0; c < kChannels; ++c)
    cursor(c).reset(channel_on(c) ? static_cast<uint32_t>(Get_Sample_Modulus(c)) : 0);
  steps_ = 0;
  streams_ = 0;
  watch_.reset();
  check_.restart(Clock::now());
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
    const int32_t done = Get_Current_DataPoint(c);
    if (done > 0 && static_cast<uint32_t>(done) > cursor(c).next)
      tail[size_t(c)] = static_cast<uint32_t>(done) - cursor(c).next;
  }
  if (Restart_Acquisition() != 1) return false;
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    ChannelCursor &k = cursor(c);
    k.pending.push_back(k.skip(c, GapKind::kRestart, tail[size_t(c)]));
    k.begin_stream();
  }
  steps_ = 0;
  watch_.reset();
  ++streams_;
  check_.restart(Clock::now());  // the pause asked for is no shortfall
  begin_clock_segment();
  return true;
}

void ContinuousReader::observe_stream() {
  const StreamLook look = watch_.look(Get_Blocks_Transferred());
  if (look.new_stream) begin_new_stream(look);
  const auto now = Clock::now();
  // A block seen as soon as it came places its end on the host's clocks; a count that jumped
  // (the reader looked away) says only that the blocks came some time before.
  if (look.next_block) {
    const int ref = clock_.reference();
    const auto end = cursor(ref).stream_base +
                     static_cast<uint64_t>(std::llround(samples_in_blocks(ref, look.blocks)));
    const double utc =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    clock_.note(end, std::chrono::duration<double>(now.time_since_epoch()).count(), utc);
  }
  credit_clock_shortfall(check_.look(look.blocks, now, look.changed, block_seconds()));
}

// Sample numbers start from 0 in the new stream, and the boundary is back at 0.
void ContinuousReader::begin_new_stream(const StreamLook &look) {
  const auto now = Clock::now();
  // The old stream's last whole block had come in by the time its count was last seen to change;
  // the new one began about as many blocks ago as it has now. In between the amplifier's
  // samples were lost, and the time they took is kept, so every later sample keeps its time.
  const double dark =
      std::max(0.0, seconds(now - check_.last_change()) - look.blocks * block_seconds());
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    ChannelCursor &k = cursor(c);
    const auto had = static_cast<uint64_t>(samples_in_blocks(c, look.before));
    const uint64_t old_end = k.stream_base + had;
    const uint64_t unread = old_end > k.index ? old_end - k.index : 0;
    const auto in_dark = static_cast<uint64_t>(std::llround(dark * rates_[size_t(c)] * 1000.0));
    k.pending.push_back(k.skip(c, GapKind::kRealign, unread + in_dark));
    k.begin_stream();
  }
  steps_ = 0;
  ++streams_;
  check_.restart(now);
  begin_clock_segment(look.blocks * block_seconds());
}

// Blocks that the clock says were sent never came, and no layer said so: each channel's
// shortfall is a gap where the reader had got to, and the indexes move on against the blocks.
void ContinuousReader::credit_clock_shortfall(double blocks) {
  if (blocks <= 0) return;
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    const auto count = static_cast<uint64_t>(std::llround(samples_in_blocks(c, blocks)));
    if (count == 0) continue;
    ChannelCursor &k = cursor(c);
    k.pending.push_back(k.skip(c, GapKind::kClock, count));
    k.stream_base += count;
  }
  begin_clock_segment();
}

// Once every channel's next sample number has passed its modulus, whole steps of the boundary
// can be taken: the samples keep their identity and the numbers stay far from 2^32.
void ContinuousReader::step_boundary() {
  uint32_t whole = std::numeric_limits<uint32_t>::max();
  for (int c = 0; c < kChannels; ++c) {
    if (!channel_on(c)) continue;
    if (cursor(c).modulus == 0) return;
    whole = std::min(whole, cursor(c).next / cursor(c).modulus);
  }
  if (whole == 0 || whole == std::numeric_limits<uint32_t>::max()) return;
  steps_ += static_cast<int32_t>(whole);
  Set_Sample_Boundary(steps_);
  for (int c = 0; c < kChannels; ++c)
    if (channel_on(c)) cursor(c).next -= whole * cursor(c).modulus;
}

// The channel's next sample has left the ring. The oldest sample still there is found by
// probing: samples that are gone stay gone, so the gone ones form a prefix of the numbers, and
// its end can be searched for even while the ring moves on.
ReadResult ContinuousReader::recover(int channel) {
  ChannelCursor &k = cursor(channel);
  const uint32_t from = k.next;
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
  ReadResult r;
  r.has_gap = true;
  r.gap = k.skip(channel, GapKind::kLost, there - from);
  k.next = there;
  step_boundary();
  return r;
}

ReadResult ContinuousReader::read(int channel, int32_t *dest, int32_t capacity) {
  ReadResult r;
  // After a stop the ring's last blocks can still be read out, until the next start.
  if (streams_ == 0 || !channel_on(channel) || dest == nullptr || capacity <= 0) return r;
  ChannelCursor &k = cursor(channel);
  if (k.pending.empty()) {
    const int streams_before = streams_;
    const int32_t got = Get_Data_Samples(dest, channel, k.next, capacity);
    // One look after the run: a stream that began before or during it makes its values belong
    // to either stream, and a shortfall found now comes before them. Either way the gap goes
    // out first and the samples are read again after it.
    observe_stream();
    if (streams_ == streams_before && k.pending.empty()) {
      if (got > 0) {
        r.first = k.index;
        r.count = got;
        k.took(static_cast<uint32_t>(got));
        step_boundary();
        return r;
      }
      if (Get_DataPoint(channel, k.next) == kGone) return recover(channel);
      return r;
    }
  }
  r.has_gap = true;
  r.gap = k.pending.front();
  k.pending.pop_front();
  return r;
}

double ContinuousReader::behind_seconds(int channel) const {
  if (!started_ || !channel_on(channel)) return 0.0;
  const int32_t done = Get_Current_DataPoint(channel);
  if (done <= 0 || static_cast<uint32_t>(done) <= cursor(channel).next) return 0.0;
  return (static_cast<uint32_t>(done) - cursor(channel).next) / (rates_[size_t(channel)] * 1000.0);
}

}  // namespace qx470reader
