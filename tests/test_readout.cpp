// Readout: statuses against preset counters and ring bytes, runs and trigger searches, and
// every sample read back over the simulator's test pattern, also while the ring is being filled.
#include <atomic>
#include <climits>
#include <cstring>
#include <random>
#include <thread>

#include "test_support.h"

namespace {

using qxtest::LibraryTest;
using qxtest::wait_for;

// All four channels at 100 kS/s: channel 0 owns word 3 of every 4, 4096 samples per block.
class Readout : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    set_rates(100, 100, 100, 100);
    std::memset(qx::block_ring, 0, sizeof qx::block_ring);
  }
  void TearDown() override {
    qx::running.store(0);
    qx::blocks_transferred.store(0);
    LibraryTest::TearDown();
  }
  static void put(uint32_t sample, uint16_t value) {  // channel 0's sample, boundary 0
    uint8_t *p = &qx::block_ring[(sample / 4096) % 64][2 * ((sample % 4096) * 4 + 3)];
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
  }
  static int32_t trigger_over(std::vector<uint16_t> values, int32_t type, int32_t level) {
    for (size_t i = 0; i < values.size(); ++i) put(static_cast<uint32_t>(i), values[i]);
    qx::blocks_transferred.store(1);
    std::vector<int32_t> out(values.size(), -99);
    const int32_t r =
        Get_Trigger(out.data(), 0, 0, static_cast<int32_t>(values.size()), type, level);
    for (size_t i = 0; i < values.size(); ++i)
      EXPECT_EQ(out[i], values[i]) << "the whole run is stored";
    return r;
  }
};

TEST_F(Readout, StatusesInTheirOrder) {
  for (int32_t c : {0, 3, 9, -1}) EXPECT_EQ(Get_DataPoint(c, 0), -1) << "channel " << c;
  qx::blocks_transferred.store(1);
  EXPECT_EQ(Get_DataPoint(4, 0), -2);
  EXPECT_EQ(Get_DataPoint(INT_MIN, 0), -2);
  EXPECT_EQ(Get_DataPoint(0, 4095), 0);
  EXPECT_EQ(Get_DataPoint(0, 4096), -3);
  Set_Sample_Rate(2, 0);
  EXPECT_EQ(Get_DataPoint(2, 0), -2);
  Set_Sample_Rate(2, 100);

  qx::blocks_transferred.store(64);
  EXPECT_EQ(Get_DataPoint(0, 0), -4) << "the 64th most recent block is the one being filled";
  EXPECT_EQ(Get_DataPoint(0, 4096), 0);
  qx::blocks_transferred.store(63);
  EXPECT_EQ(Get_DataPoint(0, 0), 0);
}

TEST_F(Readout, LittleEndianBytesAndFullRange) {
  qx::blocks_transferred.store(1);
  put(7, 0x1234);
  EXPECT_EQ(Get_DataPoint(0, 7), 4660);
  put(8, 0xFFFF);
  EXPECT_EQ(Get_DataPoint(0, 8), 65535);
}

TEST_F(Readout, ABoundaryAheadOfTheCountRefusesEverything) {
  Set_Sample_Boundary(1);
  EXPECT_EQ(qx::device_context.schedule.boundary_block, 64u);
  qx::blocks_transferred.store(10);
  for (uint32_t n : {0u, 1u, 4096u, 100000u}) EXPECT_EQ(Get_DataPoint(0, n), -4);
  EXPECT_EQ(Get_Current_DataPoint(0), 0) << "not running";
  qx::running.store(1);
  EXPECT_EQ(Get_Current_DataPoint(0), -221184);
}

TEST_F(Readout, CurrentDataPointEstimates) {
  qx::blocks_transferred.store(5);
  EXPECT_EQ(Get_Current_DataPoint(0), 0);
  qx::running.store(1);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(Get_Current_DataPoint(c), 20480);
  for (int32_t c : {4, -1, INT_MIN, INT_MAX}) EXPECT_EQ(Get_Current_DataPoint(c), 0);
  set_rates(100, 50, 20, 10);
  EXPECT_EQ(Get_Current_DataPoint(0), 45500);
}

