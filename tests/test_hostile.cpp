// Careless and hostile hosts: the exports called in any order and with any arguments, control
// commands while streaming. Nothing may crash, hang or leave the device half-open.
#include <climits>
#include <random>

#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID);
#endif

namespace {

using qxtest::LibraryTest;
using qxtest::wait_for;

class Hostile : public LibraryTest {};

TEST_F(Hostile, ExportsInAnyOrder) {
  std::mt19937 rng(4711);
  std::vector<int32_t> buf(512);
  const int32_t rates[] = {0, 1, 2, 5, 10, 20, 50, 100, -7, 1000};
  for (int step = 0; step < 400; ++step) {
    const int32_t channel = static_cast<int32_t>(rng() % 6) - 1;
    switch (rng() % 12) {
      case 0:
        EXPECT_LE(Start_Acquisition(static_cast<int32_t>(rng())), 1);
        break;
      case 1:
        EXPECT_LE(LV_Start_Acquisition(), 1);
        break;
      case 2:
        Stop_Acquisition();
        break;
      case 3:
        EXPECT_LE(Pause_Acquisition(), 1);
        break;
      case 4:
        EXPECT_LE(Restart_Acquisition(), 1);
        break;
      case 5:
        Set_Sample_Rate(channel, rates[rng() % 10]);
        break;
      case 6:
        Set_Sample_Boundary(static_cast<int32_t>(rng() % 3));
        break;
      case 7: {
        const int32_t v = Get_DataPoint(channel, static_cast<uint32_t>(rng()));
        EXPECT_TRUE(v >= -4 && v <= 65535);
        break;
      }
      case 8:
        EXPECT_LE(Get_Data_Samples(buf.data(), channel, rng() % 100000,
                                   static_cast<int32_t>(rng() % 512)),
                  512);
        break;
      case 9:
        Get_Trigger(buf.data(), channel, rng() % 100000, 512, static_cast<int32_t>(rng() % 5),
                    30000);
        break;
      case 10:
        EXPECT_LE(Do_Autozero(), 1);
        break;
      case 11:
        Get_Current_DataPoint(channel);
        break;
    }
  }
  Stop_Acquisition();
  EXPECT_EQ(qx::running.load(), 0);
  EXPECT_EQ(qxsim_open_handles(), 0);
}

TEST_F(Hostile, StopBeforeStartAndRestartTwice) {
  Stop_Acquisition();
  Stop_Acquisition();
  EXPECT_EQ(Restart_Acquisition(), 0);
  set_rates(100, 0, 0, 0);
  ASSERT_EQ(Start_Acquisition(0), 1);
  ASSERT_EQ(Pause_Acquisition(), 1);
  EXPECT_EQ(Restart_Acquisition(), 1);
  EXPECT_EQ(Restart_Acquisition(), 0) << "no longer paused";
  EXPECT_EQ(Pause_Acquisition(), 1);
  EXPECT_EQ(Pause_Acquisition(), 1) << "asking twice is harmless";
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(Pause_Acquisition(), 0);
}

TEST_F(Hostile, ShuntAndAutoZeroWhileStreamingFromASecondThread) {
  set_rates(100, 100, 100, 100);
  ASSERT_EQ(Start_Acquisition(0), 1);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) Get_DataPoint(0, Get_Blocks_Transferred() * 4096 - 1);
  });
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Do_Cal_On(), 1);
    EXPECT_EQ(Do_Autozero(), 1);
    EXPECT_EQ(Do_Cal_Off(), 1);
  }
  const uint32_t before = Get_Blocks_Transferred();
  EXPECT_TRUE(wait_for([before] { return Get_Blocks_Transferred() > before; }));
  stop = true;
  reader.join();
  EXPECT_EQ(Stop_Acquisition(), FT_OK);
  EXPECT_EQ(qxsim_open_handles(), 0);
}

// The events come first at load; without either the library must not start, and must not keep
// the one it did get.
TEST_F(Hostile, AnEventThatCannotBeCreatedAtLoadLeavesNothingThatCanStart) {
  for (int skip : {0, 1}) {
    SCOPED_TRACE(skip == 0 ? "first event refused" : "second event refused");
    qx::library_detach();
    qx::platform::fail_event_create_for_test(skip);
    EXPECT_FALSE(qx::library_attach());
    EXPECT_FALSE(qx::library_ready);
    EXPECT_EQ(qx::stopped_event, nullptr);
    EXPECT_EQ(qx::restart_event, nullptr);
    set_rates(100, 0, 0, 0);
    EXPECT_EQ(Start_Acquisition(0), 0);
    EXPECT_EQ(qx::running.load(), 0);
    EXPECT_EQ(Pause_Acquisition(), 0);
    EXPECT_EQ(Restart_Acquisition(), 0);
    Stop_Acquisition();
  }
  qx::platform::fail_event_create_for_test(-1);
  ASSERT_TRUE(qx::library_attach());
  set_rates(100, 0, 0, 0);  // the load state has every channel off
  EXPECT_EQ(Start_Acquisition(0), 1);
}

#ifdef _WIN32
TEST_F(Hostile, TheDllRefusesToLoadWithoutItsEvents) {
  const HINSTANCE self = GetModuleHandleA(nullptr);
  qx::library_detach();
  qx::platform::fail_event_create_for_test(1);
  EXPECT_EQ(DllMain(self, DLL_PROCESS_ATTACH, nullptr), FALSE);
  EXPECT_FALSE(qx::library_ready);
  qx::platform::fail_event_create_for_test(-1);
  EXPECT_EQ(DllMain(self, DLL_PROCESS_ATTACH, nullptr), TRUE);
  EXPECT_TRUE(qx::library_ready);
}
#endif

}  // namespace
