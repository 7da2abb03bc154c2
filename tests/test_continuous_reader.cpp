// The host-side continuous reader against the simulated amplifier: every sample read back at its
// 64-bit index across boundary steps, a stalled reader's lost stretch with its exact extent and
// the resumption at the oldest sample left, restarts, and the starts it refuses.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "continuous_reader.h"
#include "reader_support.h"

namespace {

using qx470reader::ContinuousReader;
using qx470reader::GapKind;
using qx470reader::ReadResult;
using qxhosttest::Drain;
using qxhosttest::HostTest;
using qxhosttest::kStreamWait;
using qxhosttest::ReaderTest;
using qxhosttest::wait_for;

struct Case {
  const char *name;
  std::array<int, 4> rates;
  uint64_t blocks;  // streamed in rounds of 32 blocks, each read out whole
  int32_t min_steps;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.name;
}

class ReaderLayouts : public ReaderTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ReaderLayouts, EverySampleAtItsIndexAcrossBoundarySteps) {
  const Case &k = GetParam();
  start(k.rates);
  uint64_t total = 0;
  for (uint64_t b = 32;; b += 32) {
    b = std::min(b, k.blocks);
    stream_blocks(b);
    const Drain d = drain();
    EXPECT_TRUE(d.gaps.empty());
    EXPECT_EQ(d.wrong, 0u);
    total += d.samples;
    if (b == k.blocks) break;
  }
  uint64_t expected = 0;
  for (int c = 0; c < 4; ++c) {
    if (!reader().channel_on(c)) continue;
    EXPECT_EQ(reader().next_index(c), layout().samples_in_blocks(c, k.blocks)) << "channel " << c;
    EXPECT_EQ(reader().lost(c), 0u);
    expected += layout().samples_in_blocks(c, k.blocks);
  }
  EXPECT_EQ(total, expected);
  EXPECT_GE(reader().boundary_steps(), k.min_steps) << "the run should have crossed the boundary";
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ReaderLayouts,
    ::testing::Values(Case{"all_100", {100, 100, 100, 100}, 224, 3},
                      // a frame of 18 words: a cycle of 9 blocks, a step of 576
                      Case{"mixed", {100, 50, 20, 10}, 1152, 2},
                      Case{"one_channel", {0, 0, 5, 0}, 160, 2},
                      // a frame of 101 words: a step of 6464 blocks, not reached here
                      Case{"two_channels", {1, 100, 0, 0}, 202, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReaderTest, AStalledReaderLosesAStretchAndResumesAtTheOldestSampleLeft) {
  const std::array<int, 4> rates{100, 100, 100, 100};
  start(rates);

  // Nothing read while 200 blocks arrive: the 63 newest are still there.
  stream_blocks(200);
  Drain d = drain();
  ASSERT_EQ(d.gaps.size(), 4u);
  for (int c = 0; c < 4; ++c) {
    const auto &g = d.gaps[size_t(c)];
    EXPECT_EQ(g.channel, c);
    EXPECT_EQ(g.kind, GapKind::kLost);
    EXPECT_EQ(g.index, 0u);
    EXPECT_EQ(g.count, 137u * 4096);
    EXPECT_EQ(reader().next_index(c), 200u * 4096);
  }
  EXPECT_EQ(d.wrong, 0u);
  EXPECT_EQ(d.samples, 4u * 63 * 4096);

  // Read in step for a while, then stall again past the window.
  stream_blocks(230);
  d = drain();
  EXPECT_TRUE(d.gaps.empty());
  stream_blocks(400);
  d = drain();
  ASSERT_EQ(d.gaps.size(), 4u);
  for (const auto &g : d.gaps) {
    EXPECT_EQ(g.index, 230u * 4096);
    EXPECT_EQ(g.count, (400u - 63 - 230) * 4096);
  }
  EXPECT_EQ(d.wrong, 0u);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(reader().lost(c), (137u + 107) * 4096);
    EXPECT_EQ(reader().next_index(c), 400u * 4096);
  }
}

TEST_F(ReaderTest, AStalledReaderOfMixedRatesLosesNoSampleThatWasStillThere) {
  const std::array<int, 4> rates{100, 50, 20, 10};
  start(rates);
  stream_blocks(702);  // past a boundary step of 576 blocks; 78 cycles of 9 blocks
  const Drain d = drain();
  EXPECT_EQ(d.wrong, 0u);
  ASSERT_EQ(d.gaps.size(), 4u);
  for (const auto &g : d.gaps) {
    // The oldest readable block is 702 - 63 = 639, a cycle's first: the stretch ends exactly
    // where that block's samples of the channel begin.
    EXPECT_EQ(g.kind, GapKind::kLost);
    EXPECT_EQ(g.index, 0u);
    EXPECT_EQ(g.count, layout().samples_in_blocks(g.channel, 639)) << "channel " << g.channel;
    EXPECT_EQ(reader().next_index(g.channel), layout().samples_in_blocks(g.channel, 702))
        << "channel " << g.channel;
  }
}

TEST_F(ReaderTest, ARestartThroughTheReaderBeginsANewStreamAtTheNextIndex) {
  const std::array<int, 4> rates{100, 100, 100, 100};
  start(rates);
  stream_blocks(10);
  Drain d = drain();
  ASSERT_TRUE(d.gaps.empty());

  ASSERT_TRUE(reader().restart());
  EXPECT_EQ(reader().streams(), 2);
  stream_blocks(10);  // the limit counts words of each stream anew
  d = drain();
  ASSERT_EQ(d.gaps.size(), 4u);
  for (const auto &g : d.gaps) {
    EXPECT_EQ(g.kind, GapKind::kRestart);
    EXPECT_EQ(g.index, 10u * 4096);
    EXPECT_EQ(g.count, 0u) << "everything of the old stream had been read";
  }
  EXPECT_EQ(d.wrong, 0u);
  EXPECT_EQ(d.samples, 4u * 10 * 4096);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(reader().next_index(c), 20u * 4096);
}

// A new stream the reader did not ask for is a realignment: the library starts one after the
// device lost words. Unpaced, the new stream's blocks came at once, so no time is missing.
TEST_F(ReaderTest, ARestartMadeBehindTheReadersBackIsStillReported) {
  const std::array<int, 4> rates{0, 20, 0, 0};
  start(rates);
  stream_blocks(12);
  Drain d = drain();
  ASSERT_TRUE(d.gaps.empty());

  qxsim_set_stream_limit(layout().primed_words() + 5 * 16384);
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_EQ(Restart_Acquisition(), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 5; }, kStreamWait));
  d = drain();
  ASSERT_EQ(d.gaps.size(), 1u);
  EXPECT_EQ(d.gaps[0].kind, GapKind::kRealign);
  EXPECT_EQ(d.gaps[0].index, 12u * 16384);
  EXPECT_EQ(d.gaps[0].count, 0u) << "everything of the old stream had been read";
  EXPECT_EQ(d.wrong, 0u) << "no sample of the new stream is taken for one of the old";
  EXPECT_EQ(d.samples, 5u * 16384);
}