TEST_F(Readout, RunsStopAtTheFirstUnavailableSample) {
  qx::blocks_transferred.store(1);
  std::vector<int32_t> out(16, -99);
  EXPECT_EQ(Get_Data_Samples(out.data(), 0, 0, 0), 0);
  EXPECT_EQ(Get_Data_Samples(out.data(), 0, 0, -5), 0);
  EXPECT_EQ(Get_Data_Samples(out.data(), 0, 0, INT_MIN), 0);
  EXPECT_EQ(out, std::vector<int32_t>(16, -99)) << "nothing written";
  EXPECT_EQ(Get_Data_Samples(nullptr, 0, 0, 10), 0);
  EXPECT_EQ(Get_Trigger(nullptr, 0, 0, 10, 0, 0), 0);

  for (uint32_t i = 0; i < 10; ++i) put(4089 + i, static_cast<uint16_t>(100 + i));
  EXPECT_EQ(Get_Data_Samples(out.data(), 0, 4089, 10), 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(out[static_cast<size_t>(i)], 100 + i);
  EXPECT_EQ(out[7], -99) << "nothing past the stop";
  EXPECT_EQ(Get_Data_Samples(out.data(), 9, 0, 10), 0);
}

TEST_F(Readout, TriggerTypes) {
  EXPECT_EQ(trigger_over({900, 1100}, 0, 1000), 1100);
  EXPECT_EQ(trigger_over({1100, 1200}, 0, 1000), 0) << "the first sample is never tested";
  EXPECT_EQ(trigger_over({2000, 3000}, 2, 1000), 3000);
  EXPECT_EQ(trigger_over({200, 0, 50}, 1, 100), 0) << "a zero trigger value does not end it";
  EXPECT_EQ(trigger_over({200, 0, 150, 90}, 1, 100), 90) << "the search goes on after a zero";
  EXPECT_EQ(trigger_over({5, 2000, 10}, 3, 1000), 10);
  EXPECT_EQ(trigger_over({900, 1100, 900, 1200}, 0, 1000), 1100) << "the first trigger counts";
  EXPECT_EQ(trigger_over({100, 2000, 3000}, 7, 1000), 0) << "other types only read the run";
  EXPECT_EQ(trigger_over({100, 2000, 3000}, -1, 1000), 0);
  EXPECT_EQ(trigger_over({900, 1100}, 0, 66536), 1100) << "only the low 16 bits of the level";
}

TEST_F(Readout, AnyArgumentIsSafe) {
  qx::blocks_transferred.store(70);
  std::mt19937 rng(99);
  std::vector<int32_t> out(4096);
  const int32_t channels[] = {INT_MIN, -1, 0, 1, 2, 3, 4, INT_MAX};
  for (int i = 0; i < 20000; ++i) {
    const int32_t c = channels[rng() % 8];
    const auto n = static_cast<uint32_t>(rng());
    const int32_t v = Get_DataPoint(c, n);
    ASSERT_TRUE(v >= -4 && v <= 65535);
    const int32_t count = static_cast<int32_t>(rng() % 4097) - 100;
    ASSERT_LE(Get_Data_Samples(out.data(), c, n, count), std::max(count, 0));
    Get_Trigger(out.data(), c, n, count, static_cast<int32_t>(rng()), static_cast<int32_t>(rng()));
    Get_Current_DataPoint(c);
  }
  // A run across the 2^32 wrap of sample numbers.
  qx::blocks_transferred.store(1);
  EXPECT_EQ(Get_Data_Samples(out.data(), 0, 0xFFFFFFFEu, 4), 0);
}

// Reads every sample of channel c from `first` while they are available; checks each against
// the test pattern (offset by what priming discarded and by the boundary steps taken).
uint32_t check_run(int c, uint32_t first, uint32_t offset) {
  std::vector<int32_t> out(50000);
  uint32_t n = first;
  for (;;) {
    const int32_t got = Get_Data_Samples(out.data(), c, n, static_cast<int32_t>(out.size()));
    for (int32_t i = 0; i < got; ++i) {
      const uint32_t k = n + static_cast<uint32_t>(i);
      EXPECT_EQ(out[static_cast<size_t>(i)],
                static_cast<int32_t>(qxsim_pattern_value(c, k + offset)))
          << "channel " << c << " sample " << k;
      if (::testing::Test::HasFailure()) return n;
    }
    n += static_cast<uint32_t>(got);
    if (got < static_cast<int32_t>(out.size())) break;
  }
  EXPECT_EQ(Get_DataPoint(c, n), -3) << "channel " << c << " stops where the stream does";
  return n;
}

class EveryPattern : public LibraryTest,
                     public ::testing::WithParamInterface<qxtest::WorkedLayout> {};

TEST_P(EveryPattern, EverySampleAcrossMoreThanSixtyFourBlocksAndBoundarySteps) {
  const auto &l = GetParam();
  set_rates(l.rates[0], l.rates[1], l.rates[2], l.rates[3]);
  const int frame = static_cast<int>(l.owners.size());
  const uint32_t primed = qxtest::primed_words(frame);
  const uint32_t primed_frames = primed / static_cast<uint32_t>(frame);
  const uint32_t cycle = static_cast<uint32_t>(qx::device_context.schedule.cycle_blocks);
  const uint32_t step_blocks = 64 * cycle;

  auto stream_to = [&](uint64_t blocks) {
    qxsim_set_stream_limit(primed + blocks * 16384);
    // The largest layout streams 19,000 blocks, which takes about 30 s under ThreadSanitizer on
    // a 2-core machine: a deadline for the slowest build, not a time limit of the library.
    return wait_for([blocks] { return Get_Blocks_Transferred() == blocks; }, 180);
  };
  qxsim_set_stream_limit(primed + 40 * 16384ull);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(stream_to(40));
  std::array<uint32_t, 4> next{};
  for (int c = 0; c < 4; ++c)
    if (l.rates[c])
      next[c] = check_run(
          c, 0,
          primed_frames * static_cast<uint32_t>(qx::device_context.schedule.channel_slots[c]));
  ASSERT_TRUE(stream_to(70));
  for (int c = 0; c < 4; ++c)
    if (l.rates[c])
      next[c] = check_run(
          c, next[c],
          primed_frames * static_cast<uint32_t>(qx::device_context.schedule.channel_slots[c]));

  // Two boundary steps, taken the way the console takes them: sample numbers move down by one
  // modulus per step and keep their identity.
  const int32_t steps = cycle > 10 ? 1 : 2;  // the 301-block cycle makes long steps
  for (int32_t step = 1; step <= steps; ++step) {
    ASSERT_TRUE(stream_to(static_cast<uint64_t>(step) * step_blocks + 40));
    Set_Sample_Boundary(step);
    for (int c = 0; c < 4; ++c) {
      if (!l.rates[c]) continue;
      const auto modulus = static_cast<uint32_t>(Get_Sample_Modulus(c));
      const uint32_t offset =
          primed_frames * static_cast<uint32_t>(qx::device_context.schedule.channel_slots[c]) +
          static_cast<uint32_t>(step) * modulus;
      check_run(c, 0, offset);
    }
  }
  Stop_Acquisition();
}

INSTANTIATE_TEST_SUITE_P(Schedules, EveryPattern,
                         ::testing::Values(qxtest::worked_layouts()[0], qxtest::worked_layouts()[1],
                                           qxtest::worked_layouts()[2],
                                           qxtest::worked_layouts()[3]),
                         [](const auto &info) { return std::string(info.param.name); });

// A host thread reading while the ring is filled as fast as the simulator can: every value it
// is given is right; a status instead is fine.
TEST_F(LibraryTest, ConcurrentReaderNeverSeesAWrongValue) {
  set_rates(100, 100, 100, 100);
  const uint32_t primed_per_channel = qxtest::primed_words(4) / 4;
  ASSERT_EQ(Start_Acquisition(0), 1);
  std::atomic<bool> stop{false};
  std::atomic<long> values{0}, wrong{0};
  auto reader = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> out(2048);
    while (!stop.load()) {
      const uint32_t done = Get_Blocks_Transferred();
      if (done < 2) continue;
      const int c = static_cast<int>(rng() % 4);
      // Anywhere in the readable window, the oldest blocks included.
      const uint32_t back = 1 + rng() % std::min<uint32_t>(done, 63);
      const uint32_t n = (done - back) * 4096 + rng() % 4096;
      const int32_t v = Get_DataPoint(c, n);
      if (v >= 0) {
        ++values;
        if (v != static_cast<int32_t>(qxsim_pattern_value(c, n + primed_per_channel))) ++wrong;
      }
      const int32_t got = Get_Data_Samples(out.data(), c, n, static_cast<int32_t>(out.size()));
      for (int32_t i = 0; i < got; ++i) {
        ++values;
        if (out[static_cast<size_t>(i)] !=
            static_cast<int32_t>(
                qxsim_pattern_value(c, n + static_cast<uint32_t>(i) + primed_per_channel)))
          ++wrong;
      }
    }
  };
  std::thread a(reader, 1), b(reader, 2);
  // Enough values, or a long run with some: on a loaded machine the readers may get few reads
  // in while the ring races ahead.
  ASSERT_TRUE(wait_for(
      [&] {
        return values.load() > 2000000 ||
               (Get_Blocks_Transferred() > 20000 && values.load() > 1000);
      },
      60));
  stop = true;
  a.join();
  b.join();
  Stop_Acquisition();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(values.load(), 0);
}

}  // namespace
