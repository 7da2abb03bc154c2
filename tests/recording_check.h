// A raw recording of four channels at one rate, read back against the test pattern: every sample
// must be right at its time, or inside a gap that the JSON sidecar lists. A realignment starts a
// new stream, whose pattern begins again after priming.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace qxtest {

struct FileGap {
  std::string kind;
  uint64_t index = 0, count = 0;
};

struct RawRecording {
  bool whole = false;  // the file holds every sample asked for
  std::string json;
  std::array<std::vector<FileGap>, 4> gaps;
  std::array<uint64_t, 4> wrong{};
};

// `pattern(channel, n)`: the amplifier's n-th sample of the channel; `primed` samples of each
// channel are discarded at the head of every stream.
inline RawRecording read_four_channel_dat(const std::string &dat, const std::string &sidecar,
                                          uint64_t samples, uint64_t primed,
                                          const std::function<uint16_t(int, uint64_t)> &pattern) {
  RawRecording r;
  std::ifstream side(sidecar);
  std::stringstream text;
  text << side.rdbuf();
  r.json = text.str();
  const nlohmann::json doc = nlohmann::json::parse(r.json, nullptr, false);
  if (doc.is_object() && doc.contains("gaps"))
    for (const auto &g : doc["gaps"]) {
      const std::string label = g.value("channel", "");
      const int ch = label.size() == 3 ? label[2] - '0' : 0;
      if (ch >= 1 && ch <= 4)
        r.gaps[static_cast<size_t>(ch - 1)].push_back(
            {g.value("kind", ""), g.value("index", uint64_t{0}), g.value("count", uint64_t{0})});
    }
  std::ifstream f(dat, std::ios::binary);
  std::vector<int16_t> v(4 * samples);
  f.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(v.size() * 2));
  r.whole = f.gcount() == static_cast<std::streamsize>(v.size() * 2);
  if (!r.whole) return r;
  for (size_t ch = 0; ch < 4; ++ch) {
    uint64_t base = 0;  // where the current stream's first sample lies
    size_t next_gap = 0;
    for (uint64_t i = 0; i < samples; ++i) {
      if (next_gap < r.gaps[ch].size() && i >= r.gaps[ch][next_gap].index) {
        const FileGap &g = r.gaps[ch][next_gap++];
        if (g.kind == "realign") base = g.index + g.count;
        i = g.index + g.count - 1;
        continue;
      }
      const auto want =
          static_cast<int16_t>(pattern(static_cast<int>(ch), i - base + primed) - 32768);
      r.wrong[ch] += v[i * 4 + ch] != want;
    }
  }
  return r;
}

}  // namespace qxtest
