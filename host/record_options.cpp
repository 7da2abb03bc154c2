#include "record_options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <sstream>

namespace qx470rec {

namespace {

bool whole_number(const std::string &text, size_t end, uint64_t &value) {
  if (end == 0 || end > 15) return false;  // 15 digits keep every product below 2^64
  value = 0;
  for (size_t i = 0; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return true;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return s;
}

}  // namespace

std::string usage() {
  return "Usage: qx470-record [-d SERIAL] [-r RATES] [-t DURATION | -n SAMPLES] -o FILE [-q]\n"
         "       qx470-record [-d SERIAL] --show\n"
         "       qx470-record --scan\n"
         "Records the QX-470-USB amplifier to a file; every lost sample is reported.\n"
         "\n"
         "  -r, --rate RATES       per-channel rates, CH=KS joined by commas: CH 1 to 4,\n"
         "                         KS 1 2 5 10 20 50 100 (kS/s) or off; channels not named\n"
         "                         are off (default: all four at 50)\n"
         "  -t, --time DURATION    record for DURATION of signal: 500ms, 30s, 2m, 1h\n"
         "  -n, --samples N        record until the fastest channel has N samples (k, M allowed)\n"
         "                         (with neither, record until Ctrl-C or SIGTERM)\n"
         "  -o, --output FILE      .edf (EDF+), .csv, .flac, .wav (RF64 past 4 GiB) or .dat\n"
         "                         (raw int16 with a .json sidecar); - writes CSV to stdout\n"
         "  -q, --quiet            no progress line\n"
         "  -d, --device SERIAL    the amplifier with this serial number, when several are\n"
         "                         attached (sets QX470_USB_SERIAL for this process)\n"
         "      --show             show the device status and calibration value, then exit\n"
         "      --scan             list the attached amplifiers with their serial numbers\n"
         "  -h, --help             this help\n"
         "\n"
         "Exit status: 0 recorded without loss, 3 recorded but samples were lost,\n"
         "1 device or file error, 2 bad arguments. --scan: 0 if an amplifier was found, else 1.\n";
}

const char *format_name(Format format) {
  switch (format) {
    case Format::kEdf:
      return "EDF+";
    case Format::kCsv:
      return "CSV";
    case Format::kFlac:
      return "FLAC";
    case Format::kWav:
      return "WAV";
    case Format::kDat:
      return "raw .dat";
  }
  return "?";
}

std::string parse_rates(const std::string &list, std::array<int, 4> &rates) {
  std::array<int, 4> out{0, 0, 0, 0};
  std::array<bool, 4> named{};
  if (list.empty()) return "empty rate list: expected CH=KS,... such as 1=100,2=10";
  std::stringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      return "invalid rate '" + item + "': expected CH=KS, such as 1=100 or 3=off";
    const std::string ch = item.substr(0, eq);
    const std::string ks = lower(item.substr(eq + 1));
    if (ch.size() != 1 || ch[0] < '1' || ch[0] > '4')
      return "invalid channel '" + ch + "' in '" + item + "': channels are 1 to 4";
    const size_t c = static_cast<size_t>(ch[0] - '1');
    if (named[c]) return "channel " + ch + " is given twice in '" + list + "'";
    named[c] = true;
    if (ks == "off") continue;
    uint64_t v = 0;
    static constexpr uint64_t kRates[] = {1, 2, 5, 10, 20, 50, 100};
    if (!whole_number(ks, ks.size(), v) ||
        std::find(std::begin(kRates), std::end(kRates), v) == std::end(kRates))
      return "invalid rate '" + item.substr(eq + 1) + "' for channel " + ch +
             ": rates are 1 2 5 10 20 50 100 (kS/s) or off";
    out[c] = static_cast<int>(v);
  }
  if (!list.empty() && list.back() == ',')
    return "invalid rate list '" + list + "': trailing comma";
  if (std::all_of(out.begin(), out.end(), [](int r) { return r == 0; }))
    return "no channel is on in '" + list + "'";
  rates = out;
  return {};
}

std::string parse_duration(const std::string &text, uint64_t &ms) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  uint64_t v = 0;
  const std::string unit = text.substr(digits);
  uint64_t scale = 0;
  if (unit == "ms")
    scale = 1;
  else if (unit == "s" || unit.empty())
    scale = 1000;
  else if (unit == "m")
    scale = 60'000;
  else if (unit == "h")
    scale = 3'600'000;
  if (!whole_number(text, digits, v) || scale == 0 || v == 0)
    return "invalid duration '" + text + "': expected a whole number above 0 with ms, s, m or h, " +
           "such as 500ms, 30s, 2m, 1h";
  ms = v * scale;
  return {};
}

std::string parse_count(const std::string &text, uint64_t &count) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  const std::string unit = text.substr(digits);
  uint64_t scale = unit.empty() ? 1 : unit == "k" ? 1000 : unit == "M" ? 1'000'000 : 0;
  uint64_t v = 0;
  if (!whole_number(text, digits, v) || scale == 0 || v == 0)
    return "invalid sample count '" + text +
           "': expected a whole number above 0, such as 100000, " + "100k or 2M";
  count = v * scale;
  return {};
}

