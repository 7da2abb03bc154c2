// Start, pause, restart and stop with their handshakes, the acquisition thread's byte protocol
// over the simulator's log, its error ends, and its behaviour when the device misbehaves.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "../library/platform/platform.h"
#include "stream_protocol.h"
#include "test_support.h"

namespace {

using qxtest::events;
using qxtest::LibraryTest;
using qxtest::wait_for;
using qxtest::writes;
using Bytes = std::vector<uint8_t>;

const Bytes kStop = {0x4A, 0xC0, 0x00};
const Bytes kStart = {0x4A, 0xC1, 0x00};

TEST(StreamCommands, RateCommandsCarryChannelsOneTwoThreeZero) {
  const int32_t divisors[4] = {1, 100, 0, 0};  // channel 0 at 100 kS/s, channel 1 at 1 kS/s
  const auto high = qx::rate_high_command(divisors);
  const auto low = qx::rate_low_command(divisors);
  EXPECT_EQ(Bytes(high.begin(), high.end()),
            (Bytes{0x8B, 0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00}));
  EXPECT_EQ(Bytes(low.begin(), low.end()),
            (Bytes{0x80, 0xE4, 0xC0, 0xC0, 0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00}));

  struct Split {
    int32_t divisor;
    uint8_t high, low;
  };
  for (const Split s : {Split{0, 0xC0, 0xC0},
                        {100, 0xC1, 0xE4},
                        {50, 0xC0, 0xF2},
                        {20, 0xC0, 0xD4},
                        {10, 0xC0, 0xCA},
                        {5, 0xC0, 0xC5},
                        {2, 0xC0, 0xC2},
                        {1, 0xC0, 0xC1}}) {
    EXPECT_EQ(qx::high_channel_byte(s.divisor), s.high) << s.divisor;
    EXPECT_EQ(qx::low_channel_byte(s.divisor), s.low) << s.divisor;
  }
}

// Sequence of stream-channel calls in the log, as short names.
std::vector<std::string> logged_stream_calls() {
  std::vector<std::string> out;
  const int n = qxsim_log_count();
  for (int i = 0; i < n; ++i) {
    qxsim_event e;
    qxsim_log_get(i, &e);
    if (e.index != 1) continue;
    switch (e.call) {
      case QXSIM_CALL_WRITE:
        out.push_back(e.bytes[0] == 0x4A ? (e.bytes[1] == 0xC1 ? "start" : "stop")
                                         : (e.bytes[0] == 0x8B ? "high" : "low"));
        break;
      case QXSIM_CALL_PURGE:
        out.push_back("purge");
        break;
      case QXSIM_CALL_STOP_IN_TASK:
        out.push_back("stop-in");
        break;
      case QXSIM_CALL_RESTART_IN_TASK:
        out.push_back("restart-in");
        break;
      case QXSIM_CALL_READ:
        out.push_back("read " + std::to_string(e.length));
        break;
      default:
        break;
    }
  }
  return out;
}

class Acquisition : public LibraryTest {
 protected:
  static bool streaming_blocks(uint32_t n) {
    return wait_for([n] { return Get_Blocks_Transferred() >= n; });
  }
  static bool paused() {
    return wait_for([] { return qxsim_call_count(QXSIM_CALL_STOP_IN_TASK, 1, 0) > 0; });
  }
  static std::vector<std::string> stream_calls() { return logged_stream_calls(); }
};

TEST_F(Acquisition, ProgrammingSequenceAndPriming) {
  set_rates(100, 1, 0, 0);
  qxsim_set_stream_limit(qxtest::primed_words(101) + 16384);
  ASSERT_EQ(LV_Start_Acquisition(), 1);
  ASSERT_TRUE(streaming_blocks(1));
  ASSERT_EQ(Stop_Acquisition(), FT_OK);

  const auto w = writes(1);
  ASSERT_GE(w.size(), 5u);
  EXPECT_EQ(w[0], kStop);
  EXPECT_EQ(w[1], (Bytes{0x8B, 0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00}));
  EXPECT_EQ(w[2], (Bytes{0x80, 0xE4, 0xC0, 0xC0, 0xC1, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00}));
  EXPECT_EQ(w[3], kStart);
  EXPECT_EQ(w.back(), kStop) << "normal end";
  const auto calls = stream_calls();
  ASSERT_GE(calls.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 7),
            (std::vector<std::string>{"stop", "purge", "high", "low", "start", "read 202",
                                      "read 32768"}));
  const auto purge = events(QXSIM_CALL_PURGE, 1);
  ASSERT_FALSE(purge.empty());
  EXPECT_EQ(purge[0].length, static_cast<unsigned>(FT_PURGE_RX));
  EXPECT_EQ(qxsim_open_handles(), 0);
}

