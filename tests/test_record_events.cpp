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
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "record_cli_support.h"
#include "utf8_check.h"
#include "wait_for.h"

namespace {

namespace fs = std::filesystem;
using qxtest::strict_utf8;
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

// The journal beside the sidecar: its lines of one type ("event", "refused", "gap").
nlohmann::json journal(const fs::path &p, const std::string &type) {
  std::ifstream in(p);
  nlohmann::json out = nlohmann::json::array();
  for (std::string line; std::getline(in, line);) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << line;
    if (j.is_object() && j["type"] == type) out.push_back(j);
  }
  return out;
}

// "2026-12-09T17:40:07.864Z" as seconds since 1970.
double iso_seconds(const std::string &t) {
  std::tm tm{};
  double sec = 0;
  if (std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%lf", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &sec) != 6)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return double(timegm(&tm)) + sec;
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
  EXPECT_EQ(j["journal"], "run.events.jsonl");
  EXPECT_EQ(j["events"], 9);
  const nlohmann::json events = journal(dir_ / "run.events.jsonl", "event");
  ASSERT_EQ(events.size(), 9u) << events.dump(1);
  // Arrival-timed events: at the sample the map gives for the time they were sent, within the
  // loopback's delivery and the reader's notes (a few ms on a loaded machine; see
  // docs/performance.md for the measured figure).
  for (size_t i = 0; i < 5; ++i) {
    const auto &e = events[i];
    EXPECT_EQ(e["text"], "trial " + std::to_string(i));
    const double off = (e["index"]["Ch1"].get<double>() - mapped_index(j, sent[i])) / 1e5;
    EXPECT_GE(off, -0.005) << i;  // the refined map may put the send a little later
    EXPECT_LT(off, 0.05) << i;
    // Ch2 at a tenth of the rate, the same moment.
    EXPECT_NEAR(e["index"]["Ch2"].get<double>() * 10, e["index"]["Ch1"].get<double>(), 20);
  }
  // A stamped event is exactly where the map puts its time.
  EXPECT_EQ(events[5]["text"], "stamped");
  // The map has been refined since the event was placed, by as much as a few milliseconds on a
  // loaded machine; the stamp itself is half a second (50,000 samples) before arrival.
  EXPECT_NEAR(events[5]["index"]["Ch1"].get<double>(), mapped_index(j, stamped), 1000);
  EXPECT_EQ(events[6]["text"], "line with separators");
  EXPECT_EQ(events[7]["text"], "quote \" backslash \\ comma, tab end");
  EXPECT_EQ(events[8]["text"].get<std::string>().size(), 200u) << "cut to 200 bytes";
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
    EXPECT_NEAR(onsets[0] / 1e7, events[0]["index"]["Ch1"].get<double>() / 1e5, 1e-4);
    EXPECT_EQ(texts[6], "line with separators");
    EXPECT_LE(texts[8].size(), 40u);
    EXPECT_EQ(texts[8].substr(texts[8].size() - 3), "...") << "a cut text says it is cut";
  } else {
    const std::string csv = slurp(dir_ / "run_100kSps.csv");
    const size_t at_event = csv.find("# event: trial 0\n");
    ASSERT_NE(at_event, std::string::npos);
    // The row after the comment is the event's sample.
    const auto row = std::stoull(csv.substr(at_event + std::strlen("# event: trial 0\n")));
    EXPECT_EQ(row, events[0]["index"]["Ch1"].get<uint64_t>());
    EXPECT_NE(csv.find("# event: line with separators\n"), std::string::npos);
  }
}

