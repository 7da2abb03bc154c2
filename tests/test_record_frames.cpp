// The recorder's output side in-process, without a device: whole units made of the channels'
// samples (rows, EDF+ records) with their lost flags, and a recording fed through the write
// queue into files that read back sample by sample.
#include <edflib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "frames.h"
#include "progress.h"
#include "recording.h"
#include "test_folder.h"
#include "write_queue.h"

namespace {

namespace fs = std::filesystem;
using qx470rec::FrameAssembler;
using qx470rec::UnitLayout;

std::vector<int32_t> codes(int32_t from, size_t n) {
  std::vector<int32_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = 32768 + from + static_cast<int32_t>(i);
  return v;
}

TEST(Frames, RowsInterleaveEachRatesChannelsAndMarkWhatWasLost) {
  FrameAssembler f({{{0, 2}, {1, 1}}, {{1}, {1}}});
  EXPECT_EQ(f.group_of(2), 0u);
  EXPECT_EQ(f.group_of(1), 1u);
  const auto a = codes(0, 5), b = codes(100, 3);
  f.push(0, a.data(), a.size());
  f.push(2, b.data(), 2);
  f.push_fill(2, 2);  // two lost samples of Ch3
  EXPECT_EQ(f.ready(0), 4u) << "as far as both channels have samples";
  std::vector<int16_t> values;
  std::vector<uint8_t> lost;
  f.take(0, 4, values, lost);
  EXPECT_EQ(values, (std::vector<int16_t>{0, 100, 1, 101, 2, 0, 3, 0}));
  EXPECT_EQ(lost, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 0, 1}));
  EXPECT_EQ(f.ready(0), 0u);
  EXPECT_TRUE(f.pad_to_whole_units()) << "Ch1 has one sample more";
  f.take(0, f.ready(0), values, lost);
  EXPECT_EQ(values, (std::vector<int16_t>{4, 0}));
  EXPECT_EQ(lost, (std::vector<uint8_t>{0, 1}));
  EXPECT_FALSE(f.pad_to_whole_units());
}

TEST(Frames, ARecordHoldsEachChannelsSecondInTurnAndTheLastIsPaddedWhole) {
  FrameAssembler f({{{0, 1}, {4, 2}}});  // an EDF+ record: 4 samples of Ch1, 2 of Ch2
  const auto a = codes(0, 10), b = codes(50, 3);
  f.push(0, a.data(), a.size());
  f.push(1, b.data(), b.size());
  EXPECT_EQ(f.ready(0), 1u);
  std::vector<int16_t> values;
  std::vector<uint8_t> lost;
  f.take(0, 1, values, lost);
  EXPECT_EQ(values, (std::vector<int16_t>{0, 1, 2, 3, 50, 51}));
  EXPECT_TRUE(f.pad_to_whole_units());
  ASSERT_EQ(f.ready(0), 2u) << "6 samples of Ch1 left: two records";
  f.take(0, 2, values, lost);
  EXPECT_EQ(values, (std::vector<int16_t>{4, 5, 6, 7, 52, 0, 8, 9, 0, 0, 0, 0}));
  EXPECT_EQ(lost, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1, 0, 0, 1, 1, 1, 1}));
}

class RecordingFiles : public qxtest::TestFolder {
 protected:
  RecordingFiles() : TestFolder("qx470frames_") {}
  // Ch1 at 2 kS/s and Ch2 at 1 kS/s, in pieces through the write queue, with one gap.
  void record(qx470rec::Recording &rec, const std::string &name) {
    qx470rec::RecordingInfo info;
    info.rates = {2, 1, 0, 0};
    ASSERT_EQ(rec.open((dir_ / name).string(), info), "");
    ASSERT_EQ(rec.begin(std::chrono::system_clock::now()), "");
    qx470rec::WriteQueue queue(rec, 1 << 20);
    for (int piece = 0; piece < 5; ++piece) {
      const auto a = codes(piece * 1000, 1000), b = codes(piece * 500, 500);
      queue.samples(0, a.data(), a.size());
      if (piece == 2)
        queue.gap({1, qx470reader::GapKind::kLost, 1000, 500});
      else
        queue.samples(1, b.data(), b.size());
    }
    queue.drain();
    ASSERT_EQ(queue.error(), "");
    ASSERT_EQ(rec.finish(), "");
  }
};

