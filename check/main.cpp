// qx470-check: tells the owner of a QX-470-USB whether the amplifier, its cable, the USB port and
// the machine are good, step by step with the figures behind each verdict, and writes the whole
// report as JSON for a bug report. Exit status: 0 nothing failed, 1 a step failed, 2 bad
// arguments, 130 interrupted.
#include <getopt.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

#include "QX470USB.h"
#include "qx470_reader.h"
#include "report.h"
#include "steps.h"

namespace {

constexpr const char *kName = "qx470-check";

std::atomic<bool> g_stop{false};

void on_signal(int) {
  g_stop.store(true);
  // A second Ctrl-C ends the program at once.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGINT, &dfl, nullptr);
  sigaction(SIGTERM, &dfl, nullptr);
  sigaction(SIGHUP, &dfl, nullptr);
}

void usage(FILE *to) {
  std::fprintf(
      to,
      "usage: %s [-d SERIAL] [--quick] [--json FILE] [--steps LIST] [--rates LIST]\n"
      "                   [--write-calibration]\n"
      "Checks a QX-470-USB step by step: 1 the bridge, 2 the status, 3 the calibration\n"
      "record, 4 offsets and noise, 5 the calibration shunt, 6 every rate, 7 four\n"
      "channels at 100 kS/s for 60 s. Short the four inputs (or leave them open) first.\n"
      "  -d, --device SERIAL   the amplifier with this serial number (see qx470-record --scan)\n"
      "  -q, --quick           shorter runs: step 7 for 10 s, step 6 without the sets\n"
      "                        that need more than 2 s\n"
      "  -j, --json FILE       also write the whole report to FILE, for a bug report\n"
      "  -s, --steps LIST      only these steps, as 1-3,5 (the others they need still run)\n"
      "  -r, --rates LIST      step 6 at these rates in kS/s only, as 100,10\n"
      "  -w, --write-calibration\n"
      "                        store the calibration value the shunt's step measures\n"
      "  -h, --help            this text;  -V, --version  the version\n"
      "Exit status: 0 nothing failed, 1 a step failed, 2 bad arguments, 130 interrupted.\n",
      kName);
}

int bad(const std::string &why) {
  std::fprintf(stderr, "%s: %s\n(%s --help lists the options)\n", kName, why.c_str(), kName);
  return 2;
}

// "1-3,5" into step numbers; false on anything else.
bool parse_steps(const std::string &text, std::set<int> &out) {
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = std::min(text.find(',', pos), text.size());
    const std::string item = text.substr(pos, comma - pos);
    int a = 0, b = 0;
    char extra = 0;
    if (std::sscanf(item.c_str(), "%d-%d%c", &a, &b, &extra) == 2) {
    } else if (std::sscanf(item.c_str(), "%d%c", &a, &extra) == 1) {
      b = a;
    } else {
      return false;
    }
    if (a < 1 || b > static_cast<int>(qx470check::kSteps.size()) || a > b) return false;
    for (int s = a; s <= b; ++s) out.insert(s);
    pos = comma + 1;
  }
  return !out.empty();
}

bool parse_rates(const std::string &text, std::vector<int32_t> &out) {
  int32_t known[16];
  const int32_t n = qx470_rates(known, 16);
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = std::min(text.find(',', pos), text.size());
    const std::string item = text.substr(pos, comma - pos);
    char *end = nullptr;
    const long r = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != 0 || std::find(known, known + n, r) == known + n) return false;
    out.push_back(static_cast<int32_t>(r));
    pos = comma + 1;
  }
  return true;
}

