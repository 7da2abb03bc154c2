// What a recording leaves behind when things go wrong: an output that exists, the recorder killed
// mid-recording, a disk that fills up, an output that stalls, a reader of standard output that
// goes away. Each file is
// read back with the libraries labs read it with (libedf's reader, libsndfile, a JSON parser).
#include <edflib.h>
#include <sndfile.h>

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "record_cli_support.h"
#include "wait_for.h"

namespace {

namespace fs = std::filesystem;
using namespace qxtest;  // the recorder run as a program: spawn, wait_exit, slurp, RecordCli

nlohmann::json sidecar(const fs::path &p) {
  std::ifstream in(p);
  return nlohmann::json::parse(in, nullptr, false);
}

uint64_t sidecar_frames(const fs::path &p) {
  const nlohmann::json j = sidecar(p);
  if (!j.is_object() || !j.contains("files") || j["files"].empty()) return 0;
  return j["files"][0].value("frames", uint64_t{0});
}

// Frames of the first rate that a reader of the format takes from the file as it is.
uint64_t readable_frames(const fs::path &p, const std::string &ext) {
  if (ext == "edf") {
    edf_hdr_struct h{};
    if (edfopen_file_readonly(p.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS) != 0) return 0;
    const auto n = static_cast<uint64_t>(h.signalparam[0].smp_in_file);
    edfclose_file(h.handle);
    return n;
  }
  if (ext == "wav" || ext == "flac") {
    SF_INFO info{};
    SNDFILE *f = sf_open(p.c_str(), SFM_READ, &info);
    if (!f) return 0;
    // Read to the end rather than trust the header: what a decoder gets.
    std::vector<short> buf(4096 * static_cast<size_t>(info.channels));
    uint64_t n = 0;
    for (sf_count_t got; (got = sf_readf_short(f, buf.data(), 4096)) > 0;) n += uint64_t(got);
    sf_close(f);
    return n;
  }
  if (ext == "dat") return fs::file_size(p) / 4;  // two channels of int16
  // CSV: whole rows after the comment lines and the column names.
  std::ifstream in(p);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() != '\n') return 0;  // a cut last line breaks the readers
  uint64_t rows = 0;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    rows += text[at] >= '0' && text[at] <= '9';
  return rows;
}

// The sizes a WAV header gives for its data, which tools such as SoX trust over the file's size.
uint64_t wav_header_frames(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  const size_t at = head.find("data");
  if (at == std::string::npos) return 0;
  uint32_t bytes = 0;
  std::memcpy(&bytes, head.data() + at + 4, 4);
  return bytes / 4;
}

