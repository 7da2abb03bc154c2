// The sampling schedule: the worked schedules, rounding and folding of rates, the all-off rule
// and the sample position mapping against the plain 64-bit formula.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <random>
#include <vector>

#include "QX470USB.h"
#include "schedule.h"

namespace {

struct Worked {
  const char *name;
  int rates[4];
  std::vector<int> owners;  // channel of every slot of the frame
  int32_t cycle_words, cycle_blocks;
  int32_t modulus[4], scale[4];
};

std::vector<int> repeat(std::vector<int> unit, int times, std::vector<int> tail) {
  std::vector<int> out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

const Worked kWorked[] = {
    {"all_100",
     {100, 100, 100, 100},
     {1, 2, 3, 0},
     16384,
     1,
     {4096, 4096, 4096, 4096},
     {4096, 4096, 4096, 4096}},
    {"all_1",
     {1, 1, 1, 1},
     {1, 2, 3, 0},
     16384,
     1,
     {4096, 4096, 4096, 4096},
     {4096, 4096, 4096, 4096}},
    {"all_50",
     {50, 50, 50, 50},
     {1, 2, 3, 0},
     16384,
     1,
     {4096, 4096, 4096, 4096},
     {4096, 4096, 4096, 4096}},
    {"mixed_100_50_20_10",
     {100, 50, 20, 10},
     {0, 1, 0, 0, 1, 0, 2, 0, 1, 0, 0, 1, 0, 0, 1, 2, 3, 0},
     147456,
     9,
     {81920, 40960, 16384, 8192},
     {9100, 4550, 1820, 910}},
    {"channel0_alone", {100, 0, 0, 0}, {0}, 16384, 1, {16384, 0, 0, 0}, {16384, 0, 0, 0}},
    {"channel3_alone_at_5", {0, 0, 0, 5}, {3}, 16384, 1, {0, 0, 0, 16384}, {0, 0, 0, 16384}},
    {"largest_301_slots",
     {100, 100, 100, 1},
     repeat({1, 2, 0}, 99, {1, 2, 3, 0}),
     4931584,
     301,
     {1638400, 1638400, 1638400, 16384},
     {5400, 5400, 5400, 54}},
    {"three_100_one_50",
     {100, 100, 100, 50},
     {1, 2, 0, 1, 2, 3, 0},
     114688,
     7,
     {32768, 32768, 32768, 16384},
     {4680, 4680, 4680, 2340}},
};

class WorkedSchedule : public ::testing::TestWithParam<Worked> {};

TEST_P(WorkedSchedule, EveryFieldMatches) {
  const Worked &w = GetParam();
  qx::Schedule s{};
  qx::ChannelScale scale{};
  for (int c = 0; c < 4; ++c) qx::set_rate(s, scale, c, w.rates[c]);

  ASSERT_EQ(s.frame_length, static_cast<int32_t>(w.owners.size()));
  for (int c = 0; c < 4; ++c) {
    std::vector<int32_t> expected;
    for (size_t i = 0; i < w.owners.size(); ++i)
      if (w.owners[i] == c) expected.push_back(static_cast<int32_t>(i));
    ASSERT_EQ(s.channel_slots[c], static_cast<int32_t>(expected.size())) << "channel " << c;
    std::vector<int32_t> actual(s.slot_table[c], s.slot_table[c] + s.channel_slots[c]);
    EXPECT_EQ(actual, expected) << "slot_table of channel " << c;
    EXPECT_EQ(s.sample_modulus[c], w.modulus[c]) << "channel " << c;
    EXPECT_EQ(qx::sample_modulus_64(s, c), 64 * w.modulus[c]) << "channel " << c;
    EXPECT_EQ(scale[c], w.scale[c]) << "channel " << c;
  }
  EXPECT_EQ(s.cycle_words, w.cycle_words);
  EXPECT_EQ(s.cycle_blocks, w.cycle_blocks);
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkedSchedule, ::testing::ValuesIn(kWorked),
                         [](const auto &info) { return std::string(info.param.name); });

qx::Schedule schedule_of(int r0, int r1, int r2, int r3) {
  qx::Schedule s{};
  qx::ChannelScale scale{};
  const int rates[4] = {r0, r1, r2, r3};
  for (int c = 0; c < 4; ++c) qx::set_rate(s, scale, c, rates[c]);
  return s;
}

struct Where {
  int channel;
  uint32_t sample, block, word;
};

TEST(SamplePosition, WorkedPositions) {
  const qx::Schedule mixed = schedule_of(100, 50, 20, 10);
  for (const Where &w : {Where{0, 10, 0, 18}, Where{3, 0, 0, 16}, Where{3, 8191, 8, 16382},
                         Where{3, 8192, 9, 16}, Where{0, 81919, 8, 16383}, Where{0, 81920, 9, 0}}) {
    const auto pos = qx::sample_position(mixed, w.channel, w.sample);
    EXPECT_EQ(pos.block, w.block) << "channel " << w.channel << " sample " << w.sample;
    EXPECT_EQ(pos.word, w.word) << "channel " << w.channel << " sample " << w.sample;
  }
  const qx::Schedule all = schedule_of(100, 100, 100, 100);
  for (const Where &w : {Where{1, 0, 0, 0}, Where{0, 0, 0, 3}, Where{0, 4096, 1, 3},
                         Where{0, 4294967295u, 1048575, 16383}}) {
    const auto pos = qx::sample_position(all, w.channel, w.sample);
    EXPECT_EQ(pos.block, w.block) << "sample " << w.sample;
    EXPECT_EQ(pos.word, w.word) << "sample " << w.sample;
  }
}

TEST(SampleBoundary, StepsOfSixtyFourCycles) {
  qx::Schedule mixed = schedule_of(100, 50, 20, 10);
  qx::set_boundary(mixed, 1);
  EXPECT_EQ(mixed.boundary_block, 576u);
  qx::set_boundary(mixed, 0);
  EXPECT_EQ(mixed.boundary_block, 0u);
  qx::Schedule all = schedule_of(100, 100, 100, 100);
  qx::set_boundary(all, 1);
  EXPECT_EQ(all.boundary_block, 64u);
  // Products past 2^32 wrap rather than overflow.
  qx::Schedule big = schedule_of(100, 100, 100, 1);
  qx::set_boundary(big, INT_MAX);
  EXPECT_EQ(big.boundary_block, static_cast<uint32_t>(uint64_t{INT_MAX} * 301 * 64));
}

TEST(SampleRate, RoundingAndTranslation) {
  // Rates 7, 300, -5, 19 store divisors 20, 1, 0, 10 and report 5, 100, 0, 10.
  const qx::Schedule s = schedule_of(7, 300, -5, 19);
  EXPECT_EQ(s.rate_divisor[0], 20);
  EXPECT_EQ(s.rate_divisor[1], 1);
  EXPECT_EQ(s.rate_divisor[2], 0);
  EXPECT_EQ(s.rate_divisor[3], 10);
  const int32_t reported[4] = {5, 100, 0, 10};
  for (int c = 0; c < 4; ++c) EXPECT_EQ(qx::sample_rate(s, c), reported[c]);

  struct Rounding {
    int32_t rate, divisor;
  };
  for (const Rounding r : {Rounding{3, 50},
                           {4, 50},
                           {99, 2},
                           {51, 2},
                           {101, 1},
                           {INT_MAX, 1},
                           {0, 0},
                           {INT_MIN, 0},
                           {1, 100},
                           {2, 50},
                           {6, 20},
                           {9, 20},
                           {11, 10},
                           {21, 5},
                           {49, 5}})
    EXPECT_EQ(qx::divisor_for_rate(r.rate), r.divisor) << "rate " << r.rate;
}

TEST(SampleRate, ChannelOutsideRangeSetsChannelZero) {
  for (int32_t channel : {7, -1, INT_MIN, INT_MAX, 4}) {
    qx::Schedule s{};
    qx::ChannelScale scale{};
    qx::set_rate(s, scale, channel, 10);
    EXPECT_EQ(s.rate_divisor[0], 10) << "channel " << channel;
    for (int c = 1; c < 4; ++c) EXPECT_EQ(s.rate_divisor[c], 0);
    EXPECT_EQ(qx::sample_rate(s, channel), 0) << "reads are not folded";
    EXPECT_EQ(qx::sample_modulus_64(s, channel), 0);
    EXPECT_EQ(qx::divisor_of(s, channel), 0);
  }
}

TEST(SampleRate, TurningTheLastChannelOffKeepsTheCycleFigures) {
  qx::Schedule s{};
  qx::ChannelScale scale{};
  qx::set_rate(s, scale, 0, 100);
  qx::set_rate(s, scale, 0, 0);
  EXPECT_EQ(s.frame_length, 0);
  EXPECT_EQ(s.cycle_words, 16384);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(s.channel_slots[c], 0);
  EXPECT_EQ(s.cycle_blocks, 1);
  EXPECT_EQ(qx::sample_modulus_64(s, 0), 1048576);
  EXPECT_EQ(scale[0], 16384);
}

// The mapping reduced by whole cycles equals the plain formula in 64-bit arithmetic, and the
// incremental walk used by run reads equals the mapping, across the 2^32 wrap too.
TEST(SamplePosition, MatchesPlainFormulaForRandomSchedules) {
  std::mt19937_64 rng(20261208);
  const int rates[] = {0, 1, 2, 5, 10, 20, 50, 100};
  for (int round = 0; round < 300; ++round) {
    int r[4];
    do {
      for (int &x : r) x = rates[rng() % 8];
    } while (r[0] + r[1] + r[2] + r[3] == 0);
    const qx::Schedule s = schedule_of(r[0], r[1], r[2], r[3]);
    for (int c = 0; c < 4; ++c) {
      if (s.rate_divisor[c] == 0) continue;
      const auto slots = static_cast<uint64_t>(s.channel_slots[c]);
      auto plain = [&](uint32_t n) {
        const uint64_t word = n / slots * static_cast<uint64_t>(s.frame_length) +
                              static_cast<uint64_t>(s.slot_table[c][n % slots]);
        return std::pair<uint64_t, uint64_t>(word / 16384, word % 16384);
      };
      const qx::ScheduleDivisions d = qx::divisions_of(s);
      for (int k = 0; k < 200; ++k) {
        const auto n = static_cast<uint32_t>(rng());
        const auto pos = qx::sample_position(s, c, n);
        const auto [block, word] = plain(n);
        ASSERT_EQ(pos.block, block) << "n " << n;
        ASSERT_EQ(pos.word, word) << "n " << n;
        ASSERT_LT(pos.block, 1u << 27);
        const auto fast = qx::sample_position(s, d, c, n);
        ASSERT_EQ(fast.block, pos.block) << "n " << n;
        ASSERT_EQ(fast.word, pos.word) << "n " << n;
      }
      const uint32_t start = round % 2 ? static_cast<uint32_t>(rng()) : 0xFFFFFF00u;
      qx::PositionCursor cursor(s, c, start);
      for (uint32_t i = 0; i < 600; ++i, cursor.advance()) {
        const auto want = qx::sample_position(s, c, start + i);
        ASSERT_EQ(cursor.position().block, want.block) << "n " << start + i;
        ASSERT_EQ(cursor.position().word, want.word) << "n " << start + i;
      }
    }
  }
}

// The reciprocal mapping equals the one with division instructions for every rate set, at the
// sample numbers where a reciprocal goes wrong if it goes wrong at all: around every multiple of
// the divisors at both ends of the 32-bit range, and spread over the whole range between.
TEST(SamplePosition, ReciprocalsMatchDivisionForEveryRateSetOverTheWholeRange) {
  const int rates[] = {0, 1, 2, 5, 10, 20, 50, 100};
  std::mt19937 rng(4242);
  for (int code = 1; code < 8 * 8 * 8 * 8; ++code) {
    const qx::Schedule s =
        schedule_of(rates[code % 8], rates[code / 8 % 8], rates[code / 64 % 8], rates[code / 512]);
    const qx::ScheduleDivisions d = qx::divisions_of(s);
    for (int c = 0; c < 4; ++c) {
      if (s.rate_divisor[c] == 0) continue;
      auto check = [&](uint32_t n) {
        const auto want = qx::sample_position(s, c, n);
        const auto got = qx::sample_position(s, d, c, n);
        return want.block == got.block && want.word == got.word;
      };
      std::vector<uint32_t> ns;
      for (const auto div :
           {static_cast<uint32_t>(s.sample_modulus[c]), static_cast<uint32_t>(s.channel_slots[c]),
            static_cast<uint32_t>(s.channel_slots[c]) * 16384}) {
        const uint32_t top = 0xFFFFFFFFu / div * div;
        for (uint32_t k = 0; k < 4; ++k)
          for (uint32_t e = 0; e < 3; ++e) {
            ns.push_back(k * div + e - 1);
            ns.push_back(top - k * div + e - 1);
          }
      }
      for (uint32_t step = 0; step < 64; ++step) ns.push_back(step << 26 | (rng() & 0x3FFFFFF));
      for (const uint32_t n : ns)
        ASSERT_TRUE(check(n)) << "rates " << code << " channel " << c << " n " << n;
    }
  }
}

// Run reads take samples a block at a time; the gathered words and the places where a gather
// stops must follow the mapping exactly, for one and for several slots per frame, across block
// borders and across the wrap of the sample number.
TEST(SamplePosition, GatherTakesTheMappedWordsBlockByBlock) {
  for (const auto &r : {std::array<int, 4>{100, 100, 100, 100}, std::array<int, 4>{100, 50, 20, 10},
                        std::array<int, 4>{1, 0, 0, 0}, std::array<int, 4>{100, 100, 100, 1}}) {
    const qx::Schedule s = schedule_of(r[0], r[1], r[2], r[3]);
    for (int c = 0; c < 4; ++c) {
      if (s.rate_divisor[c] == 0) continue;
      for (const uint32_t start : {0u, 0xFFFFF000u, 123457u}) {
        qx::PositionCursor cursor(s, c, start);
        uint32_t n = start;
        for (int round = 0; round < 40; ++round) {
          const uint32_t block = cursor.block();
          int32_t words[300];
          const int32_t limit = 1 + round * 7 % 300;
          const int32_t got =
              cursor.gather(words, limit, [](uint32_t w) { return static_cast<int32_t>(w); });
          ASSERT_GE(got, 1);
          ASSERT_LE(got, limit);
          for (int32_t k = 0; k < got; ++k, ++n) {
            const auto want = qx::sample_position(s, c, n);
            ASSERT_EQ(want.block, block) << "n " << n;
            ASSERT_EQ(static_cast<uint32_t>(words[k]), want.word) << "n " << n;
          }
          const auto next = qx::sample_position(s, c, n);
          ASSERT_EQ(cursor.block(), next.block) << "n " << n;
          ASSERT_EQ(cursor.word(), next.word) << "n " << n;
          if (got < limit && n != 0) {
            ASSERT_NE(next.block, block) << "stopped early at n " << n;
          }
        }
      }
    }
  }
}

TEST(PositionEstimate, SignedProductOfBlocksSinceBoundary) {
  qx::Schedule s{};
  qx::ChannelScale scale{};
  for (int c = 0; c < 4; ++c) qx::set_rate(s, scale, c, 100);
  EXPECT_EQ(qx::position_estimate(s, scale, 0, 5), 20480);
  qx::set_boundary(s, 1);
  EXPECT_EQ(qx::position_estimate(s, scale, 0, 10), (10 - 64) * 4096);
  EXPECT_EQ(qx::position_estimate(s, scale, 4, 10), 0);
  EXPECT_EQ(qx::position_estimate(s, scale, INT_MIN, 10), 0);
}

}  // namespace
