// The channels' samples as whole units that a format writes: a row (one sample of each channel
// of a rate) for CSV, raw and sound files, a data record (a second of each channel) for EDF+.
// Samples wait per channel, as signed counts (code - 32768), with lost stretches kept as a
// length rather than as memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace qx470rec {

class ChannelQueue {
 public:
  void push(const int32_t *codes, size_t n);
  void push_fill(uint64_t n);
  uint64_t size() const { return size_; }
  // Takes n values; lost samples become `fill`, and are flagged in `lost`.
  void pop(int16_t *out, size_t n, int16_t fill, uint8_t *lost);

 private:
  struct Segment {
    uint64_t fill = 0;
    std::vector<int16_t> data;
    size_t pos = 0;
  };
  std::deque<Segment> segments_;
  uint64_t size_ = 0;
};

// One group's unit: its channels, and how many samples of each one unit holds.
struct UnitLayout {
  std::vector<int> channels;
  std::vector<size_t> per_unit;
};

class FrameAssembler {
 public:
  explicit FrameAssembler(std::vector<UnitLayout> groups);
  size_t groups() const { return groups_.size(); }
  const UnitLayout &layout(size_t g) const { return groups_[g]; }
  size_t group_of(int channel) const { return group_of_[static_cast<size_t>(channel)]; }

  void push(int channel, const int32_t *codes, size_t n);
  // `n` lost samples of the channel, to keep every later sample at its time.
  void push_fill(int channel, uint64_t n);
  // Samples of the channel waiting.
  uint64_t waiting(int channel) const { return queues_[static_cast<size_t>(channel)].size(); }
  // Whole units group g can give now.
  uint64_t ready(size_t g) const;
  // Takes `units` whole units of group g (at most ready(g)): unit by unit, in each unit every
  // channel's samples in turn, with a lost flag for each value.
  void take(size_t g, size_t units, std::vector<int16_t> &values, std::vector<uint8_t> &lost);
  // Pads each group's channels with lost samples to the next whole unit, for the end (once every
  // whole unit has been taken); whether anything was still waiting.
  bool pad_to_whole_units();

 private:
  std::vector<UnitLayout> groups_;
  std::array<size_t, 4> group_of_{};
  std::array<ChannelQueue, 4> queues_;
  std::vector<int16_t> column_;
  std::vector<uint8_t> lost_column_;
};

}  // namespace qx470rec
