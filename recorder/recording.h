// One recording's output: the format's writer fed whole units by the frame assembler, the files,
// and the sidecar with its journal, each sidecar call made here once. The write queue drives it
// from its own thread: the channels' samples and gaps in order, the events, the syncs.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clock_map.h"
#include "format_writer.h"
#include "frames.h"
#include "output_files.h"
#include "sidecar.h"

namespace qx470rec {

class Recording {
 public:
  explicit Recording(Format format);
  // Each returns an empty string on success, else a message that names the file.
  std::string open(const std::string &path, const RecordingInfo &info);
  std::string begin(std::chrono::system_clock::time_point start);
  std::string samples(int channel, const int32_t *codes, size_t n);
  std::string gap(const qx470reader::Gap &gap);
  // An event of the experiment, placed (or refused: then in the journal only).
  std::string event(const Event &e);
  // Where the samples lie on the host's clocks, as far as seen; for the sidecar.
  void clock(const qx470reader::ClockMap &map) {
    sidecar_.clock(map);
    format_->clock(map);
  }
  // Datagrams of events that the kernel dropped so far; for the sidecar.
  void dropped_events(uint64_t n) { sidecar_.dropped_events(n); }
  // Brings the files on disk to a state every reader takes (headers and the sidecar current, the
  // data on the disk); called every second or so while recording.
  std::string sync();
  // Writes what is left (a partial last unit padded) and closes. After a write error the files
  // are cut back to what reads whole, and say so.
  std::string finish();
  // The reader of standard output went away: the recording ends as if it were complete.
  bool output_closed() const { return files_.closed_by_reader(); }
  std::string warning() const { return format_->warning(); }
  uint64_t bytes() const { return format_->bytes(); }
  // Samples of each channel that the files hold whole, gaps and padding included.
  std::array<uint64_t, 4> samples_in_files() const;
  // The files written, for the summary.
  std::vector<std::string> paths() const;

 private:
  std::string flush(size_t g);
  std::vector<SidecarFile> sidecar_files() const;

  Format format_id_;
  std::unique_ptr<FormatWriter> format_;
  RecordingInfo info_;
  OutputFiles files_;
  std::optional<FrameAssembler> frames_;
  std::vector<uint64_t> units_;  // whole units written of each group
  std::array<uint64_t, 4> pushed_{};
  Sidecar sidecar_;
  bool failed_ = false;
  bool finishing_ = false;
  bool finished_ = false;
  std::vector<int16_t> values_;
  std::vector<uint8_t> lost_;
};

}  // namespace qx470rec
