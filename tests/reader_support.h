// Set-up for the suites that drive host-side code over the simulated amplifier as any host
// program would: through the library's exports and the simulator's knobs only.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "continuous_reader.h"
#include "qxsim.h"
#include "wait_for.h"

namespace qxhosttest {

using qxtest::wait_for;
// The host suites wait for whole streams of blocks: a minute at most.
constexpr double kStreamWait = 60.0;

// The stream's layout worked out here from the rates alone: slots per channel in one frame and
// the frame's length, so that tests know the priming and the samples in a number of blocks
// without asking the library.
struct Layout {
  std::array<int, 4> rates{};
  std::array<uint64_t, 4> slots{};
  uint64_t frame = 0;

  explicit Layout(std::array<int, 4> r) : rates(r) {
    uint64_t ticks = 1;
    for (int rate : rates)
      if (rate > 0) ticks = std::lcm(ticks, static_cast<uint64_t>(100 / rate));
    for (size_t c = 0; c < 4; ++c) {
      slots[c] = rates[c] > 0 ? ticks / static_cast<uint64_t>(100 / rates[c]) : 0;
      frame += slots[c];
    }
  }
  // Priming discards whole frames until at least 10 words are gone.
  uint64_t primed_words() const { return (10 + frame - 1) / frame * frame; }
  uint64_t primed_samples(int c) const { return primed_words() / frame * slots[size_t(c)]; }
  // Samples of channel c in the first `blocks` blocks, when a block is whole frames or the
  // channel owns one slot per frame position counted (exact for the layouts the tests use).
  uint64_t samples_in_blocks(int c, uint64_t blocks) const {
    return blocks * 16384 / frame * slots[size_t(c)];
  }
};

// Power-on simulator, unpaced, test pattern, short time-outs; nothing streaming.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Stop_Acquisition();
    qxsim_reset();
    qxsim_set_speed(0);
    qxsim_set_signal(1);
    qxsim_set_timeout_scale(0.02);
    for (int c = 0; c < 4; ++c) Set_Sample_Rate(c, 0);
  }
  void TearDown() override {
    Stop_Acquisition();
    qxsim_reset();
  }
};

// Reads every channel until nothing more is there, checking each value against the pattern of
// the stream it belongs to. Returns the gaps met, in order.
struct Drain {
  std::vector<qx470reader::Gap> gaps;
  uint64_t wrong = 0;
  uint64_t samples = 0;
};

inline Drain drain(qx470reader::ContinuousReader &reader, const Layout &layout,
                   std::array<uint64_t, 4> &stream_start) {
  Drain d;
  std::vector<int32_t> buf(10000);
  for (int c = 0; c < 4; ++c) {
    if (!reader.channel_on(c)) continue;
    for (;;) {
      const qx470reader::ReadResult r =
          reader.read(c, buf.data(), static_cast<int32_t>(buf.size()));
      if (r.has_gap) {
        d.gaps.push_back(r.gap);
        if (r.gap.kind == qx470reader::GapKind::kRestart ||
            r.gap.kind == qx470reader::GapKind::kRealign)
          stream_start[size_t(c)] = r.gap.index + r.gap.count;
        continue;
      }
      if (r.count == 0) break;
      for (int32_t i = 0; i < r.count; ++i) {
        const uint64_t n =
            r.first + uint64_t(i) - stream_start[size_t(c)] + layout.primed_samples(c);
        if (uint32_t(buf[size_t(i)]) != qxsim_pattern_value(c, unsigned(n))) ++d.wrong;
      }
      d.samples += uint64_t(r.count);
    }
  }
  return d;
}

inline void stream_blocks(const Layout &layout, uint64_t blocks) {
  qxsim_set_stream_limit(layout.primed_words() + blocks * 16384);
  ASSERT_TRUE(wait_for([&] { return Get_Blocks_Transferred() >= blocks; }, kStreamWait));
  ASSERT_EQ(Get_Blocks_Transferred(), blocks);
}

// A reader of the simulated amplifier with its layout and each channel's stream start, for the
// tests that read through ContinuousReader.
class ReaderTest : public HostTest {
 protected:
  // Starts the reader. Paced: the stream stops after priming and moves only as stream_blocks()
  // lets it. In real time: the simulated device runs at its own speed.
  void start(const std::array<int, 4> &rates, bool real_time = false) {
    layout_.emplace(rates);
    if (real_time)
      qxsim_set_speed(1.0);
    else
      qxsim_set_stream_limit(layout_->primed_words());
    reader_.emplace(rates);
    ASSERT_TRUE(reader_->start());
  }
  qx470reader::ContinuousReader &reader() { return *reader_; }
  const Layout &layout() const { return *layout_; }
  Drain drain() { return qxhosttest::drain(*reader_, *layout_, starts_); }
  void stream_blocks(uint64_t blocks) { qxhosttest::stream_blocks(*layout_, blocks); }
  // Reads every channel as it comes, in real time, for `seconds`.
  Drain read_for(double seconds) {
    Drain all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      const Drain d = drain();
      all.gaps.insert(all.gaps.end(), d.gaps.begin(), d.gaps.end());
      all.wrong += d.wrong;
      all.samples += d.samples;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return all;
  }
  void TearDown() override {
    reader_.reset();
    HostTest::TearDown();
  }

 private:
  std::optional<Layout> layout_;
  std::optional<qx470reader::ContinuousReader> reader_;
  std::array<uint64_t, 4> starts_{};
};

}  // namespace qxhosttest
