#include "record_writers.h"

#include <edflib.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

namespace qx470rec {

using qx470host::Gap;
using qx470host::GapKind;

// ---- ChannelQueue ----

void ChannelQueue::push(const int32_t *codes, size_t n) {
  if (n == 0) return;
  Segment s;
  s.data.resize(n);
  for (size_t i = 0; i < n; ++i) s.data[i] = static_cast<int16_t>(codes[i] - 32768);
  segments_.push_back(std::move(s));
  size_ += n;
}

void ChannelQueue::push_fill(uint64_t n) {
  if (n == 0) return;
  if (!segments_.empty() && segments_.back().data.empty())
    segments_.back().fill += n;
  else
    segments_.push_back(Segment{n, {}, 0});
  size_ += n;
}

void ChannelQueue::pop(int16_t *out, size_t n, int16_t fill, uint8_t *lost) {
  while (n > 0 && !segments_.empty()) {
    Segment &s = segments_.front();
    size_t take;
    if (s.data.empty()) {
      take = static_cast<size_t>(std::min<uint64_t>(s.fill, n));
      std::fill(out, out + take, fill);
      if (lost) std::fill(lost, lost + take, uint8_t{1});
      s.fill -= take;
      if (s.fill == 0) segments_.pop_front();
    } else {
      take = std::min(s.data.size() - s.pos, n);
      std::memcpy(out, s.data.data() + s.pos, take * sizeof(int16_t));
      if (lost) std::fill(lost, lost + take, uint8_t{0});
      s.pos += take;
      if (s.pos == s.data.size()) segments_.pop_front();
    }
    out += take;
    if (lost) lost += take;
    n -= take;
    size_ -= take;
  }
}

// ---- helpers ----

std::string path_for_rate(const std::string &path, int rate_ks) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = has_ext ? path.substr(0, dot) : path;
  const std::string ext = has_ext ? path.substr(dot) : std::string();
  return stem + "_" + std::to_string(rate_ks) + "kSps" + ext;
}

std::string RecordingInfo::equipment() const {
  switch (bridge.kind) {
    case qx470host::BridgeKind::kSimulated:
      return std::string(kDeviceName) + " simulated";
    case qx470host::BridgeKind::kEmulatedUsb:
      return std::string(kDeviceName) + " emulated";
    default:
      return kDeviceName;
  }
}

namespace {
// A JSON string with its quotes; paths and names may hold any byte.
std::string json_quoted(const std::string &s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      (out += '\\') += ch;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}
}  // namespace

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

