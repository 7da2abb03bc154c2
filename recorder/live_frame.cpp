#include "live_frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace qx470rec {

using json = nlohmann::ordered_json;

namespace {

double volts(uint16_t code, double vpc) {
  return (int32_t(code) - 32768) * vpc;
}

}  // namespace

json status_json(const LiveStatus &s, const LiveTap &tap) {
  json channels = json::array();
  uint64_t samples = 0, lost = 0;
  for (int c = 0; c < 4; ++c) {
    if (!tap.rate(c)) continue;
    samples += s.samples[size_t(c)];
    lost += s.lost[size_t(c)];
    channels.push_back({{"channel", c + 1},
                        {"label", tap.label(c)},
                        {"rate", tap.rate(c)},
                        {"samples", s.samples[size_t(c)]},
                        {"lost", s.lost[size_t(c)]}});
  }
  return {
      {"device", {{"serial", s.serial}, {"bridge", s.bridge}, {"calibration", s.calibration}}},
      {"files", s.files},
      {"recording", !s.files.empty() && s.state == "recording"},
      {"state", s.state},
      {"signal_seconds", s.signal_seconds},
      {"wall_seconds", s.wall_seconds},
      {"samples", samples},
      {"lost", lost},
      {"gaps", s.gaps},
      {"events", s.events},
      {"queue_fill", s.queue_fill},
      {"block_seconds", s.block_seconds},
      {"next_block_seconds", s.next_block_seconds < 0 ? json(nullptr) : json(s.next_block_seconds)},
      {"shunt", s.shunt},
      {"channels", channels}};
}

std::string make_frame(const LiveTap &tap, double window, int columns, uint64_t seq) {
  const double fed = tap.fed();  // before the envelopes, so that a frame's lag is never too short
  const std::vector<ChannelEnvelope> envs = tap.envelopes(window, columns);
  const double vpc = tap.volts_per_count();
  std::vector<float> payload;
  json channels = json::array();
  double t_end = 0;
  for (const ChannelEnvelope &e : envs) {
    const size_t n = e.columns.size();
    const size_t min_at = payload.size();
    payload.resize(min_at + 2 * n);
    for (size_t i = 0; i < n; ++i) {
      const CodeSpan &s = e.columns[i];
      payload[min_at + i] = s.count ? float(volts(s.lo, vpc)) : NAN;
      payload[min_at + n + i] = s.count ? float(volts(s.hi, vpc)) : NAN;
    }
    const double rate = e.rate;
    t_end = std::max(t_end, double(e.end) / rate);
    json stats = {{"samples", e.total.count}};
    if (e.total.count) {
      stats["mean"] = double(e.total.sum) / e.total.count * vpc;
      stats["rms"] = std::sqrt(double(e.total.sum_sq) / e.total.count) * vpc;
      stats["min"] = volts(e.total.lo, vpc);
      stats["max"] = volts(e.total.hi, vpc);
    }
    channels.push_back({{"channel", e.channel + 1},
                        {"label", tap.label(e.channel)},
                        {"rate", e.rate},
                        {"columns", n},
                        {"t0", double(e.first) / rate},
                        {"dt", double(e.per_column) / rate},
                        {"min_offset", min_at},
                        {"max_offset", min_at + n},
                        {"stats", stats},
                        {"clip_low", e.total.count && e.total.lo == 0},
                        {"clip_high", e.total.count && e.total.hi == 65535},
                        {"range", {volts(0, vpc), volts(65535, vpc)}}});
  }
  std::vector<LiveGap> gaps;
  std::vector<LiveEvent> events;
  tap.marks_since(t_end - window, gaps, events);
  json jgaps = json::array(), jevents = json::array();
  for (const LiveGap &g : gaps) {
    const double rate = tap.rate(g.channel);
    jgaps.push_back({{"channel", g.channel + 1},
                     {"kind", g.kind},
                     {"t0", g.start / rate},
                     {"t1", g.end / rate},
                     {"text", g.text}});
  }
  for (const LiveEvent &e : events) jevents.push_back({{"t", e.seconds}, {"text", e.text}});
  const std::string header =
      json{{"seq", seq},           {"window", window}, {"t_end", t_end},   {"fed", fed},
           {"channels", channels}, {"gaps", jgaps},    {"events", jevents}}
          .dump(-1, ' ', false, json::error_handler_t::replace);
  std::string frame(4, '\0');
  const uint32_t len = uint32_t(header.size());
  for (int k = 0; k < 4; ++k) frame[size_t(k)] = char((len >> (8 * k)) & 0xff);
  frame += header;
  frame.resize((frame.size() + 3) / 4 * 4, '\0');
  const size_t at = frame.size();
  frame.resize(at + payload.size() * sizeof(float));
  std::memcpy(frame.data() + at, payload.data(), payload.size() * sizeof(float));
  return frame;
}

}  // namespace qx470rec
