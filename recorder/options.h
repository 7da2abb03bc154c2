// qx470-record's command line: parsed into a plain struct, with no device calls, so that every
// message can be tested. Channels are labelled 1 to 4 as the console labels them; Ch1 is the
// library's channel 0.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "formats.h"
#include "rates.h"

namespace qx470rec {

constexpr uint64_t kUnbounded = qx470reader::kUnbounded;

struct Options {
  std::array<int, 4> rates{50, 50, 50, 50};  // kS/s by library channel, 0 off
  uint64_t duration_ms = 0;                  // -t, 0 when not given
  uint64_t samples = 0;                      // -n, 0 when not given
  std::string output;                        // "-" for CSV on standard output
  Format format = Format::kCsv;
  bool quiet = false;
  bool force = false;           // -f: replace files that exist
  bool volts = false;           // --volts: CSV values in volts rather than counts
  uint64_t buffer_ms = 60'000;  // --buffer: signal the write queue holds while the output stalls
  bool show = false;
  bool scan = false;
  std::vector<std::string> events;  // --events: udp:PORT or a path, as often as given
  std::string device;  // -d: the serial number of the amplifier to use, empty for the only one
  std::array<std::string, 4> labels{};  // --label: channel names by library channel, "" unnamed
  std::string subject;                  // --subject
  std::vector<std::pair<std::string, std::string>> meta;  // --meta KEY=VALUE, in order
  std::string serve_address;  // --serve: the live bench's address and port, -1 when not served
  int serve_port = -1;
  std::string lsl_name;  // --lsl: the outlet's stream name, empty when not published
};

enum class Outcome { kRun, kExitOk, kBadArguments };

// Parses argv into `opts`. Help and version go to `out`; errors, quoting what was typed, to `err`.
Outcome parse_command_line(int argc, char **argv, Options &opts, std::ostream &out,
                           std::ostream &err);

// Pieces of the parser, exposed for tests. Each returns an empty string on success, else the
// message.
std::string parse_duration(const std::string &text, uint64_t &ms);
std::string parse_count(const std::string &text, uint64_t &count);
std::string format_for(const std::string &path, Format &format);
// What every header can carry: EDF+'s fields are ASCII, and commas and '=' separate the lists.
bool header_text(const std::string &text, size_t most);
std::string parse_labels(const std::string &text, std::array<std::string, 4> &labels);
std::string parse_meta(const std::string &text, std::pair<std::string, std::string> &item);
// --serve's "[ADDR:]PORT": an IPv4 or IPv6 address (or localhost), 127.0.0.1 when left out; port 0
// takes any free one.
std::string parse_serve(const std::string &text, std::string &address, int &port);

// Samples each channel is to record: all of them for -t, the fastest channel's N and the others
// in proportion (rounded down) for -n, kUnbounded otherwise; 0 for channels that are off.
std::array<uint64_t, 4> sample_targets(const Options &opts);

std::string usage();

}  // namespace qx470rec