std::string now_iso8601() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// Where the amplifier is, for a bug report: the machine, the bridge and the USB port.
nlohmann::json about_this_run(const std::string &serial) {
  utsname u{};
  uname(&u);
  char file[512] = "";
  const int32_t kind = qx470_bridge(file, sizeof file);
  nlohmann::json j = {
      {"program", kName},
      {"version", qx470_reader_version()},
      {"time", now_iso8601()},
      {"machine", {{"system", u.sysname}, {"kernel", u.release}, {"architecture", u.machine}}},
      {"bridge", {{"kind", qx470_bridge_words(kind)}, {"file", file}}},
      {"serial", serial}};
  qx470_amplifier amps[8];
  const int32_t n = qx470_amplifiers(amps, 8);
  for (int32_t i = 0; i < n && i < 8; ++i) {
    if (!serial.empty() && serial != amps[i].serial) continue;
    const unsigned bus = amps[i].location >> 12, address = (amps[i].location >> 4) & 0xFF;
    j["usb"] = {{"bus", bus},
                {"address", address},
                {"node", qx470check::format("/dev/bus/usb/%03u/%03u", bus, address)},
                {"description", amps[i].description}};
    break;
  }
  return j;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace qx470check;
  Check ck;
  ck.stop = &g_stop;
  std::string json_path;
  std::set<int> wanted;
  static const option kOptions[] = {{"device", required_argument, nullptr, 'd'},
                                    {"quick", no_argument, nullptr, 'q'},
                                    {"json", required_argument, nullptr, 'j'},
                                    {"steps", required_argument, nullptr, 's'},
                                    {"rates", required_argument, nullptr, 'r'},
                                    {"write-calibration", no_argument, nullptr, 'w'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":d:qj:s:r:whV", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'd':
        ck.serial = optarg;
        if (ck.serial.empty()) return bad("-d needs a serial number");
        break;
      case 'q':
        ck.quick = true;
        ck.durations = kQuickRun;
        break;
      case 'j':
        json_path = optarg;
        break;
      case 's':
        if (!parse_steps(optarg, wanted))
          return bad(
              format("--steps '%s': give step numbers 1 to %zu, as 1-3,5", optarg, kSteps.size()));
        break;
      case 'r':
        if (!parse_rates(optarg, ck.rates_ks))
          return bad(
              format("--rates '%s': give rates the amplifier runs at, in kS/s, as "
                     "100,50,20,10,5,2,1",
                     optarg));
        break;
      case 'w':
        ck.write_calibration = true;
        break;
      case 'h':
        usage(stdout);
        return 0;
      case 'V':
        std::printf("%s %s\n", kName, qx470_reader_version());
        return 0;
      case ':':
        return bad(format("%s needs a value", argv[optind - 1]));
      default:
        return bad(optopt ? format("unknown option '-%c'", optopt)
                          : format("unknown option '%s'", argv[optind - 1]));
    }
  }
  if (optind < argc) return bad(format("unexpected argument '%s'", argv[optind]));
  if (ck.rates_ks.empty()) {
    int32_t rates[16];
    ck.rates_ks.assign(rates, rates + qx470_rates(rates, 16));
  }
  // The report's file is made before the check, so that a bad path costs no minute of checking.
  std::ofstream json;
  if (!json_path.empty()) {
    json.open(json_path, std::ios::trunc);
    if (!json)
      return bad(
          format("cannot write the report to '%s': %s", json_path.c_str(), std::strerror(errno)));
  }
  // The simulated amplifier has signal generators at its inputs unless told they are shorted,
  // as the check asks of a real one; no other bridge reads this.
  setenv("QXSIM_INPUTS", "shorted", 0);
  if (!ck.serial.empty()) qx470_choose_amplifier(ck.serial.c_str());

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char file[512] = "";
  const int32_t kind = qx470_bridge(file, sizeof file);
  std::printf("%s %s through the %s bridge%s%s%s\n", kName, qx470_reader_version(),
              qx470_bridge_words(kind), *file ? " (" : "", file, *file ? ")" : "");
  std::printf("Short the four inputs, or leave them open, for the offset and noise figures.\n");
  std::fflush(stdout);
  const bool progress = isatty(STDERR_FILENO) == 1;

  Report report;
  bool shunt_may_be_on = false;
  for (const StepKind &k : kSteps) {
    // Steps 1 to 3 learn what the others need, so they run whenever a later step is asked for.
    if (!wanted.empty() && !wanted.count(k.number) && k.number > 3) continue;
    if (g_stop.load()) break;
    Step st;
    st.number = k.number;
    st.name = k.name;
    if (k.needs_ready && !ck.ready) {
      st.verdict = Verdict::kSkip;
      st.summary = "not run: the amplifier is not ready (step 2)";
    } else {
      if (progress) std::fprintf(stderr, "%d. %s ...\r", k.number, k.title);
      shunt_may_be_on |= k.number == 5;
      k.run(ck, st);
      if (progress) std::fprintf(stderr, "\033[K");
    }
    if (g_stop.load()) {
      report.interrupted = true;
      st.summary += " (interrupted)";
    }
    std::fputs(step_text(st).c_str(), stdout);
    std::fflush(stdout);
    report.steps.push_back(std::move(st));
  }
  report.interrupted = report.interrupted || g_stop.load();
  if (shunt_may_be_on && ck.ready) Do_Cal_Off();  // the step does it too; once more costs nothing
  std::fputs(closing_text(report).c_str(), stdout);
  if (json.is_open()) {
    nlohmann::json j = about_this_run(ck.serial);
    j.update(report_json(report));
    j["quick"] = ck.quick;
    json << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    json.close();
    if (!json)
      std::fprintf(stderr, "%s: writing '%s' failed\n", kName, json_path.c_str());
    else
      std::printf("Report: %s\n", json_path.c_str());
  }
  if (report.interrupted) return 130;
  return report.failed() ? 1 : 0;
}
