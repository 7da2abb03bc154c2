#include "recording_info.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qx470rec {

using qx470reader::Gap;
using qx470reader::GapKind;

std::string RecordingInfo::volts_per_count_text() const {
  char vpc[64];
  std::snprintf(vpc, sizeof vpc, "%.9g", volts_per_count());
  return vpc;
}

std::string RecordingInfo::equipment() const {
  switch (bridge.kind) {
    case qx470reader::BridgeKind::kSimulated:
      return std::string(kDeviceName) + " simulated";
    case qx470reader::BridgeKind::kEmulatedUsb:
      return std::string(kDeviceName) + " emulated";
    default:
      return kDeviceName;
  }
}

std::string RecordingInfo::meta_text() const {
  std::string text;
  for (const auto &[key, value] : meta) text += (text.empty() ? "" : "; ") + key + "=" + value;
  return text;
}

std::vector<RateGroup> rate_groups(const std::array<int, 4> &rates) {
  std::vector<RateGroup> groups;
  for (int c = 0; c < 4; ++c) {
    const int r = rates[static_cast<size_t>(c)];
    if (r == 0) continue;
    auto it =
        std::find_if(groups.begin(), groups.end(), [r](const auto &g) { return g.rate == r; });
    if (it == groups.end())
      groups.push_back({r, {c}});
    else
      it->channels.push_back(c);
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const auto &a, const auto &b) { return a.rate > b.rate; });
  return groups;
}

std::string io_error(const std::string &what, const std::string &path) {
  return "cannot " + what + " '" + path + "': " + std::strerror(errno);
}

std::string gap_text(const RecordingInfo &info, const Gap &g) {
  const std::string who = info.label(g.channel);
  switch (g.kind) {
    case GapKind::kRestart:
      return who + " restart" + (g.count ? ", " + std::to_string(g.count) + " lost" : "");
    case GapKind::kRealign:
      return who + " lost " + std::to_string(g.count) + ", stream realigned";
    case GapKind::kClock:
      return who + " lost " + std::to_string(g.count) + ", missing by the clock";
    case GapKind::kLost:
      break;
  }
  return who + " lost " + std::to_string(g.count);
}

std::string iso8601(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return buf;
}

}  // namespace qx470rec
