#include "frames.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qx470rec {

void ChannelQueue::push(const int32_t *codes, size_t n) {
  if (n == 0) return;
  Segment s;
  s.data.resize(n);
  for (size_t i = 0; i < n; ++i) s.data[i] = static_cast<int16_t>(codes[i] - 32768);
  segments_.push_back(std::move(s));
  size_ += n;
}

void ChannelQueue::push_fill(uint64_t n) {
  if (n == 0) return;
  if (!segments_.empty() && segments_.back().data.empty())
    segments_.back().fill += n;
  else
    segments_.push_back(Segment{n, {}, 0});
  size_ += n;
}

void ChannelQueue::pop(int16_t *out, size_t n, int16_t fill, uint8_t *lost) {
  while (n > 0 && !segments_.empty()) {
    Segment &s = segments_.front();
    size_t take;
    if (s.data.empty()) {
      take = static_cast<size_t>(std::min<uint64_t>(s.fill, n));
      std::fill(out, out + take, fill);
      std::fill(lost, lost + take, uint8_t{1});
      s.fill -= take;
      if (s.fill == 0) segments_.pop_front();
    } else {
      take = std::min(s.data.size() - s.pos, n);
      std::memcpy(out, s.data.data() + s.pos, take * sizeof(int16_t));
      std::fill(lost, lost + take, uint8_t{0});
      s.pos += take;
      if (s.pos == s.data.size()) segments_.pop_front();
    }
    out += take;
    lost += take;
    n -= take;
    size_ -= take;
  }
}

FrameAssembler::FrameAssembler(std::vector<UnitLayout> groups) : groups_(std::move(groups)) {
  for (size_t g = 0; g < groups_.size(); ++g)
    for (int c : groups_[g].channels) group_of_[static_cast<size_t>(c)] = g;
}

void FrameAssembler::push(int channel, const int32_t *codes, size_t n) {
  queues_[static_cast<size_t>(channel)].push(codes, n);
}

void FrameAssembler::push_fill(int channel, uint64_t n) {
  queues_[static_cast<size_t>(channel)].push_fill(n);
}

uint64_t FrameAssembler::ready(size_t g) const {
  const UnitLayout &u = groups_[g];
  uint64_t units = std::numeric_limits<uint64_t>::max();
  for (size_t k = 0; k < u.channels.size(); ++k)
    units = std::min(units, waiting(u.channels[k]) / u.per_unit[k]);
  return u.channels.empty() ? 0 : units;
}

void FrameAssembler::take(size_t g, size_t units, std::vector<int16_t> &values,
                          std::vector<uint8_t> &lost) {
  const UnitLayout &u = groups_[g];
  size_t per_unit = 0;
  for (size_t n : u.per_unit) per_unit += n;
  values.resize(units * per_unit);
  lost.resize(units * per_unit);
  size_t offset = 0;  // of this channel's samples within a unit
  for (size_t k = 0; k < u.channels.size(); ++k) {
    const size_t n = u.per_unit[k];
    column_.resize(units * n);
    lost_column_.resize(units * n);
    queues_[static_cast<size_t>(u.channels[k])].pop(column_.data(), units * n, 0,
                                                    lost_column_.data());
    for (size_t i = 0; i < units; ++i) {
      std::memcpy(&values[i * per_unit + offset], &column_[i * n], n * sizeof(int16_t));
      std::memcpy(&lost[i * per_unit + offset], &lost_column_[i * n], n);
    }
    offset += n;
  }
}

bool FrameAssembler::pad_to_whole_units() {
  bool partial = false;
  for (const UnitLayout &u : groups_) {
    uint64_t units = 0;
    for (size_t k = 0; k < u.channels.size(); ++k) {
      const uint64_t have = waiting(u.channels[k]);
      units = std::max(units, (have + u.per_unit[k] - 1) / u.per_unit[k]);
      partial = partial || have > 0;
    }
    for (size_t k = 0; k < u.channels.size(); ++k)
      push_fill(u.channels[k], units * u.per_unit[k] - waiting(u.channels[k]));
  }
  return partial;
}

}  // namespace qx470rec
