// One file format's own logic behind a narrow interface: make its files, write what comes first,
// write whole units of a group with their lost flags, mark a gap or an event, keep its headers
// current, finish. The recording (recording.h) feeds it whole units and keeps the sidecar; a new
// format is one file of this interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "clock_map.h"
#include "events.h"
#include "frames.h"
#include "output_files.h"
#include "recording_info.h"

namespace qx470rec {

class FormatWriter {
 public:
  virtual ~FormatWriter() = default;
  // The units the format writes: by default a row of each rate group (one sample per channel).
  virtual std::vector<UnitLayout> layout(const RecordingInfo &info) const;
  // Makes the files (`files` is planned; the format creates them, through it) and sets up what
  // needs no start time. Empty string or the message.
  virtual std::string open(OutputFiles &files, const RecordingInfo &info) = 0;
  virtual std::string begin(std::chrono::system_clock::time_point) { return {}; }
  // Where the samples lie on the host's clock, as far as seen; before each sync and the finish.
  virtual void clock(const qx470reader::ClockMap &) {}
  // `units` whole units of group g, laid out as FrameAssembler::take gives them.
  virtual std::string write(size_t g, const int16_t *values, const uint8_t *lost, size_t units) = 0;
  virtual std::string gap(const qx470reader::Gap &) { return {}; }
  // An event, placed (its index and system time filled in).
  virtual std::string event(const Event &) { return {}; }
  // Units of group g to hold back until more come (for events still to be placed among them).
  virtual uint64_t held_back(size_t) const { return 0; }
  // Headers brought up to date, before the files are synced.
  virtual std::string sync() { return {}; }
  // The recording ends with `samples` of each channel, not all in whole units (`partial`),
  // before the last unit is padded.
  virtual std::string ending(const std::array<uint64_t, 4> &, bool) { return {}; }
  // Closes what the format opened itself; after a failed write (`failed`) each file is cut back
  // to what reads whole and says so. The files are closed after it.
  virtual std::string finish(bool failed) = 0;
  // Units of group g a reader gets from the file now, of the `written` given to it.
  virtual uint64_t units_in_file(size_t, uint64_t written) const { return written; }
  // What the user should know of the files once they are finished, though nothing failed.
  virtual std::string warning() const { return {}; }
  // Keys the sidecar adds for this format.
  virtual nlohmann::ordered_json sidecar_extra() const { return nlohmann::ordered_json::object(); }
  uint64_t bytes() const { return bytes_; }

 protected:
  uint64_t bytes_ = 0;
};

std::unique_ptr<FormatWriter> make_edf_writer();
std::unique_ptr<FormatWriter> make_csv_writer();
std::unique_ptr<FormatWriter> make_dat_writer();
std::unique_ptr<FormatWriter> make_flac_writer();
std::unique_ptr<FormatWriter> make_wav_writer();
std::unique_ptr<FormatWriter> make_xdf_writer();

}  // namespace qx470rec