namespace {

std::string io_error(const std::string &what, const std::string &path) {
  return "cannot " + what + " '" + path + "': " + std::strerror(errno);
}

const char *gap_kind_word(GapKind kind) {
  switch (kind) {
    case GapKind::kRestart:
      return "restart";
    case GapKind::kRealign:
      return "realign";
    case GapKind::kClock:
      return "clock";
    case GapKind::kLost:
      break;
  }
  return "lost";
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

struct RateGroup {
  int rate = 0;
  std::vector<int> channels;
};

std::vector<RateGroup> rate_groups(const RecordingInfo &info) {
  std::vector<RateGroup> groups;
  for (int c = 0; c < 4; ++c) {
    const int r = info.rates[static_cast<size_t>(c)];
    if (r == 0) continue;
    auto it =
        std::find_if(groups.begin(), groups.end(), [r](const auto &g) { return g.rate == r; });
    if (it == groups.end()) {
      groups.push_back({r, {c}});
    } else {
      it->channels.push_back(c);
    }
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const auto &a, const auto &b) { return a.rate > b.rate; });
  return groups;
}

// Writes a whole buffer or reports why not.
std::string write_all(std::FILE *f, const void *data, size_t n, const std::string &path) {
  if (n && std::fwrite(data, 1, n, f) != n) return io_error("write to", path);
  return {};
}

// ---- EDF+ through libedf ----

class EdfWriter : public Writer {
 public:
  ~EdfWriter() override {
    if (handle_ >= 0) edfclose_file(handle_);
  }
  std::string open(const std::string &path, const RecordingInfo &info) override {
    path_ = path;
    info_ = info;
    for (int c = 0; c < 4; ++c)
      if (info.rates[static_cast<size_t>(c)] > 0) channels_.push_back(c);
    handle_ = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS,
                                     static_cast<int>(channels_.size()));
    if (handle_ < 0) {
      const int code = handle_;
      handle_ = -1;
      return code == EDFLIB_NO_SUCH_FILE_OR_DIRECTORY
                 ? "cannot create '" + path + "': no such directory or no permission"
                 : "cannot create EDF+ file '" + path + "' (libedf error " + std::to_string(code) +
                       ")";
    }
    const double vpc = info.volts_per_count();
    bool ok = true;
    for (size_t s = 0; s < channels_.size(); ++s) {
      const int c = channels_[s];
      const int sig = static_cast<int>(s);
      ok = ok && edf_set_samplefrequency(handle_, sig, info.rates[size_t(c)] * 1000) == 0;
      ok = ok && edf_set_digital_maximum(handle_, sig, 32767) == 0;
      ok = ok && edf_set_digital_minimum(handle_, sig, -32768) == 0;
      ok = ok && edf_set_physical_maximum(handle_, sig, 32767 * vpc) == 0;
      ok = ok && edf_set_physical_minimum(handle_, sig, -32768 * vpc) == 0;
      ok = ok && edf_set_physical_dimension(handle_, sig, "V") == 0;
      ok = ok && edf_set_label(handle_, sig, info.label(c).c_str()) == 0;
    }
    ok = ok && edf_set_equipment(handle_, info.equipment().c_str()) == 0;
    const std::string cal = "calibration " + std::to_string(info.calibration) + " nV per count";
    ok = ok && edf_set_recording_additional(handle_, cal.c_str()) == 0;
    ok = ok && edf_set_number_of_annotation_signals(handle_, kAnnotationSignals) == 0;
    if (!ok) return "cannot set up the EDF+ header of '" + path + "'";
    queues_.resize(channels_.size());
    return {};
  }
  std::string begin(std::chrono::system_clock::time_point start) override {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch());
    const std::time_t secs = static_cast<std::time_t>(us.count() / 1000000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    if (edf_set_startdatetime(handle_, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                              tm.tm_min, tm.tm_sec) != 0)
      return "cannot set the start time of '" + path_ + "'";
    // 100 us resolution, as EDF+ readers are advised to expect.
    edf_set_subsecond_starttime(handle_, static_cast<int>(us.count() % 1000000 / 100 * 1000));
    return {};
  }
  std::string samples(int channel, const int32_t *codes, size_t n) override {
    queue(channel).push(codes, n);
    return flush();
  }
  std::string gap(const Gap &g) override {
    const long long per_second = info_.rates[size_t(g.channel)] * 1000LL;
    const long long onset = static_cast<long long>(g.index) * 10000 / per_second;
    const long long duration = static_cast<long long>(g.count) * 10000 / per_second;
    ++annotations_;
    if (edfwrite_annotation_utf8(handle_, onset, g.count ? duration : -1,
                                 gap_text(info_, g).c_str()) != 0)
      return "cannot write an annotation to '" + path_ + "'";
    queue(g.channel).push_fill(g.count);
    return flush();
  }
  std::string finish() override {
    if (handle_ < 0) return {};
    std::string err;
    uint64_t most_seconds_x = 0;  // the longest channel, in samples of the fastest rate
    bool partial = false;
    int fastest = 0;
    for (size_t s = 0; s < channels_.size(); ++s)
      fastest = std::max(fastest, info_.rates[size_t(channels_[s])]);
    for (size_t s = 0; s < channels_.size(); ++s) {
      const uint64_t r = static_cast<uint64_t>(info_.rates[size_t(channels_[s])]);
      const uint64_t have = written_[s] + queues_[s].size();
      most_seconds_x = std::max(most_seconds_x, have * static_cast<uint64_t>(fastest) / r);
      partial = partial || queues_[s].size() > 0;
    }
    if (partial) {
      // EDF holds whole 1-second records: the last one is padded with mid-scale, and an
      // annotation says where the recording really ends.
      const long long onset = static_cast<long long>(most_seconds_x) * 10000 / (fastest * 1000LL);
      ++annotations_;
      edfwrite_annotation_utf8(handle_, onset, -1, "recording ends");
      uint64_t target_records = records_;
      for (size_t s = 0; s < channels_.size(); ++s) {
        const uint64_t per_record = static_cast<uint64_t>(info_.rates[size_t(channels_[s])]) * 1000;
        target_records =
            std::max(target_records, records_ + (queues_[s].size() + per_record - 1) / per_record);
      }
      for (size_t s = 0; s < channels_.size(); ++s) {
        const uint64_t per_record = static_cast<uint64_t>(info_.rates[size_t(channels_[s])]) * 1000;
        const uint64_t want = (target_records - records_) * per_record;
        queues_[s].push_fill(want - queues_[s].size());
      }
      err = flush();
    }
    if (annotations_ > (records_ ? records_ : 1) * kAnnotationSignals && err.empty())
      err = "'" + path_ + "' has room for " + std::to_string(records_ * kAnnotationSignals) +
            " annotations, " + std::to_string(annotations_) +
            " were written: the summary lists every gap";
    if (edfclose_file(handle_) != 0 && err.empty()) err = io_error("finish", path_);
    handle_ = -1;
    return err;
  }
  uint64_t bytes() const override { return bytes_; }
  std::vector<std::string> paths() const override { return {path_}; }