TEST_F(Acquisition, PrimingReadsOneFrameAtATimeUntilTwentyBytes) {
  set_rates(0, 100, 0, 0);  // a frame of one word: ten reads of 2 bytes
  ASSERT_EQ(LV_Start_Acquisition(), 1);
  ASSERT_TRUE(streaming_blocks(1));
  Stop_Acquisition();
  const auto calls = stream_calls();
  std::vector<std::string> expected = {"stop", "purge", "high", "low", "start"};
  expected.insert(expected.end(), 10, "read 2");
  expected.push_back("read 32768");
  ASSERT_GE(calls.size(), expected.size());
  EXPECT_EQ(
      std::vector<std::string>(calls.begin(), calls.begin() + static_cast<long>(expected.size())),
      expected);
}

class RingContents : public LibraryTest,
                     public ::testing::WithParamInterface<qxtest::WorkedLayout> {
 protected:
  uint32_t frame() const { return static_cast<uint32_t>(GetParam().owners.size()); }
  uint32_t primed() const { return qxtest::primed_words(static_cast<int>(frame())); }
  // Ring blocks 0 .. blocks-1 hold the words the amplifier sent after priming in this stream.
  void expect_stream_from_block_zero(uint32_t blocks) const {
    const auto &owners = GetParam().owners;
    std::array<uint32_t, 4> n{};
    for (uint32_t w = 0; w < primed(); ++w) ++n[static_cast<size_t>(owners[w % frame()])];
    for (uint32_t b = 0; b < blocks; ++b) {
      for (uint32_t i = 0; i < 16384; ++i) {
        const uint32_t w = primed() + b * 16384 + i;
        const int c = owners[w % frame()];
        const uint8_t *p = &qx::block_ring[b][2 * i];
        ASSERT_EQ(p[0] | p[1] << 8,
                  static_cast<int>(qxsim_pattern_value(c, n[static_cast<size_t>(c)]++)))
            << "block " << b << " word " << i;
      }
    }
  }
};

// The ring holds exactly the words the amplifier sent after priming, block after block.
TEST_P(RingContents, BlocksHoldTheStreamAfterPriming) {
  const auto &l = GetParam();
  set_rates(l.rates[0], l.rates[1], l.rates[2], l.rates[3]);
  constexpr uint32_t kBlocks = 40;
  qxsim_set_stream_limit(primed() + kBlocks * 16384ull);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == kBlocks; }));
  Stop_Acquisition();
  EXPECT_EQ(Get_Blocks_Transferred(), kBlocks);
  expect_stream_from_block_zero(kBlocks);
}

// Words lost below the library shift every later word to another slot of the frame, and nothing
// in the words shows it. The block in which the bridge reports the overrun is not counted, and the
// stream starts afresh without the host's help: block count and boundary from 0, the rates kept,
// and what the ring holds is the new stream from its first word.
TEST_P(RingContents, AnOverrunRealignsTheStreamAndNoMisplacedBlockIsCounted) {
  const auto &l = GetParam();
  set_rates(l.rates[0], l.rates[1], l.rates[2], l.rates[3]);
  const uint64_t three_blocks = primed() + 3 * 16384ull;
  qxsim_set_stream_limit(three_blocks);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 3; }));
  Set_Sample_Boundary(1);
  const uint32_t before = qx::realignments_for_test();
  qxsim_log_clear();
  qxsim_drop_words(3);
  // The rest of block 3, three words short; after the realignment the new stream gets as far as
  // four blocks.
  qxsim_set_stream_limit(three_blocks + 3 + 16384);
  ASSERT_TRUE(wait_for([before] {
    return qx::realignments_for_test() == before + 1 && Get_Blocks_Transferred() == 4;
  }));
  EXPECT_EQ(qx::device_context.schedule.boundary_block, 0u);
  Stop_Acquisition();
  expect_stream_from_block_zero(4);
  const std::vector<std::string> calls = logged_stream_calls();
  const std::vector<std::string> want = {"stop-in", "stop", "purge", "start", "restart-in"};
  ASSERT_GE(calls.size(), want.size());
  auto it = std::search(calls.begin(), calls.end(), want.begin(), want.end());
  EXPECT_NE(it, calls.end()) << ::testing::PrintToString(calls);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "high"), 0) << "the rates are not sent again";
}

