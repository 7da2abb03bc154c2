// Set-up for the suites that drive host-side code over the simulated amplifier as any host
// program would: through the library's exports and the simulator's knobs only.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <thread>

#include "QX470USB.h"
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

}  // namespace qxhosttest