std::string format_for(const std::string &path, Format &format) {
  if (path == "-") {
    format = Format::kCsv;
    return {};
  }
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  const std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                              ? std::string()
                              : lower(path.substr(dot + 1));
  if (ext == "edf")
    format = Format::kEdf;
  else if (ext == "csv")
    format = Format::kCsv;
  else if (ext == "flac")
    format = Format::kFlac;
  else if (ext == "wav")
    format = Format::kWav;
  else if (ext == "dat")
    format = Format::kDat;
  else if (ext.empty())
    return "output file '" + path + "' has no extension: use .edf, .csv, .flac, .wav or .dat";
  else
    return "unknown output format '." + ext + "' of '" + path +
           "': use .edf, .csv, .flac, .wav or .dat";
  return {};
}

std::array<uint64_t, 4> sample_targets(const Options &opts) {
  std::array<uint64_t, 4> t{};
  const int fastest = *std::max_element(opts.rates.begin(), opts.rates.end());
  for (size_t c = 0; c < 4; ++c) {
    const auto r = static_cast<uint64_t>(opts.rates[c]);
    if (r == 0)
      t[c] = 0;
    else if (opts.duration_ms)
      t[c] = opts.duration_ms * r;  // kS/s times ms is samples
    else if (opts.samples)
      t[c] = opts.samples * r / static_cast<uint64_t>(fastest);
    else
      t[c] = kUnbounded;
  }
  return t;
}

Outcome parse_command_line(int argc, char **argv, Options &opts, std::ostream &out,
                           std::ostream &err) {
  enum { kShow = 1000, kScan };
  static const option long_options[] = {
      {"rate", required_argument, nullptr, 'r'},    {"time", required_argument, nullptr, 't'},
      {"samples", required_argument, nullptr, 'n'}, {"output", required_argument, nullptr, 'o'},
      {"quiet", no_argument, nullptr, 'q'},         {"show", no_argument, nullptr, kShow},
      {"scan", no_argument, nullptr, kScan},        {"device", required_argument, nullptr, 'd'},
      {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0}};
  Options o;
  std::string seen;
  const auto fail = [&](const std::string &message) {
    err << "qx470-record: " << message << "\nTry 'qx470-record --help'.\n";
    return Outcome::kBadArguments;
  };
  optind = 0;  // a fresh scan, also when called more than once in a process
  opterr = 0;  // our own messages, which quote what was typed
  for (;;) {
    const int prev = optind ? optind : 1;
    const int ch = getopt_long(argc, argv, "+:r:t:n:o:d:qh", long_options, nullptr);
    if (ch == -1) break;
    const std::string typed = prev < argc ? argv[prev] : "";
    if (ch == '?') return fail("unknown option '" + typed + "'");
    if (ch == ':') return fail("option '" + typed + "' needs a value");
    if (ch == 'h') {
      out << usage();
      return Outcome::kExitOk;
    }
    const char key = ch == kShow ? 'S' : ch == kScan ? 'L' : static_cast<char>(ch);
    if (seen.find(key) != std::string::npos) return fail("option '" + typed + "' is given twice");
    seen += key;
    std::string message;
    switch (ch) {
      case 'r':
        message = parse_rates(optarg, o.rates);
        break;
      case 't':
        message = parse_duration(optarg, o.duration_ms);
        break;
      case 'n':
        message = parse_count(optarg, o.samples);
        break;
      case 'o':
        o.output = optarg;
        if (o.output.empty()) message = "empty output file name";
        break;
      case 'q':
        o.quiet = true;
        break;
      case kShow:
        o.show = true;
        break;
      case kScan:
        o.scan = true;
        break;
      case 'd':
        o.device = optarg;
        if (o.device.empty()) message = "empty serial number: give -d SERIAL (--scan lists them)";
        break;
      default:
        message = "unknown option '" + typed + "'";
    }
    if (!message.empty()) return fail(message);
  }
  if (optind < argc) return fail(std::string("unexpected argument '") + argv[optind] + "'");
  if (o.scan) {
    if (seen != "L") return fail("--scan takes no other option");
    opts = o;
    return Outcome::kRun;
  }
  if (o.show) {
    if (seen != "S" && seen != "dS" && seen != "Sd") return fail("--show takes no option but -d");
    opts = o;
    return Outcome::kRun;
  }
  if (o.duration_ms && o.samples) return fail("give -t or -n, not both");
  if (o.output.empty()) return fail("no output file: give -o FILE (or -o - for CSV on stdout)");
  if (const std::string m = format_for(o.output, o.format); !m.empty()) return fail(m);
  if (o.format == Format::kFlac || o.format == Format::kWav || o.output == "-") {
    int rate = 0;
    for (int r : o.rates) {
      if (r == 0) continue;
      if (rate && r != rate)
        return fail(
            std::string(o.output == "-" ? "CSV on standard output" : format_name(o.format)) +
            " holds one sample rate: give every recorded channel the same rate, or use " +
            ".edf, .csv or .dat");
      rate = r;
    }
  }
  opts = o;
  return Outcome::kRun;
}

}  // namespace qx470rec