INSTANTIATE_TEST_SUITE_P(Schedules, RingContents, ::testing::ValuesIn(qxtest::worked_layouts()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Acquisition, BlockSixtyFourLandsInRingBlockZeroAndTheCounterWraps) {
  set_rates(100, 0, 0, 0);
  qx::set_start_block_count_for_test(0xFFFFFFFFu - 2);  // blocks ...FD, FE, FF, 0, 1
  qxsim_set_stream_limit(qxtest::primed_words(1) + 5 * 16384ull);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 2; }));
  Stop_Acquisition();
  const int ring_of_stream_block[5] = {61, 62, 63, 0, 1};
  const uint32_t primed = qxtest::primed_words(1);
  for (int b = 0; b < 5; ++b) {
    for (uint32_t i : {0u, 1u, 16383u}) {
      const uint8_t *p = &qx::block_ring[ring_of_stream_block[b]][2 * i];
      EXPECT_EQ(p[0] | p[1] << 8, static_cast<int>(qxsim_pattern_value(
                                      0, primed + static_cast<uint32_t>(b) * 16384 + i)))
          << "stream block " << b;
    }
  }
}

TEST_F(Acquisition, StartWithEveryChannelOffOpensTheChannelAndStartsNothing) {
  ASSERT_EQ(LV_Start_Acquisition(), 0);
  EXPECT_EQ(qx::running.load(), 0);
  EXPECT_EQ(qxsim_open_handles(), 1) << "the stream channel is open all the same";
  EXPECT_TRUE(writes(1).empty());
  // A second start closes the earlier handle before opening again, so it is not refused.
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(LV_Start_Acquisition(), 1);
  EXPECT_EQ(qxsim_open_handles(), 1);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(qxsim_open_handles(), 0);
  EXPECT_EQ(Stop_Acquisition(), FT_INVALID_HANDLE) << "the handle is kept and closed again";
}

TEST_F(Acquisition, StartFailsWhenTheStreamChannelCannotOpen) {
  set_rates(100, 0, 0, 0);
  qxsim_set_fault(QXSIM_CALL_OPEN, 1, FT_DEVICE_NOT_OPENED, 1);
  EXPECT_EQ(Start_Acquisition(0), 0);
  EXPECT_EQ(qx::stream_status, static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
  EXPECT_EQ(qx::running.load(), 0);
}

TEST_F(Acquisition, PauseAndRestartWhenNothingRunsDoNothing) {
  EXPECT_EQ(Pause_Acquisition(), 0);
  EXPECT_EQ(qx::pause_flag.load(), 0);
  EXPECT_EQ(Restart_Acquisition(), 0);
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  EXPECT_EQ(Restart_Acquisition(), 0) << "not paused";
}

TEST_F(Acquisition, PauseThenRestartSendsStopAndStartWithoutRates) {
  set_rates(100, 100, 100, 100);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(3));
  Set_Sample_Boundary(5);
  // After the resume the stream falls silent once priming is done, so the count stays put.
  qxsim_set_stream_limit(qxtest::primed_words(4));
  qxsim_log_clear();
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  ASSERT_EQ(Restart_Acquisition(), 1);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
  EXPECT_EQ(qx::device_context.schedule.boundary_block, 0u);
  EXPECT_EQ(qx::pause_flag.load(), 0);
  const auto calls = stream_calls();
  std::vector<std::string> expected = {"stop-in", "stop", "purge", "start", "restart-in"};
  auto first = std::find(calls.begin(), calls.end(), "stop-in");
  ASSERT_NE(first, calls.end());
  std::vector<std::string> got;
  for (auto it = first; it != calls.end() && got.size() < expected.size(); ++it)
    if (it->rfind("read", 0) != 0) got.push_back(*it);
  EXPECT_EQ(got, expected);
}

