// qx470-record on the Lab Streaming Layer and in XDF files: the settings and queries liblsl's
// inlets rely on, the outlet fed to an inlet sample by sample against the simulator's test
// pattern, markers followed from another outlet, and XDF files read back by libxdf, also after a
// kill -9. Every exchange stays on the loopback.
#include <arpa/inet.h>
#include <edflib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <xdf.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lsl_config.h"
#include "lsl_info.h"
#include "lsl_support.h"
#include "record_cli_support.h"
#include "sample_clock.h"
#include "wait_for.h"

namespace {

namespace fs = std::filesystem;

// libxdf (Debian's 0.99.8) reads each XML chunk into a buffer without a terminating NUL and
// copies it as a C string (and reads one it has freed): faults inside the reader, whatever file
// it reads, which the sanitizers stop. There the recorder still writes the files under the
// sanitizer, and the other builds read them back.
#if defined(QX470_SANITIZED)
constexpr bool kLibxdfReadsHere = false;
#else
constexpr bool kLibxdfReadsHere = true;
#endif
#define SKIP_UNLESS_LIBXDF_READS()                                                  \
  if (!kLibxdfReadsHere)                                                            \
  GTEST_SKIP() << "libxdf misuses its own buffers, which the sanitizers stop; the " \
                  "files are read back in the other builds"

using namespace qxtest;
using qx470rec::LslConfig;
using qx470rec::LslStreamInfo;

TEST(LslSettings, AreReadAsLiblslReadsThem) {
  std::string error;
  LslConfig c = qx470rec::parse_lsl_config(kLoopbackLslConfig, error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(c.scope_addresses(), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(c.known_peers, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(c.bind_address(), "127.0.0.1");
  EXPECT_FALSE(c.ipv6);
  // The defaults: site scope, which takes in the machine's and the link's addresses too.
  c = qx470rec::parse_lsl_config("", error);
  EXPECT_EQ(c.scope_addresses(),
            (std::vector<std::string>{"127.0.0.1", "255.255.255.255", "224.0.0.1", "224.0.0.183",
                                      "239.255.172.215"}));
  EXPECT_EQ(c.bind_address(), "0.0.0.0");
  c = qx470rec::parse_lsl_config(
      "[ports]\nBasePort = 17000\nPortRange = 4\n[multicast]\nResolveScope = nowhere\n"
      "AddressesOverride = {10.0.0.255}\n[lab]\nSessionID = lab7\n",
      error);
  EXPECT_EQ(c.base_port, 17000);
  EXPECT_EQ(c.port_range, 4);
  EXPECT_EQ(c.session_id, "lab7");
  EXPECT_EQ(c.scope_addresses(), std::vector<std::string>{"10.0.0.255"});
  EXPECT_NE(error.find("ResolveScope"), std::string::npos) << error;
}

TEST(LslInfo, AnswersTheQueriesLiblslSendsAndReadsBack) {
  qx470rec::RecordingInfo rec;
  rec.rates = {100, 100, 10, 0};
  rec.serial = "QX47000";
  const std::vector<LslStreamInfo> streams = qx470rec::recording_streams("bench", rec);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].name, "bench-100k");
  EXPECT_EQ(streams[1].name, "bench-10k");
  EXPECT_EQ(streams[0].channel_count, 2);
  EXPECT_NE(streams[0].source_id, streams[1].source_id);
  // The same amplifier at the same rates is the same source when the recorder starts again.
  EXPECT_EQ(qx470rec::recording_streams("bench", rec)[0].source_id, streams[0].source_id);
  EXPECT_NE(qx470rec::recording_streams("bench", rec)[0].uid, streams[0].uid);

  LslStreamInfo s = streams[0];
  s.v4data_port = 16580;
  s.v4service_port = 16581;
  const std::string full = qx470rec::fullinfo_xml(s);
  for (const char *q : {"", "name='bench-100k'", "session_id='default' and type='Voltage'",
                        "channel_count='2' and name='bench-100k' and type='Voltage' and "
                        "source_id='qx470-QX47000-Ch1=100k,Ch2=100k,Ch3=10k-100k' and "
                        "channel_format='float32'",
                        "desc/channels/channel[label='Ch2']", "starts-with(name,'bench')"})
    EXPECT_TRUE(qx470rec::lsl_query_matches(full, q)) << q;
  // Queries that do not parse, and those whose cost has no small bound, match nothing.
  for (const char *q :
       {"name='bench'", "type='Markers'", "name=", "][", "//*[//*[//*[//*[//*[//*[name()='x']]]]]]",
        "descendant::name", "a[b[c[d[e[f='1']]]]]"})
    EXPECT_FALSE(qx470rec::lsl_query_matches(full, q)) << q;

  const auto back = qx470rec::parse_lsl_info(qx470rec::shortinfo_xml(s));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->uid, s.uid);
  EXPECT_EQ(back->nominal_srate, 100000);
  EXPECT_EQ(back->v4data_port, 16580);
  EXPECT_EQ(back->v4service_port, 16581);
  EXPECT_FALSE(qx470rec::parse_lsl_info("<info><name>x</name></info>").has_value());
}

// Sample times step by the map's period and follow its refits without a jump; a marker's time
// is the time its sample was given.
TEST(SampleClock, StepsEvenlyAndFollowsTheMapWithoutJumps) {
  qx470reader::ClockMap map;
  map.reset({100, 100, 0, 0});
  map.begin_segment(1, {0, 0, 0, 0}, 1000.0, 1.7e9);
  qx470rec::SampleClock clock(0, 100000);
  std::vector<double> t;
  // The device runs 50 ppm fast against the host, and blocks come late by up to 2 ms: the map's
  // line moves as its notes come, by far more than the pull allows at once.
  const double period = 1e-5 * (1 - 50e-6);
  for (uint64_t i = 0; i < 2'000'000; ++i) {
    if (i % 16384 == 16383) {
      const double late = 0.002 * double((i / 16384) % 3) / 2;
      const double steady = 1000.0 + double(i + 1) * period + late;
      map.note(i + 1, steady, steady + 1.7e9);
    }
    t.push_back(clock.next(map, i));
  }
  double worst = 0;
  for (size_t i = 1; i < t.size(); ++i)
    worst = std::max(worst, std::abs((t[i] - t[i - 1]) - 1e-5) / 1e-5);
  // The map's period, kept within a thousandth of the nominal one, and the pull toward the map.
  EXPECT_LT(worst,
            qx470rec::SampleClock::kMostRateError + qx470rec::SampleClock::kPullPerSample * 1.01);
  double map_end = 0;
  map.steady_of(0, t.size() - 1, map_end);
  EXPECT_NEAR(t.back(), map_end, 1e-4) << "following the map after 20 s";
  for (uint64_t i : {uint64_t(1'000'000), uint64_t(1'999'000), uint64_t(1'999'999)})
    EXPECT_NEAR(clock.at(map, i), t[i], 0.25e-5) << i;
  // A new segment (a new stream) starts afresh at the map's time.
  map.begin_segment(2, {3'000'000, 3'000'000, 0, 0}, 1040.0, 1.7e9);
  EXPECT_DOUBLE_EQ(clock.next(map, 3'000'000), 1040.0);
}

class Lsl : public RecordCli {
 protected:
  void SetUp() override {
    RecordCli::SetUp();
    config_ = use_loopback_lsl(dir_);
  }
  LslConfig config_;
};

TEST_F(Lsl, AnInletGetsEverySampleRightWithTheTimeItWasTaken) {
  Child c = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "-t", "4s", "--lsl", "qxtest"},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  LslStreamInfo info;
  sockaddr_in at{};
  ASSERT_TRUE(resolve_stream(config_, "qxtest", 30, info, at)) << slurp(c.err);
  EXPECT_EQ(info.channel_count, 4);
  EXPECT_EQ(info.nominal_srate, 100000);
  EXPECT_EQ(info.channel_format, "float32");
  Pulled p;
  std::thread inlet([&] { p = pull_floats(at, info.uid, 4, 60); });
  // Meanwhile the full description, and the time service an inlet's time correction asks.
  qx470rec::lsl::Socket s = qx470rec::lsl::connect_tcp(at, 5000);
  ASSERT_TRUE(s);
  ::send(s.fd(), "LSL:fullinfo\r\n", 14, MSG_NOSIGNAL);
  const std::string full = read_to_end(s, 10);
  for (const char *part : {"<label>Ch4</label>", "<unit>volts</unit>", "<serial_number>",
                           "<simulated>true</simulated>", "<calibration_nv_per_count>312500<"})
    EXPECT_NE(full.find(part), std::string::npos) << part << " in " << full;
  qx470rec::lsl::Socket probe = qx470rec::lsl::any_udp("127.0.0.1");
  sockaddr_in service = at;
  service.sin_port = htons(uint16_t(info.v4service_port));
  const double t0 = qx470rec::steady_now();
  char text[96];
  std::snprintf(text, sizeof text, "LSL:timedata\r\n7 %.9f\r\n", t0);
  qx470rec::lsl::send_to(probe, text, service);
  std::string answer;
  sockaddr_in from{};
  ASSERT_TRUE(wait_for([&] { return qx470rec::lsl::receive(probe, answer, from); }, 10));
  int wave = 0;
  double r0 = 0, t1 = 0, t2 = 0;
  ASSERT_EQ(std::sscanf(answer.c_str(), " %d %lf %lf %lf", &wave, &r0, &t1, &t2), 4) << answer;
  EXPECT_EQ(wave, 7);
  EXPECT_NEAR(r0, t0, 1e-6);
  EXPECT_LE(t0, t1) << "the same clock on both sides";
  EXPECT_LE(t1, t2);
  EXPECT_LE(t2, qx470rec::steady_now());
  inlet.join();
  EXPECT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
  ASSERT_EQ(p.error, "");
  ASSERT_GT(p.times.size(), 100000u) << "at least a second of the four";
  // Every sample from the first one pulled is the next of the pattern: none lost, none doubled.
  const int64_t row = int64_t(400000 - p.times.size());
  size_t wrong = 0;
  for (size_t i = 0; i < p.times.size(); ++i)
    for (int ch = 0; ch < 4; ++ch)
      wrong += p.values[i * 4 + size_t(ch)] != pattern_volts(ch, uint64_t(row) + i + 3);
  EXPECT_EQ(wrong, 0u);
  // Times on the host's steady clock, a sample period apart, with no jitter of their sending.
  double worst = 0;
  for (size_t i = 1; i < p.times.size(); ++i)
    worst = std::max(worst, std::abs(p.times[i] - p.times[i - 1] - 1e-5));
  EXPECT_LT(worst, 1e-7) << "steps of one period (the clock map's, within its ppm)";
  EXPECT_LT(std::abs(p.times.back() - qx470rec::steady_now()), 30.0);
}