 private:
  static constexpr int kAnnotationSignals = 8;

  ChannelQueue &queue(int channel) {
    const auto it = std::find(channels_.begin(), channels_.end(), channel);
    return queues_[static_cast<size_t>(it - channels_.begin())];
  }
  // Writes every data record that all signals have samples for.
  std::string flush() {
    for (;;) {
      for (size_t s = 0; s < channels_.size(); ++s)
        if (queues_[s].size() < static_cast<uint64_t>(info_.rates[size_t(channels_[s])]) * 1000)
          return {};
      for (size_t s = 0; s < channels_.size(); ++s) {
        const size_t n = static_cast<size_t>(info_.rates[size_t(channels_[s])]) * 1000;
        record_.resize(n);
        queues_[s].pop(record_.data(), n, 0);
        if (edfwrite_digital_short_samples(handle_, record_.data()) != 0)
          return io_error("write to", path_);
        written_[s] += n;
        bytes_ += 2 * n;
      }
      ++records_;
    }
  }

  std::string path_;
  RecordingInfo info_;
  int handle_ = -1;
  std::vector<int> channels_;
  std::vector<ChannelQueue> queues_;
  std::array<uint64_t, 4> written_{};
  std::vector<int16_t> record_;
  uint64_t records_ = 0;
  uint64_t annotations_ = 0;
  uint64_t bytes_ = 0;
};

// ---- writers of rate groups: CSV, raw .dat, sound files ----

// Rows (frames) of a group are written once every channel of the group has its sample.
class GroupedWriter : public Writer {
 public:
  std::string open(const std::string &path, const RecordingInfo &info) override {
    path_ = path;
    info_ = info;
    groups_ = rate_groups(info);
    for (size_t g = 0; g < groups_.size(); ++g)
      for (int c : groups_[g].channels) group_of_[size_t(c)] = g;
    queues_.resize(4);
    return open_groups();
  }
  std::string samples(int channel, const int32_t *codes, size_t n) override {
    queues_[size_t(channel)].push(codes, n);
    return flush(group_of_[size_t(channel)]);
  }
  std::string gap(const Gap &g) override {
    gaps_.push_back(g);
    queues_[size_t(g.channel)].push_fill(g.count);
    if (auto e = on_gap(g); !e.empty()) return e;
    return flush(group_of_[size_t(g.channel)]);
  }
  uint64_t bytes() const override { return bytes_; }

 protected:
  virtual std::string open_groups() = 0;
  virtual std::string on_gap(const Gap &) { return {}; }
  // Writes `frames` rows of group g from the interleaved counts and lost flags.
  virtual std::string write_frames(size_t g, const int16_t *values, const uint8_t *lost,
                                   size_t frames) = 0;

  std::string file_for(size_t g) const {
    return groups_.size() == 1 ? path_ : path_for_rate(path_, groups_[g].rate);
  }

