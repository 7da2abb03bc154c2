#include "options.h"

#include "qx470_reader.h"

#include <getopt.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <vector>

namespace qx470rec {

std::string usage() {
  return "Usage: qx470-record [-d SERIAL] [-r RATES] [-t DURATION | -n SAMPLES] -o FILE [-q]\n"
         "       qx470-record [-r RATES] [-t DURATION | -n SAMPLES] [-o FILE] --serve [ADDR:]PORT\n"
         "       qx470-record [-r RATES] [-t DURATION | -n SAMPLES] [-o FILE] --lsl NAME\n"
         "       qx470-record [-d SERIAL] --show\n"
         "       qx470-record --scan\n"
         "Records the QX-470-USB amplifier to a file; every lost sample is reported.\n"
         "\n"
         "  -r, --rate RATES       per-channel rates, CH=KS joined by commas: CH 1 to 4,\n"
         "                         KS 1 2 5 10 20 50 100 (kS/s) or off; channels not named\n"
         "                         are off (default: all four at 50)\n"
         "  -t, --time DURATION    record for DURATION of signal, with its unit: 500ms, 30s,\n"
         "                         1.5s, 2m, 1h (a bare number is refused: tools differ on\n"
         "                         whether it means seconds or milliseconds)\n"
         "  -n, --samples N        record until the fastest channel has N samples (k, M allowed)\n"
         "                         (with neither, record until Ctrl-C or SIGTERM)\n"
         "  -o, --output FILE      .edf (EDF+), .csv, .flac, .wav (RF64 past 4 GiB), .xdf\n"
         "                         (volts, LSL times) or .dat (raw int16 with a .json\n"
         "                         sidecar); - writes CSV to stdout\n"
         "  -f, --force            replace files that exist (without it, an existing output\n"
         "                         file or side file is refused and nothing is touched)\n"
         "  -q, --quiet            no progress line\n"
         "      --volts            CSV values in volts (calibrated) rather than counts\n"
         "      --label 1=Fz,2=EMG channel names for every file (up to 16 characters each)\n"
         "      --subject TEXT     who or what is recorded (EDF+'s patient name)\n"
         "      --meta KEY=VALUE   a note for every file's header and the sidecar; repeatable\n"
         "      --events SOURCE    events to write where they happened, one a datagram or a\n"
         "                         line: udp:PORT (127.0.0.1), or a named pipe or a growing\n"
         "                         file; as often as needed. \"@utc=SECONDS text\" gives the\n"
         "                         sender's own time (also @steady=SECONDS, CLOCK_MONOTONIC);\n"
         "                         lsl:NAME takes the markers of the LSL string stream NAME\n"
         "      --lsl NAME         publish on the Lab Streaming Layer while recording: the\n"
         "                         stream NAME (NAME-<rate>k per rate when rates differ) in\n"
         "                         volts, and NAME-markers with the events and gaps. Read\n"
         "                         LSL's lsl_api.cfg; without -o it publishes and writes no file\n"
         "      --serve [ADDR:]PORT  the live bench: a page in the browser that shows the\n"
         "                         signal while it is recorded, with marks, auto-zero and the\n"
         "                         shunt; its URL (with the run's token) is printed. Binds\n"
         "                         127.0.0.1 unless ADDR is given; PORT 0 takes a free one.\n"
         "                         Without -o it shows the signal and writes no file\n"
         "      --buffer DURATION  signal held in memory while the output stalls (a slow disk,\n"
         "                         a pipe read late) before samples are lost (default 1m)\n"
         "  -d, --device SERIAL    the amplifier with this serial number, when several are\n"
         "                         attached (sets QX470_USB_SERIAL for this process)\n"
         "      --show             show the device status and calibration value, then exit\n"
         "      --scan             list the attached amplifiers with their serial numbers\n"
         "  -h, --help             this help\n"
         "      --version          the version\n"
         "\n"
         "Exit status: 0 recorded without loss, 3 recorded but samples were lost,\n"
         "1 device or file error, 2 bad arguments. --scan: 0 if an amplifier was found, else 1.\n";
}

std::array<uint64_t, 4> sample_targets(const Options &opts) {
  std::array<uint64_t, 4> t{};
  // The parser has checked the ranges, so the shared rule cannot refuse them.
  qx470reader::sample_targets(opts.rates, static_cast<double>(opts.duration_ms) / 1000.0,
                              opts.samples, t);
  return t;
}

namespace {

// The modes a command line runs in; each option belongs to some of them.
enum Mode : unsigned { kRecordMode = 1, kShowMode = 2, kScanMode = 4 };

struct OptionRow {
  int id;  // getopt's value: the short letter, or above 255 for long-only options
  const char *long_name;
  bool takes_value;
  unsigned modes;
  // Stores the value in `o`; returns the message when it is wrong.
  std::string (*apply)(Options &o, const std::string &value);
  bool repeatable = false;  // may be given more than once
};

enum {
  kShowOption = 1000,
  kScanOption,
  kVersionOption,
  kBufferOption,
  kEventsOption,
  kVoltsOption,
  kLabelOption,
  kSubjectOption,
  kMetaOption,
  kServeOption,
  kLslOption
};

const OptionRow kOptionTable[] = {
    {'r', "rate", true, kRecordMode,
     [](Options &o, const std::string &v) { return qx470reader::parse_rates(v, o.rates); }},
    {'t', "time", true, kRecordMode,
     [](Options &o, const std::string &v) { return parse_duration(v, o.duration_ms); }},
    {'n', "samples", true, kRecordMode,
     [](Options &o, const std::string &v) { return parse_count(v, o.samples); }},
    {'o', "output", true, kRecordMode,
     [](Options &o, const std::string &v) {
       o.output = v;
       return v.empty() ? std::string("empty output file name") : std::string();
     }},
    {'q', "quiet", false, kRecordMode,
     [](Options &o, const std::string &) {
       o.quiet = true;
       return std::string();
     }},
    {'f', "force", false, kRecordMode,
     [](Options &o, const std::string &) {
       o.force = true;
       return std::string();
     }},
    {kEventsOption, "events", true, kRecordMode,
     [](Options &o, const std::string &v) {
       o.events.push_back(v);
       return v.empty() ? std::string("empty event source: give udp:PORT or a file")
                        : std::string();
     },
     true},
    {kVoltsOption, "volts", false, kRecordMode,
     [](Options &o, const std::string &) {
       o.volts = true;
       return std::string();
     }},
    {kLabelOption, "label", true, kRecordMode,
     [](Options &o, const std::string &v) { return parse_labels(v, o.labels); }},
    {kSubjectOption, "subject", true, kRecordMode,
     [](Options &o, const std::string &v) {
       o.subject = v;
       return header_text(v, 80) ? std::string()
                                 : "invalid --subject: 1 to 80 printable ASCII characters";
     }},
    {kMetaOption, "meta", true, kRecordMode,
     [](Options &o, const std::string &v) {
       std::pair<std::string, std::string> item;
       std::string e = parse_meta(v, item);
       for (const auto &[key, value] : o.meta)
         if (e.empty() && key == item.first) e = "--meta " + key + " is given twice";
       if (e.empty()) o.meta.push_back(item);
       return e;
     },
     true},
    {kServeOption, "serve", true, kRecordMode,
     [](Options &o, const std::string &v) {
       return parse_serve(v, o.serve_address, o.serve_port);
     }},
    {kLslOption, "lsl", true, kRecordMode,
     [](Options &o, const std::string &v) {
       o.lsl_name = v;
       const bool quoted = v.find_first_of("'\"") != std::string::npos;
       return header_text(v, 64) && !quoted
                  ? std::string()
                  : "invalid --lsl name: 1 to 64 printable ASCII characters, no quotes";
     }},
    {kBufferOption, "buffer", true, kRecordMode,
     [](Options &o, const std::string &v) { return parse_duration(v, o.buffer_ms); }},
    {'d', "device", true, kRecordMode | kShowMode,
     [](Options &o, const std::string &v) {
       o.device = v;
       return v.empty() ? std::string("empty serial number: give -d SERIAL (--scan lists them)")
                        : std::string();
     }},
    {kShowOption, "show", false, kShowMode,
     [](Options &o, const std::string &) {
       o.show = true;
       return std::string();
     }},
    {kScanOption, "scan", false, kScanMode,
     [](Options &o, const std::string &) {
       o.scan = true;
       return std::string();
     }},
};

struct ModeRow {
  Mode mode;
  const char *refusal;  // said when an option of another mode is given
};
const ModeRow kModes[] = {
    {kScanMode, "--scan takes no other option"},
    {kShowMode, "--show takes no option but -d"},
};

const OptionRow *option_with_id(int id) {
  for (const OptionRow &o : kOptionTable)
    if (o.id == id) return &o;
  return nullptr;
}

// What the command line's modes add to the options: the file format, and its one-rate rule.
std::string check_recording(Options &o) {
  if (o.duration_ms && o.samples) return "give -t or -n, not both";
  // The live bench may be served alone, with no file, and the stream published alone.
  if (o.output.empty() && (o.serve_port >= 0 || !o.lsl_name.empty())) {
    if (o.volts) return "--volts is for CSV: give -o FILE.csv";
    if (o.force) return "-f replaces files: give -o FILE";
    return {};
  }
  if (o.output.empty())
    return "no output file: give -o FILE (or -o - for CSV on stdout, --serve PORT to watch or "
           "--lsl NAME to publish without a file)";
  if (std::string m = format_for(o.output, o.format); !m.empty()) return m;
  if (o.volts && o.format != Format::kCsv && o.format != Format::kXdf)
    return std::string("--volts is for CSV: ") + format_info(o.format).name +
           " holds counts, with the scale in its header";
  if (!format_info(o.format).one_rate && o.output != "-") return {};
  int rate = 0;
  for (int r : o.rates) {
    if (r == 0) continue;
    if (rate && r != rate)
      return std::string(o.output == "-" ? "CSV on standard output" : format_info(o.format).name) +
             " holds one sample rate: give every recorded channel the same rate, or use " +
             ".edf, .csv or .dat";
    rate = r;
  }
  return {};
}

}  // namespace

Outcome parse_command_line(int argc, char **argv, Options &opts, std::ostream &out,
                           std::ostream &err) {
  std::vector<option> long_options;
  std::string short_options = "+:h";
  for (const OptionRow &o : kOptionTable) {
    long_options.push_back(
        {o.long_name, o.takes_value ? required_argument : no_argument, nullptr, o.id});
    if (o.id < 256) (short_options += static_cast<char>(o.id)) += o.takes_value ? ":" : "";
  }
  long_options.push_back({"help", no_argument, nullptr, 'h'});
  long_options.push_back({"version", no_argument, nullptr, kVersionOption});
  long_options.push_back({nullptr, 0, nullptr, 0});

  Options o;
  std::vector<const OptionRow *> seen;
  const auto fail = [&](const std::string &message) {
    err << "qx470-record: " << message << "\nTry 'qx470-record --help'.\n";
    return Outcome::kBadArguments;
  };
  optind = 0;  // a fresh scan, also when called more than once in a process
  opterr = 0;  // our own messages, which quote what was typed
  for (;;) {
    const int prev = optind ? optind : 1;
    const int ch = getopt_long(argc, argv, short_options.c_str(), long_options.data(), nullptr);
    if (ch == -1) break;
    const std::string typed = prev < argc ? argv[prev] : "";
    if (ch == '?') return fail("unknown option '" + typed + "'");
    if (ch == ':') return fail("option '" + typed + "' needs a value");
    if (ch == 'h') {
      out << usage();
      return Outcome::kExitOk;
    }
    if (ch == kVersionOption) {
      out << "qx470-record " << qx470_reader_version() << "\n";
      return Outcome::kExitOk;
    }
    const OptionRow *row = option_with_id(ch);
    if (row == nullptr) return fail("unknown option '" + typed + "'");
    if (!row->repeatable && std::find(seen.begin(), seen.end(), row) != seen.end())
      return fail("option '" + typed + "' is given twice");
    seen.push_back(row);
    if (const std::string m = row->apply(o, optarg ? optarg : ""); !m.empty()) return fail(m);
  }
  if (optind < argc) return fail(std::string("unexpected argument '") + argv[optind] + "'");
  for (const ModeRow &m : kModes) {
    if (!(m.mode == kScanMode ? o.scan : o.show)) continue;
    for (const OptionRow *row : seen)
      if (!(row->modes & m.mode)) return fail(m.refusal);
    opts = o;
    return Outcome::kRun;
  }
  if (const std::string m = check_recording(o); !m.empty()) return fail(m);
  opts = o;
  return Outcome::kRun;
}

}  // namespace qx470rec