TEST_F(Acquisition, RestartRightAfterPauseIsNotLost) {
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(Pause_Acquisition(), 1);
    ASSERT_EQ(Restart_Acquisition(), 1) << "round " << i;
  }
  EXPECT_EQ(qxsim_call_count(QXSIM_CALL_STOP_IN_TASK, 1, 0), 20);
}

TEST_F(Acquisition, StopWhilePausedResumesReadsOneBlockAndEnds) {
  set_rates(100, 100, 100, 100);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(2));
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  // The resumed stream holds one block, so the count cannot depend on how fast the host is.
  qxsim_set_stream_limit(qxtest::primed_words(4) + 16384);
  ASSERT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 1u);
  EXPECT_EQ(qx::running.load(), 0);
  EXPECT_EQ(qx::device_context.schedule.boundary_block, 0u);
}

TEST_F(Acquisition, StartWhileStreamingOrPausedEndsThePreviousThread) {
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(5));
  Set_Sample_Boundary(1);
  qxsim_set_stream_limit(qxtest::primed_words(1));  // the next stream stays at block 0
  ASSERT_EQ(Start_Acquisition(0), 1);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
  EXPECT_EQ(qx::device_context.schedule.boundary_block, 0u);
  EXPECT_EQ(qxsim_open_handles(), 1);

  qxsim_set_stream_limit(0);
  ASSERT_EQ(Start_Acquisition(0), 1);  // two starts in a row
  ASSERT_TRUE(streaming_blocks(1));
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  ASSERT_EQ(Start_Acquisition(0), 1);  // start while paused
  EXPECT_EQ(qx::pause_flag.load(), 0);
  ASSERT_TRUE(streaming_blocks(1));
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(qxsim_open_handles(), 0);
  // Four starts, four programming sequences, each with its rate commands.
  const auto w = writes(1);
  EXPECT_EQ(std::count(w.begin(), w.end(),
                       Bytes{0x8B, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00}),
            4);
}

TEST_F(Acquisition, RateChangesReachTheDeviceOnlyAtTheNextStart) {
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(1));
  Set_Sample_Rate(1, 50);
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  ASSERT_EQ(Restart_Acquisition(), 1);
  EXPECT_EQ(qxsim_divisor(1), 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  EXPECT_TRUE(wait_for([] { return qxsim_divisor(1) == 2; })) << "the new thread programs it";
}

struct ErrorEnd {
  int command;
  unsigned status;
  int written;
  const char *text;
};

void PrintTo(const ErrorEnd &e, std::ostream *os) {
  *os << e.text;
}

class ErrorEnds : public Acquisition, public ::testing::WithParamInterface<ErrorEnd> {};

TEST_P(ErrorEnds, AlertThenTheThreadEndsWithRunningStillSet) {
  const ErrorEnd &e = GetParam();
  set_rates(100, 0, 0, 0);
  qxsim_set_command_fault(e.command, e.status, e.written);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return !qxtest::alerts().empty(); }));
  EXPECT_EQ(qxtest::alerts(), std::vector<std::string>{e.text});
  EXPECT_EQ(qx::running.load(), 1);
  const auto w = writes(1);
  EXPECT_NE(w.back(), kStop) << "no stop command on an error end";
  EXPECT_EQ(Pause_Acquisition(), 1);
  EXPECT_EQ(Restart_Acquisition(), 0) << "the thread is gone: the restart must not hang";
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, ErrorEnds,
                         ::testing::Values(ErrorEnd{QXSIM_CMD_RATE_HIGH, FT_IO_ERROR, -1,
                                                    "Error 1"},
                                           ErrorEnd{QXSIM_CMD_RATE_HIGH, 0, 10, "Error 2"},
                                           ErrorEnd{QXSIM_CMD_RATE_LOW, FT_IO_ERROR, -1, "Error 3"},
                                           ErrorEnd{QXSIM_CMD_RATE_LOW, 0, 11, "Error 4"}),
                         [](const auto &info) { return "Error" + std::to_string(info.index + 1); });

