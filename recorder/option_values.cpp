// The values of qx470-record's options, each checked and said back in the words of its option.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "options.h"
#include "qx470_reader.h"

namespace qx470rec {

using qx470reader::lower_case;

namespace {

// The leading `end` characters of `text` as a whole number.
bool whole_number(const std::string &text, size_t end, uint64_t &value) {
  return qx470reader::whole_number(text.substr(0, end), value);
}

}  // namespace

std::string parse_duration(const std::string &text, uint64_t &ms) {
  // A number, decimals allowed, and its unit: a bare number means seconds to some tools and
  // milliseconds to others, so it is refused rather than guessed.
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  size_t end = digits;
  if (end < text.size() && text[end] == '.') {
    ++end;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
  }
  const std::string number = text.substr(0, end), unit = text.substr(end);
  const double scale = unit == "ms"  ? 1
                       : unit == "s" ? 1e3
                       : unit == "m" ? 6e4
                       : unit == "h" ? 3.6e6
                                     : 0;
  const std::string examples = "such as 500ms, 30s, 1.5s, 2m, 1h";
  if (digits > 0 && unit.empty() && end == text.size())
    return "invalid duration '" + text + "': give its unit, " + examples;
  uint64_t whole = 0;
  const bool numeric = digits > 0 && end != digits + 1 && end - digits <= 7 &&
                       qx470reader::whole_number(text.substr(0, digits), whole);
  const double value = numeric ? std::strtod(number.c_str(), nullptr) * scale : 0;
  // Whole milliseconds, and at most about 30,000 years: every sample count stays exact.
  if (!numeric || scale == 0 || !(value >= 0.5) || value > 1e15)
    return "invalid duration '" + text + "': expected a number above 0 with ms, s, m or h, " +
           examples;
  ms = static_cast<uint64_t>(std::llround(value));
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
  const std::string ext = split_extension(path).extension;
  if (ext.size() <= 1)
    return "output file '" + path + "' has no extension: use " + extension_list();
  const FormatInfo *f = format_by_extension(ext.substr(1));
  if (f == nullptr)
    return "unknown output format '" + lower_case(ext) + "' of '" + path + "': use " +
           extension_list();
  format = f->format;
  return {};
}

bool header_text(const std::string &text, size_t most) {
  return !text.empty() && text.size() <= most &&
         std::all_of(text.begin(), text.end(), [](char ch) { return ch >= 0x20 && ch < 0x7F; });
}

std::string parse_labels(const std::string &text, std::array<std::string, 4> &labels) {
  labels = {};
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = std::min(text.find(',', pos), text.size());
    const std::string item = text.substr(pos, comma - pos);
    const size_t eq = item.find('=');
    uint64_t ch = 0;
    if (eq == std::string::npos || !qx470reader::whole_number(item.substr(0, eq), ch) || ch < 1 ||
        ch > 4)
      return "invalid label '" + item + "' in --label '" + text + "': give CH=NAME, CH 1 to 4";
    const std::string name = item.substr(eq + 1);
    if (!header_text(name, 16) || name.find('=') != std::string::npos)
      return "invalid channel name '" + name +
             "': 1 to 16 printable ASCII characters (EDF+'s label), without ',' or '='";
    for (const std::string &other : labels)
      if (other == name) return "channel name '" + name + "' is given twice";
    labels[static_cast<size_t>(ch - 1)] = name;
    pos = comma + 1;
  }
  return {};
}

std::string parse_meta(const std::string &text, std::pair<std::string, std::string> &item) {
  const size_t eq = text.find('=');
  const std::string key = text.substr(0, std::min(eq, text.size()));
  const bool key_ok =
      !key.empty() && key.size() <= 32 && std::all_of(key.begin(), key.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' || ch == '.';
      });
  if (eq == std::string::npos || !key_ok)
    return "invalid --meta '" + text +
           "': give KEY=VALUE, KEY of letters, digits, '_', '-' and '.' (at most 32)";
  item = {key, text.substr(eq + 1)};
  if (!header_text(item.second, 200))
    return "invalid value of --meta " + key + ": 1 to 200 printable ASCII characters";
  return {};
}

std::string parse_serve(const std::string &text, std::string &address, int &port) {
  const size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  uint64_t p = 0;
  if (!qx470reader::whole_number(digits, p) || p > 65535)
    return "invalid --serve '" + text + "': give [ADDR:]PORT, PORT 0 to 65535 (0: any free one)";
  unsigned char bytes[16];
  if (host != "localhost" && inet_pton(AF_INET, host.c_str(), bytes) != 1 &&
      inet_pton(AF_INET6, host.c_str(), bytes) != 1)
    return "invalid --serve '" + text + "': '" + host + "' is not an IP address";
  address = host;
  port = static_cast<int>(p);
  return {};
}

}  // namespace qx470rec
