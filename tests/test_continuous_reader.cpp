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
using qxhosttest::HostTest;
using qxhosttest::kStreamWait;
using qxhosttest::Layout;
using qxhosttest::wait_for;

// Reads every channel until nothing more is there, checking each value against the pattern of
// the stream it belongs to. Returns the gaps met, in order.
struct Drain {
  std::vector<qx470reader::Gap> gaps;
  uint64_t wrong = 0;
  uint64_t samples = 0;
};

Drain drain(ContinuousReader &reader, const Layout &layout, std::array<uint64_t, 4> &stream_start) {
  Drain d;
  std::vector<int32_t> buf(10000);
  for (int c = 0; c < 4; ++c) {
    if (!reader.channel_on(c)) continue;
    for (;;) {
      const ReadResult r = reader.read(c, buf.data(), static_cast<int32_t>(buf.size()));
      if (r.has_gap) {
        d.gaps.push_back(r.gap);
        if (r.gap.kind == GapKind::kRestart || r.gap.kind == GapKind::kRealign)
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

void stream_blocks(const Layout &layout, uint64_t blocks) {
  qxsim_set_stream_limit(layout.primed_words() + blocks * 16384);
  ASSERT_TRUE(wait_for([&] { return Get_Blocks_Transferred() >= blocks; }, kStreamWait));
  ASSERT_EQ(Get_Blocks_Transferred(), blocks);
}

struct Case {
  const char *name;
  std::array<int, 4> rates;
  uint64_t blocks;  // streamed in rounds of 32 blocks, each read out whole
  int32_t min_steps;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.name;
}

class ReaderLayouts : public HostTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ReaderLayouts, EverySampleAtItsIndexAcrossBoundarySteps) {
  const Case &k = GetParam();
  const Layout layout(k.rates);
  ContinuousReader reader(k.rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  uint64_t total = 0;
  for (uint64_t b = 32;; b += 32) {
    b = std::min(b, k.blocks);
    stream_blocks(layout, b);
    const Drain d = drain(reader, layout, starts);
    EXPECT_TRUE(d.gaps.empty());
    EXPECT_EQ(d.wrong, 0u);
    total += d.samples;
    if (b == k.blocks) break;
  }
  uint64_t expected = 0;
  for (int c = 0; c < 4; ++c) {
    if (!reader.channel_on(c)) continue;
    EXPECT_EQ(reader.next_index(c), layout.samples_in_blocks(c, k.blocks)) << "channel " << c;
    EXPECT_EQ(reader.lost(c), 0u);
    expected += layout.samples_in_blocks(c, k.blocks);
  }
  EXPECT_EQ(total, expected);
  EXPECT_GE(reader.boundary_steps(), k.min_steps) << "the run should have crossed the boundary";
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

TEST_F(HostTest, AStalledReaderLosesAStretchAndResumesAtTheOldestSampleLeft) {
  const std::array<int, 4> rates{100, 100, 100, 100};
  const Layout layout(rates);
  ContinuousReader reader(rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};

  // Nothing read while 200 blocks arrive: the 63 newest are still there.
  stream_blocks(layout, 200);
  Drain d = drain(reader, layout, starts);
  ASSERT_EQ(d.gaps.size(), 4u);
  for (int c = 0; c < 4; ++c) {
    const auto &g = d.gaps[size_t(c)];
    EXPECT_EQ(g.channel, c);
    EXPECT_EQ(g.kind, GapKind::kLost);
    EXPECT_EQ(g.index, 0u);
    EXPECT_EQ(g.count, 137u * 4096);
    EXPECT_EQ(reader.next_index(c), 200u * 4096);
  }
  EXPECT_EQ(d.wrong, 0u);
  EXPECT_EQ(d.samples, 4u * 63 * 4096);

  // Read in step for a while, then stall again past the window.
  stream_blocks(layout, 230);
  d = drain(reader, layout, starts);
  EXPECT_TRUE(d.gaps.empty());
  stream_blocks(layout, 400);
  d = drain(reader, layout, starts);
  ASSERT_EQ(d.gaps.size(), 4u);
  for (const auto &g : d.gaps) {
    EXPECT_EQ(g.index, 230u * 4096);
    EXPECT_EQ(g.count, (400u - 63 - 230) * 4096);
  }
  EXPECT_EQ(d.wrong, 0u);
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(reader.lost(c), (137u + 107) * 4096);
    EXPECT_EQ(reader.next_index(c), 400u * 4096);
  }
}

TEST_F(HostTest, AStalledReaderOfMixedRatesLosesNoSampleThatWasStillThere) {
  const std::array<int, 4> rates{100, 50, 20, 10};
  const Layout layout(rates);
  ContinuousReader reader(rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  stream_blocks(layout, 702);  // past a boundary step of 576 blocks; 78 cycles of 9 blocks
  const Drain d = drain(reader, layout, starts);
  EXPECT_EQ(d.wrong, 0u);
  ASSERT_EQ(d.gaps.size(), 4u);
  for (const auto &g : d.gaps) {
    // The oldest readable block is 702 - 63 = 639, a cycle's first: the stretch ends exactly
    // where that block's samples of the channel begin.
    EXPECT_EQ(g.kind, GapKind::kLost);
    EXPECT_EQ(g.index, 0u);
    EXPECT_EQ(g.count, layout.samples_in_blocks(g.channel, 639)) << "channel " << g.channel;
    EXPECT_EQ(reader.next_index(g.channel), layout.samples_in_blocks(g.channel, 702))
        << "channel " << g.channel;
  }
}

TEST_F(HostTest, ARestartThroughTheReaderBeginsANewStreamAtTheNextIndex) {
  const std::array<int, 4> rates{100, 100, 100, 100};
  const Layout layout(rates);
  ContinuousReader reader(rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  stream_blocks(layout, 10);
  Drain d = drain(reader, layout, starts);
  ASSERT_TRUE(d.gaps.empty());

  ASSERT_TRUE(reader.restart());
  EXPECT_EQ(reader.streams(), 2);
  stream_blocks(layout, 10);  // the limit counts words of each stream anew
  d = drain(reader, layout, starts);
  ASSERT_EQ(d.gaps.size(), 4u);
  for (const auto &g : d.gaps) {
    EXPECT_EQ(g.kind, GapKind::kRestart);
    EXPECT_EQ(g.index, 10u * 4096);
    EXPECT_EQ(g.count, 0u) << "everything of the old stream had been read";
  }
  EXPECT_EQ(d.wrong, 0u);
  EXPECT_EQ(d.samples, 4u * 10 * 4096);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(reader.next_index(c), 20u * 4096);
}

// A new stream the reader did not ask for is a realignment: the library starts one after the
// device lost words. Unpaced, the new stream's blocks came at once, so no time is missing.
TEST_F(HostTest, ARestartMadeBehindTheReadersBackIsStillReported) {
  const std::array<int, 4> rates{0, 20, 0, 0};
  const Layout layout(rates);
  ContinuousReader reader(rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  stream_blocks(layout, 12);
  Drain d = drain(reader, layout, starts);
  ASSERT_TRUE(d.gaps.empty());

  qxsim_set_stream_limit(layout.primed_words() + 5 * 16384);
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_EQ(Restart_Acquisition(), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 5; }, kStreamWait));
  d = drain(reader, layout, starts);
  ASSERT_EQ(d.gaps.size(), 1u);
  EXPECT_EQ(d.gaps[0].kind, GapKind::kRealign);
  EXPECT_EQ(d.gaps[0].index, 12u * 16384);
  EXPECT_EQ(d.gaps[0].count, 0u) << "everything of the old stream had been read";
  EXPECT_EQ(d.wrong, 0u) << "no sample of the new stream is taken for one of the old";
  EXPECT_EQ(d.samples, 5u * 16384);
}

// Reads every channel as it comes, in real time, for `seconds`.
Drain read_for(ContinuousReader &reader, const Layout &layout, std::array<uint64_t, 4> &starts,
               double seconds) {
  Drain all;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const Drain d = drain(reader, layout, starts);
    all.gaps.insert(all.gaps.end(), d.gaps.begin(), d.gaps.end());
    all.wrong += d.wrong;
    all.samples += d.samples;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return all;
}

// Half a second of words lost below the library, in real time at 220,000 words a second: the
// library realigns the stream, and the reader gives a realignment whose extent is the time the
// amplifier's samples did not reach it, so every later sample is right and at its true time.
TEST_F(HostTest, AnOverrunBelowTheLibraryIsARealignmentWithTheTimeItTook) {
  const std::array<int, 4> rates{100, 100, 20, 0};
  const Layout layout(rates);
  qxsim_set_speed(1.0);
  ContinuousReader reader(rates);
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  Drain before = read_for(reader, layout, starts, 0.4);
  EXPECT_TRUE(before.gaps.empty());
  EXPECT_EQ(before.wrong, 0u);
  const uint64_t words_per_second = 220000;
  qxsim_drop_words(words_per_second / 2);
  Drain after = read_for(reader, layout, starts, 1.5);
  EXPECT_EQ(after.wrong, 0u) << "no sample is given to the wrong channel or time";
  ASSERT_EQ(after.gaps.size(), 3u);
  for (const auto &g : after.gaps) {
    EXPECT_EQ(g.kind, GapKind::kRealign);
    const double rate = rates[size_t(g.channel)] * 1000.0;
    // At least the half second dropped, at most that and a few blocks of 74 ms besides.
    EXPECT_GE(g.count, uint64_t(0.45 * rate)) << g.channel;
    EXPECT_LE(g.count, uint64_t((0.5 + 5 * 0.0745) * rate)) << g.channel;
  }
  EXPECT_EQ(reader.streams(), 2);
  // Every channel is at the same time again: index over rate agrees to a block.
  const double t0 = reader.next_index(0) / 100000.0;
  EXPECT_NEAR(reader.next_index(2) / 20000.0, t0, 0.08);
}

// A bridge that cannot report the overrun, and a reader stalled (as a stopped process is) while
// the device lost a second of words: the stream comes short against the clock, and the reader
// says so once, with the shortfall.
TEST_F(HostTest, SamplesMissingByTheClockAreAGapThoughNoLayerReportedThem) {
  const std::array<int, 4> rates{100, 0, 0, 0};  // one word a frame: a drop misplaces nothing
  const Layout layout(rates);
  qxsim_set_speed(1.0);
  qxsim_set_fault(QXSIM_CALL_GET_MODEM_STATUS, 1, FT_IO_ERROR, -1);
  ContinuousReader reader(rates);
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  EXPECT_TRUE(read_for(reader, layout, starts, 0.4).gaps.empty());
  qxsim_drop_words(100000);  // a second: six blocks of 164 ms
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  const Drain after = read_for(reader, layout, starts, 3.0);
  ASSERT_EQ(after.gaps.size(), 1u);
  EXPECT_EQ(after.gaps[0].kind, GapKind::kClock);
  EXPECT_GE(after.gaps[0].count, 4u * 16384);
  EXPECT_LE(after.gaps[0].count, 7u * 16384);
  EXPECT_EQ(reader.streams(), 1);
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

TEST_F(HostTest, ADeviceThatFallsSilentGivesNothingMoreAndNoGap) {
  const std::array<int, 4> rates{10, 0, 0, 0};
  const Layout layout(rates);
  ContinuousReader reader(rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  stream_blocks(layout, 3);
  Drain d = drain(reader, layout, starts);
  EXPECT_EQ(d.samples, 3u * 16384);
  d = drain(reader, layout, starts);
  EXPECT_EQ(d.samples, 0u);
  EXPECT_TRUE(d.gaps.empty());
  EXPECT_EQ(reader.blocks_seen(), 3u);
  EXPECT_NEAR(reader.block_seconds(), 1.6384, 1e-9);
}

TEST_F(HostTest, WhatIsInTheRingAfterAStopCanStillBeReadOut) {
  const std::array<int, 4> rates{0, 0, 50, 50};
  const Layout layout(rates);
  ContinuousReader reader(rates);
  qxsim_set_stream_limit(layout.primed_words());
  ASSERT_TRUE(reader.start());
  std::array<uint64_t, 4> starts{};
  stream_blocks(layout, 5);
  reader.stop();
  EXPECT_FALSE(reader.started());
  Drain d = drain(reader, layout, starts);
  EXPECT_EQ(d.samples, 5u * 16384);
  EXPECT_EQ(d.wrong, 0u);
  EXPECT_TRUE(d.gaps.empty());
  EXPECT_EQ(reader.next_index(2), 5u * 8192);
}

}  // namespace