TEST_F(RecordingFiles, EachFormatHoldsWhatTheQueueGaveItAndTheSidecarSaysSo) {
  qx470rec::Recording dat(qx470rec::Format::kDat);
  record(dat, "run.dat");
  std::ifstream in(dir_ / "run_2kSps.dat", std::ios::binary);
  std::vector<int16_t> ch1(5000);
  in.read(reinterpret_cast<char *>(ch1.data()), 10000);
  for (size_t i = 0; i < ch1.size(); ++i) ASSERT_EQ(ch1[i], int16_t(i)) << i;
  EXPECT_EQ(fs::file_size(dir_ / "run_1kSps.dat"), 5000u);
  std::ifstream side(dir_ / "run.json");
  const nlohmann::json j = nlohmann::json::parse(side);
  EXPECT_EQ(j["files"][0]["frames"], 5000);
  EXPECT_EQ(j["files"][1]["frames"], 2500);
  EXPECT_EQ(j["gaps"].size(), 1u);
  EXPECT_EQ(j["complete"], true);
  EXPECT_EQ(dat.samples_in_files(), (std::array<uint64_t, 4>{5000, 2500, 0, 0}));

  qx470rec::Recording edf(qx470rec::Format::kEdf);
  record(edf, "one.edf");
  edf_hdr_struct h{};
  ASSERT_EQ(edfopen_file_readonly((dir_ / "one.edf").c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_EQ(h.datarecords_in_file, 3) << "2.5 s: the last record padded";
  std::vector<int> v(1000);
  edfseek(h.handle, 1, 1000, EDFSEEK_SET);
  ASSERT_EQ(edfread_digital_samples(h.handle, 1, 500, v.data()), 500);
  EXPECT_EQ(v[0], 0) << "the gap is filled at its place";
  ASSERT_EQ(edfread_digital_samples(h.handle, 1, 500, v.data()), 500);
  EXPECT_EQ(v[0], 1500);
  edfclose_file(h.handle);
}

// The second rate's file cannot be made: the recording says so, and finishing what was made
// touches no file that is not there.
TEST_F(RecordingFiles, AFileThatCannotBeMadeIsSaidAndFinishingStillWorks) {
  fs::create_directories(dir_ / "two_1kSps.csv");
  qx470rec::Recording csv(qx470rec::Format::kCsv);
  qx470rec::RecordingInfo info;
  info.rates = {2, 1, 0, 0};
  EXPECT_NE(csv.open((dir_ / "two.csv").string(), info).find("two_1kSps.csv' exists"),
            std::string::npos);
  EXPECT_EQ(csv.finish(), "");
  EXPECT_TRUE(fs::exists(dir_ / "two_2kSps.csv"));
}

TEST_F(RecordingFiles, CsvInVoltsSaysSoAndHoldsTheCalibratedValues) {
  qx470rec::Recording csv(qx470rec::Format::kCsv);
  qx470rec::RecordingInfo info;
  info.rates = {1, 0, 0, 0};
  info.volts = true;
  const fs::path out = dir_ / "v.csv";
  ASSERT_EQ(csv.open(out.string(), info), "");
  ASSERT_EQ(csv.begin(std::chrono::system_clock::now()), "");
  const std::vector<int32_t> c = {32768 + 1000, 32768 - 2, 32768 + 32767};
  ASSERT_EQ(csv.samples(0, c.data(), c.size()), "");
  ASSERT_EQ(csv.finish(), "");
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("# values: volts,"), std::string::npos) << text;
  EXPECT_NE(text.find("\n0,0.3125\n1,-0.000625\n2,10.2396875\n"), std::string::npos) << text;
}

// The progress line fits the terminal: in 80 columns four channels' counts give way before the
// time, the lost samples and the events; the rest of the line is erased; signal and wall time
// are told apart when they differ.
TEST(ProgressLine, FitsTheTerminalWithWhatMattersFirst) {
  qx470rec::Progress p;
  p.seconds = p.signal_seconds = 3723.5;
  p.on = {true, true, true, true};
  p.written = {372350000, 372350000, 372350000, 372350000};
  p.bytes = 2978800000;
  p.queue_fill = 0.5;
  p.lost = 123456;
  p.events = true;
  p.placed = 42;
  p.width = 80;
  const std::string line = qx470rec::progress_line(p);
  ASSERT_EQ(line.rfind("\x1b[K"), line.size() - 3) << "the rest of the line is erased";
  EXPECT_EQ(line.front(), '\r');
  EXPECT_LE(line.size() - 4, 79u) << line;
  EXPECT_NE(line.find("lost 123456"), std::string::npos) << line;
  EXPECT_NE(line.find("42 events"), std::string::npos) << line;
  EXPECT_NE(line.find("3723.500 s"), std::string::npos) << line;
  p.width = 250;
  const std::string wide = qx470rec::progress_line(p);
  EXPECT_NE(wide.find("Ch4 372350000"), std::string::npos) << wide;
  EXPECT_NE(wide.find("behind 0.00 s"), std::string::npos) << wide;
  p.signal_seconds = 10.0;
  p.seconds = 1.0;
  EXPECT_NE(qx470rec::progress_line(p).find("10.0 s signal, 1.0 s wall"), std::string::npos);
}

}  // namespace
