// The library over the libftdi1 backend on a machine without the amplifier: every entry point
// takes its documented no-device path through the real USB stack, and nothing waits long.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "QX470USB.h"
#include "ftd2xx.h"

namespace {

template <class F>
long long elapsed_ms(F &&f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0)
      .count();
}

}  // namespace

TEST(NoDevice, TheBridgeListsNothingAndOpensNothing) {
  DWORD count = 77;
  const FT_STATUS st = FT_CreateDeviceInfoList(&count);
  // No USB subsystem at all (a container) is an error; USB without the device is an empty list.
  EXPECT_TRUE(st == FT_OK || st == FT_OTHER_ERROR) << st;
  EXPECT_EQ(count, 0u);
  FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
  count = 2;
  EXPECT_EQ(FT_GetDeviceInfoList(nodes, &count), FT_OK);
  EXPECT_EQ(count, 0u);

  FT_HANDLE h = reinterpret_cast<FT_HANDLE>(0x1234);
  EXPECT_EQ(FT_Open(0, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(FT_Open(1, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_Open(-1, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_Open(0, nullptr), FT_INVALID_PARAMETER);
  EXPECT_EQ(FT_CreateDeviceInfoList(nullptr), FT_INVALID_PARAMETER);

  // Handles that were never opened are refused by every call, not followed.
  FT_HANDLE bogus = reinterpret_cast<FT_HANDLE>(0x1234);
  uint8_t buf[12] = {};
  DWORD n = 0;
  EXPECT_EQ(FT_Close(bogus), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Close(nullptr), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_SetTimeouts(bogus, 1000, 1000), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Purge(bogus, 3), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Write(bogus, buf, 1, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Read(bogus, buf, 1, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_StopInTask(bogus), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_RestartInTask(bogus), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_EE_UARead(bogus, buf, 12, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_EE_UAWrite(bogus, buf, 12), FT_INVALID_HANDLE);
}

TEST(NoDevice, TheLibraryReportsNoDeviceAndStartsNothing) {
  EXPECT_LT(elapsed_ms([] { EXPECT_EQ(Get_QX470USB_Status(), -5); }), 5000);
  EXPECT_EQ(Get_Calibration_Data(), 0);
  EXPECT_EQ(Set_Calibration_Data(3200), 0);
  EXPECT_EQ(Do_Autozero(), 0);
  EXPECT_EQ(Do_Cal_On(), 0);
  EXPECT_EQ(Do_Cal_Off(), 0);
  EXPECT_EQ(Start_Acquisition(0), 0);
  EXPECT_EQ(LV_Start_Acquisition(), 0);
  EXPECT_EQ(Get_Blocks_Transferred(), 0u);
  Stop_Acquisition();
  EXPECT_EQ(Get_QX470USB_Status(), -5);  // and again, after the failed starts
}

#ifdef QX470_CONSOLE_PATH
TEST(NoDevice, TheConsoleSaysNoDevice) {
  const std::string cmd = std::string("timeout 60 ") + QX470_CONSOLE_PATH + " </dev/null 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char chunk[512];
  size_t k;
  while ((k = fread(chunk, 1, sizeof chunk, p)) > 0) out.append(chunk, k);
  const int status = pclose(p);
  EXPECT_NE(out.find("No Device\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Device Ready"), std::string::npos) << out;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 124) << "the console hung";
}
#endif
