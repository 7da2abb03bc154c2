// qx470-record's session in-process against the simulated amplifier, each file read back by a
// reader other than our writer: libedf for EDF+, libsndfile for FLAC and WAV, a plain parse for
// CSV. Lost stretches are made by holding the session back while the ring moves on; the device
// is unplugged, unpowered or the disk full where the test says so.
#include <edflib.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "options.h"
#include "reader_support.h"
#include "session.h"

namespace {

namespace fs = std::filesystem;
using qxhosttest::HostTest;
using qxhosttest::kStreamWait;
using qxhosttest::Layout;
using qxhosttest::wait_for;

// The count the amplifier sends as sample `index` of a channel, as the file stores it.
int16_t expected(const Layout &layout, int c, uint64_t index) {
  return static_cast<int16_t>(
      qxsim_pattern_value(c, static_cast<unsigned>(index + layout.primed_samples(c))) - 32768);
}

class Recording : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    dir_ = fs::temp_directory_path() /
           ("qx470rec_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    HostTest::TearDown();
  }
  std::string path(const std::string &name) const { return (dir_ / name).string(); }

  // Runs a session on this thread; the stream is held to what the test lets through, from
  // priming on.
  int record(const std::string &rates, const std::string &length, const std::string &out) {
    std::vector<std::string> args = {"qx470-record", "-r", rates, "-o", out, "-q"};
    std::istringstream words(length);  // "-n 1000", "-t 2s -f"
    for (std::string w; words >> w;) args.push_back(w);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream sink;
    qx470rec::Options opts;
    if (qx470rec::parse_command_line(static_cast<int>(args.size()), argv.data(), opts, sink,
                                     sink) != qx470rec::Outcome::kRun)
      return -1;
    qxsim_set_stream_limit(Layout(opts.rates).primed_words());
    std::ostringstream out_text, err_text;
    qx470rec::SessionIo io{out_text, err_text, false, &stop_, before_poll_};
    const int code = qx470rec::run_record(opts, io);
    messages_ = err_text.str();
    return code;
  }

  // Lets the stream run only a few blocks ahead of what the session has seen, so that the
  // session never falls behind unless a test wants it to.
  static void let_through(const Layout &layout, uint32_t ahead = 8) {
    qxsim_set_stream_limit(layout.primed_words() +
                           (uint64_t{Get_Blocks_Transferred()} + ahead) * 16384);
  }

  fs::path dir_;
  std::atomic<bool> stop_{false};
  std::function<void()> before_poll_;
  std::string messages_;
};

struct EdfFile {
  std::unique_ptr<edf_hdr_struct> hdr = std::make_unique<edf_hdr_struct>();
  int handle = -1;
  explicit EdfFile(const std::string &p) {
    if (edfopen_file_readonly(p.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS) == 0)
      handle = hdr->handle;
  }
  ~EdfFile() {
    if (handle >= 0) edfclose_file(handle);
  }
  std::vector<int> signal(int s) {
    std::vector<int> v(static_cast<size_t>(hdr->signalparam[s].smp_in_file));
    edfread_digital_samples(handle, s, static_cast<int>(v.size()), v.data());
    return v;
  }
  std::vector<long long> durations;  // of the annotations last read, in 100 ns
  std::vector<std::string> annotations() {
    durations.clear();
    std::vector<std::string> out;
    for (long long i = 0; i < hdr->annotations_in_file; ++i) {
      edf_annotation_struct a{};
      edf_get_annotation(handle, static_cast<int>(i), &a);
      out.push_back(std::to_string(a.onset) + " " + a.annotation);
      durations.push_back(a.duration_l);
    }
    return out;
  }
};

