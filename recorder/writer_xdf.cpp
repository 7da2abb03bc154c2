#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "events.h"
#include "format_writer.h"
#include "lsl_info.h"
#include "sample_clock.h"

namespace qx470rec {

using qx470reader::Gap;

namespace {

// XDF 1.0, as a lab's recorder of LSL streams writes it: one stream per rate and one of markers
// (events and gaps), every sample with its time on the LSL clock (the host's steady clock) from
// the clock map. Samples wait for the map that covers them and go out at each sync as whole
// chunks, each sync's chunks in one write ending with a boundary chunk, so a file cut short by a
// crash or a full disk reads to its last sync.
enum Tag : uint16_t {
  kFileHeader = 1,
  kStreamHeader = 2,
  kSamples = 3,
  kClockOffset = 4,
  kBoundary = 5,
  kStreamFooter = 6
};
constexpr unsigned char kBoundaryUuid[16] = {0x43, 0xA5, 0x46, 0xDC, 0xCB, 0xF5, 0x41, 0x0F,
                                             0xB3, 0x0E, 0xD5, 0x46, 0x73, 0x83, 0xCB, 0xE4};
constexpr size_t kSamplesPerChunk = 10000;
constexpr double kClockOffsetEvery = 5.0;  // seconds, as a lab recorder asks its inlets
constexpr double kMostPendingSeconds = 5.0;

template <typename T>
void put(std::string &out, T v) {
  char b[sizeof v];
  std::memcpy(b, &v, sizeof v);  // XDF is little-endian, as this host is
  out.append(b, sizeof v);
}

void put_length(std::string &out, uint64_t n) {
  if (n <= 0xff) {
    put<uint8_t>(out, 1);
    put<uint8_t>(out, uint8_t(n));
  } else if (n <= 0xffffffffu) {
    put<uint8_t>(out, 4);
    put<uint32_t>(out, uint32_t(n));
  } else {
    put<uint8_t>(out, 8);
    put<uint64_t>(out, n);
  }
}

void put_chunk(std::string &out, Tag tag, const std::string &content) {
  put_length(out, content.size() + 2);
  put<uint16_t>(out, tag);
  out += content;
}

std::string with_id(uint32_t id, const std::string &rest) {
  std::string c;
  put<uint32_t>(c, id);
  return c + rest;
}

struct Marker {
  double time;
  std::string text;
};

class XdfWriter : public FormatWriter {
 public:
  std::string open(OutputFiles &files, const RecordingInfo &info) override {
    files_ = &files;
    info_ = info;
    volts_ = float(info.volts_per_count());
    streams_ = recording_streams(info.stream_name, info);
    streams_.push_back(markers_stream(info.stream_name, info));
    pending_.resize(streams_.size() - 1);
    for (size_t g = 0; g + 1 < streams_.size(); ++g)
      clocks_.emplace_back(streams_[g].channels.front(), streams_[g].nominal_srate);
    state_.resize(streams_.size());
    return files.create(info.replace_files);
  }
  std::string begin(std::chrono::system_clock::time_point start) override {
    std::string out = "XDF:";
    put_chunk(out, kFileHeader,
              "<?xml version=\"1.0\"?>\n<info>\n\t<version>1.0</version>\n\t<datetime>" +
                  iso8601(start) + "</datetime>\n</info>\n");
    for (size_t s = 0; s < streams_.size(); ++s)
      put_chunk(out, kStreamHeader, with_id(uint32_t(s + 1), fullinfo_xml(streams_[s])));
    return write_out(out);
  }
  void clock(const qx470reader::ClockMap &map) override { map_ = map; }
  std::string write(size_t g, const int16_t *values, const uint8_t *lost, size_t rows) override {
    Pending &p = pending_[g];
    const size_t n = rows * streams_[g].channels.size();
    const size_t at = p.values.size();
    p.values.resize(at + n);
    for (size_t i = 0; i < n; ++i)
      p.values[at + i] = lost[i] ? std::numeric_limits<float>::quiet_NaN() : values[i] * volts_;
    // A long gap filled at once, or syncs held up: what waits stays bounded.
    const uint64_t most = uint64_t(streams_[g].nominal_srate * kMostPendingSeconds);
    if (p.values.size() / streams_[g].channels.size() > most) return put_pending(false);
    return {};
  }
  std::string gap(const Gap &g) override {
    markers_.push_back({g.channel, g.index, gap_text(info_, g)});
    return {};
  }
  std::string event(const Event &e) override {
    const int ref = streams_.front().channels.front();
    markers_.push_back({ref, e.index[size_t(ref)], e.text});
    return {};
  }
  std::string sync() override { return put_pending(false); }
  std::string finish(bool failed) override {
    if (failed) return {};
    if (std::string e = put_pending(true); !e.empty()) return e;
    std::string out;
    for (size_t s = 0; s < streams_.size(); ++s) {
      const State &st = state_[s];
      std::string x = "<?xml version=\"1.0\"?>\n<info>\n\t<first_timestamp>" + number(st.first) +
                      "</first_timestamp>\n\t<last_timestamp>" + number(st.last) +
                      "</last_timestamp>\n\t<sample_count>" + std::to_string(st.count) +
                      "</sample_count>\n\t<clock_offsets>";
      for (double t : st.offsets)
        x += "<offset><time>" + number(t) + "</time><value>0</value></offset>";
      x += "</clock_offsets>\n</info>\n";
      put_chunk(out, kStreamFooter, with_id(uint32_t(s + 1), x));
    }
    return write_out(out);
  }
  uint64_t units_in_file(size_t g, uint64_t) const override { return state_[g].count; }
  nlohmann::ordered_json sidecar_extra() const override {
    return {{"values", "volts"}, {"timestamps", "LSL clock (host steady clock), seconds"}};
  }

