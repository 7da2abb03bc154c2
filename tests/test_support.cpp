#include "test_support.h"

#include "../library/platform/platform.h"

namespace qxtest {

namespace {
std::mutex g_mu;
std::vector<std::string> g_alerts;
void capture(const char *text) {
  std::lock_guard lock(g_mu);
  g_alerts.emplace_back(text);
}
}  // namespace

std::vector<std::string> alerts() {
  std::lock_guard lock(g_mu);
  return g_alerts;
}

void clear_alerts() {
  std::lock_guard lock(g_mu);
  g_alerts.clear();
}

std::vector<qxsim_event> events(int call, int index) {
  std::vector<qxsim_event> out;
  const int n = qxsim_log_count();
  for (int i = 0; i < n; ++i) {
    qxsim_event e;
    if (qxsim_log_get(i, &e) && e.call == call && (index < 0 || e.index == index)) out.push_back(e);
  }
  return out;
}

std::vector<std::vector<uint8_t>> writes(int index) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto &e : events(QXSIM_CALL_WRITE, index))
    out.emplace_back(e.bytes, e.bytes + std::min<unsigned>(e.length, sizeof e.bytes));
  return out;
}

const std::vector<WorkedLayout> &worked_layouts() {
  static const std::vector<WorkedLayout> layouts = [] {
    auto frames = [](std::vector<int> unit, int times, std::vector<int> tail) {
      std::vector<int> out;
      for (int i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
      out.insert(out.end(), tail.begin(), tail.end());
      return out;
    };
    return std::vector<WorkedLayout>{
        {"all_100", {100, 100, 100, 100}, {1, 1, 1, 1}, {1, 2, 3, 0}},
        {"mixed",
         {100, 50, 20, 10},
         {1, 2, 5, 10},
         {0, 1, 0, 0, 1, 0, 2, 0, 1, 0, 0, 1, 0, 0, 1, 2, 3, 0}},
        {"largest", {100, 100, 100, 1}, {1, 1, 1, 100}, frames({1, 2, 0}, 99, {1, 2, 3, 0})},
        {"three_100_one_50", {100, 100, 100, 50}, {1, 1, 1, 2}, {1, 2, 0, 1, 2, 3, 0}},
        {"ch0_100_ch1_1", {100, 1, 0, 0}, {1, 100, 0, 0}, frames({0}, 99, {1, 0})},
    };
  }();
  return layouts;
}

void LibraryTest::SetUp() {
  Stop_Acquisition();
  qxsim_reset();
  qxsim_set_speed(0);
  qxsim_set_signal(1);
  qxsim_set_timeout_scale(0.02);
  set_rates(0, 0, 0, 0);
  qx::set_start_block_count_for_test(0);
  qx::blocks_transferred.store(0);
  Set_Sample_Boundary(0);
  clear_alerts();
  qx::platform::set_alert_hook(capture);
  qxsim_log_clear();
}

void LibraryTest::TearDown() {
  Stop_Acquisition();
  qx::platform::set_alert_hook(nullptr);
  qxsim_reset();
}

void LibraryTest::set_rates(int r0, int r1, int r2, int r3) {
  Set_Sample_Rate(0, r0);
  Set_Sample_Rate(1, r1);
  Set_Sample_Rate(2, r2);
  Set_Sample_Rate(3, r3);
}

}  // namespace qxtest