TEST_F(Recording, EdfHoldsEverySampleOfEveryChannelAtItsOwnRate) {
  const std::array<int, 4> rates{100, 50, 20, 0};
  const Layout layout(rates);
  before_poll_ = [&] { let_through(layout); };
  ASSERT_EQ(record("1=100,2=50,3=20", "-t 2s", path("r.edf")), 0) << messages_;
  EXPECT_NE(messages_.find("no sample lost"), std::string::npos) << messages_;

  EdfFile f(path("r.edf"));
  ASSERT_GE(f.handle, 0);
  EXPECT_EQ(f.hdr->filetype, EDFLIB_FILETYPE_EDFPLUS);
  EXPECT_EQ(f.hdr->edfsignals, 3);
  EXPECT_EQ(f.hdr->datarecords_in_file, 2);
  // The simulator is never taken for the device.
  EXPECT_STREQ(f.hdr->equipment, "QX-470-USB simulated");
  EXPECT_NE(std::string(f.hdr->recording_additional).find("312500"), std::string::npos)
      << f.hdr->recording_additional;
  for (int s = 0; s < 3; ++s) {
    const auto &p = f.hdr->signalparam[s];
    EXPECT_EQ(p.smp_in_datarecord, rates[size_t(s)] * 1000);
    EXPECT_EQ(p.dig_min, -32768);
    EXPECT_EQ(p.dig_max, 32767);
    EXPECT_NEAR(p.phys_min, -10.24, 1e-6);
    EXPECT_NEAR(p.phys_max, 32767 * 312500e-9, 1e-5);
    EXPECT_EQ(std::string(p.physdimension).substr(0, 2), "V ");
    EXPECT_EQ(std::string(p.label).substr(0, 3), "Ch" + std::to_string(s + 1));
    const std::vector<int> v = f.signal(s);
    ASSERT_EQ(v.size(), size_t(2 * rates[size_t(s)] * 1000));
    size_t wrong = 0;
    for (size_t i = 0; i < v.size(); ++i) wrong += v[i] != expected(layout, s, i);
    EXPECT_EQ(wrong, 0u) << "signal " << s;
  }
  EXPECT_TRUE(f.annotations().empty());
}

TEST_F(Recording, ALostStretchIsFilledWithMidScaleAnnotatedAndCounted) {
  const std::array<int, 4> rates{100, 100, 100, 100};
  const Layout layout(rates);
  bool held = false;
  before_poll_ = [&] {
    if (!held) {  // the session sleeps through 200 blocks: only the newest 63 are left
      held = true;
      qxsim_set_stream_limit(layout.primed_words() + 200 * 16384);
      ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() == 200; }, kStreamWait));
      return;
    }
    let_through(layout);
  };
  ASSERT_EQ(record("1=100,2=100,3=100,4=100", "-n 1050000", path("gap.edf")), qx470rec::kExitLost)
      << messages_;
  EXPECT_NE(messages_.find("LOST Ch1 561152 in 1 stretch"), std::string::npos) << messages_;
  EXPECT_NE(messages_.find("Ch4 561152 in 1 stretch"), std::string::npos) << messages_;

  EdfFile f(path("gap.edf"));
  ASSERT_GE(f.handle, 0);
  const auto notes = f.annotations();
  // One loss of all four channels, which MNE leaves out ("BAD_ACQ_SKIP"), from onset 0 over
  // 5.61152 s rounded up to libedf's 100 us, and the end of the recording at 10.5 s with the
  // padding of the last record after it, which MNE leaves out too.
  ASSERT_EQ(notes.size(), 3u) << ::testing::PrintToString(notes);
  const size_t padding =
      std::find(notes.begin(), notes.end(), "105000000 BAD_PADDING") - notes.begin();
  ASSERT_LT(padding, notes.size()) << ::testing::PrintToString(notes);
  EXPECT_EQ(f.durations[padding], 5000000) << "to the end of the 11th record";
  const size_t bad =
      std::find(notes.begin(), notes.end(), "0 BAD_ACQ_SKIP Ch1,2,3,4") - notes.begin();
  ASSERT_LT(bad, notes.size()) << ::testing::PrintToString(notes);
  EXPECT_EQ(f.durations[bad], 56116000);
  EXPECT_NE(std::find(notes.begin(), notes.end(), "105000000 recording ends"), notes.end())
      << ::testing::PrintToString(notes);
  for (int s = 0; s < 4; ++s) {
    const std::vector<int> v = f.signal(s);
    ASSERT_EQ(v.size(), 1100000u);  // 11 records, the last one padded
    size_t wrong = 0;
    for (size_t i = 0; i < v.size(); ++i) {
      const int want = i < 561152 || i >= 1050000 ? 0 : expected(layout, s, i);
      wrong += v[i] != want;
    }
    EXPECT_EQ(wrong, 0u) << "signal " << s;
  }
}