TEST_F(HostTest, StartsThatCannotWorkAreRefusedAndLeaveNothingOpen) {
  {
    ContinuousReader none({0, 0, 0, 0});
    EXPECT_FALSE(none.start());
    ContinuousReader odd({3, 0, 0, 0});
    EXPECT_FALSE(odd.start());
  }
  qxsim_set_attached(0);
  ContinuousReader unplugged({100, 0, 0, 0});
  EXPECT_FALSE(unplugged.start());
  EXPECT_FALSE(unplugged.started());
  EXPECT_EQ(qxsim_open_handles(), 0);
  int32_t buf[4];
  const ReadResult r = unplugged.read(0, buf, 4);
  EXPECT_EQ(r.count, 0);
  EXPECT_FALSE(r.has_gap);
}

TEST_F(ReaderTest, ADeviceThatFallsSilentGivesNothingMoreAndNoGap) {
  const std::array<int, 4> rates{10, 0, 0, 0};
  start(rates);
  stream_blocks(3);
  Drain d = drain();
  EXPECT_EQ(d.samples, 3u * 16384);
  d = drain();
  EXPECT_EQ(d.samples, 0u);
  EXPECT_TRUE(d.gaps.empty());
  EXPECT_EQ(reader().blocks_seen(), 3u);
  EXPECT_NEAR(reader().block_seconds(), 1.6384, 1e-9);
}

