// QX470USB.dll loaded as a host loads it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "QX470USB.h"
#include "qxsim.h"

namespace {

struct Export {
  const char *name;
  int ordinal;
  int argument_bytes;
};

constexpr Export kExports[] = {
    {"Start_Acquisition", 1, 4},
    {"Stop_Acquisition", 2, 0},
    {"Get_Blocks_Transferred", 3, 0},
    {"Get_DataPoint", 4, 8},
    {"Set_Sample_Rate", 5, 8},
    {"Get_Sample_Rate", 6, 4},
    {"Do_Autozero", 7, 0},
    {"Do_Cal_On", 8, 0},
    {"Do_Cal_Off", 9, 0},
    {"LV_Start_Acquisition", 10, 0},
    {"Get_Data_Samples", 11, 16},
    {"Get_Trigger", 12, 24},
    {"Get_Sample_Modulus", 13, 4},
    {"Set_Sample_Boundary", 14, 4},
    {"Get_QX470USB_Status", 15, 0},
    {"Get_Current_DataPoint", 16, 4},
    {"Restart_Acquisition", 17, 0},
    {"Pause_Acquisition", 18, 0},
    {"Set_Calibration_Data", 19, 4},
    {"Get_Calibration_Data", 20, 0},
};

#if defined(__i386__)
// Calls fn with `words` zero arguments pushed and gives back how many bytes of them were still
// on the stack after it returned: 0 when the callee removed its own arguments.
extern "C" uint32_t qx_bytes_left_by(void *fn, uint32_t words);
asm(R"(
  .text
  .globl _qx_bytes_left_by
_qx_bytes_left_by:
  pushl %ebp
  movl %esp, %ebp
  pushl %esi
  movl 8(%ebp), %eax
  movl 12(%ebp), %ecx
  movl %esp, %esi
1:
  testl %ecx, %ecx
  jz 2f
  pushl $0
  decl %ecx
  jmp 1b
2:
  call *%eax
  movl %esi, %eax
  subl %esp, %eax
  movl %esi, %esp
  popl %esi
  popl %ebp
  ret
)");
#endif

template <class Fn>
Fn proc(HMODULE dll, int ordinal) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void *>(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))));
}

class DllLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = LoadLibraryA("QX470USB.dll");
    ASSERT_NE(dll_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (dll_) FreeLibrary(dll_);
  }
  HMODULE dll_ = nullptr;
};

}  // namespace

TEST_F(DllLoad, EveryExportHasItsOrdinalAndItsUndecoratedName) {
  for (const Export &e : kExports) {
    FARPROC by_name = GetProcAddress(dll_, e.name);
    FARPROC by_ordinal = GetProcAddress(dll_, MAKEINTRESOURCEA(e.ordinal));
    EXPECT_NE(by_name, nullptr) << e.name;
    EXPECT_EQ(by_name, by_ordinal) << e.name << " @" << e.ordinal;
    const std::string decorated = std::string(e.name) + "@" + std::to_string(e.argument_bytes);
    EXPECT_EQ(GetProcAddress(dll_, decorated.c_str()), nullptr) << decorated;
  }
  EXPECT_EQ(GetProcAddress(dll_, MAKEINTRESOURCEA(21)), nullptr);
  EXPECT_EQ(GetProcAddress(dll_, MAKEINTRESOURCEA(0)), nullptr);
}

TEST_F(DllLoad, ExportsWithArgumentsRemoveThemFromTheStack) {
#if defined(__i386__)
  // No device, so no call below reaches the amplifier, and the run readers get no buffer to fill.
  qxsim_set_attached(0);
  for (const Export &e : kExports) {
    void *fn = reinterpret_cast<void *>(GetProcAddress(dll_, MAKEINTRESOURCEA(e.ordinal)));
    ASSERT_NE(fn, nullptr) << e.name;
    EXPECT_EQ(qx_bytes_left_by(fn, static_cast<uint32_t>(e.argument_bytes / 4)), 0u) << e.name;
  }
  proc<int32_t(QX470_CALL *)()>(dll_, 2)();  // Stop_Acquisition
  qxsim_set_attached(1);
  // The check itself can fail: the simulator's own knobs are plain C calls, which leave their
  // arguments for the caller to remove.
  HMODULE bridge = GetModuleHandleA("ftd2xx.dll");
  ASSERT_NE(bridge, nullptr);
  void *cdecl_fn = reinterpret_cast<void *>(GetProcAddress(bridge, "qxsim_set_attached"));
  ASSERT_NE(cdecl_fn, nullptr);
  EXPECT_EQ(qx_bytes_left_by(cdecl_fn, 1), 4u);
#else
  GTEST_SKIP() << "64-bit Windows has one calling convention";
#endif
}

TEST_F(DllLoad, LoadTimeInitialisationRanInTheDll) {
  // The state after load, and the events exist: a start runs and its stop returns.
  auto set_rate = proc<int32_t(QX470_CALL *)(int32_t, int32_t)>(dll_, 5);
  auto rate = proc<int32_t(QX470_CALL *)(int32_t)>(dll_, 6);
  auto start = proc<int32_t(QX470_CALL *)(int32_t)>(dll_, 1);
  auto stop = proc<int32_t(QX470_CALL *)()>(dll_, 2);
  auto blocks = proc<uint32_t(QX470_CALL *)()>(dll_, 3);
  auto status = proc<int32_t(QX470_CALL *)()>(dll_, 15);
  ASSERT_TRUE(set_rate && rate && start && stop && blocks && status);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(rate(c), 0) << c;
  EXPECT_EQ(blocks(), 0u);
  qxsim_reset();
  qxsim_set_speed(0);
  EXPECT_EQ(status(), 101);
  set_rate(0, 100);
  ASSERT_EQ(start(0), 1);
  const DWORD deadline = GetTickCount() + 60000;
  while (blocks() < 3 && GetTickCount() < deadline) Sleep(1);
  EXPECT_GE(blocks(), 3u);
  EXPECT_EQ(stop(), 0);
}