// Texts of any bytes and times that are no time of the recording, sent by a hostile or broken
// sender: every file stays readable by strict UTF-8 readers (MNE refuses an EDF+ annotation with
// one bad byte; pandas and numpy a CSV), and each impossible time is refused with a warning and
// a count, never written at another sample.
TEST_P(Events, HostileTextsAndImpossibleTimesLeaveEveryFileReadable) {
  const std::string ext = GetParam();
  const fs::path out = dir_ / ("run." + ext), side = dir_ / "run.json";
  const int port = free_port();
  Child c = spawn({"-q", "-r", "1=100", "-t", "3s", "-o", out.string(), "--events",
                   "udp:" + std::to_string(port)},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(qxtest::wait_for([&] { return fs::exists(side); }, 60)) << slurp(c.err);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  size_t texts = 0;
  for (int b = 0; b < 256; ++b, ++texts) send_udp(port, "b" + std::to_string(b) + " " + char(b));
  send_udp(port, std::string("nul\0inside", 11));
  send_udp(port, "\xff\xfe\xc0\x80\xed\xa0\x80");
  std::string big;
  for (int i = 0; i < 65000; ++i) big += char(i * 7 + 3);
  send_udp(port, big);
  texts += 3;
  const double now_utc =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::vector<std::string> impossible = {"@utc=inf",     "@utc=1e300", "@steady=nan",
                                         "@steady=1e20", "@utc=0",     "@utc=nan",
                                         "@utc=-5",      "@utc=abc",   "@utc="};
  for (double shift : {-3600.0, 3600.0}) {
    char t[64];
    std::snprintf(t, sizeof t, "@utc=%.3f", now_utc + shift);
    impossible.push_back(t);
  }
  for (size_t i = 0; i < impossible.size(); ++i)
    send_udp(port, impossible[i] + " refused" + std::to_string(i));
  EXPECT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
  const std::string err = slurp(c.err);
  EXPECT_NE(err.find(std::to_string(texts) + " events, " + std::to_string(impossible.size()) +
                     " refused"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("refused: its time @utc=inf is not finite"), std::string::npos) << err;

  const nlohmann::json events = journal(dir_ / "run.events.jsonl", "event");
  const nlohmann::json refused = journal(dir_ / "run.events.jsonl", "refused");
  EXPECT_EQ(events.size(), texts);
  EXPECT_EQ(refused.size(), impossible.size());
  EXPECT_EQ(sidecar(side)["events_refused"], impossible.size());
  for (const auto &e : events) EXPECT_TRUE(strict_utf8(e["text"].get<std::string>()));
  if (ext == "edf") {
    edf_hdr_struct h{};
    ASSERT_EQ(edfopen_file_readonly(out.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
    EXPECT_GT(h.annotations_in_file, 100);
    for (long long i = 0; i < h.annotations_in_file; ++i) {
      edf_annotation_struct a{};
      edf_get_annotation(h.handle, static_cast<int>(i), &a);
      EXPECT_TRUE(strict_utf8(a.annotation)) << i;
      EXPECT_EQ(std::string(a.annotation).find("refused"), std::string::npos) << a.annotation;
    }
    edfclose_file(h.handle);
  } else {
    const std::string csv = slurp(out);
    EXPECT_TRUE(strict_utf8(csv));
    EXPECT_NE(csv.find("# event: b255 \xEF\xBF\xBD\n"), std::string::npos);
    EXPECT_EQ(csv.find("refused"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Events, ::testing::Values("edf", "csv"),
                         [](const auto &info) { return std::string(info.param); });

// Datagrams sent faster than the recorder takes them: the kernel drops some, and the recorder
// says how many, so that every datagram sent is either in the journal or counted.
TEST_F(RecordCli, EveryEventDatagramIsPlacedOrCountedAsDroppedByTheSystem) {
  const fs::path out = dir_ / "flood.dat", side = dir_ / "flood.json";
  const int port = free_port();
  // Long enough that the flood is over well before the end, even under ThreadSanitizer on a busy
  // machine: an event that came after the recording would be refused rather than placed.
  Child c = spawn({"-q", "-r", "1=10", "-t", "10s", "-o", out.string(), "--events",
                   "udp:" + std::to_string(port)},
                  {"QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(qxtest::wait_for([&] { return fs::exists(side); }, 60)) << slurp(c.err);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint64_t sent = 0;
  for (int i = 0; i < 30000; ++i) {
    const std::string text = "flood " + std::to_string(i);
    sent += sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
            static_cast<ssize_t>(text.size());
  }
  close(fd);
  EXPECT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
  const nlohmann::json j = sidecar(side);
  const uint64_t placed = journal(dir_ / "flood.events.jsonl", "event").size();
  EXPECT_EQ(j["events"].get<uint64_t>(), placed);
  EXPECT_EQ(placed + j["events_dropped"].get<uint64_t>() + j["events_refused"].get<uint64_t>(),
            sent)
      << slurp(c.err);
  EXPECT_EQ(j["events_refused"], 0) << "the flood ended before the recording did";
  if (j["events_dropped"].get<uint64_t>() > 0) {
    EXPECT_NE(slurp(c.err).find("dropped by the system"), std::string::npos);
  }
}

// Killed mid-recording: every event placed more than a second before is in the journal, which
// is synced with the data, although the recording never finished.
TEST_F(RecordCli, EventsPlacedBeforeAKillAreInTheJournal) {
  const fs::path out = dir_ / "killed.dat", side = dir_ / "killed.json";
  const int port = free_port();
  Child c = spawn({"-q", "-r", "1=10", "-t", "60s", "-o", out.string(), "--events",
                   "udp:" + std::to_string(port)},
                  {"QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(qxtest::wait_for([&] { return fs::exists(side) && fs::file_size(out) > 0; }, 60))
      << slurp(c.err);
  for (int i = 0; i < 20; ++i) send_udp(port, "before the kill " + std::to_string(i));
  // Placed within a pass; then more than the second the journal waits for its sync.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  kill(c.pid, SIGKILL);
  EXPECT_EQ(wait_exit(c.pid), 128 + SIGKILL);
  const nlohmann::json events = journal(dir_ / "killed.events.jsonl", "event");
  ASSERT_EQ(events.size(), 20u) << events.dump(1);
  for (size_t i = 0; i < events.size(); ++i)
    EXPECT_EQ(events[i]["text"], "before the kill " + std::to_string(i));
}

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
      run({"-n", "10", "-o", (dir_ / "y.csv").string(), "--events", (dir_ / "none").string()}), 2);
  EXPECT_NE(err_.find("cannot read events from"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(dir_ / "y.csv"));
}

// The host's clock set an hour ahead mid-recording (Debian's libfaketime stands in for the step,
// the steady clock left alone): a warning, a new clock segment from there, and the samples before
// keep their time, which the files' start and the first segment agree on.
TEST_F(RecordCli, AStepOfTheSystemClockStartsAClockSegmentAndMovesNoEarlierSample) {
#if defined(QX470_SANITIZED)
  GTEST_SKIP() << "libfaketime cannot come before the sanitizer's run-time library";
#endif
  std::string faketime;
  for (const char *p : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                        "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
                        "/usr/lib/faketime/libfaketimeMT.so.1"})
    if (fs::exists(p)) faketime = p;
  if (faketime.empty()) GTEST_SKIP() << "libfaketime is not installed (Debian's faketime)";
  const fs::path stamp = dir_ / "faketime", out = dir_ / "c.csv", side = dir_ / "c.json";
  { std::ofstream(stamp) << "+0\n"; }
  Child c =
      spawn({"-q", "-r", "1=100", "-t", "5s", "-o", out.string()},
            {"QXSIM_SPEED=1", "LD_PRELOAD=" + faketime, "FAKETIME_TIMESTAMP_FILE=" + stamp.string(),
             "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"},
            dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(qxtest::wait_for(
      [&] {
        const nlohmann::json j = sidecar(side);
        return j.is_object() && j["files"].size() == 1 && j["files"][0]["frames"] > 100000;
      },
      60))
      << slurp(c.err);
  { std::ofstream(stamp) << "+3600\n"; }
  EXPECT_EQ(wait_exit(c.pid), 0) << slurp(c.err);
  EXPECT_NE(slurp(c.err).find("the system clock stepped by +3600.0"), std::string::npos)
      << slurp(c.err);
  const nlohmann::json j = sidecar(side);
  const auto &segments = j["clock"]["segments"];
  ASSERT_EQ(segments.size(), 2u) << segments.dump(1);
  const std::string start = j["start"];
  EXPECT_NEAR(iso_seconds(segments[0]["utc_of_first"]), iso_seconds(start), 0.5)
      << segments[0]["utc_of_first"] << " against " << start;
  EXPECT_NE(slurp(out).find("# start: " + start), std::string::npos);
  EXPECT_NEAR(segments[1]["clock_step_s"].get<double>(), 3600.0, 0.1);
  EXPECT_GT(segments[1]["first"]["Ch1"].get<uint64_t>(), 100000u);
}

}  // namespace
