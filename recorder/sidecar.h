// The JSON file beside every recording: what was recorded (device, bridge, start, scale), where
// each rate's samples are, and every gap. It is rewritten whole as the recording goes, through a
// new file renamed over the old, so that it is valid JSON at every moment; "complete" stays false
// until the recording has ended. Events, gaps and refused events are also appended, as they come,
// to a journal beside it (JSON lines, synced with the data): the sidecar names it and stays small
// however many events come.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "clock_map.h"
#include "events.h"
#include "recording_info.h"

namespace qx470rec {

// One rate's samples: in `file`, `frames` rows of `channels` (one sample each).
struct SidecarFile {
  std::string file;
  int rate_ks = 0;
  std::vector<int> channels;
  uint64_t frames = 0;
  // Samples of each channel that are the recording's: fewer than `frames` where the format pads
  // its last unit (EDF+'s data record).
  uint64_t samples = 0;
};

class OutputFile;

class Sidecar {
 public:
  Sidecar();
  ~Sidecar();
  Sidecar(const Sidecar &) = delete;
  Sidecar &operator=(const Sidecar &) = delete;
  // "run.edf" gives "run.json", and its journal "run.events.jsonl".
  static std::string path_for(const std::string &data_path);
  static std::string journal_for(const std::string &data_path);

  // Creates the file (exclusively unless `replace`); `format` names the data files' format and
  // `extra` adds format-specific keys. Returns an empty string or the message.
  std::string create(const std::string &data_path, const RecordingInfo &info, const char *format,
                     bool replace, nlohmann::ordered_json extra = nlohmann::ordered_json::object());
  void start(std::chrono::system_clock::time_point t);
  void gap(const qx470reader::Gap &g);
  // An event placed, or refused (e.refused says why).
  void event(const Event &e);
  // Datagrams of events that the kernel dropped, so far.
  void dropped_events(uint64_t n) { dropped_ = n; }
  // Where the samples lie on the host's clocks, as the reader has seen so far.
  void clock(const qx470reader::ClockMap &map);
  const std::vector<qx470reader::Gap> &gaps() const { return gaps_; }
  // Writes the whole file anew: at the end, and while recording at most once in a while that
  // grows with the file (a second for every 200 kB), so a day's clock notes cost little.
  // `last`: the recording has ended, and this is written whatever the time.
  std::string write(const std::vector<SidecarFile> &files, bool complete, bool last = false);
  const std::string &path() const { return path_; }
  bool created() const { return !path_.empty(); }

 private:
  std::string flush_journal();

  std::string path_;
  nlohmann::ordered_json head_;  // what does not change
  std::vector<qx470reader::Gap> gaps_;
  std::string start_;
  std::unique_ptr<OutputFile> journal_;
  std::string pending_;  // journal lines not yet written
  uint64_t events_ = 0, refused_ = 0, dropped_ = 0;
  nlohmann::ordered_json clock_;
  std::array<int, 4> rates_{};
  double last_write_ = -1e300;
  size_t last_size_ = 0;
};

}  // namespace qx470rec
