#include "recording.h"

#include <algorithm>

namespace qx470rec {

std::vector<UnitLayout> FormatWriter::layout(const RecordingInfo &info) const {
  std::vector<UnitLayout> units;
  for (const RateGroup &g : rate_groups(info.rates))
    units.push_back({g.channels, std::vector<size_t>(g.channels.size(), 1)});
  return units;
}

Recording::Recording(Format format) : format_id_(format), format_(format_info(format).make()) {}

std::string Recording::open(const std::string &path, const RecordingInfo &info) {
  info_ = info;
  frames_.emplace(format_->layout(info));
  units_.assign(frames_->groups(), 0);
  std::vector<int> rates;
  for (size_t g = 0; g < frames_->groups(); ++g)
    rates.push_back(info.rates[size_t(frames_->layout(g).channels.front())]);
  files_.plan(path, format_id_, rates);
  if (std::string e = format_->open(files_, info_); !e.empty()) return e;
  if (files_.to_standard_output()) return {};
  return sidecar_.create(path, info_, format_info(format_id_).name, info_.replace_files,
                         format_->sidecar_extra());
}

std::string Recording::begin(std::chrono::system_clock::time_point start) {
  sidecar_.start(start);
  if (std::string e = format_->begin(start); !e.empty()) return e;
  return sidecar_.write(sidecar_files(), false);
}

std::string Recording::samples(int channel, const int32_t *codes, size_t n) {
  frames_->push(channel, codes, n);
  pushed_[size_t(channel)] += n;
  return flush(frames_->group_of(channel));
}

std::string Recording::gap(const qx470reader::Gap &g) {
  sidecar_.gap(g);
  frames_->push_fill(g.channel, g.count);
  pushed_[size_t(g.channel)] += g.count;
  if (std::string e = format_->gap(g); !e.empty()) return e;
  return flush(frames_->group_of(g.channel));
}

std::string Recording::event(const Event &e) {
  sidecar_.event(e);
  return e.refused.empty() ? format_->event(e) : std::string();
}

std::string Recording::sync() {
  if (std::string e = format_->sync(); !e.empty()) return e;
  if (std::string e = files_.sync(); !e.empty()) return e;
  return sidecar_.write(sidecar_files(), false);
}

std::string Recording::finish() {
  if (finished_) return {};
  finished_ = true;
  std::string err;
  if (!failed_) {
    // What is left: the units that filled, then the last one padded out.
    finishing_ = true;
    for (size_t g = 0; g < frames_->groups() && err.empty(); ++g) err = flush(g);
    if (err.empty()) err = format_->ending(pushed_, frames_->pad_to_whole_units());
    for (size_t g = 0; g < frames_->groups() && err.empty(); ++g) err = flush(g);
  }
  const std::string format_err = format_->finish(failed_);
  if (err.empty()) err = format_err;
  const std::string close_err = files_.close();
  if (err.empty()) err = close_err;
  // The sidecar says what the files hold, and whether that is the whole recording.
  const std::string side = sidecar_.write(sidecar_files(), !failed_ && err.empty(), true);
  return err.empty() ? side : err;
}

std::string Recording::flush(size_t g) {
  if (failed_) return {};
  uint64_t ready = frames_->ready(g);
  if (!finishing_) ready -= std::min(ready, format_->held_back(g));
  const UnitLayout &layout = frames_->layout(g);
  const size_t largest = *std::max_element(layout.per_unit.begin(), layout.per_unit.end());
  // A bounded piece at a time: 64 k rows, or one EDF+ record.
  const uint64_t most = std::max<uint64_t>(1, 65536 / largest);
  while (ready > 0) {
    const size_t units = static_cast<size_t>(std::min(ready, most));
    frames_->take(g, units, values_, lost_);
    if (std::string e = format_->write(g, values_.data(), lost_.data(), units); !e.empty()) {
      failed_ = true;
      return e;
    }
    units_[g] += units;
    ready -= units;
  }
  return {};
}

std::array<uint64_t, 4> Recording::samples_in_files() const {
  std::array<uint64_t, 4> n{};
  for (size_t g = 0; g < frames_->groups(); ++g) {
    const UnitLayout &layout = frames_->layout(g);
    const uint64_t units = format_->units_in_file(g, units_[g]);
    for (size_t k = 0; k < layout.channels.size(); ++k)
      n[size_t(layout.channels[k])] = units * layout.per_unit[k];
  }
  return n;
}

std::vector<std::string> Recording::paths() const {
  std::vector<std::string> p;
  for (size_t g = 0; g < files_.count(); ++g) p.push_back(files_.name(g));
  if (sidecar_.created()) p.push_back(sidecar_.path());
  return p;
}

// Each rate's samples, in the file of the group that holds them.
std::vector<SidecarFile> Recording::sidecar_files() const {
  const std::array<uint64_t, 4> in_files = samples_in_files();
  std::vector<SidecarFile> files;
  for (const RateGroup &r : rate_groups(info_.rates)) {
    const size_t g = frames_->group_of(r.channels.front());
    uint64_t samples = in_files[size_t(r.channels.front())];
    for (int c : r.channels) samples = std::min({samples, in_files[size_t(c)], pushed_[size_t(c)]});
    // Formats of one file hold every group in it.
    files.push_back({files_.name(std::min(g, files_.count() - 1)), r.rate, r.channels,
                     in_files[size_t(r.channels.front())], samples});
  }
  return files;
}

}  // namespace qx470rec
