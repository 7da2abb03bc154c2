// Shared set-up for the suites that drive the library over the simulated amplifier.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QX470USB.h"
#include "acquisition.h"
#include "context.h"
#include "qxsim.h"
#include "wait_for.h"

namespace qxtest {

// Alerts (the library's message boxes) seen since the last clear.
std::vector<std::string> alerts();
void clear_alerts();

// Every event of one kind on one interface, from the simulator's log.
std::vector<qxsim_event> events(int call, int index);
// The bytes of every write to one interface, in order, one entry per write.
std::vector<std::vector<uint8_t>> writes(int index);

inline bool sanitized() {
#if defined(QX470_SANITIZED)
  return true;
#else
  return false;
#endif
}

// A clean library and a power-on simulator, unpaced, in test-pattern mode, with short
// time-outs; alerts are captured instead of printed.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void set_rates(int r0, int r1, int r2, int r3);
};

// Worked stream layouts: rates (kS/s) by channel and the channel of each word of one frame,
// written out by hand as the amplifier delivers them.
struct WorkedLayout {
  const char *name;
  std::array<int, 4> rates;
  std::array<int, 4> divisors;
  std::vector<int> owners;
};
const std::vector<WorkedLayout> &worked_layouts();
inline void PrintTo(const WorkedLayout &l, std::ostream *os) {
  *os << l.name;
}

// Words that priming discards for a frame of `frame_length` slots: whole frames, at least 20 bytes.
inline uint32_t primed_words(int frame_length) {
  const int frames = (10 + frame_length - 1) / frame_length;
  return static_cast<uint32_t>(frames * frame_length);
}

}  // namespace qxtest