TEST_F(ReaderTest, WhatIsInTheRingAfterAStopCanStillBeReadOut) {
  const std::array<int, 4> rates{0, 0, 50, 50};
  start(rates);
  stream_blocks(5);
  reader().stop();
  EXPECT_FALSE(reader().started());
  Drain d = drain();
  EXPECT_EQ(d.samples, 5u * 16384);
  EXPECT_EQ(d.wrong, 0u);
  EXPECT_TRUE(d.gaps.empty());
  EXPECT_EQ(reader().next_index(2), 5u * 8192);
}

// The clock map's line through notes with jitter: the rate as measured, the residual, and the
// two ways of mapping agree; a new segment has a line of its own from its first samples.
TEST(ClockMap, FitsTheNotesAndMapsSamplesAndTimesBothWays) {
  qx470reader::ClockMap map;
  map.reset({0, 100, 10, 0});  // the reference is Ch2, 100 kS/s
  map.begin_segment(1, {0, 0, 0, 0}, 1000.0, 1.7e9);
  const double spp = 1.0 / 100'050.0;  // the amplifier 500 ppm fast by the host's clock
  for (int k = 1; k <= 200; ++k) {
    const uint64_t end = uint64_t(k) * 14894;
    const double jitter = (k % 3 - 1) * 2e-4;
    map.note(end, 1000.0 + end * spp + 0.003 + jitter, 1.7e9 + 1000.0 + end * spp);
  }
  ASSERT_EQ(map.segments().size(), 1u);
  const auto &s = map.segments()[0];
  EXPECT_NEAR(1.0 / s.seconds_per_sample, 100'050.0, 1.0);
  EXPECT_NEAR(s.residual, 1.6e-4, 0.5e-4);
  EXPECT_NEAR(double(map.pairs().size()), 29, 2) << "about one a second of 29.8 s";
  uint64_t i = 0;
  ASSERT_TRUE(map.index_at(1, 1010.003, i));
  EXPECT_NEAR(double(i), 1'000'500.0, 3.0);
  ASSERT_TRUE(map.index_at(2, 1010.003, i));
  EXPECT_NEAR(double(i), 100'050.0, 1.0) << "Ch3 at a tenth of the rate";
  double t = 0;
  ASSERT_TRUE(map.steady_of(2, 100'050, t));
  EXPECT_NEAR(t, 1010.003, 1e-4);
  // A restart: the new stream's samples from index 3,000,000 on, taken from 2000 s.
  map.begin_segment(2, {0, 3'000'000, 300'000, 0}, 2000.0, 1.7e9);
  ASSERT_TRUE(map.index_at(1, 2001.0, i));
  EXPECT_NEAR(double(i), 3'100'000.0, 1.0) << "nominal until the first note";
  ASSERT_TRUE(map.steady_of(1, 100, t));
  EXPECT_NEAR(t, 1000.0 + 100 * spp + 0.003, 1e-4) << "an old sample keeps its old line";
}

// Someone sets the system clock an hour ahead mid-recording: a new segment begins there on the
// same line, the samples before keep their time, and those after follow the new clock; slewing
// well below the step's threshold stays in one segment.
TEST(ClockMap, AStepOfTheSystemClockStartsASegmentAndLeavesTheEarlierSamplesWhereTheyWere) {
  qx470reader::ClockMap map;
  map.reset({100, 0, 50, 0});
  const double utc0 = 1.7e9, spp = 1.0 / 100'000.0;
  map.begin_segment(1, {0, 0, 0, 0}, 1000.0, utc0);
  double slew = 0;
  for (int k = 1; k <= 40; ++k) {
    const uint64_t end = uint64_t(k) * 16384;
    const double steady = 1000.0 + end * spp;
    if (k == 21) slew = 3600.0;
    slew += 1e-4;  // NTP's slewing: a tenth of a millisecond a block
    map.note(end, steady, utc0 + steady + slew);
  }
  ASSERT_EQ(map.segments().size(), 2u);
  const auto &before = map.segments()[0], &after = map.segments()[1];
  EXPECT_EQ(before.clock_step, 0.0);
  EXPECT_NEAR(after.clock_step, 3600.0, 0.01) << "against the clock as it had slewed";
  EXPECT_EQ(after.first[0], 21u * 16384) << "the segment begins at the note after the step";
  EXPECT_EQ(after.first[2], 21u * 8192) << "Ch3 at half the rate, at the same time";
  EXPECT_NEAR(before.steady0 + before.utc_minus_steady, utc0 + 1000.0, 0.01)
      << "the first sample keeps the system time it was taken at";
  EXPECT_NEAR(after.utc_minus_steady - before.utc_minus_steady, 3600.0, 0.01);
  double t = 0;
  ASSERT_TRUE(map.steady_of(0, 100'000, t));
  EXPECT_NEAR(t, 1001.0, 1e-4) << "the steady line goes on across the step";
  ASSERT_TRUE(map.steady_of(0, 500'000, t));
  EXPECT_NEAR(t, 1005.0, 1e-4);
  uint64_t i = 0;
  ASSERT_TRUE(map.index_at(2, 1005.0, i));
  EXPECT_NEAR(double(i), 250'000.0, 1.0);
}

// The reader's parts on their own. The check against the clock: blocks at their rate, or late
// while the reader did not look (a stalled process catching up), are no shortfall; blocks that
// never come while the reader looks are one, said once after it has stayed a second.
TEST(ReaderParts, TheClockCheckFindsMissingBlocksOnlyWhenTheyStayMissing) {
  using qx470reader::ClockCheck;
  const double block = 0.05;  // seconds a block takes
  const auto t0 = ClockCheck::Clock::time_point{} + std::chrono::hours(1);
  const auto at = [&](double s) {
    return t0 + std::chrono::duration_cast<ClockCheck::Clock::duration>(
                    std::chrono::duration<double>(s));
  };
  ClockCheck check;
  check.restart(t0);
  uint32_t blocks = 1;
  EXPECT_EQ(check.look(blocks, at(0.05), true, block), 0) << "the first block anchors it";
  double found = 0;
  for (int k = 2; k <= 40; ++k) found += check.look(++blocks, at(0.05 * k), true, block);
  EXPECT_EQ(found, 0) << "blocks at their rate";
  // The reader stalls for 3 s, then sees the 60 blocks that came meanwhile in quick looks.
  for (int k = 0; k < 60; ++k) found += check.look(++blocks, at(5.0 + 0.001 * k), true, block);
  EXPECT_EQ(found, 0) << "a stalled reader is no loss";
  // From 6 s, every other block never comes, though the reader looks all the time.
  double t = 6.0;
  for (int k = 0; k < 200 && found == 0; ++k, t += 0.1)
    found += check.look(++blocks, at(t), true, block);
  EXPECT_GT(found, 4);
  EXPECT_LT(t, 9.0) << "said within a few seconds of the shortfall passing the slack";
  const double said = found;
  for (int k = 0; k < 10; ++k, t += 0.05) found += check.look(++blocks, at(t), true, block);
  EXPECT_EQ(found, said) << "once per shortfall";
}

TEST(ReaderParts, TheStreamWatchTellsANewStreamAndABlockSeenAsItCame) {
  qx470reader::StreamWatch watch;
  auto l = watch.look(1);
  EXPECT_TRUE(l.changed && l.next_block && !l.new_stream);
  l = watch.look(1);
  EXPECT_FALSE(l.changed || l.next_block);
  l = watch.look(4);
  EXPECT_TRUE(l.changed && !l.next_block) << "a jump: the blocks came some time before";
  l = watch.look(1);
  EXPECT_TRUE(l.new_stream && l.changed && l.next_block);
  EXPECT_EQ(l.before, 4u) << "the old stream's count, for what it had";
  l = watch.look(0);
  EXPECT_TRUE(l.new_stream && !l.changed);
  EXPECT_EQ(watch.last(), 0u);
}

TEST(ReaderParts, AChannelCursorMovesPastEveryGapAndCountsIt) {
  qx470reader::ChannelCursor k;
  k.reset(8192);
  k.took(1000);
  const qx470reader::Gap g = k.skip(2, qx470reader::GapKind::kRealign, 500);
  EXPECT_EQ(g.channel, 2);
  EXPECT_EQ(g.index, 1000u);
  EXPECT_EQ(g.count, 500u);
  EXPECT_EQ(k.index, 1500u);
  EXPECT_EQ(k.lost, 500u);
  k.begin_stream();
  EXPECT_EQ(k.next, 0u);
  EXPECT_EQ(k.stream_base, 1500u);
  k.took(10);
  EXPECT_EQ(k.index, 1510u);
  EXPECT_EQ(k.modulus, 8192u);
  EXPECT_STREQ(qx470reader::gap_kind_word(qx470reader::GapKind::kClock), "clock");
  EXPECT_EQ(qx470reader::gap_kind_word(static_cast<qx470reader::GapKind>(99)), nullptr);
}

}  // namespace