TEST_F(Recording, FlacAndWavReadBackThroughLibsndfile) {
  const std::array<int, 4> rates{20, 20, 0, 20};
  const Layout layout(rates);
  before_poll_ = [&] { let_through(layout); };
  for (const char *name : {"f.flac", "w.wav"}) {
    ASSERT_EQ(record("1=20,2=20,4=20", "-n 30000", path(name)), 0) << messages_;
    SF_INFO info{};
    SNDFILE *sf = sf_open(path(name).c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << name;
    EXPECT_EQ(info.samplerate, 20000);
    EXPECT_EQ(info.channels, 3);
    EXPECT_EQ(info.frames, 30000);
    std::ifstream raw(path(name), std::ios::binary);
    char magic[12] = {};
    raw.read(magic, sizeof magic);
    if (std::string(name) == "f.flac") {
      EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
    } else {  // a plain WAV while it is below 4 GiB
      EXPECT_EQ(std::string(magic, 4), "RIFF");
      EXPECT_EQ(std::string(magic + 8, 4), "WAVE");
    }
    const char *comment = sf_get_string(sf, SF_STR_COMMENT);
    ASSERT_NE(comment, nullptr) << name;
    EXPECT_NE(std::string(comment).find("0.0003125 V per count"), std::string::npos) << comment;
    std::vector<short> frames(30000 * 3);
    EXPECT_EQ(sf_readf_short(sf, frames.data(), 30000), 30000);
    sf_close(sf);
    const int chans[3] = {0, 1, 3};
    size_t wrong = 0;
    for (size_t i = 0; i < 30000; ++i)
      for (size_t k = 0; k < 3; ++k) wrong += frames[i * 3 + k] != expected(layout, chans[k], i);
    EXPECT_EQ(wrong, 0u) << name;
  }
}

// One file per rate, each with its header lines, a row per sample and the index first.
TEST_F(Recording, CsvParsesBackRowByRowWithOneFilePerRate) {
  const std::array<int, 4> rates{0, 100, 10, 100};
  const Layout layout(rates);
  before_poll_ = [&] { let_through(layout); };
  ASSERT_EQ(record("2=100,3=10,4=100", "-n 20000", path("r.csv")), 0) << messages_;
  struct Expect {
    const char *file;
    std::vector<int> channels;
    size_t rows;
    const char *rate_line;
  };
  for (const Expect &e : {Expect{"r_100kSps.csv", {1, 3}, 20000, "# rate: 100000 samples/s"},
                          Expect{"r_10kSps.csv", {2}, 2000, "# rate: 10000 samples/s"}}) {
    std::ifstream in(path(e.file));
    ASSERT_TRUE(in) << e.file;
    std::string line, header;
    std::vector<std::string> comments;
    size_t rows = 0, wrong = 0;
    while (std::getline(in, line)) {
      if (line.rfind("#", 0) == 0) {
        comments.push_back(line);
        continue;
      }
      if (header.empty()) {
        header = line;
        continue;
      }
      std::stringstream fields(line);
      std::string cell;
      std::getline(fields, cell, ',');
      const uint64_t index = std::stoull(cell);
      wrong += index != rows;
      for (int c : e.channels) {
        std::getline(fields, cell, ',');
        wrong += std::stoi(cell) != expected(layout, c, index);
      }
      ++rows;
    }
    EXPECT_EQ(rows, e.rows) << e.file;
    EXPECT_EQ(wrong, 0u) << e.file;
    std::string want_header = "index";
    for (int c : e.channels) want_header += ",Ch" + std::to_string(c + 1);
    EXPECT_EQ(header, want_header);
    const std::string all = ::testing::PrintToString(comments);
    EXPECT_NE(all.find("# device: QX-470-USB simulated"), std::string::npos) << all;
    EXPECT_NE(all.find("# bridge: simulated amplifier (/"), std::string::npos) << all;
    EXPECT_NE(all.find(e.rate_line), std::string::npos) << all;
    EXPECT_NE(all.find("# volts_per_count: 0.0003125"), std::string::npos) << all;
    EXPECT_NE(all.find("# start: 20"), std::string::npos) << all;
    EXPECT_NE(all.find("Z"), std::string::npos) << all;
  }
}

TEST_F(Recording, AStopRequestEndsWithACompleteFileAndNoLoss) {
  const std::array<int, 4> rates{50, 0, 0, 0};
  const Layout layout(rates);
  int polls = 0;
  before_poll_ = [&] {
    let_through(layout);
    if (Get_Blocks_Transferred() > 20 && ++polls > 2) stop_ = true;
  };
  ASSERT_EQ(record("1=50", "", path("stop.edf")), 0) << messages_;
  EXPECT_NE(messages_.find("(stopped by signal)"), std::string::npos) << messages_;
  EdfFile f(path("stop.edf"));
  ASSERT_GE(f.handle, 0);
  const std::vector<int> v = f.signal(0);
  ASSERT_GE(v.size(), 50000u);
  // Up to the annotated end every sample is the amplifier's; after it, padding. EDF+ onsets
  // have a resolution of 100 us, 5 samples at this rate.
  long long end = -1;
  for (const auto &n : f.annotations())
    if (n.find("recording ends") != std::string::npos)
      end = std::stoll(n) / 200;  // 100 ns -> samples
  ASSERT_GT(end, 0);
  size_t wrong = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    const auto at = static_cast<long long>(i);
    if (at < end)
      wrong += v[i] != expected(layout, 0, i);
    else if (at >= end + 5)
      wrong += v[i] != 0;
  }
  EXPECT_EQ(wrong, 0u);
}

