// The recorder's file writers behind one interface: open before the acquisition starts (so a file
// that cannot be written costs nothing), begin with the start time, then each channel's samples
// and gaps in order, and finish on every path out. One writer per file format, each in its own
// file; formats.h makes the one a path asks for.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bridge_in_use.h"
#include "continuous_reader.h"
#include "device.h"
#include "formats.h"
#include "output_claim.h"
#include "sidecar.h"

namespace qx470rec {

constexpr const char *kDeviceName = "QX-470-USB";

struct RecordingInfo {
  std::array<int, 4> rates{};                              // kS/s by library channel, 0 off
  int32_t calibration = qx470reader::kDefaultCalibration;  // nV per count
  // What the library drove: every file says so, so the simulator is never taken for the device.
  qx470reader::BridgeInUse bridge;
  // The equipment as files name it: the device, and what stood in for it when it was not there.
  std::string equipment() const;
  double volts_per_count() const { return calibration * 1e-9; }
  // The scale as every file writes it: "%.9g" of the volts per count.
  std::string volts_per_count_text() const;
  std::string label(int channel) const { return "Ch" + std::to_string(channel + 1); }
  // Replace files that exist (-f); otherwise every file is created exclusively.
  bool replace_files = false;
  // Events will come (--events): room for more annotations in EDF+.
  bool events = false;
};

// A channel's samples waiting to be written, as signed counts (code - 32768), with lost
// stretches kept as a length rather than as memory.
class ChannelQueue {
 public:
  void push(const int32_t *codes, size_t n);
  void push_fill(uint64_t n);
  uint64_t size() const { return size_; }
  // Takes n values; lost samples become `fill`, and are flagged in `lost` when it is given.
  void pop(int16_t *out, size_t n, int16_t fill, uint8_t *lost = nullptr);

 private:
  struct Segment {
    uint64_t fill = 0;
    std::vector<int16_t> data;
    size_t pos = 0;
  };
  std::deque<Segment> segments_;
  uint64_t size_ = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  // Each returns an empty string on success, else a message that names the file.
  virtual std::string open(const std::string &path, const RecordingInfo &info) = 0;
  virtual std::string begin(std::chrono::system_clock::time_point start) = 0;
  virtual std::string samples(int channel, const int32_t *codes, size_t n) = 0;
  virtual std::string gap(const qx470reader::Gap &gap) = 0;
  // An event of the experiment, placed (its index and system time filled in).
  virtual std::string event(const Event &e) = 0;
  // Where the samples lie on the host's clocks, as far as seen; for the sidecar.
  virtual void clock(const qx470reader::ClockMap &map) = 0;
  // Datagrams of events that the kernel dropped so far; for the sidecar.
  virtual void dropped_events(uint64_t n) = 0;
  // Brings the files on disk to a state every reader takes (headers and the sidecar current, the
  // data flushed to the disk); called every second or two while recording.
  virtual std::string sync() = 0;
  // Writes what is left and closes; a partial last record is padded where the format needs it.
  // After a write error the files are cut back to what reads whole, and say so.
  virtual std::string finish() = 0;
  // The reader of standard output went away: the recording ends as if it were complete.
  virtual bool output_closed() const { return false; }
  // What the user should know of the files once they are finished, though nothing failed.
  virtual std::string warning() const { return {}; }
  virtual uint64_t bytes() const = 0;
  // Samples of each channel that the files hold whole, gaps and padding included.
  virtual std::array<uint64_t, 4> samples_in_files() const = 0;
  // The files written, for the summary.
  virtual std::vector<std::string> paths() const = 0;
};

std::unique_ptr<Writer> make_writer(Format format);
std::unique_ptr<Writer> make_edf_writer();
std::unique_ptr<Writer> make_csv_writer();
std::unique_ptr<Writer> make_dat_writer();
std::unique_ptr<Writer> make_sound_writer(Format format);  // kFlac or kWav

// "name.csv" and rate 100 give "name_100kSps.csv": one file per rate when rates differ.
std::string path_for_rate(const std::string &path, int rate_ks);
// Every file a recording to `path` makes (data files and the sidecar), so that none that exists
// is replaced by accident; none for standard output.
std::vector<std::string> planned_files(const std::string &path, Format format,
                                       const std::array<int, 4> &rates);
// UTC ISO 8601 with milliseconds.
std::string iso8601(std::chrono::system_clock::time_point t);

// ---- for the writers ----

// "cannot <what> '<path>': <strerror(errno)>"
std::string io_error(const std::string &what, const std::string &path);
// Writes a whole buffer or says why not.
std::string write_all(std::FILE *f, const void *data, size_t n, const std::string &path);
// A gap as an annotation or comment: "Ch1 lost 20", "Ch2 restart", ...
std::string gap_text(const RecordingInfo &info, const qx470reader::Gap &g);

// Channels that share a rate, fastest group first: one file (or one frame layout) each.
struct RateGroup {
  int rate = 0;
  std::vector<int> channels;
};
std::vector<RateGroup> rate_groups(const RecordingInfo &info);

// A data file written in whole pieces (lines, frames) straight to its descriptor, so that after a
// crash it ends at the last whole piece, and after a failed write it is cut back to it.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile();
  std::string create(const std::string &path, bool replace);
  void use_standard_output();
  // All of it, or the message (and the file ends where it did before).
  std::string write(const void *data, size_t n);
  // To the disk (nothing for standard output).
  std::string sync();
  std::string close();
  // The reader of standard output closed it (a write met EPIPE).
  bool closed_by_reader() const { return closed_by_reader_; }
  const std::string &name() const { return name_; }

