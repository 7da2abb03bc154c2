// What one look at the library's block count says of the stream: a count that went back means
// the library began a new stream under the reader (it realigned the stream after the device lost
// words below it, or another caller restarted it); a count one more than the last is a block seen
// as soon as it came, whose end can be placed on the host's clock.
#pragma once

#include <cstdint>

namespace qx470reader {

struct StreamLook {
  uint32_t blocks = 0;      // the count now
  uint32_t before = 0;      // the count as last seen (the old stream's, when a new one began)
  bool new_stream = false;  // the count went back
  bool changed = false;     // against the last look, or against 0 in a new stream
  bool next_block = false;  // exactly one block more
};

class StreamWatch {
 public:
  // A stream of our own begins (a start, a restart): its count starts from 0.
  void reset() { last_ = 0; }
  StreamLook look(uint32_t blocks) {
    StreamLook l;
    l.blocks = blocks;
    l.before = last_;
    l.new_stream = blocks < last_;
    const uint32_t base = l.new_stream ? 0 : last_;
    l.changed = blocks != base;
    l.next_block = l.changed && blocks == base + 1;
    last_ = blocks;
    return l;
  }
  uint32_t last() const { return last_; }

 private:
  uint32_t last_ = 0;
};

}  // namespace qx470reader
