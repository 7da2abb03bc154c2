// The self-check's steps, in the order they run, as a table: each takes what the earlier ones
// learned about the device and says what it found.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "report.h"
#include "thresholds.h"

namespace qx470check {

struct Check {
  // What the owner asked for.
  std::string serial;
  Durations durations = kFullRun;
  bool quick = false;
  std::vector<int32_t> rates_ks;  // step 6's rates
  bool write_calibration = false;
  const std::atomic<bool> *stop = nullptr;

  // What the steps have learned.
  bool ready = false;
  int32_t status = 0;
  int32_t calibration = 0;  // nV per count to use
  int32_t calibration_default = 0, calibration_min = 0, calibration_max = 0;
  bool held = false;

  bool stopped() const { return stop != nullptr && stop->load(); }
  double millivolts(double counts) const { return counts * calibration * 1e-6; }
  double microvolts(double counts) const { return counts * calibration * 1e-3; }
};

struct StepKind {
  int number;
  const char *name;
  const char *title;  // what a running step says on a terminal
  bool needs_ready;   // runs only once step 2 found the amplifier ready
  void (*run)(Check &, Step &);
};

extern const std::vector<StepKind> kSteps;

}  // namespace qx470check