// A UDP port on the loopback that nothing uses now.
int free_udp_port() {
  qx470rec::lsl::Socket s = qx470rec::lsl::any_udp("127.0.0.1");
  return s.port();
}

void send_udp(int port, const std::string &text) {
  qx470rec::lsl::Socket s = qx470rec::lsl::any_udp("127.0.0.1");
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  qx470rec::lsl::send_to(s, text, to);
}

// The journal's events beside a recording.
std::vector<nlohmann::json> journal_events(const fs::path &p) {
  std::vector<nlohmann::json> out;
  std::ifstream in(p);
  for (std::string line; std::getline(in, line);) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j["type"] == "event") out.push_back(j);
  }
  return out;
}

// A recorder follows a marker stream that comes after it started and goes before it ends; each
// marker lands at the sample of its time, brought over from the sender's clock.
TEST_F(Lsl, MarkersOfAnotherStreamLandAtTheirSamplesWhenItComesAndGoes) {
  const fs::path a = dir_ / "a", b = dir_ / "b";
  fs::create_directories(a);
  fs::create_directories(b);
  Child rb =
      spawn({"-q", "-r", "1=10", "-o", (b / "b.csv").string(), "--events", "lsl:src-markers"},
            {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, b);
  ASSERT_GT(rb.pid, 0);
  auto said = [&](const char *text) {
    return wait_for([&] { return slurp(rb.err).find(text) != std::string::npos; }, 60);
  };
  EXPECT_TRUE(said("no LSL marker stream 'src-markers' yet; waiting for it")) << slurp(rb.err);
  const int port = free_udp_port();
  Child ra = spawn(
      {"-q", "-r", "1=10", "-t", "8s", "--lsl", "src", "--events", "udp:" + std::to_string(port)},
      {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, a);
  ASSERT_GT(ra.pid, 0);
  EXPECT_TRUE(said("the LSL marker stream 'src-markers' is back")) << slurp(rb.err);
  // A sample of the sender's that has been taken: the marker's time. At 10 kS/s on one channel
  // a block holds 1.6 s of signal.
  LslStreamInfo info;
  sockaddr_in at{};
  ASSERT_TRUE(resolve_stream(config_, "src", 30, info, at));
  const Pulled p = pull_floats(at, info.uid, 1, 3.0);
  ASSERT_FALSE(p.times.empty()) << p.error;
  const double t = p.times.back();
  char text[80];
  std::snprintf(text, sizeof text, "@steady=%.9f hello", t);
  send_udp(port, text);
  send_udp(port, "world");
  EXPECT_EQ(wait_exit(ra.pid), 0) << slurp(ra.err);
  EXPECT_TRUE(said("the LSL marker stream 'src-markers' is gone; waiting for it to come back"))
      << slurp(rb.err);
  kill(rb.pid, SIGINT);
  EXPECT_EQ(wait_exit(rb.pid), 0) << slurp(rb.err);

  const std::vector<nlohmann::json> events = journal_events(b / "b.events.jsonl");
  ASSERT_EQ(events.size(), 2u) << slurp(b / "b.events.jsonl");
  EXPECT_EQ(events[0]["text"], "hello");
  EXPECT_NEAR(events[0]["steady"].get<double>(), t, 0.002) << "within the time correction";
  EXPECT_EQ(events[1]["text"], "world");
  const std::string csv = slurp(b / "b.csv");
  const size_t mark = csv.find("# event: hello\n");
  ASSERT_NE(mark, std::string::npos);
  EXPECT_EQ(csv.substr(mark + 15, csv.find(',', mark) - mark - 15),
            std::to_string(events[0]["index"]["Ch1"].get<uint64_t>()))
      << "the comment stands before the marker's row";
}

// Whatever reaches the outlet's ports (datagrams of any bytes, queries that do not parse,
// connections that say nothing or nonsense, a feed of a stream that is not this one) costs the
// recording nothing, and an inlet still finds it and gets its samples.
TEST_F(Lsl, NonsenseOnItsPortsCostsTheRecordingNothing) {
  Child c = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "--lsl", "qxhostile", "-o",
                   (dir_ / "run.csv").string()},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  LslStreamInfo info;
  sockaddr_in at{};
  ASSERT_TRUE(resolve_stream(config_, "qxhostile", 30, info, at)) << slurp(c.err);
  sockaddr_in service = at, shared = at;
  service.sin_port = htons(uint16_t(info.v4service_port));
  shared.sin_port = htons(uint16_t(config_.multicast_port));
  qx470rec::lsl::Socket udp = qx470rec::lsl::any_udp("127.0.0.1");
  uint32_t seed = 12345;
  for (int i = 0; i < 200; ++i) {
    std::string junk(size_t(1 + (seed = seed * 1103515245u + 12345u) % 2048), '\0');
    for (char &ch : junk) ch = char((seed = seed * 1103515245u + 12345u) >> 24);
    qx470rec::lsl::send_to(udp, junk, i % 2 ? service : shared);
  }
  for (const std::string &q :
       {std::string("LSL:shortinfo\r\n"), std::string("LSL:shortinfo\r\nname='x\r\n0 1\r\n"),
        "LSL:shortinfo\r\n" + std::string(60000, '(') + "\r\n1 1\r\n",
        std::string("LSL:timedata\r\nabc\r\n"), std::string("LSL:timedata\r\n")})
    for (const sockaddr_in &to : {service, shared}) qx470rec::lsl::send_to(udp, q, to);
  // Connections that say nothing are let go; more than the outlet serves are refused.
  std::vector<qx470rec::lsl::Socket> silent;
  for (int i = 0; i < 80; ++i) silent.push_back(qx470rec::lsl::connect_tcp(at, 5000));
  auto answer = [&](const std::string &request) {
    qx470rec::lsl::Socket s = qx470rec::lsl::connect_tcp(at, 5000);
    ::send(s.fd(), request.data(), request.size(), MSG_NOSIGNAL);
    return read_to_end(s, 20);
  };
  EXPECT_TRUE(wait_for(
      [&] {
        for (const auto &s : silent) {
          char b;
          if (::recv(s.fd(), &b, 1, MSG_DONTWAIT) != 0) return false;
        }
        return true;
      },
      30))
      << "connections that say nothing are closed";
  EXPECT_EQ(answer("LSL:streamfeed/110 not-this-stream\r\nA: 1\r\n\r\n"),
            "LSL/110 404 Not found\r\n\r\n");
  EXPECT_EQ(answer("LSL:streamfeed\r\n\r\n"), "") << "protocol 1.00 is not spoken";
  EXPECT_EQ(answer(std::string(100000, 'x')), "");
  EXPECT_EQ(answer("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), "");
  const Pulled p = pull_floats(at, info.uid, 4, 1.0);
  EXPECT_EQ(p.error, "");
  EXPECT_GT(p.times.size(), 1000u);
  kill(c.pid, SIGINT);
  EXPECT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
  EXPECT_NE(slurp(c.err).find("no sample lost"), std::string::npos) << slurp(c.err);
}

// Every sample of the file against the test pattern, every time a period after the one before.
void expect_pattern(const Xdf::Stream &s, uint64_t rows) {
  ASSERT_EQ(s.time_series.size(), 4u);
  ASSERT_EQ(s.time_stamps.size(), rows);
  size_t wrong = 0;
  for (int ch = 0; ch < 4; ++ch) {
    ASSERT_EQ(s.time_series[size_t(ch)].size(), rows);
    for (uint64_t i = 0; i < rows; ++i)
      wrong += s.time_series[size_t(ch)][i] != pattern_volts(ch, i + 3);
  }
  EXPECT_EQ(wrong, 0u);
  double worst = 0;
  for (size_t i = 1; i < rows; ++i)
    worst = std::max(worst, std::abs(s.time_stamps[i] - s.time_stamps[i - 1] - 1e-5));
  EXPECT_LT(worst, 1e-7);
}

// The whole recorder stopped (Ctrl-Z, a loaded machine) for three times what the simulated
// device's buffer lasts: the stream is realigned after a gap. The XDF file keeps the gap's rows
// as NaN and every other sample right; the published stream leaves them out, so its times jump
// across the gap, and its markers say where and how long.
TEST_F(Lsl, AGapIsNaNInXdfAndLeftOutOfTheStreamWithItsMarker) {
  const fs::path out = dir_ / "gap.xdf";
  Child c = spawn(
      {"-q", "-r", "1=100,2=100,3=100,4=100", "-t", "6s", "--lsl", "qxgap", "-o", out.string()},
      {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  LslStreamInfo info;
  sockaddr_in at{};
  ASSERT_TRUE(resolve_stream(config_, "qxgap", 30, info, at)) << slurp(c.err);
  Pulled p;
  std::thread inlet([&] { p = pull_floats(at, info.uid, 4, 90); });
  qx470rec::LslMarkerInlet markers("qxgap-markers", config_);
  markers.start();
  ASSERT_TRUE(wait_for([&] { return markers.connected(); }, 60));
  ASSERT_TRUE(wait_for([&] { return fs::exists(out) && fs::file_size(out) > 1'000'000; }, 60));
  kill(c.pid, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));  // the stall itself
  kill(c.pid, SIGCONT);
  EXPECT_EQ(wait_exit(c.pid), 3) << slurp(c.err);
  inlet.join();
  markers.stop();

  std::ifstream side(dir_ / "gap.json");
  const nlohmann::json j = nlohmann::json::parse(side, nullptr, false);
  ASSERT_TRUE(j.is_object());
  ASSERT_FALSE(j["gaps"].empty()) << j.dump(1);
  uint64_t first_lost = 0, ch1_lost = 0;  // Ch1's first gap, and all its lost samples
  for (const auto &g : j["gaps"])
    if (g["channel"] == "Ch1") {
      if (!first_lost) first_lost = g["count"].get<uint64_t>();
      ch1_lost += g["count"].get<uint64_t>();
    }
  ASSERT_GT(ch1_lost, 0u);
  // The stream: no NaN rows, and its times jump across the gap.
  EXPECT_EQ(p.error, "");
  EXPECT_TRUE(
      std::none_of(p.values.begin(), p.values.end(), [](float v) { return std::isnan(v); }));
  double jump = 0;
  for (size_t i = 1; i < p.times.size(); ++i) jump = std::max(jump, p.times[i] - p.times[i - 1]);
  EXPECT_GT(jump, 0.5 * double(first_lost) * 1e-5);
  bool marked = false;
  std::string texts;
  for (const qx470rec::Event &e : markers.take()) {
    marked = marked || e.text.find("Ch1 lost " + std::to_string(first_lost)) == 0;
    texts += e.text + "\n";
  }
  for (const std::string &n : markers.take_notes()) texts += n + "\n";
  EXPECT_TRUE(marked) << "a marker with the gap's extent: " << texts << j["gaps"].dump();
  SKIP_UNLESS_LIBXDF_READS();
  Xdf x;
  ASSERT_EQ(x.load_xdf(out.string()), 0);
  const Xdf::Stream &data = x.streams[0];
  ASSERT_EQ(data.time_stamps.size(), 600000u);
  size_t wrong = 0, nan_rows = 0, gap_rows = 0;
  for (int ch = 0; ch < 4; ++ch) {
    uint64_t base = 0;  // where the current stream's first sample lies
    for (uint64_t i = 0; i < 600000; ++i) {
      bool in_gap = false;
      for (const auto &g : j["gaps"]) {
        if (g["channel"] != "Ch" + std::to_string(ch + 1)) continue;
        const uint64_t from = g["index"], count = g["count"];
        if (i >= from && i < from + count) in_gap = true;
        if (i == from + count && g["kind"] == "realign") base = i;
      }
      const float v = data.time_series[size_t(ch)][i];
      if (in_gap) {
        gap_rows += ch == 0;
        nan_rows += ch == 0 && std::isnan(v);
      } else {
        wrong += v != pattern_volts(ch, i - base + 3);
      }
    }
  }
  EXPECT_EQ(gap_rows, ch1_lost);
  EXPECT_EQ(nan_rows, gap_rows);
  EXPECT_EQ(wrong, 0u);
}

TEST_F(Lsl, XdfFilesReadSampleExactInLibxdfWithTheirMarkers) {
  const fs::path out = dir_ / "run.xdf";
  const int port = free_udp_port();
  Child c = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "-t", "3s", "-o", out.string(),
                   "--events", "udp:" + std::to_string(port)},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  // Once a sync has written samples, the recording runs: an event for its middle.
  ASSERT_TRUE(wait_for([&] { return fs::exists(out) && fs::file_size(out) > 100000; }, 60));
  send_udp(port, "mark");
  ASSERT_EQ(wait_exit(c.pid), 0) << slurp(c.err);

  SKIP_UNLESS_LIBXDF_READS();
  Xdf x;
  ASSERT_EQ(x.load_xdf(out.string()), 0);
  ASSERT_EQ(x.streams.size(), 2u);
  const Xdf::Stream &data = x.streams[0];
  EXPECT_EQ(data.info.name, "QX470");
  EXPECT_EQ(data.info.channel_count, 4);
  EXPECT_EQ(data.info.nominal_srate, 100000);
  EXPECT_EQ(data.info.sample_count, 300000);
  ASSERT_EQ(data.info.channels.size(), 4u);
  EXPECT_EQ(data.info.channels[2].at("label"), "Ch3");
  EXPECT_EQ(data.info.channels[2].at("unit"), "volts");
  expect_pattern(data, 300000);
  // The marker at the time of its sample, as the journal places it.
  const std::vector<nlohmann::json> events = journal_events(dir_ / "run.events.jsonl");
  ASSERT_EQ(events.size(), 1u);
  const uint64_t index = events[0]["index"]["Ch1"].get<uint64_t>();
  ASSERT_LT(index, 300000u);
  ASSERT_EQ(x.eventMap.size(), 1u);
  EXPECT_EQ(x.eventMap[0].first.first, "mark");
  EXPECT_NEAR(x.eventMap[0].first.second, data.time_stamps[index], 1e-6);
}

TEST_F(Lsl, AnXdfFileKilledMidwayReadsWholeToItsLastSync) {
  const fs::path out = dir_ / "killed.xdf";
  Child c = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "-o", out.string()},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(wait_for([&] { return fs::exists(out) && fs::file_size(out) > 3'000'000; }, 60));
  // Between two syncs, whose writes take milliseconds of the second between them: a kill in the
  // middle of a write leaves a last chunk cut short, which readers of XDF drop.
  uintmax_t size = 0;
  ASSERT_TRUE(wait_for(
      [&] {
        const uintmax_t now = fs::file_size(out);
        if (now != size) {
          size = now;
          return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return fs::file_size(out) == size;
      },
      60));
  kill(c.pid, SIGKILL);
  wait_exit(c.pid);
  SKIP_UNLESS_LIBXDF_READS();
  Xdf x;
  ASSERT_EQ(x.load_xdf(out.string()), 0);
  ASSERT_EQ(x.streams.size(), 2u);
  const uint64_t rows = x.streams[0].time_stamps.size();
  EXPECT_GT(rows, 100000u);
  expect_pattern(x.streams[0], rows);
}

// liblsl itself, when a prebuilt one is at hand: its inlet resolves the outlet by name, gets a
// time correction and pulls every sample right; markers its outlet sends at known times land at
// their samples in each format and the journal.
class Liblsl : public Lsl, public ::testing::WithParamInterface<const char *> {};

TEST_P(Liblsl, PullsEverySampleAndItsMarkersLandAtTheirSamples) {
#ifndef QX470_LSL_PROBE
  GTEST_SKIP() << "no liblsl peer in this build (no prebuilt liblsl in QX470_LIBLSL_DIR, or a "
                  "sanitizer build, where liblsl is not instrumented)";
#else
  const std::string ext = GetParam();
  const fs::path out = dir_ / ("run." + ext), pulled = dir_ / "pulled.bin";
  fs::create_directories(dir_ / "m");
  fs::create_directories(dir_ / "p");
  Child markers = spawn_program(QX470_LSL_PROBE, {"markers", "qxprobe", "5"}, {}, dir_ / "m");
  Child inlet =
      spawn_program(QX470_LSL_PROBE, {"pull", "qxlib", "60", pulled.string()}, {}, dir_ / "p");
  Child rec = spawn({"-q", "-r", "1=100,2=100,3=100,4=100", "-t", "5s", "--lsl", "qxlib", "-o",
                     out.string(), "--events", "lsl:qxprobe"},
                    {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(rec.pid, 0);
  EXPECT_EQ(wait_exit(rec.pid), 0) << slurp(rec.err);
  EXPECT_EQ(wait_exit(markers.pid), 0) << slurp(markers.err);
  EXPECT_EQ(wait_exit(inlet.pid), 0) << slurp(inlet.err);

  // The inlet: every sample from its first to the recording's last, right, a period apart.
  std::ifstream in(pulled, std::ios::binary);
  double correction = 1;
  int channels = 0;
  in.read(reinterpret_cast<char *>(&correction), 8);
  in.read(reinterpret_cast<char *>(&channels), 4);
  EXPECT_LT(std::abs(correction), 0.001) << "one clock on both sides";
  ASSERT_EQ(channels, 4);
  std::vector<double> times;
  std::vector<float> values;
  for (double t; in.read(reinterpret_cast<char *>(&t), 8);) {
    float v[4];
    in.read(reinterpret_cast<char *>(v), sizeof v);
    times.push_back(t);
    values.insert(values.end(), v, v + 4);
  }
  ASSERT_GT(times.size(), 100000u) << slurp(inlet.out);
  const uint64_t first = 500000 - times.size();
  size_t wrong = 0;
  double worst = 0;
  for (size_t i = 0; i < times.size(); ++i) {
    for (int ch = 0; ch < 4; ++ch)
      wrong += values[i * 4 + size_t(ch)] != pattern_volts(ch, first + i + 3);
    if (i) worst = std::max(worst, std::abs(times[i] - times[i - 1] - 1e-5));
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_LT(worst, 1e-7);

  // The markers: in the journal at the sender's times, and in the file at the same samples.
  std::vector<std::pair<double, std::string> > sent;
  std::istringstream lines(slurp(markers.out));
  for (std::string line; std::getline(lines, line);)
    sent.push_back({std::stod(line), line.substr(line.find(' ') + 1)});
  ASSERT_EQ(sent.size(), 5u);
  const std::vector<nlohmann::json> events = journal_events(dir_ / "run.events.jsonl");
  ASSERT_EQ(events.size(), 5u) << slurp(rec.err) << slurp(dir_ / "run.events.jsonl");
  const std::string text = slurp(out);
  Xdf x;
  if (ext == "xdf") {
    ASSERT_EQ(x.load_xdf(out.string()), 0);
  }
  auto hdr_owner = std::make_unique<edf_hdr_struct>();
  edf_hdr_struct &hdr = *hdr_owner;
  if (ext == "edf") {
    ASSERT_EQ(edfopen_file_readonly(out.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  }
  for (size_t i = 0; i < 5; ++i) {
    const auto &e = events[i];
    EXPECT_EQ(e["text"], sent[i].second);
    EXPECT_NEAR(e["steady"].get<double>(), sent[i].first, 0.002) << "within 2 ms";
    const uint64_t index = e["index"]["Ch1"].get<uint64_t>();
    if (ext == "csv") {
      const std::string comment = "# event: " + sent[i].second + "\n" + std::to_string(index) + ",";
      EXPECT_NE(text.find(comment), std::string::npos) << comment;
    } else if (ext == "xdf") {
      bool found = false;
      for (const auto &m : x.eventMap)
        if (m.first.first == sent[i].second) {
          found = true;
          EXPECT_NEAR(m.first.second, x.streams[0].time_stamps[index], 1e-6);
        }
      EXPECT_TRUE(found) << sent[i].second;
    } else {
      bool found = false;
      for (long long a = 0; a < hdr.annotations_in_file; ++a) {
        edf_annotation_struct an{};
        edf_get_annotation(hdr.handle, int(a), &an);
        if (std::string(an.annotation) != sent[i].second) continue;
        found = true;
        // EDF+ onsets are in units of 100 us.
        EXPECT_NEAR(double(an.onset), double(index) * EDFLIB_TIME_DIMENSION / 1e5, 1000);
      }
      EXPECT_TRUE(found) << sent[i].second;
    }
  }
  if (ext == "edf") edfclose_file(hdr.handle);
#endif
}

INSTANTIATE_TEST_SUITE_P(Formats, Liblsl, ::testing::Values("csv", "edf", "xdf"));

}  // namespace
