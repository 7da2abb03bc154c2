// The continuous reader against the simulated amplifier running in real time: words lost below
// the library, seen by the bridge or only by the clock. These tests run alone (RUN_SERIAL), and
// a process starved so long that the simulated device lost words besides the ones dropped on
// purpose says so and skips: what is checked then would not be what the test is about.
#include <chrono>
#include <thread>

#include "continuous_reader.h"
#include "reader_support.h"

namespace {

using qx470reader::GapKind;
using qxhosttest::Drain;
using qxhosttest::ReaderTest;

void skip_if_starved(unsigned long long dropped_on_purpose) {
  if (const auto lost = qxsim_lost_words(); lost > dropped_on_purpose)
    GTEST_SKIP() << "this process stalled and the simulated device lost "
                 << lost - dropped_on_purpose << " words besides the " << dropped_on_purpose
                 << " dropped on purpose";
}

// Half a second of words lost below the library, in real time at 220,000 words a second: the
// library realigns the stream, and the reader gives a realignment whose extent is the time the
// amplifier's samples did not reach it, so every later sample is right and at its true time.
TEST_F(ReaderTest, AnOverrunBelowTheLibraryIsARealignmentWithTheTimeItTook) {
  const std::array<int, 4> rates{100, 100, 20, 0};
  start(rates, true);
  Drain before = read_for(0.4);
  skip_if_starved(0);
  EXPECT_TRUE(before.gaps.empty());
  EXPECT_EQ(before.wrong, 0u);
  const uint64_t words_per_second = 220000;
  qxsim_drop_words(words_per_second / 2);
  Drain after = read_for(1.5);
  skip_if_starved(words_per_second / 2);
  EXPECT_EQ(after.wrong, 0u) << "no sample is given to the wrong channel or time";
  ASSERT_EQ(after.gaps.size(), 3u);
  for (const auto &g : after.gaps) {
    EXPECT_EQ(g.kind, GapKind::kRealign);
    const double rate = rates[size_t(g.channel)] * 1000.0;
    // At least the half second dropped, at most that and a few blocks of 74 ms besides.
    EXPECT_GE(g.count, uint64_t(0.45 * rate)) << g.channel;
    EXPECT_LE(g.count, uint64_t((0.5 + 5 * 0.0745) * rate)) << g.channel;
  }
  EXPECT_EQ(reader().streams(), 2);
  // The new stream has a line of its own on the host's clocks, from where it begins.
  ASSERT_EQ(reader().clock().segments().size(), 2u);
  EXPECT_EQ(reader().clock().segments()[1].first[0], after.gaps[0].index + after.gaps[0].count);
  // Every channel is at the same time again: index over rate agrees to a block.
  const double t0 = reader().next_index(0) / 100000.0;
  EXPECT_NEAR(reader().next_index(2) / 20000.0, t0, 0.08);
}

// A bridge that cannot report the overrun, and a reader stalled (as a stopped process is) while
// the device lost a second of words: the stream comes short against the clock, and the reader
// says so once, with the shortfall.
TEST_F(ReaderTest, SamplesMissingByTheClockAreAGapThoughNoLayerReportedThem) {
  qxsim_set_fault(QXSIM_CALL_GET_MODEM_STATUS, 1, FT_IO_ERROR, -1);
  start({100, 0, 0, 0}, true);  // one word a frame: a drop misplaces nothing
  EXPECT_TRUE(read_for(0.4).gaps.empty());
  qxsim_drop_words(100000);  // a second: six blocks of 164 ms
  // The reader looks away while the drop happens, as a stopped process would.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  const Drain after = read_for(3.0);
  skip_if_starved(100000);
  ASSERT_EQ(after.gaps.size(), 1u);
  EXPECT_EQ(after.gaps[0].kind, GapKind::kClock);
  EXPECT_GE(after.gaps[0].count, 4u * 16384);
  EXPECT_LE(after.gaps[0].count, 7u * 16384);
  EXPECT_EQ(reader().streams(), 1);
}

// At ten times real time the map measures ten times the nominal rate; a restart begins a new
// segment at the index the stream restarts from.
TEST_F(ReaderTest, TheClockMapMeasuresTheRateAndARestartBeginsANewSegment) {
  start({100, 0, 0, 0}, true);
  qxsim_set_speed(10.0);
  read_for(2.0);
  skip_if_starved(0);
  const auto &first = reader().clock().segments().at(0);
  EXPECT_NEAR(1.0 / first.seconds_per_sample, 1e6, 1e6 * 0.001);
  ASSERT_TRUE(reader().restart());
  read_for(1.0);
  const auto &segments = reader().clock().segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].stream, 2);
  EXPECT_GT(segments[1].first[0], 0u);
  EXPECT_GT(segments[1].notes, 5u);
}

}  // namespace
