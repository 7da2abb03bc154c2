// The shared library as a host loads it: the twenty exports by name, the state right after load,
// and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "ftd2xx.h"
#include "qxsim.h"

namespace {

class Loaded : public ::testing::Test {
 protected:
  void SetUp() override {
    qxsim_reset();
    qxsim_set_speed(0);
    qxsim_set_timeout_scale(0.02);
    lib_ = dlopen(QX470_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (lib_) {
      EXPECT_EQ(dlclose(lib_), 0);
    }
    qxsim_reset();
  }
  template <class F>
  F *fn(const char *name) {
    void *p = dlsym(lib_, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F *>(p);
  }
  void *lib_ = nullptr;
};

TEST_F(Loaded, EveryExportResolvesByName) {
  for (const char *name : {"Start_Acquisition",     "Stop_Acquisition",    "Get_Blocks_Transferred",
                           "Get_DataPoint",         "Set_Sample_Rate",     "Get_Sample_Rate",
                           "Do_Autozero",           "Do_Cal_On",           "Do_Cal_Off",
                           "LV_Start_Acquisition",  "Get_Data_Samples",    "Get_Trigger",
                           "Get_Sample_Modulus",    "Set_Sample_Boundary", "Get_QX470USB_Status",
                           "Get_Current_DataPoint", "Restart_Acquisition", "Pause_Acquisition",
                           "Set_Calibration_Data",  "Get_Calibration_Data"})
    EXPECT_NE(dlsym(lib_, name), nullptr) << name;
  EXPECT_EQ(dlsym(lib_, "_ZN2qx14device_contextE"), nullptr) << "internals stay hidden";
}

TEST_F(Loaded, StateRightAfterLoadAndAStartWithoutRates) {
  auto blocks = fn<uint32_t()>("Get_Blocks_Transferred");
  auto rate = fn<int32_t(int32_t)>("Get_Sample_Rate");
  auto lv_start = fn<int32_t()>("LV_Start_Acquisition");
  auto stop = fn<int32_t()>("Stop_Acquisition");
  auto set_rate = fn<int32_t(int32_t, int32_t)>("Set_Sample_Rate");
  auto point = fn<int32_t(int32_t, uint32_t)>("Get_DataPoint");
  ASSERT_TRUE(blocks && rate && lv_start && stop && set_rate && point);

  EXPECT_EQ(blocks(), 0u);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(rate(c), 0);
  EXPECT_EQ(point(0, 0), -1);
  EXPECT_EQ(stop(), static_cast<int32_t>(FT_INVALID_HANDLE)) << "no start since load: handle 0";

  EXPECT_EQ(lv_start(), 0) << "every channel is off after load";
  EXPECT_EQ(qxsim_open_handles(), 1) << "the stream channel was opened all the same";
  EXPECT_EQ(stop(), FT_OK);
  EXPECT_EQ(qxsim_open_handles(), 0);

  set_rate(2, 10);
  EXPECT_EQ(lv_start(), 1);
  EXPECT_EQ(stop(), FT_OK);
  EXPECT_EQ(rate(2), 10) << "the rates stay in force after a stop";
  EXPECT_EQ(lv_start(), 1);
  EXPECT_EQ(stop(), FT_OK);
}

TEST_F(Loaded, UnloadingAfterAStopWhileStreaming) {
  auto set_rate = fn<int32_t(int32_t, int32_t)>("Set_Sample_Rate");
  auto start = fn<int32_t(int32_t)>("Start_Acquisition");
  auto blocks = fn<uint32_t()>("Get_Blocks_Transferred");
  auto stop = fn<int32_t()>("Stop_Acquisition");
  ASSERT_TRUE(set_rate && start && blocks && stop);
  set_rate(0, 100);
  ASSERT_EQ(start(0), 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (blocks() < 3 && std::chrono::steady_clock::now() < end) std::this_thread::yield();
  EXPECT_GE(blocks(), 3u);
  EXPECT_EQ(stop(), FT_OK);
  EXPECT_EQ(dlclose(lib_), 0);
  lib_ = nullptr;
  EXPECT_EQ(qxsim_open_handles(), 0);
}

}  // namespace