 private:
  struct Pending {
    std::vector<float> values;  // whole rows, not yet in the file
    uint64_t first_row = 0;     // of the rows last written, with their times
    std::vector<double> times;
  };
  struct PendingMarker {
    int channel;
    uint64_t index;
    std::string text;
  };
  struct State {
    double first = 0, last = 0;
    uint64_t count = 0;
    std::vector<double> offsets;  // collection times of the clock offsets written
    double last_offset = -1e300;
  };

  static std::string number(double v) {
    char t[40];
    std::snprintf(t, sizeof t, "%.17g", v);
    return t;
  }

  // Everything the map places goes out as whole chunks in one write; with no map yet (no block
  // has come) it waits.
  std::string put_pending(bool ending) {
    if (map_.segments().empty()) return {};
    std::string out;
    for (size_t g = 0; g < pending_.size(); ++g) put_samples(g, out);
    put_markers(out);
    const double now = steady_now();
    for (size_t s = 0; s < streams_.size(); ++s) {
      State &st = state_[s];
      if (!ending && now - st.last_offset < kClockOffsetEvery) continue;
      // Every stream is on this host's own clock: its offset is 0.
      std::string c;
      put<double>(c, now);
      put<double>(c, 0.0);
      put_chunk(out, kClockOffset, with_id(uint32_t(s + 1), c));
      st.offsets.push_back(now);
      st.last_offset = now;
    }
    if (out.empty()) return {};
    put_chunk(out, kBoundary, std::string(reinterpret_cast<const char *>(kBoundaryUuid), 16));
    return write_out(out);
  }

  void put_samples(size_t g, std::string &out) {
    Pending &p = pending_[g];
    State &st = state_[g];
    const size_t width = streams_[g].channels.size();
    const size_t rows = p.values.size() / width;
    p.first_row = st.count;
    p.times.clear();
    for (size_t done = 0; done < rows;) {
      const size_t n = std::min(kSamplesPerChunk, rows - done);
      std::string c;
      put<uint32_t>(c, uint32_t(g + 1));
      put_length(c, n);
      c.reserve(c.size() + n * (9 + 4 * width));
      for (size_t i = 0; i < n; ++i) {
        const double t = clocks_[g].next(map_, st.count);
        p.times.push_back(t);
        put<uint8_t>(c, 8);
        put<double>(c, t);
        c.append(reinterpret_cast<const char *>(&p.values[(done + i) * width]), 4 * width);
        if (st.count++ == 0) st.first = t;
        st.last = t;
      }
      put_chunk(out, kSamples, c);
      done += n;
    }
    p.values.clear();
  }

  void put_markers(std::string &out) {
    if (markers_.empty()) return;
    State &st = state_.back();
    std::vector<Marker> placed;
    for (const PendingMarker &m : markers_) {
      // The time its sample has in the file: written now, or on the steps of those before.
      const size_t g = group_of(m.channel);
      const Pending &p = pending_[g];
      const double t = m.index >= p.first_row && m.index - p.first_row < p.times.size()
                           ? p.times[size_t(m.index - p.first_row)]
                           : clocks_[g].at(map_, m.index);
      placed.push_back({t, m.text});
    }
    markers_.clear();
    std::stable_sort(placed.begin(), placed.end(),
                     [](const Marker &a, const Marker &b) { return a.time < b.time; });
    std::string c;
    put<uint32_t>(c, uint32_t(streams_.size()));
    put_length(c, placed.size());
    for (const Marker &m : placed) {
      put<uint8_t>(c, 8);
      put<double>(c, m.time);
      put_length(c, m.text.size());
      c += m.text;
      if (st.count++ == 0) st.first = m.time;
      st.last = std::max(st.last, m.time);
    }
    put_chunk(out, kSamples, c);
  }

  size_t group_of(int channel) const {
    for (size_t g = 0; g + 1 < streams_.size(); ++g)
      for (int c : streams_[g].channels)
        if (c == channel) return g;
    return 0;
  }

  std::string write_out(const std::string &bytes) {
    if (std::string e = files_->file(0).write(bytes.data(), bytes.size()); !e.empty()) return e;
    bytes_ += bytes.size();
    return {};
  }

  OutputFiles *files_ = nullptr;
  RecordingInfo info_;
  float volts_ = 0;
  std::vector<LslStreamInfo> streams_;  // the rates' streams, then the markers
  std::vector<Pending> pending_;
  std::vector<PendingMarker> markers_;
  std::vector<State> state_;
  std::vector<SampleClock> clocks_;  // each rate's times
  qx470reader::ClockMap map_;
};

}  // namespace

std::unique_ptr<FormatWriter> make_xdf_writer() {
  return std::make_unique<XdfWriter>();
}

}  // namespace qx470rec
