// qx470-check run as a program against the simulated amplifier: a sound device passes every
// step, and each fault the simulator can be given fails its own step (and those that need it)
// with words that say what is wrong.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "record_cli_support.h"
#include "wait_for.h"

namespace {

using qxtest::slurp;
using qxtest::wait_exit;
namespace fs = std::filesystem;

class CheckCli : public qxtest::TestFolder {
 protected:
  CheckCli() : TestFolder("qx470check_") {}
  int run(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
          double seconds = 300) {
    const qxtest::Child c = qxtest::spawn_program(QX470_CHECK_PATH, args, env, dir_);
    EXPECT_GT(c.pid, 0);
    const int code = wait_exit(c.pid, seconds);
    out_ = slurp(c.out);
    err_ = slurp(c.err);
    return code;
  }
  // The line of step `n`, e.g. "4. noise        FAIL  ...".
  std::string step_line(int n) const {
    const std::string head = std::to_string(n) + ". ";
    for (size_t pos = 0; pos < out_.size();) {
      const size_t end = std::min(out_.find('\n', pos), out_.size());
      if (out_.compare(pos, head.size(), head) == 0) return out_.substr(pos, end - pos);
      pos = end + 1;
    }
    return "";
  }
  std::string verdict(int n) const {
    const std::string line = step_line(n);
    return line.size() > 20 ? line.substr(16, 4) : "none";
  }
  std::string out_, err_;
};

TEST_F(CheckCli, ASoundAmplifierPassesEveryStepAndTheReportSaysSoInJson) {
  const fs::path json = dir_ / "report.json";
  ASSERT_EQ(run({"--quick", "--json", json.string()}), 0) << out_ << err_;
  for (int n = 1; n <= 7; ++n) EXPECT_EQ(verdict(n), "PASS") << step_line(n) << "\n" << out_;
  EXPECT_NE(out_.find("Result: PASS"), std::string::npos) << out_;
  EXPECT_NE(out_.find("(provisional)"), std::string::npos) << "the thresholds are printed";
  EXPECT_NE(step_line(3).find("312500 nV per count"), std::string::npos);

  const nlohmann::json j = nlohmann::json::parse(slurp(json));
  EXPECT_EQ(j["result"], "PASS");
  EXPECT_EQ(j["bridge"]["kind"], "simulated amplifier");
  EXPECT_FALSE(j["machine"]["kernel"].get<std::string>().empty());
  EXPECT_EQ(j["usb"]["node"], "/dev/bus/usb/001/002");
  ASSERT_EQ(j["steps"].size(), 7u);
  const auto &noise = j["steps"][3]["items"][0]["figures"];
  EXPECT_LT(std::fabs(noise["offset_mV"].get<double>()), 1.0);
  EXPECT_GT(noise["noise_uV_rms"].get<double>(), 100.0) << "the simulator's few counts of noise";
  const auto &shunt = j["steps"][4]["figures"];
  EXPECT_NEAR(shunt["gain_error_pct"].get<double>(), 0.0, 0.05);
  EXPECT_EQ(shunt["trimmed"], 312500);
  const auto &endurance = j["steps"][6]["figures"];
  EXPECT_EQ(endurance["lost"], 0);
  EXPECT_EQ(endurance["samples"], 4000000);
  EXPECT_FALSE(j["thresholds"].empty());
}

struct Fault {
  const char *name;
  std::vector<std::string> env, args;
  int step;           // the step that fails
  const char *words;  // what it says
  std::vector<int> pass, skip;
};

void PrintTo(const Fault &f, std::ostream *os) {
  *os << f.name;
}

class CheckFaults : public CheckCli, public ::testing::WithParamInterface<Fault> {};

TEST_P(CheckFaults, FailTheirOwnStepAndSayWhatIsWrong) {
  const Fault &f = GetParam();
  std::vector<std::string> args = {"--quick"};
  args.insert(args.end(), f.args.begin(), f.args.end());
  EXPECT_EQ(run(args, f.env), 1) << out_ << err_;
  EXPECT_EQ(verdict(f.step), "FAIL") << out_;
  const size_t at = out_.find(std::to_string(f.step) + ". ");
  ASSERT_NE(at, std::string::npos);
  const size_t next = out_.find(std::to_string(f.step + 1) + ". ", at);
  EXPECT_NE(out_.substr(at, next - at).find(f.words), std::string::npos)
      << "step " << f.step << " does not say '" << f.words << "':\n"
      << out_;
  for (int n : f.pass) EXPECT_EQ(verdict(n), "PASS") << step_line(n) << "\n" << out_;
  for (int n : f.skip) EXPECT_EQ(verdict(n), "SKIP") << step_line(n) << "\n" << out_;
}

INSTANTIATE_TEST_SUITE_P(
    Simulated, CheckFaults,
    ::testing::Values(
        Fault{"absent", {"QXSIM_ATTACHED=0"}, {}, 1, "no QX-470-USB", {}, {3, 4, 5, 6, 7}},
        Fault{"held",
              {"QXSIM_BUSY=1"},
              {"-s", "1-3"},
              1,
              "another process has the amplifier open",
              {},
              {3}},
        Fault{"unpowered", {"QXSIM_POWERED=0"}, {}, 2, "does not answer", {1}, {3, 4, 5, 6, 7}},
        Fault{"no_record",
              {"QXSIM_EEPROM=garbage"},
              {"-s", "4"},
              3,
              "no calibration record",
              {1, 2, 4},
              {}},
        Fault{"record_out_of_range",
              {"QXSIM_EEPROM=cal:290000 "},
              {"-s", "3"},
              3,
              "outside 300001..319999",
              {1, 2},
              {}},
        Fault{"stuck", {"QXSIM_STUCK=2"}, {"-s", "4"}, 4, "Ch2 stuck", {1, 2, 3}, {}},
        Fault{"railed", {"QXSIM_RAILED=3"}, {"-s", "4"}, 4, "Ch3 railed", {1, 2, 3}, {}},
        Fault{"noisy", {"QXSIM_NOISE=10"}, {"-s", "4"}, 4, "above 2000 uV", {1, 2, 3}, {}},
        Fault{"hum", {"QXSIM_HUM=0.005"}, {"-s", "4-5"}, 4, "mains hum of", {1, 2, 3, 5}, {}},
        Fault{
            "gain", {"QXSIM_GAIN=1.02"}, {"-s", "4-5"}, 5, "2.00 % off 1.000 V", {1, 2, 3, 4}, {}},
        Fault{"shunt_stuck",
              {"QXSIM_SHUNT_STUCK=1"},
              {"-s", "5"},
              5,
              "the shunt did not switch",
              {1, 2, 3},
              {}},
        Fault{"lossy_rate",
              {"QXSIM_LOSE_AT=20"},
              {"-s", "6-7", "-r", "100,20"},
              6,
              "20 kS/s Ch1     ",
              {1, 2, 3, 7},
              {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(CheckCli, ASmallGainErrorIsAWarningWithTheTrimmedValueAndOnlyTheFlagWritesIt) {
  ASSERT_EQ(run({"-s", "5"}, {"QXSIM_GAIN=1.004"}), 0) << out_;
  EXPECT_EQ(verdict(5), "WARN") << out_;
  EXPECT_NE(out_.find("--write-calibration stores it"), std::string::npos) << out_;
  // 312500 / 1.004, to the rounding of the counts.
  ASSERT_EQ(run({"-s", "5", "--write-calibration"}, {"QXSIM_GAIN=1.004"}), 0) << out_;
  EXPECT_NE(out_.find("stored 3112"), std::string::npos) << out_;
}

TEST_F(CheckCli, BadArgumentsAreRefusedBeforeTheDeviceIsTouched) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--steps", "8"},
        {"--steps", "2-1"},
        {"--rates", "3"},
        {"--rates", "100,"},
        {"--bogus"},
        {"-d"},
        {"extra"},
        {"--json", (dir_ / "no" / "such" / "folder.json").string()}}) {
    EXPECT_EQ(run(args), 2) << args[0];
    EXPECT_NE(err_.find("qx470-check: "), std::string::npos) << err_;
    EXPECT_EQ(out_.find("1. bridge"), std::string::npos) << out_;
  }
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_NE(out_.find("--write-calibration"), std::string::npos);
}

TEST_F(CheckCli, CtrlCEndsTheCheckWithTheReportSoFar) {
  const fs::path json = dir_ / "report.json";
  const qxtest::Child c =
      qxtest::spawn_program(QX470_CHECK_PATH, {"-s", "7", "--json", json.string()}, {}, dir_);
  ASSERT_GT(c.pid, 0);
  // Once step 3 is printed the 60 s run has begun.
  ASSERT_TRUE(qxtest::wait_for([&] { return slurp(c.out).find("3. ") != std::string::npos; }, 120));
  kill(c.pid, SIGINT);
  EXPECT_EQ(wait_exit(c.pid, 60), 130);
  const std::string out = slurp(c.out);
  EXPECT_NE(out.find("Result: INTERRUPTED"), std::string::npos) << out;
  EXPECT_EQ(nlohmann::json::parse(slurp(json))["result"], "INTERRUPTED");
}

}  // namespace