TEST_F(Acquisition, AFailedStartCommandEndsSilentlyWithAStopCommand) {
  set_rates(100, 0, 0, 0);
  qxsim_set_command_fault(QXSIM_CMD_START, 0, 2);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return writes(1).size() >= 5; }));
  EXPECT_EQ(writes(1).back(), kStop);
  EXPECT_TRUE(qxtest::alerts().empty());
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
}

TEST_F(Acquisition, FailedPurgesStopCommandsAndInTaskCallsAreNotExamined) {
  set_rates(100, 0, 0, 0);
  for (int call : {QXSIM_CALL_PURGE, QXSIM_CALL_STOP_IN_TASK, QXSIM_CALL_RESTART_IN_TASK})
    qxsim_set_fault(call, 1, FT_IO_ERROR, -1);
  qxsim_set_command_fault(QXSIM_CMD_STOP, FT_IO_ERROR, -1);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(2));
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  EXPECT_EQ(Restart_Acquisition(), 1);
  ASSERT_TRUE(streaming_blocks(1));
  EXPECT_EQ(qx::stream_status, static_cast<FT_STATUS>(FT_IO_ERROR))
      << "the in-task restart's failure is stored, not examined; reads store nothing";
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_TRUE(qxtest::alerts().empty());
}

TEST_F(Acquisition, AFailedThreadCreationStartsNothing) {
  set_rates(100, 0, 0, 0);
  qx::platform::fail_next_thread_start_for_test();
  EXPECT_EQ(Start_Acquisition(0), 0);
  EXPECT_EQ(qx::running.load(), 0);
  EXPECT_EQ(Pause_Acquisition(), 0);
  EXPECT_EQ(Stop_Acquisition(), FT_OK) << "the opened channel is closed as after any start";
  EXPECT_EQ(Start_Acquisition(0), 1);
}

TEST_F(Acquisition, ARestartEventLeftByAnEndedThreadDoesNotReleaseTheNextPause) {
  set_rates(100, 0, 0, 0);
  qxsim_set_command_fault(QXSIM_CMD_RATE_HIGH, FT_IO_ERROR, -1);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return !qxtest::alerts().empty(); }));
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_EQ(Stop_Acquisition(), FT_OK);  // sets the restart event; no thread takes it
  qxsim_set_command_fault(QXSIM_CMD_RATE_HIGH, 0, -1);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(1));
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(qx::pause_flag.load(), 1) << "still paused";
  EXPECT_EQ(Restart_Acquisition(), 1);
}

TEST_F(Acquisition, AStartCommandFailingOnResumptionKeepsTheCount) {
  set_rates(100, 0, 0, 0);
  qxsim_set_stream_limit(qxtest::primed_words(1) + 3 * 16384ull);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 3; }));
  std::vector<uint8_t> block0(qx::block_ring[0], qx::block_ring[0] + qx::kBlockBytes);
  qxsim_set_command_fault(QXSIM_CMD_START, FT_IO_ERROR, -1);
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  // The failed start command leaves the amplifier stopped: priming finds nothing and the thread
  // ends, so the restart reports 0 instead of waiting for ever.
  EXPECT_EQ(Restart_Acquisition(), 0);
  EXPECT_EQ(Get_Blocks_Transferred(), 3u);
  EXPECT_TRUE(std::equal(block0.begin(), block0.end(), qx::block_ring[0]))
      << "priming never overwrites a readable block";
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
}

// Channel 0 alone at 10 kS/s in real time: a block takes 1.6 s, so a stop or a pause lands in
// the middle of one while the device is still delivering.
class SlowStream : public Acquisition {
 protected:
  void SetUp() override {
    Acquisition::SetUp();
    qxsim_set_speed(1.0);
    qxsim_set_timeout_scale(1.0);  // the library's real stream time-out
    set_rates(10, 0, 0, 0);
  }
  static constexpr uint32_t kPrimed = 10;  // frame of one word: ten words primed away
  static bool mid_first_block() {
    return wait_for([] { return qxsim_words_sent() > kPrimed + 4000; });
  }
  // Block 0 of the current stream, read back through the library, against the test pattern.
  static void expect_first_block_readable_and_right() {
    std::vector<int32_t> got(16384);
    ASSERT_EQ(Get_Data_Samples(got.data(), 0, 0, 16384), 16384);
    std::vector<int32_t> want(16384);
    for (uint32_t i = 0; i < 16384; ++i)
      want[i] = static_cast<int32_t>(qxsim_pattern_value(0, kPrimed + i));
    EXPECT_EQ(got, want);
  }
  static double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
};

