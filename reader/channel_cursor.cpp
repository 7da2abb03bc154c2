#include "channel_cursor.h"

namespace qx470reader {

const char *gap_kind_word(GapKind kind) {
  switch (kind) {
    case GapKind::kLost:
      return "lost";
    case GapKind::kRestart:
      return "restart";
    case GapKind::kRealign:
      return "realign";
    case GapKind::kClock:
      return "clock";
  }
  return nullptr;
}

void ChannelCursor::reset(uint32_t sample_modulus) {
  *this = ChannelCursor{};
  modulus = sample_modulus;
}

Gap ChannelCursor::skip(int channel, GapKind kind, uint64_t count) {
  const Gap g{channel, kind, index, count};
  index += count;
  lost += count;
  return g;
}

void ChannelCursor::begin_stream() {
  next = 0;
  stream_base = index;
}

void ChannelCursor::took(uint32_t n) {
  next += n;
  index += n;
}

}  // namespace qx470reader
