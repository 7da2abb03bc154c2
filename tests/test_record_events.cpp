// qx470-record --events: events over UDP and a named pipe, sent at known times while the recorder
// runs in real time against the simulator, land in the EDF+ file, the CSV and the sidecar at the
// samples the clock map gives for their time; texts that could break a format leave it valid.
#include <arpa/inet.h>
#include <edflib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "record_cli_support.h"
#include "wait_for.h"

namespace {

namespace fs = std::filesystem;
using namespace qxtest;  // the recorder run as a program: spawn, wait_exit, slurp, RecordCli

double steady_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A loopback UDP port that nothing uses now.
int free_port() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

void send_udp(int port, const std::string &text) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  close(fd);
}

nlohmann::json sidecar(const fs::path &p) {
  std::ifstream in(p);
  return nlohmann::json::parse(in, nullptr, false);
}

// The sample of Ch1 (100 kS/s, the reference) at steady time t, by the sidecar's clock map.
double mapped_index(const nlohmann::json &j, double t) {
  const auto &seg = j["clock"]["segments"].back();
  return (t - seg["steady_of_first"].get<double>()) * seg["rate"].get<double>();
}

class Events : public RecordCli, public ::testing::WithParamInterface<const char *> {};

TEST_P(Events, LandAtTheirSamplesInEveryFileAndLeaveItValid) {
  const std::string ext = GetParam();
  const fs::path out = dir_ / ("run." + ext), side = dir_ / "run.json", fifo = dir_ / "events";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int port = free_port();
  Child c = spawn({"-q", "-r", "1=100,2=10", "-t", "4s", "-o", out.string(), "--events",
                   "udp:" + std::to_string(port), "--events", fifo.string()},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  // Once the sidecar is there the recorder listens (its sources open before the device).
  ASSERT_TRUE(qxtest::wait_for([&] { return fs::exists(side); }, 60)) << slurp(c.err);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  std::vector<double> sent;
  for (int i = 0; i < 5; ++i) {
    sent.push_back(steady_now());
    send_udp(port, "trial " + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The sender's own time, and texts that would break a format if written as they came.
  const double stamped = steady_now() - 0.5;
  char at[64];
  std::snprintf(at, sizeof at, "@steady=%.6f stamped", stamped);
  send_udp(port, at);
  {
    std::ofstream pipe(fifo);
    pipe << "line\x14with\x15separators\n"
         << "quote \" backslash \\ comma, tab\tend\n"
         << "\xC3\xA9t\xC3\xA9 " << std::string(300, 'x') << "\n";
  }
  EXPECT_EQ(wait_exit(c.pid), 0) << slurp(c.err);

  const nlohmann::json j = sidecar(side);
  ASSERT_TRUE(j.is_object()) << slurp(side);
  ASSERT_EQ(j["events"].size(), 9u) << j["events"].dump(1);
  // Arrival-timed events: at the sample the map gives for the time they were sent, within the
  // loopback's delivery and the reader's notes (a few ms on a loaded machine; see
  // docs/performance.md for the measured figure).
  for (size_t i = 0; i < 5; ++i) {
    const auto &e = j["events"][i];
    EXPECT_EQ(e["text"], "trial " + std::to_string(i));
    const double off = (e["index"]["Ch1"].get<double>() - mapped_index(j, sent[i])) / 1e5;
    EXPECT_GE(off, -0.002) << i;
    EXPECT_LT(off, 0.05) << i;
    // Ch2 at a tenth of the rate, the same moment.
    EXPECT_NEAR(e["index"]["Ch2"].get<double>() * 10, e["index"]["Ch1"].get<double>(), 20);
  }
  // A stamped event is exactly where the map puts its time.
  EXPECT_EQ(j["events"][5]["text"], "stamped");
  // (the map has been refined since it was placed: to a millisecond)
  EXPECT_NEAR(j["events"][5]["index"]["Ch1"].get<double>(), mapped_index(j, stamped), 100);
  EXPECT_EQ(j["events"][6]["text"], "line with separators");
  EXPECT_EQ(j["events"][7]["text"], "quote \" backslash \\ comma, tab end");
  EXPECT_EQ(j["events"][8]["text"].get<std::string>().size(), 200u) << "cut to 200 bytes";
  // The clock map itself: the simulator keeps the host's time, so the rate is nominal.
  EXPECT_NEAR(j["clock"]["segments"][0]["ppm"].get<double>(), 0, 2000);

  if (ext == "edf") {
    edf_hdr_struct h{};
    ASSERT_EQ(edfopen_file_readonly(out.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
    std::vector<std::string> texts;
    std::vector<long long> onsets;
    for (long long i = 0; i < h.annotations_in_file; ++i) {
      edf_annotation_struct a{};
      edf_get_annotation(h.handle, static_cast<int>(i), &a);
      texts.push_back(a.annotation);
      onsets.push_back(a.onset);
    }
    edfclose_file(h.handle);
    ASSERT_GE(texts.size(), 9u);
    EXPECT_EQ(texts[0], "trial 0");
    // At the event's sample, to libedf's 100 us.
    EXPECT_NEAR(onsets[0] / 1e7, j["events"][0]["index"]["Ch1"].get<double>() / 1e5, 1e-4);
    EXPECT_EQ(texts[6], "line with separators");
    EXPECT_LE(texts[8].size(), 40u);
  } else {
    const std::string csv = slurp(dir_ / "run_100kSps.csv");
    const size_t at_event = csv.find("# event: trial 0\n");
    ASSERT_NE(at_event, std::string::npos);
    // The row after the comment is the event's sample.
    const auto row = std::stoull(csv.substr(at_event + std::strlen("# event: trial 0\n")));
    EXPECT_EQ(row, j["events"][0]["index"]["Ch1"].get<uint64_t>());
    EXPECT_NE(csv.find("# event: line with separators\n"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Events, ::testing::Values("edf", "csv"),
                         [](const auto &info) { return std::string(info.param); });

TEST_F(RecordCli, AnEventSourceThatCannotBeOpenedIsSaidBeforeTheRecording) {
  const int port = free_port();
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  EXPECT_EQ(
      run({"-n", "10", "-o", (dir_ / "x.csv").string(), "--events", "udp:" + std::to_string(port)}),
      1);
  EXPECT_NE(err_.find("cannot listen for events on udp:"), std::string::npos) << err_;
  close(fd);
  EXPECT_EQ(
      run({"-n", "10", "-o", (dir_ / "y.csv").string(), "--events", (dir_ / "none").string()}), 1);
  EXPECT_NE(err_.find("cannot read events from"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(dir_ / "y.csv"));
}

}  // namespace