TEST_F(SlowStream, StopMidBlockCountsTheBlockTheDeviceIsStillDelivering) {
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(mid_first_block());
  ASSERT_EQ(Get_Blocks_Transferred(), 0u);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 1u);
  expect_first_block_readable_and_right();
}

TEST_F(SlowStream, PauseMidBlockFinishesTheBlockFirst) {
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(mid_first_block());
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  EXPECT_EQ(Get_Blocks_Transferred(), 1u);
  expect_first_block_readable_and_right();
  ASSERT_EQ(Restart_Acquisition(), 1);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 1u);
}

TEST_F(SlowStream, StopWhilePausedReadsExactlyOneMoreBlock) {
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 1u);
  expect_first_block_readable_and_right();
}

TEST_F(SlowStream, ADeviceFallingSilentMidBlockStillStopsWithinASecond) {
  qxsim_set_stream_limit(kPrimed + 8000);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return qxsim_words_sent() >= kPrimed + 8000; }));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_LT(seconds_since(t0), qxtest::sanitized() ? 10.0 : 1.0);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u) << "the partial block is not counted";
}

TEST_F(SlowStream, APauseOfADeviceFallenSilentMidBlockTakesHoldWithinASecond) {
  qxsim_set_stream_limit(kPrimed + 8000);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return qxsim_words_sent() >= kPrimed + 8000; }));
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  EXPECT_LT(seconds_since(t0), qxtest::sanitized() ? 10.0 : 1.0);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u) << "the partial block is not counted";
  EXPECT_EQ(Restart_Acquisition(), 1);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
}

TEST_F(Acquisition, FailingBlockReadsDoNotAdvanceTheCount) {
  set_rates(100, 0, 0, 0);
  const uint32_t primed = qxtest::primed_words(1);
  qxsim_set_stream_limit(primed + 2 * 16384ull);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 2; }));
  qxsim_set_fault(QXSIM_CALL_READ, 1, FT_IO_ERROR, 3);
  ASSERT_TRUE(wait_for([] { return qxsim_call_count(QXSIM_CALL_READ, 1, 1) == 3; }));
  EXPECT_EQ(Get_Blocks_Transferred(), 2u);
  qxsim_set_stream_limit(primed + 4 * 16384ull);
  ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 4; }));
  Stop_Acquisition();
  const uint8_t *p = &qx::block_ring[2][0];
  EXPECT_EQ(p[0] | p[1] << 8, static_cast<int>(qxsim_pattern_value(0, primed + 2 * 16384)))
      << "the same ring block is read again, from where the stream is";
}

TEST_F(Acquisition, UnpluggingMidStreamNeitherHangsNorCounts) {
  set_rates(100, 100, 100, 100);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(2));
  qxsim_set_attached(0);
  const uint32_t at_unplug = Get_Blocks_Transferred();
  ASSERT_TRUE(wait_for([] { return qxsim_call_count(QXSIM_CALL_READ, 1, 1) >= 3; }));
  EXPECT_LE(Get_Blocks_Transferred(), at_unplug + 1);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(qx::running.load(), 0);
}

TEST_F(Acquisition, PrimingAgainstASilentDeviceGivesUp) {
  set_rates(100, 0, 0, 0);
  qxsim_set_stream_limit(1);  // one word, then silence
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(wait_for([] { return writes(1).size() >= 5; }));
  EXPECT_EQ(writes(1).back(), kStop) << "normal end";
  EXPECT_EQ(qx::running.load(), 1);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
}

TEST_F(Acquisition, ResumingWithEveryChannelOffEndsInsteadOfSpinning) {
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_TRUE(streaming_blocks(1));
  ASSERT_EQ(Pause_Acquisition(), 1);
  ASSERT_TRUE(paused());
  Set_Sample_Rate(0, 0);  // frame length 0: nothing to prime with
  EXPECT_EQ(Restart_Acquisition(), 0);
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
}

}  // namespace
