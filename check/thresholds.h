// What the self-check accepts, in one table: every figure's limit with the reason for it. The
// report prints the table, so an owner sees what a verdict was measured against.
#pragma once

#include <array>

namespace qx470check {

struct Threshold {
  const char *name;
  double value;
  const char *unit;
  // The figure depends on the device and no device has been measured yet: the limit is generous
  // and says so.
  bool provisional;
  const char *reason;
};

enum Limit {
  kOffsetMv,
  kNoiseUv,
  kMainsUv,
  kShuntStepPct,
  kGainWarnPct,
  kShuntAgreePct,
  kShuntReturnMv,
  kRatePpm,
  kRateSpanS,
  kRateKnownPpm,
  kCpuWarnPct,
  kLimitCount
};

inline constexpr std::array<Threshold, kLimitCount> kThresholds{{
    {"offset after auto-zero", 5.0, "mV", true,
     "auto-zero removes the input offset; what is left is the amplifier's own"},
    {"noise", 2000.0, "uV RMS", true,
     "with the inputs shorted the noise is the amplifier's; a few counts (312.5 uV each) is "
     "normal"},
    {"mains hum (50 or 60 Hz)", 1000.0, "uV RMS", true,
     "hum comes from the room through the cables: keep them away from mains wiring"},
    {"shunt step", 1.0, "% from 1.000 V", false,
     "the calibration shunt applies 1.000 V; a larger error is outside what trimming may mend"},
    {"gain error worth trimming", 0.2, "%", false,
     "above this the trimmed calibration value measures better than the stored one"},
    {"shunt steps of the channels apart", 0.5, "%", false,
     "one calibration value serves all four channels, so their gains must agree"},
    {"return to the baseline after the shunt", 2.0, "mV", false,
     "the shunt switched off must leave nothing behind"},
    {"sample rate error", 1000.0, "ppm", false,
     "the amplifier's clock is a crystal; the host clock is judged against too"},
    {"rate judged over at least", 5.0, "s", false,
     "a busy host sees blocks a millisecond or more late, which shorter runs cannot average out"},
    {"and when known to", 300.0, "ppm", false,
     "the fit's own uncertainty: a rate timed less surely is shown, not judged"},
    {"CPU share of one core (warning)", 50.0, "%", true,
     "a machine that spends this much on 400 kS/s has little left to spare"},
}};

inline double limit(Limit l) {
  return kThresholds[l].value;
}

// How long each step measures; --quick shortens the long ones.
struct Durations {
  double noise_s;      // step 4, at 100 kS/s on every channel
  double shunt_s;      // step 5, each of shunt on and off
  double rate_s;       // step 6, each rate and channel set
  double rate_max_s;   // step 6: sets that need longer for two blocks are left out
  double endurance_s;  // step 7
};
inline constexpr Durations kFullRun{1.0, 1.0, 2.0, 1e9, 60.0};
inline constexpr Durations kQuickRun{1.0, 0.5, 0.5, 2.0, 10.0};

// What the calibration shunt applies to every input.
inline constexpr double kShuntVolts = 1.000;

}  // namespace qx470check