TEST_F(RecordCli, AnExistingOutputIsRefusedAndForceReplacesIt) {
  const fs::path edf = dir_ / "run.edf";
  { std::ofstream(edf) << "keep"; }
  EXPECT_EQ(run({"-r", "1=10", "-n", "100", "-o", edf.string()}), 2);
  EXPECT_NE(err_.find("run.edf' exists: give -f (--force) to replace it"), std::string::npos)
      << err_;
  EXPECT_EQ(slurp(edf), "keep");
  // A side file counts too: the sidecar, and each rate's file of a CSV recording.
  fs::remove(edf);
  { std::ofstream(dir_ / "run.json") << "{}"; }
  EXPECT_EQ(run({"-r", "1=10", "-n", "100", "-o", edf.string()}), 2);
  EXPECT_NE(err_.find("run.json' exists"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(edf));
  { std::ofstream(dir_ / "two_1kSps.csv") << "keep"; }
  EXPECT_EQ(run({"-r", "1=10,2=1", "-n", "100", "-o", (dir_ / "two.csv").string()}), 2);
  EXPECT_NE(err_.find("two_1kSps.csv' exists"), std::string::npos) << err_;

  EXPECT_EQ(run({"-r", "1=10", "-n", "100", "-f", "-o", edf.string()}), 0) << err_;
  EXPECT_GT(fs::file_size(edf), 256u);
  EXPECT_EQ(sidecar(dir_ / "run.json")["complete"], true);
}

// A second recorder started on the same name while the first runs, with -f, or on the first's
// sidecar through another format: refused before it touches the device, and the first
// recording ends whole. Once it is over, -f replaces it.
TEST_F(RecordCli, ASecondRecorderNeverSpoilsTheFirstOnesFiles) {
  const fs::path dat = dir_ / "x.dat", side = dir_ / "x.json";
  Child first =
      spawn({"-q", "-r", "1=100", "-t", "6s", "-o", dat.string()}, {"QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(first.pid, 0);
  ASSERT_TRUE(qxtest::wait_for([&] { return sidecar_frames(side) > 0; }, 60)) << slurp(first.err);
  EXPECT_EQ(run({"-q", "-r", "1=100", "-t", "1s", "-f", "-o", dat.string()}), 2);
  EXPECT_NE(err_.find("x.dat' is being recorded right now"), std::string::npos) << err_;
  EXPECT_EQ(run({"-q", "-r", "1=100", "-t", "1s", "-f", "-o", (dir_ / "x.csv").string()}), 2);
  EXPECT_NE(err_.find("x.json' is being recorded right now"), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(dir_ / "x.csv"));
  EXPECT_EQ(wait_exit(first.pid), 0) << slurp(first.err);
  EXPECT_EQ(fs::file_size(dat), 600000u * 2);
  EXPECT_EQ(sidecar_frames(side), 600000u);
  EXPECT_EQ(sidecar(side)["complete"], true);
  EXPECT_EQ(run({"-q", "-r", "1=100", "-t", "1s", "-f", "-o", dat.string()}), 0) << err_;
  EXPECT_EQ(fs::file_size(dat), 100000u * 2);
}

// The output's folder removed mid-recording: an error that says so, and no "no sample lost"
// for files that are gone.
TEST_F(RecordCli, AFolderRemovedMidRecordingIsSaidNotReportedAsComplete) {
  const fs::path folder = dir_ / "session";
  fs::create_directories(folder);
  Child c = spawn({"-q", "-r", "1=100", "-t", "20s", "-o", (folder / "x.edf").string()},
                  {"QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(qxtest::wait_for([&] { return sidecar_frames(folder / "x.json") > 0; }, 60))
      << slurp(c.err);
  fs::remove_all(folder);
  EXPECT_EQ(wait_exit(c.pid), 1) << slurp(c.err);
  const std::string err = slurp(c.err);
  EXPECT_NE(err.find("x.edf' was removed during the recording"), std::string::npos) << err;
  EXPECT_EQ(err.find("no sample lost"), std::string::npos) << err;
}

// The length a FLAC header gives, which readers that trust it (soundfile.read) use.
uint64_t flac_header_frames(const fs::path &p) {
  SF_INFO info{};
  SNDFILE *f = sf_open(p.c_str(), SFM_READ, &info);
  if (!f) return 0;
  sf_close(f);
  return static_cast<uint64_t>(info.frames);
}

class Survival : public RecordCli, public ::testing::WithParamInterface<const char *> {};

// Killed with SIGKILL mid-recording: everything the sidecar counted two seconds before reads back
// with the format's own reader, and the sidecar is valid JSON that says the recording is not
// complete.
TEST_P(Survival, KilledMidRecordingTheFileReadsToNearTheEnd) {
  const std::string ext = GetParam();
  const fs::path out = dir_ / ("run." + ext), side = dir_ / "run.json";
  Child c = spawn({"-q", "-r", "1=100,2=100", "-t", "120s", "-o", out.string()},
                  {"QXSIM_SIGNAL=1", "QXSIM_SPEED=1"}, dir_);
  ASSERT_GT(c.pid, 0);
  uint64_t counted = 0;
  ASSERT_TRUE(qxtest::wait_for([&] { return (counted = sidecar_frames(side)) >= 100000; }, 120))
      << slurp(c.err);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  kill(c.pid, SIGKILL);
  EXPECT_EQ(wait_exit(c.pid), 128 + SIGKILL);
  const uint64_t readable = readable_frames(out, ext);
  EXPECT_GE(readable, counted) << ext;
  const nlohmann::json j = sidecar(side);
  ASSERT_TRUE(j.is_object()) << slurp(side);
  EXPECT_EQ(j["complete"], false);
  EXPECT_LE(j["files"][0]["frames"].get<uint64_t>(), readable) << "the sidecar names no more";
  if (ext == "wav") {
    EXPECT_GE(wav_header_frames(out), counted);
  }
  if (ext == "flac") {
    EXPECT_GE(flac_header_frames(out), counted);
    EXPECT_LE(flac_header_frames(out), readable) << "the header names no more than decodes";
  }
}

// The disk fills up (a file size limit stands in for it): exit 1 with the reason, and the file
// is cut back to what reads whole, as its header, the sidecar and the summary all say.
TEST_P(Survival, AFullDiskLeavesAFileThatReadsWholeAndSaysWhatItHolds) {
  const std::string ext = GetParam();
  const fs::path out = dir_ / ("run." + ext), side = dir_ / "run.json";
  const std::string command = "trap '' XFSZ; ulimit -f 3000; exec " +
                              std::string(QX470_RECORD_PATH) + " -q -r 1=100,2=100 -t 30s -o " +
                              out.string();
  EXPECT_EQ(run_shell(command, {"QXSIM_SIGNAL=1", "QXSIM_SPEED=4"}), 1) << err_;
  EXPECT_NE(err_.find("run." + ext), std::string::npos) << err_;
  EXPECT_NE(err_.find("File too large"), std::string::npos) << err_;
  const uint64_t readable = readable_frames(out, ext);
  EXPECT_GT(readable, 0u) << ext;
  const nlohmann::json j = sidecar(side);
  ASSERT_TRUE(j.is_object()) << slurp(side);
  EXPECT_EQ(j["complete"], false);
  EXPECT_EQ(j["files"][0]["frames"].get<uint64_t>(), readable) << ext;
  if (ext == "flac") {
    EXPECT_EQ(flac_header_frames(out), readable);
  }
  EXPECT_NE(err_.find(" Ch1 " + std::to_string(readable) + " Ch2 "), std::string::npos)
      << "the summary counts what the file holds: " << err_;
}

INSTANTIATE_TEST_SUITE_P(Formats, Survival, ::testing::Values("edf", "wav", "flac", "csv", "dat"),
                         [](const auto &info) { return std::string(info.param); });

// `qx470-record -o - | head`: the reader going away ends the recording as a normal end.
TEST_F(RecordCli, AReaderThatClosesStandardOutputEndsTheRecordingQuietly) {
  const std::string command = "set -o pipefail; " + std::string(QX470_RECORD_PATH) +
                              " -q -r 1=100 -n 5M -o - | head -n 20 > /dev/null";
  EXPECT_EQ(run_shell(command, {"QXSIM_SPEED=4"}), 0) << err_;
  EXPECT_NE(err_.find("(the output was closed)"), std::string::npos) << err_;
  EXPECT_EQ(err_.find("Broken pipe"), std::string::npos) << err_;
}

// An output that stalls for 5 s, twice as long as the library's ring lasts at 800 kB/s: the write
// queue holds the samples and nothing is lost. With a queue of 1 s the ring overflows, and the
// loss is reported as any other.
TEST_F(RecordCli, AnOutputThatStallsLosesNothingWhileTheQueueHoldsIt) {
  const std::string rec =
      "set -o pipefail; " + std::string(QX470_RECORD_PATH) + " -q -r 1=100,2=100,3=100,4=100 -t 6s";
  EXPECT_EQ(run_shell(rec + " -o - | { sleep 5; cat > /dev/null; }", {"QXSIM_SPEED=1"}), 0) << err_;
  EXPECT_NE(err_.find("; no sample lost"), std::string::npos) << err_;
  EXPECT_EQ(run_shell(rec + " --buffer 1s -o - | { sleep 5; cat > /dev/null; }", {"QXSIM_SPEED=1"}),
            3)
      << err_;
  EXPECT_NE(err_.find("; LOST Ch1 "), std::string::npos) << err_;
  EXPECT_EQ(err_.find("no data"), std::string::npos) << "a held reading is no silent device";
}

}  // namespace
