#include "rates.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace qx470reader {

bool whole_number(const std::string &digits, uint64_t &value) {
  if (digits.empty() || digits.size() > 15) return false;
  value = 0;
  for (const char ch : digits) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    value = value * 10 + static_cast<uint64_t>(ch - '0');
  }
  return true;
}

std::string lower_case(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return text;
}

bool is_supported_rate(int rate_ks) {
  return std::find(std::begin(kKnownRates), std::end(kKnownRates), rate_ks) !=
         std::end(kKnownRates);
}

std::string parse_rates(const std::string &list, Rates &rates) {
  Rates out{0, 0, 0, 0};
  std::array<bool, kChannels> named{};
  if (list.empty()) return "empty rate list: expected CH=KS,... such as 1=100,2=10";
  std::stringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      return "invalid rate '" + item + "': expected CH=KS, such as 1=100 or 3=off";
    const std::string ch = item.substr(0, eq);
    const std::string ks = lower_case(item.substr(eq + 1));
    if (ch.size() != 1 || ch[0] < '1' || ch[0] > '4')
      return "invalid channel '" + ch + "' in '" + item + "': channels are 1 to 4";
    const size_t c = static_cast<size_t>(ch[0] - '1');
    if (named[c]) return "channel " + ch + " is given twice in '" + list + "'";
    named[c] = true;
    if (ks == "off") continue;
    uint64_t v = 0;
    if (!whole_number(ks, v) || v > 1000 || !is_supported_rate(static_cast<int>(v)))
      return "invalid rate '" + item.substr(eq + 1) + "' for channel " + ch +
             ": rates are 1 2 5 10 20 50 100 (kS/s) or off";
    out[c] = static_cast<int>(v);
  }
  if (list.back() == ',') return "invalid rate list '" + list + "': trailing comma";
  if (std::all_of(out.begin(), out.end(), [](int r) { return r == 0; }))
    return "no channel is on in '" + list + "'";
  rates = out;
  return {};
}

std::string sample_targets(const Rates &rates, double seconds, uint64_t samples,
                           std::array<uint64_t, kChannels> &targets) {
  if (seconds != 0 && samples != 0) return "give a duration or a sample count, not both";
  // Below 2^53 samples every count is exact in a double.
  if (!(seconds >= 0) || seconds * 100000.0 > 9e15) return "the duration is out of range";
  if (samples > 1'000'000'000'000'000ULL) return "the sample count is out of range";
  const int fastest = *std::max_element(rates.begin(), rates.end());
  for (size_t c = 0; c < targets.size(); ++c) {
    const int r = rates[c];
    if (r <= 0)
      targets[c] = 0;
    else if (seconds > 0)
      targets[c] = static_cast<uint64_t>(std::llround(seconds * r * 1000.0));
    else if (samples > 0)
      targets[c] = samples * static_cast<uint64_t>(r) / static_cast<uint64_t>(fastest);
    else
      targets[c] = kUnbounded;
  }
  return {};
}

double block_seconds(const Rates &rates) {
  double words_per_second = 0;
  for (int r : rates) words_per_second += r > 0 ? r * 1000.0 : 0.0;
  return words_per_second > 0 ? kWordsPerBlock / words_per_second : 0.0;
}

}  // namespace qx470reader