 private:
  int fd_ = -1;
  bool standard_output_ = false;
  bool closed_by_reader_ = false;
  uint64_t whole_ = 0;  // bytes of whole pieces written
  std::string name_;
};

// Writers of rate groups (CSV, raw .dat, sound files): a group's rows (frames) are written once
// every channel of the group has its sample. Each keeps the sidecar current.
class GroupedWriter : public Writer {
 public:
  std::string open(const std::string &path, const RecordingInfo &info) override;
  std::string begin(std::chrono::system_clock::time_point start) override;
  std::string samples(int channel, const int32_t *codes, size_t n) override;
  std::string gap(const qx470reader::Gap &g) override;
  std::string event(const Event &e) override;
  void clock(const qx470reader::ClockMap &map) override { sidecar_.clock(map); }
  void dropped_events(uint64_t n) override { sidecar_.dropped_events(n); }
  std::string sync() override;
  std::string finish() override;
  uint64_t bytes() const override { return bytes_; }
  std::array<uint64_t, 4> samples_in_files() const override;
  std::vector<std::string> paths() const override;

 protected:
  virtual Format format() const = 0;
  virtual std::string open_groups() = 0;
  // Whatever the format writes first, with the start time.
  virtual std::string write_head(std::chrono::system_clock::time_point) { return {}; }
  virtual std::string on_gap(const qx470reader::Gap &) { return {}; }
  virtual std::string on_event(const Event &) { return {}; }
  // Frames of group g held back until the end or until more come (for events still to be
  // placed among them); none by default.
  virtual uint64_t held_back(size_t) const { return 0; }
  // Writes `frames` rows of group g from the interleaved counts and lost flags.
  virtual std::string write_frames(size_t g, const int16_t *values, const uint8_t *lost,
                                   size_t frames) = 0;
  virtual std::string sync_files() = 0;
  // Closes the files; after a failed write (`failed`), each ends at its last whole frame.
  virtual std::string close_files(bool failed) = 0;
  virtual nlohmann::ordered_json sidecar_extra() const { return nlohmann::ordered_json::object(); }
  // Frames of group g that a reader of the file gets now, as the sidecar counts them.
  virtual uint64_t frames_readable(size_t g) const { return frames_done_[g]; }

  std::string file_for(size_t g) const;
  std::string flush(size_t g);
  // Frames still waiting, padded out with lost samples, at the end.
  std::string flush_rest();

  std::string path_;
  RecordingInfo info_;
  std::vector<RateGroup> groups_;
  std::array<size_t, 4> group_of_{};
  std::vector<ChannelQueue> queues_;
  std::vector<uint64_t> frames_done_;  // whole frames in each group's file
  uint64_t bytes_ = 0;
  Sidecar sidecar_;
  bool failed_ = false;
  bool finishing_ = false;

 private:
  std::vector<SidecarFile> sidecar_files() const;
  std::vector<int16_t> column_, frame_;
  std::vector<uint8_t> lost_column_, lost_;
};

// Grouped writers whose files are written as they are (CSV, raw .dat): one OutputFile per rate,
// standard output for "-".
class OutputFilesWriter : public GroupedWriter {
 public:
  bool output_closed() const override;

 protected:
  std::string open_groups() override;
  std::string sync_files() override;
  std::string close_files(bool failed) override;
  std::string write_to(size_t g, const void *data, size_t n);

 private:
  std::vector<std::unique_ptr<OutputFile>> files_;
};

}  // namespace qx470rec