  std::string flush(size_t g) {
    const auto &chs = groups_[g].channels;
    uint64_t ready = queues_[size_t(chs[0])].size();
    for (int c : chs) ready = std::min(ready, queues_[size_t(c)].size());
    while (ready > 0) {
      const size_t frames = static_cast<size_t>(std::min<uint64_t>(ready, 65536));
      const size_t width = chs.size();
      column_.resize(frames);
      lost_column_.resize(frames);
      frame_.resize(frames * width);
      lost_.resize(frames * width);
      for (size_t k = 0; k < width; ++k) {
        queues_[size_t(chs[k])].pop(column_.data(), frames, 0, lost_column_.data());
        for (size_t i = 0; i < frames; ++i) {
          frame_[i * width + k] = column_[i];
          lost_[i * width + k] = lost_column_[i];
        }
      }
      if (auto e = write_frames(g, frame_.data(), lost_.data(), frames); !e.empty()) return e;
      frames_done_.resize(groups_.size());
      frames_done_[g] += frames;
      ready -= frames;
    }
    return {};
  }
  // Frames still waiting, padded out with lost samples, at the end.
  std::string flush_rest() {
    for (size_t g = 0; g < groups_.size(); ++g) {
      uint64_t most = 0;
      for (int c : groups_[g].channels) most = std::max(most, queues_[size_t(c)].size());
      for (int c : groups_[g].channels)
        queues_[size_t(c)].push_fill(most - queues_[size_t(c)].size());
      if (auto e = flush(g); !e.empty()) return e;
    }
    return {};
  }

  std::string path_;
  RecordingInfo info_;
  std::vector<RateGroup> groups_;
  std::array<size_t, 4> group_of_{};
  std::vector<ChannelQueue> queues_;
  std::vector<Gap> gaps_;
  std::vector<uint64_t> frames_done_;
  uint64_t bytes_ = 0;

 private:
  std::vector<int16_t> column_, frame_;
  std::vector<uint8_t> lost_column_, lost_;
};

class CsvWriter : public GroupedWriter {
 public:
  ~CsvWriter() override { close_all(); }
  std::string begin(std::chrono::system_clock::time_point start) override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::string h;
      h += "# device: " + info_.equipment() + "\n";
      h += "# bridge: " + describe(info_.bridge) + "\n";
      h += "# start: " + iso8601(start) + "\n";
      h += "# rate: " + std::to_string(groups_[g].rate * 1000) + " samples/s per channel\n";
      char vpc[64];
      std::snprintf(vpc, sizeof vpc, "%.9g", info_.volts_per_count());
      h += "# volts_per_count: " + std::string(vpc) + " (calibration " +
           std::to_string(info_.calibration) + " nV per count)\n";
      h += "# values: counts, code - 32768; volts = counts * volts_per_count; "
           "an empty field is a lost sample\n";
      h += "index";
      for (int c : groups_[g].channels) (h += ',') += info_.label(c);
      h += "\n";
      if (auto e = write_all(files_[g], h.data(), h.size(), file_for(g)); !e.empty()) return e;
      bytes_ += h.size();
    }
    return {};
  }
  std::string finish() override {
    std::string err = flush_rest();
    for (size_t g = 0; g < files_.size() && err.empty(); ++g)
      if (std::fflush(files_[g]) != 0) err = io_error("write to", file_for(g));
    const std::string close_err = close_all();
    return err.empty() ? close_err : err;
  }
  std::vector<std::string> paths() const override {
    std::vector<std::string> p;
    for (size_t g = 0; g < groups_.size(); ++g)
      p.push_back(path_ == "-" ? "standard output" : file_for(g));
    return p;
  }

 protected:
  std::string open_groups() override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::FILE *f = path_ == "-" ? stdout : std::fopen(file_for(g).c_str(), "wb");
      if (!f) return io_error("create", file_for(g));
      files_.push_back(f);
    }
    return {};
  }
  std::string on_gap(const Gap &g) override {
    notes_[group_of_[size_t(g.channel)]].insert(
        {g.index,
         "# " + gap_text(info_, g) + " samples from index " + std::to_string(g.index) + "\n"});
    return {};
  }
  std::string write_frames(size_t g, const int16_t *values, const uint8_t *lost,
                           size_t frames) override {
    const size_t width = groups_[g].channels.size();
    uint64_t index = frames_done_.size() > g ? frames_done_[g] : 0;
    auto &notes = notes_[g];
    text_.clear();
    char num[24];
    for (size_t i = 0; i < frames; ++i, ++index) {
      while (!notes.empty() && notes.begin()->first <= index) {
        text_ += notes.begin()->second;
        notes.erase(notes.begin());
      }
      text_.append(num, std::to_chars(num, num + sizeof num, index).ptr);
      for (size_t k = 0; k < width; ++k) {
        text_ += ',';
        if (!lost[i * width + k])
          text_.append(num, std::to_chars(num, num + sizeof num, values[i * width + k]).ptr);
      }
      text_ += '\n';
    }
    bytes_ += text_.size();
    return write_all(files_[g], text_.data(), text_.size(), file_for(g));
  }

 private:
  std::string close_all() {
    std::string err;
    for (size_t g = 0; g < files_.size(); ++g) {
      if (files_[g] == stdout) {
        if (std::fflush(stdout) != 0 && err.empty()) err = io_error("write to", "standard output");
      } else if (std::fclose(files_[g]) != 0 && err.empty()) {
        err = io_error("finish", file_for(g));
      }
    }
    files_.clear();
    return err;
  }
  std::vector<std::FILE *> files_;
  std::map<size_t, std::multimap<uint64_t, std::string>> notes_;
  std::string text_;
};