// Unpaced, the simulated amplifier outruns any reader: every channel still gets its share of
// the reading, and losses are said for each. (The recording is bounded: unpaced, a stall of a few
// milliseconds is billions of samples, and the raw file keeps time by filling them.)
TEST_F(Recording, AStreamFasterThanTheReaderLosesOnEveryChannelAndSaysSo) {
  // The stream runs free while the recorder stalls once, until the ring has moved past every
  // sample of the 2 s (49 blocks) of every channel: each one must lose and say so.
  bool stalled = false;
  before_poll_ = [&] {
    qxsim_set_stream_limit(0);
    if (stalled) return;
    stalled = true;
    ASSERT_TRUE(wait_for([] { return Get_Blocks_Transferred() >= 200; }, kStreamWait));
  };
  ASSERT_EQ(record("1=100,2=100,3=100,4=100", "-t 2s", path("fast.dat")), qx470rec::kExitLost)
      << messages_;
  EXPECT_NE(messages_.find("LOST Ch1 "), std::string::npos) << messages_;
  EXPECT_NE(messages_.find(" Ch4 "), std::string::npos) << messages_;
  EXPECT_EQ(fs::file_size(path("fast.dat")), 4u * 2 * 200000);
  const nlohmann::json side = nlohmann::json::parse(std::ifstream(path("fast.json")));
  EXPECT_EQ(side["device"], "QX-470-USB simulated");
  EXPECT_EQ(side["bridge"]["kind"], "simulated amplifier");
  EXPECT_EQ(side["bridge"]["file"].get<std::string>().substr(0, 1), "/");
  EXPECT_EQ(side["complete"], true);
  std::set<std::string> lost;
  for (const auto &g : side["gaps"])
    if (g["kind"] == "lost") lost.insert(g["channel"].get<std::string>());
  EXPECT_EQ(lost, (std::set<std::string>{"Ch1", "Ch2", "Ch3", "Ch4"})) << side.dump();
}

TEST_F(Recording, AnUnpluggedOrUnpoweredDeviceIsSaidAndNoFileIsMade) {
  qxsim_set_attached(0);
  EXPECT_EQ(record("1=100", "-t 1s", path("a.edf")), qx470rec::kExitDeviceOrFile);
  EXPECT_NE(messages_.find("no QX-470-USB found (status -5)"), std::string::npos) << messages_;
  EXPECT_FALSE(fs::exists(path("a.edf")));
  qxsim_set_attached(1);
  qxsim_set_powered(0);
  EXPECT_EQ(record("1=100", "-t 1s", path("b.edf")), qx470rec::kExitDeviceOrFile);
  EXPECT_NE(messages_.find("does not answer (status -8)"), std::string::npos) << messages_;
  EXPECT_FALSE(fs::exists(path("b.edf")));
  EXPECT_EQ(qxsim_open_handles(), 0);
}

