// The self-check's steps in-process, where the simulator shows what they leave behind: the
// calibration shunt is off after the shunt step however it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "QX470USB.h"
#include "qxsim.h"
#include "steps.h"
#include "wait_for.h"

namespace {

using qx470check::Check;
using qx470check::kSteps;
using qx470check::Step;
using qx470check::Verdict;

class CheckSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    qxsim_reset();
    ck_.stop = &stop_;
    ck_.durations = qx470check::kQuickRun;
    for (int n = 1; n <= 3; ++n) run(n);
    ASSERT_TRUE(ck_.ready);
  }
  Step run(int number) {
    Step st;
    st.number = number;
    kSteps[static_cast<size_t>(number - 1)].run(ck_, st);
    return st;
  }
  Check ck_;
  std::atomic<bool> stop_{false};
};

TEST_F(CheckSteps, AnInterruptedShuntStepLeavesTheShuntOff) {
  std::thread interrupt([&] {
    // While the shunt is on, mid-measurement.
    qxtest::wait_for([] { return qxsim_shunt_on() == 1; }, 60);
    stop_.store(true);
  });
  const Step st = run(5);
  interrupt.join();
  EXPECT_EQ(st.verdict, Verdict::kFail);
  EXPECT_NE(st.summary.find("interrupted"), std::string::npos) << st.summary;
  EXPECT_EQ(qxsim_shunt_on(), 0);
}

TEST_F(CheckSteps, AShuntThatFailsToSwitchOffIsSaidAndTriedAgain) {
  // The shunt comes on; the first command to switch it off is lost.
  qxsim_set_timeout_scale(0.01);
  std::thread lose_off([&] {
    qxtest::wait_for([] { return qxsim_shunt_on() == 1; }, 60);
    qxsim_set_echo_fault(3, 0);  // the three tries of one exchange
  });
  const Step st = run(5);
  lose_off.join();
  bool said = false;
  for (const auto &i : st.items) said |= i.text.find("shunt off") != std::string::npos;
  EXPECT_TRUE(said) << st.summary;
  EXPECT_EQ(qxsim_shunt_on(), 0) << "switched off when the step ended";
}

}  // namespace