class DatWriter : public GroupedWriter {
 public:
  ~DatWriter() override {
    for (auto *f : files_) std::fclose(f);
  }
  std::string begin(std::chrono::system_clock::time_point start) override {
    start_ = iso8601(start);
    return write_sidecar(false);
  }
  std::string finish() override {
    std::string err = flush_rest();
    for (size_t g = 0; g < files_.size(); ++g)
      if (std::fclose(files_[g]) != 0 && err.empty()) err = io_error("finish", file_for(g));
    files_.clear();
    const std::string side = write_sidecar(true);
    return err.empty() ? side : err;
  }
  std::vector<std::string> paths() const override {
    std::vector<std::string> p;
    for (size_t g = 0; g < groups_.size(); ++g) p.push_back(file_for(g));
    p.push_back(sidecar_path());
    return p;
  }

 protected:
  std::string open_groups() override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::FILE *f = std::fopen(file_for(g).c_str(), "wb");
      if (!f) return io_error("create", file_for(g));
      files_.push_back(f);
    }
    return {};
  }
  std::string write_frames(size_t g, const int16_t *values, const uint8_t *,
                           size_t frames) override {
    const size_t n = frames * groups_[g].channels.size();
    bytes_le_.resize(2 * n);
    for (size_t i = 0; i < n; ++i) {  // little-endian whatever the host
      const auto v = static_cast<uint16_t>(values[i]);
      bytes_le_[2 * i] = static_cast<unsigned char>(v & 0xFF);
      bytes_le_[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    bytes_ += bytes_le_.size();
    return write_all(files_[g], bytes_le_.data(), bytes_le_.size(), file_for(g));
  }

 private:
  std::string sidecar_path() const {
    const size_t dot = path_.find_last_of('.');
    return path_.substr(0, dot) + ".json";
  }
  static std::string base_name(const std::string &p) {
    const size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
  }
  std::string write_sidecar(bool complete) {
    char vpc[64];
    std::snprintf(vpc, sizeof vpc, "%.9g", info_.volts_per_count());
    std::string j = "{\n";
    j += "  \"device\": " + json_quoted(info_.equipment()) + ",\n";
    j += "  \"bridge\": {\"kind\": " + json_quoted(bridge_kind_words(info_.bridge.kind)) +
         ", \"file\": " + json_quoted(info_.bridge.file) + "},\n";
    j += "  \"start\": \"" + start_ + "\",\n";
    j += "  \"dtype\": \"<i2\",\n";
    j += "  \"values\": \"code - 32768, interleaved by channel in each file\",\n";
    j += "  \"calibration_nv_per_count\": " + std::to_string(info_.calibration) + ",\n";
    j += "  \"volts_per_count\": " + std::string(vpc) + ",\n";
    j += "  \"files\": [\n";
    for (size_t g = 0; g < groups_.size(); ++g) {
      j += "    {\"file\": " + json_quoted(base_name(file_for(g))) +
           ", \"rate\": " + std::to_string(groups_[g].rate * 1000) + ", \"channels\": [";
      for (size_t k = 0; k < groups_[g].channels.size(); ++k)
        j += (k ? ", \"" : "\"") + info_.label(groups_[g].channels[k]) + "\"";
      j += "], \"frames\": " + std::to_string(frames_done_.size() > g ? frames_done_[g] : 0) + "}";
      j += g + 1 < groups_.size() ? ",\n" : "\n";
    }
    j += "  ],\n";
    j += "  \"gaps\": [";
    for (size_t i = 0; i < gaps_.size(); ++i) {
      const Gap &g = gaps_[i];
      j += i ? ",\n    " : "\n    ";
      j += "{\"channel\": \"" + info_.label(g.channel) + "\", \"kind\": \"" +
           gap_kind_word(g.kind) + "\", \"index\": " + std::to_string(g.index) +
           ", \"count\": " + std::to_string(g.count) + "}";
    }
    j += gaps_.empty() ? "],\n" : "\n  ],\n";
    j += "  \"lost_samples_are\": 0,\n";
    j += std::string("  \"complete\": ") + (complete ? "true" : "false") + "\n}\n";
    const std::string p = sidecar_path();
    std::FILE *f = std::fopen(p.c_str(), "wb");
    if (!f) return io_error("create", p);
    std::string err = write_all(f, j.data(), j.size(), p);
    if (std::fclose(f) != 0 && err.empty()) err = io_error("finish", p);
    return err;
  }
  std::vector<std::FILE *> files_;
  std::vector<unsigned char> bytes_le_;
  std::string start_;
};

class SoundWriter : public GroupedWriter {
 public:
  explicit SoundWriter(Format format) : format_(format) {}
  ~SoundWriter() override {
    if (file_) sf_close(file_);
  }
  // The strings go in before the first sample, as every container libsndfile writes allows.
  std::string begin(std::chrono::system_clock::time_point start) override {
    char vpc[64];
    std::snprintf(vpc, sizeof vpc, "%.9g", info_.volts_per_count());
    std::string labels;
    for (int c : groups_[0].channels) labels += (labels.empty() ? "" : " ") + info_.label(c);
    const std::string comment =
        info_.equipment() + " " + labels + ", start " + iso8601(start) +
        "; samples are counts (code - 32768), " + vpc + " V per count (calibration " +
        std::to_string(info_.calibration) +
        " nV per count); lost samples are 0; bridge: " + describe(info_.bridge);
    sf_set_string(file_, SF_STR_COMMENT, comment.c_str());
    sf_set_string(file_, SF_STR_SOFTWARE, "qx470-record");
    return {};
  }
  std::string finish() override {
    std::string err = flush_rest();
    if (!file_) return err;
    sf_write_sync(file_);
    if (sf_close(file_) != 0 && err.empty()) err = "cannot finish '" + path_ + "'";
    file_ = nullptr;
    return err;
  }
  std::vector<std::string> paths() const override { return {path_}; }

 protected:
  std::string open_groups() override {
    SF_INFO sfi{};
    sfi.samplerate = groups_[0].rate * 1000;
    sfi.channels = static_cast<int>(groups_[0].channels.size());
    sfi.format = format_ == Format::kFlac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_16)
                                          : (SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    file_ = sf_open(path_.c_str(), SFM_WRITE, &sfi);
    if (!file_) return "cannot create '" + path_ + "': " + sf_strerror(nullptr);
    // Plain WAV while it fits, RF64 once it passes 4 GiB.
    if (format_ == Format::kWav) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    return {};
  }
  std::string write_frames(size_t, const int16_t *values, const uint8_t *, size_t frames) override {
    const sf_count_t n = static_cast<sf_count_t>(frames);
    if (sf_writef_short(file_, values, n) != n)
      return "cannot write to '" + path_ + "': " + sf_strerror(file_);
    bytes_ += frames * groups_[0].channels.size() * 2;
    return {};
  }

 private:
  Format format_;
  SNDFILE *file_ = nullptr;
};

}  // namespace

std::unique_ptr<Writer> make_writer(Format format) {
  switch (format) {
    case Format::kEdf:
      return std::make_unique<EdfWriter>();
    case Format::kCsv:
      return std::make_unique<CsvWriter>();
    case Format::kDat:
      return std::make_unique<DatWriter>();
    case Format::kFlac:
    case Format::kWav:
      return std::make_unique<SoundWriter>(format);
  }
  return nullptr;
}

}  // namespace qx470rec
