#include "steps.h"

#include <algorithm>
#include <cmath>

#include "QX470USB.h"
#include "measure.h"
#include "qx470_reader.h"

namespace qx470check {

namespace {

constexpr std::array<int32_t, 4> kAllAtFullRate{100, 100, 100, 100};

std::string base_serial(std::string s) {
  if (!s.empty() && (s.back() == 'A' || s.back() == 'B')) s.pop_back();
  return s;
}

std::string status_words(int32_t status) {
  char text[1024];
  qx470_status_words(status, text, sizeof text);
  return text;
}

// The lost stretches of a run in words, at most a few of them.
std::string gap_list(const Acquisition &a) {
  std::string s;
  for (size_t i = 0; i < a.gaps.size() && i < 3; ++i)
    s += format("%s%s of %llu at Ch%d sample %llu", i ? ", " : "", qx470_gap_words(a.gaps[i].kind),
                static_cast<unsigned long long>(a.gaps[i].count), a.gaps[i].channel + 1,
                static_cast<unsigned long long>(a.gaps[i].index));
  if (a.gaps.size() > 3) s += format(" and %zu more", a.gaps.size() - 3);
  return s;
}

// Whether the run timed its rate surely enough to judge it.
bool rate_known(const Acquisition &a) {
  return a.timed_s >= limit(kRateSpanS) && a.ppm_error <= limit(kRateKnownPpm);
}

uint64_t total_lost(const Acquisition &a) {
  uint64_t n = 0;
  for (uint64_t l : a.lost) n += l;
  return n;
}

// ---- 1. the bridge ----

void bridge_step(Check &ck, Step &st) {
  const int32_t n = qx470_bridge_nodes(nullptr, 0);
  if (n < 0) {
    st.add(Verdict::kFail,
           "the bridge could not list its devices (" + std::string(qx470_result_words(n)) + ")");
    st.summary = "no listing";
    return;
  }
  std::vector<qx470_bridge_node> nodes(static_cast<size_t>(n));
  const int32_t got = qx470_bridge_nodes(nodes.data(), n);
  nodes.resize(static_cast<size_t>(std::clamp(got, 0, n)));
  std::string serial = ck.serial;
  if (serial.empty())
    for (const qx470_bridge_node &node : nodes)
      if (std::string(node.description).rfind("QX-470", 0) == 0) {
        serial = base_serial(node.serial);
        break;
      }
  bool a = false, b = false;
  int others = 0;
  for (const qx470_bridge_node &node : nodes) {
    const std::string d = node.description;
    const bool ours = d.rfind("QX-470", 0) == 0 && base_serial(node.serial) == serial;
    const std::string where =
        format("bus %u address %u", node.location >> 12, (node.location >> 4) & 0xFF);
    nlohmann::json f = {{"serial", node.serial}, {"description", d}, {"location", node.location}};
    if (ours) {
      const bool is_a = d.size() >= 2 && d.compare(d.size() - 2, 2, " A") == 0;
      (is_a ? a : b) = true;
      st.add(Verdict::kPass,
             format("interface %c: '%s', serial %s, %s", is_a ? 'A' : 'B', d.c_str(), node.serial,
                    where.c_str()),
             f);
    } else {
      ++others;
      st.add(Verdict::kWarn,
             format("another device on the bridge's ids: '%s', serial %s, %s; the library uses "
                    "the amplifier only when it is the only one: unplug it",
                    d.c_str(), node.serial, where.c_str()),
             f);
    }
  }
  st.figures = {{"serial", serial}, {"nodes", nodes.size()}, {"other_devices", others}};
  if (!a && !b) {
    st.add(Verdict::kFail, "no QX-470-USB is listed: " + status_words(-5));
    st.summary = "no amplifier";
    return;
  }
  if (!a || !b)
    st.add(Verdict::kFail, format("interface %c of the amplifier is not listed: the bridge "
                                  "shows only half of the device; plug it in again",
                                  a ? 'B' : 'A'));
  int32_t pid = 0;
  char name[64] = "";
  if (qx470_amplifier_holder(serial.c_str(), &pid, name, sizeof name) == 1) {
    ck.held = true;
    st.add(Verdict::kFail,
           pid ? format("another process has the amplifier open: process %d (%s); end it, or "
                        "wait until it is done",
                        pid, name)
               : "another process has the amplifier open (the bridge says so, but not which)");
    st.figures["held_by"] = {{"pid", pid}, {"name", name}};
  }
  ck.serial = serial;
  st.summary = format("QX-470-USB %s, interfaces %s%s%s", serial.c_str(), a ? "A" : "",
                      a && b ? " and " : "", b ? "B" : "");
  if (others) st.summary += format("; %d other device%s", others, others == 1 ? "" : "s");
  if (ck.held) st.summary += "; held by another process";
}

// ---- 2. status ----

void status_step(Check &ck, Step &st) {
  qx470_device_check chk{};
  qx470_check_device(0, &chk);
  ck.status = chk.status;
  ck.calibration_min = chk.calibration_min;
  ck.calibration_max = chk.calibration_max;
  ck.calibration_default = ck.calibration = chk.calibration_default;
  st.figures = {{"status", chk.status}};
  ck.ready = chk.status == 101;
  if (ck.ready) {
    st.summary = "ready (status 101)";
    return;
  }
  std::string what = status_words(chk.status);
  if (chk.status == -8 && !ck.held)
    what += " Check its power supply and the cable, then run the check again.";
  st.add(Verdict::kFail, what);
  st.summary = chk.status == -5   ? "absent (status -5)"
               : chk.status == -8 ? "not answering (status -8)"
                                  : format("status %d", chk.status);
}

// ---- 3. the calibration record ----

void calibration_step(Check &ck, Step &st) {
  qx470_device_check chk{};
  qx470_check_device(0, &chk);
  ck.calibration = chk.calibration;
  st.figures = {{"stored", chk.calibration_read},
                {"used", chk.calibration},
                {"min", chk.calibration_min},
                {"max", chk.calibration_max}};
  if (chk.calibration_read == 0) {
    st.add(Verdict::kFail,
           format("the EEPROM holds no calibration record ('cal:' and a number); %d nV per count "
                  "is used, which may be off by a few percent: run with --write-calibration",
                  chk.calibration));
    st.summary = "no record";
  } else if (!chk.calibration_valid) {
    st.add(Verdict::kFail,
           format("the record holds %d, outside %d..%d; %d nV per count is used instead: run "
                  "with --write-calibration",
                  chk.calibration_read, chk.calibration_min, chk.calibration_max, chk.calibration));
    st.summary = format("%d out of range", chk.calibration_read);
  } else {
    st.summary = format("%d nV per count (valid: %d..%d)", chk.calibration_read,
                        chk.calibration_min, chk.calibration_max);
  }
}

// ---- 4. offset and noise ----

void noise_step(Check &ck, Step &st) {
  if (Do_Autozero() != 1) st.add(Verdict::kFail, "the amplifier did not acknowledge auto-zero");
  const Acquisition a = acquire(kAllAtFullRate, ck.durations.noise_s, *ck.stop);
  if (!a.error.empty()) {
    st.add(Verdict::kFail, "4 x 100 kS/s: " + a.error);
    st.summary = a.error;
    return;
  }
  double worst_noise = 0, worst_offset = 0;
  std::string faults;
  for (int c = 0; c < 4; ++c) {
    const ChannelStats &s = a.stats[static_cast<size_t>(c)];
    const double offset = ck.millivolts(s.mean_counts()), noise = ck.microvolts(s.rms_counts());
    const double mains = ck.microvolts(std::max(s.hz50.rms(s.n), s.hz60.rms(s.n)));
    const int mains_hz = s.hz50.rms(s.n) >= s.hz60.rms(s.n) ? 50 : 60;
    const double share = noise > 0 ? 100.0 * std::min(1.0, mains * mains / (noise * noise)) : 0;
    worst_noise = std::max(worst_noise, noise);
    worst_offset = std::max(worst_offset, std::fabs(offset));
    nlohmann::json f = {{"channel", c + 1},           {"offset_mV", offset},
                        {"noise_uV_rms", noise},      {"mains_uV_rms", mains},
                        {"mains_hz", mains_hz},       {"mains_share_pct", share},
                        {"min_code", s.min},          {"max_code", s.max},
                        {"codes_at_ends", s.at_ends}, {"samples", s.n}};
    const std::string figures = format(
        "offset %+.2f mV, noise %.0f uV RMS, %d Hz %.0f uV (%.0f %% of the noise), codes "
        "%d..%d",
        offset, noise, mains_hz, mains, share, s.min, s.max);
    std::string fault, word;
    if (s.at_ends > 0)
      fault = format(
          "railed: %llu of %llu samples at the end of the range (code 0 or 65535); "
          "with the inputs shorted this is a fault of the channel",
          static_cast<unsigned long long>(s.at_ends), static_cast<unsigned long long>(s.n)),
      word = "railed";
    else if (s.min == s.max)
      word = "stuck", fault = format(
                          "stuck: every sample is code %d; the channel's converter does not follow "
                          "its input",
                          s.min);
    else if (std::fabs(offset) > limit(kOffsetMv))
      word = "offset",
      fault = format("offset %+.2f mV after auto-zero, beyond +-%g mV", offset, limit(kOffsetMv));
    else if (noise > limit(kNoiseUv))
      word = "noisy", fault = format("noise %.0f uV RMS, above %g uV", noise, limit(kNoiseUv));
    if (mains > limit(kMainsUv))
      word += word.empty() ? "mains hum" : " with mains hum",
          fault += format(
              "%smains hum of %.0f uV RMS at %d Hz, above %g uV: move the amplifier and "
              "its cables away from mains wiring",
              fault.empty() ? "" : "; ", mains, mains_hz, limit(kMainsUv));
    if (!word.empty())
      faults += format("%sCh%d %s", faults.empty() ? "" : ", ", c + 1, word.c_str());
    st.add(fault.empty() ? Verdict::kPass : Verdict::kFail,
           format("Ch%d %s%s%s", c + 1, figures.c_str(), fault.empty() ? "" : ": ", fault.c_str()),
           f);
  }
  st.summary = format("auto-zero, then 4 x 100 kS/s for %g s: ", ck.durations.noise_s) +
               (faults.empty() ? format("offsets within %.2f mV, noise at most %.0f uV RMS",
                                        worst_offset, worst_noise)
                               : faults);
}

// ---- 5. the calibration shunt ----

// Whatever ends the step, the shunt is off afterwards.
struct ShuntOff {
  ~ShuntOff() { Do_Cal_Off(); }
};

void shunt_step(Check &ck, Step &st) {
  ShuntOff guard;
  const double d = ck.durations.shunt_s;
  Do_Cal_Off();
  const Acquisition base = acquire(kAllAtFullRate, d, *ck.stop);
  const bool on = Do_Cal_On() == 1;
  const Acquisition with = on ? acquire(kAllAtFullRate, d, *ck.stop) : Acquisition{};
  const bool off = Do_Cal_Off() == 1;
  const Acquisition after = acquire(kAllAtFullRate, d, *ck.stop);
  if (!on) st.add(Verdict::kFail, "the amplifier did not acknowledge the shunt on");
  if (!off) st.add(Verdict::kFail, "the amplifier did not acknowledge the shunt off");
  for (const Acquisition *a : {&base, &with, &after})
    if (on && !a->error.empty()) {
      st.add(Verdict::kFail, "4 x 100 kS/s: " + a->error);
      st.summary = a->error;
      return;
    }
  if (!on) {
    st.summary = "no shunt";
    return;
  }
  std::array<double, 4> error_pct{};
  double sum_volts = 0;
  for (int c = 0; c < 4; ++c) {
    const size_t i = static_cast<size_t>(c);
    const double step_counts = with.stats[i].mean_counts() - base.stats[i].mean_counts();
    const double volts = ck.millivolts(step_counts) / 1000.0;
    const double back = ck.millivolts(after.stats[i].mean_counts() - base.stats[i].mean_counts());
    error_pct[i] = (volts / kShuntVolts - 1.0) * 100.0;
    sum_volts += volts;
    std::string fault;
    if (std::fabs(volts) < 0.1 * kShuntVolts)
      fault = "the shunt did not switch: the channel did not move";
    else if (std::fabs(error_pct[i]) > limit(kShuntStepPct))
      fault = format("the step is %.2f %% off 1.000 V, beyond %g %%", error_pct[i],
                     limit(kShuntStepPct));
    if (std::fabs(back) > limit(kShuntReturnMv))
      fault += format("%sthe shunt off leaves %+.2f mV from the baseline, beyond %g mV",
                      fault.empty() ? "" : "; ", back, limit(kShuntReturnMv));
    st.add(
        fault.empty() ? Verdict::kPass : Verdict::kFail,
        format("Ch%d steps by %.4f V (%+.2f %%), back to %+.2f mV of the baseline%s%s", c + 1,
               volts, error_pct[i], back, fault.empty() ? "" : ": ", fault.c_str()),
        {{"channel", c + 1}, {"step_V", volts}, {"error_pct", error_pct[i]}, {"return_mV", back}});
  }
  const double mean_volts = sum_volts / 4;
  const auto [lo, hi] = std::minmax_element(error_pct.begin(), error_pct.end());
  if (*hi - *lo > limit(kShuntAgreePct))
    st.add(Verdict::kFail, format("the channels' steps are %.2f %% apart, beyond %g %%: one "
                                  "calibration value cannot serve them all",
                                  *hi - *lo, limit(kShuntAgreePct)));
  const double gain_pct = (mean_volts / kShuntVolts - 1.0) * 100.0;
  const long trimmed =
      mean_volts > 0.1 ? std::lround(ck.calibration * kShuntVolts / mean_volts) : 0;
  st.figures = {
      {"gain_error_pct", gain_pct}, {"calibration", ck.calibration}, {"trimmed", trimmed}};
  st.summary = format(
      "steps of %.4f V on average: gain error %+.2f %% against %d nV per count; "
      "trimmed value %ld",
      mean_volts, gain_pct, ck.calibration, trimmed);
  const bool trim_valid = trimmed >= ck.calibration_min && trimmed <= ck.calibration_max;
  if (st.verdict == Verdict::kPass && std::fabs(gain_pct) > limit(kGainWarnPct))
    st.add(Verdict::kWarn,
           format("the trimmed value %ld would measure better than %d%s", trimmed, ck.calibration,
                  ck.write_calibration ? "" : ": --write-calibration stores it"));
  if (!ck.write_calibration) return;
  if (st.verdict == Verdict::kFail || !trim_valid) {
    st.add(Verdict::kFail,
           format("%ld is not stored: %s", trimmed,
                  trim_valid ? "the shunt's steps failed" : "it is outside the valid range"));
    return;
  }
  const auto value = static_cast<int32_t>(trimmed);
  if (Set_Calibration_Data(value) == 1 && Get_Calibration_Data() == value) {
    st.add(Verdict::kPass,
           format("stored %d nV per count in the EEPROM (was %d)", value, ck.calibration));
    ck.calibration = value;
  } else {
    st.add(Verdict::kFail, format("storing %d failed: the EEPROM reads back otherwise", value));
  }
}

// ---- 6. every rate ----

void rates_step(Check &ck, Step &st) {
  double worst_ppm = 0;
  int runs = 0, skipped = 0;
  for (int32_t rate : ck.rates_ks) {
    for (int set = 0; set < 2 && !ck.stopped(); ++set) {
      std::array<int32_t, 4> rates{rate, set ? rate : 0, set ? rate : 0, set ? rate : 0};
      const char *who = set ? "Ch1-Ch4" : "Ch1    ";
      const double two_blocks = 2 * block_seconds(rates);
      nlohmann::json f = {{"rate_ks", rate}, {"channels", set ? 4 : 1}};
      if (two_blocks > ck.durations.rate_max_s) {
        ++skipped;
        f["skipped"] = true;
        st.items.push_back({Verdict::kSkip,
                            format("%3d kS/s %s left out with --quick: two blocks take %.1f s",
                                   rate, who, two_blocks),
                            f});
        continue;
      }
      ++runs;
      const Acquisition a = acquire(rates, std::max(ck.durations.rate_s, two_blocks), *ck.stop);
      uint64_t samples = 0;
      for (uint64_t s : a.samples) samples += s;
      f["samples"] = samples;
      f["lost"] = total_lost(a);
      const bool timed = rate_known(a);
      if (a.timed_s > 0) f["ppm"] = a.ppm, f["ppm_error"] = a.ppm_error, f["timed_s"] = a.timed_s;
      std::string text = format("%3d kS/s %s ", rate, who);
      if (!a.error.empty()) {
        st.add(Verdict::kFail, text + a.error, f);
      } else if (total_lost(a) > 0) {
        st.add(Verdict::kFail,
               text + format("%llu samples lost (%s)",
                             static_cast<unsigned long long>(total_lost(a)), gap_list(a).c_str()),
               f);
      } else {
        const std::string rate_text =
            a.timed_s > 0 ? format("rate %+.0f +-%.0f ppm over %.1f s%s", a.ppm, a.ppm_error,
                                   a.timed_s, timed ? "" : " (shown, not judged)")
                          : std::string("rate not timed");
        const bool off = timed && std::fabs(a.ppm) > limit(kRatePpm);
        if (timed) worst_ppm = std::max(worst_ppm, std::fabs(a.ppm));
        st.add(off ? Verdict::kFail : Verdict::kPass,
               text + format("%llu samples, no sample lost, %s%s",
                             static_cast<unsigned long long>(samples), rate_text.c_str(),
                             off ? format(": beyond +-%g ppm", limit(kRatePpm)).c_str() : ""),
               f);
      }
    }
  }
  st.summary = format("%zu rate%s, Ch1 alone and all four: %d runs%s", ck.rates_ks.size(),
                      ck.rates_ks.size() == 1 ? "" : "s", runs,
                      skipped ? format(", %d left out", skipped).c_str() : "");
  if (worst_ppm > 0) st.summary += format("; rate error at most %.0f ppm", worst_ppm);
}

// ---- 7. endurance ----

void endurance_step(Check &ck, Step &st) {
  const Acquisition a = acquire(kAllAtFullRate, ck.durations.endurance_s, *ck.stop);
  uint64_t samples = 0;
  for (uint64_t s : a.samples) samples += s;
  const double kbps = a.seconds > 0 ? samples * 2.0 / a.seconds / 1000.0 : 0;
  const double cpu = a.seconds > 0 ? 100.0 * a.cpu_seconds / a.seconds : 0;
  st.figures = {{"seconds", a.seconds},     {"samples", samples},  {"lost", total_lost(a)},
                {"kB_per_s", kbps},         {"cpu_pct", cpu},      {"ppm", a.ppm},
                {"ppm_error", a.ppm_error}, {"timed_s", a.timed_s}};
  st.summary = format("4 x 100 kS/s for %g s: ", ck.durations.endurance_s);
  if (!a.error.empty()) {
    st.add(Verdict::kFail, a.error);
    st.summary += a.error;
    return;
  }
  st.summary += format("%llu samples, %.0f kB/s over USB, CPU %.0f %% of one core",
                       static_cast<unsigned long long>(samples), kbps, cpu);
  if (total_lost(a) > 0)
    st.add(Verdict::kFail,
           format("%llu samples lost (%s): the USB port, hub or machine cannot "
                  "keep up; try another port without a hub",
                  static_cast<unsigned long long>(total_lost(a)), gap_list(a).c_str()));
  else
    st.summary += ", no sample lost";
  if (rate_known(a)) {
    st.summary += format(", rate %+.0f +-%.0f ppm", a.ppm, a.ppm_error);
    if (std::fabs(a.ppm) > limit(kRatePpm))
      st.add(Verdict::kFail,
             format("the rate is %+.0f ppm off, beyond +-%g ppm", a.ppm, limit(kRatePpm)));
  }
  if (cpu > limit(kCpuWarnPct))
    st.add(Verdict::kWarn, format("the check used %.0f %% of one core to take 400 kS/s", cpu));
}

}  // namespace

const std::vector<StepKind> kSteps = {
    {1, "bridge", "listing the bridge's devices", false, bridge_step},
    {2, "status", "asking the amplifier's status", false, status_step},
    {3, "calibration", "reading the calibration record", true, calibration_step},
    {4, "noise", "auto-zero, offsets and noise", true, noise_step},
    {5, "shunt", "the calibration shunt", true, shunt_step},
    {6, "rates", "every rate", true, rates_step},
    {7, "endurance", "four channels at 100 kS/s", true, endurance_step},
};

}  // namespace qx470check