TEST_F(Recording, AnUnwritableFileIsSaidBeforeTheAcquisitionStarts) {
  qxsim_log_clear();
  EXPECT_EQ(record("1=100", "-t 1s", path("no/such/dir/a.edf")), qx470rec::kExitDeviceOrFile);
  EXPECT_NE(messages_.find("no/such/dir/a.edf"), std::string::npos) << messages_;
  EXPECT_EQ(qxsim_call_count(QXSIM_CALL_OPEN, 1, 0), 0) << "the stream channel was never opened";
  for (const char *name : {"no/x.csv", "no/x.dat", "no/x.flac"}) {
    EXPECT_EQ(record("1=100", "-t 1s", path(name)), qx470rec::kExitDeviceOrFile) << name;
    EXPECT_NE(messages_.find("cannot create"), std::string::npos) << messages_;
  }
}

TEST_F(Recording, AFullDiskEndsTheRecordingWithAnError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::create_symlink("/dev/full", path("full.csv"));
  const Layout layout({100, 0, 0, 0});
  before_poll_ = [&] { let_through(layout); };
  // It exists (a device standing in for a full disk): -f replaces it.
  EXPECT_EQ(record("1=100", "-n 200000", path("full.csv")), qx470rec::kExitBadArguments);
  EXPECT_NE(messages_.find("full.csv' exists: give -f (--force) to replace it"), std::string::npos)
      << messages_;
  EXPECT_EQ(record("1=100", "-n 200000 -f", path("full.csv")), qx470rec::kExitDeviceOrFile);
  EXPECT_NE(messages_.find("full.csv"), std::string::npos) << messages_;
  EXPECT_NE(messages_.find("No space left on device"), std::string::npos) << messages_;
}

// A stream held up while the amplifier still answers (a busy machine) is waited for.
TEST_F(Recording, AStreamHeldUpWhileTheAmplifierAnswersIsWaitedFor) {
  const Layout layout({100, 100, 0, 0});
  std::chrono::steady_clock::time_point held{};
  before_poll_ = [&] {
    if (Get_Blocks_Transferred() < 10) return let_through(layout, 1);
    if (held == std::chrono::steady_clock::time_point{}) held = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::now() - held > std::chrono::seconds(3)) let_through(layout);
  };
  EXPECT_EQ(record("1=100,2=100", "-t 1s", path("held.csv")), 0) << messages_;
  EXPECT_NE(messages_.find("but the amplifier answers: waiting"), std::string::npos) << messages_;
  EXPECT_NE(messages_.find("no sample lost"), std::string::npos) << messages_;
}

TEST_F(Recording, ADeviceThatStopsSendingMidRecordingEndsWithTheFileSoFar) {
  const std::array<int, 4> rates{100, 100, 100, 100};
  const Layout layout(rates);
  bool pulled = false;
  before_poll_ = [&] {
    if (pulled) return;
    // 60 blocks (2.4 s of signal), then the cable comes out
    qxsim_set_stream_limit(layout.primed_words() +
                           std::min<uint64_t>(Get_Blocks_Transferred() + 8, 60) * 16384);
    if (Get_Blocks_Transferred() >= 60) {
      qxsim_set_attached(0);
      pulled = true;
    }
  };
  EXPECT_EQ(record("1=100,2=100,3=100,4=100", "-t 10s", path("pulled.dat")),
            qx470rec::kExitDeviceOrFile);
  EXPECT_NE(messages_.find("sent no data"), std::string::npos) << messages_;
  // Everything received is in the file, each frame whole.
  EXPECT_EQ(fs::file_size(path("pulled.dat")), 60u * 16384 * 2);
  const nlohmann::json side = nlohmann::json::parse(std::ifstream(path("pulled.json")));
  EXPECT_EQ(side["files"][0]["frames"], 245760) << side.dump();
  EXPECT_EQ(side["complete"], true) << side.dump();
}

}  // namespace
