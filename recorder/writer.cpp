#include "writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace qx470rec {

using qx470reader::Gap;
using qx470reader::GapKind;

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
  const PathParts parts = split_extension(path);
  return parts.stem + "_" + std::to_string(rate_ks) + "kSps" + parts.extension;
}

std::vector<std::string> planned_files(const std::string &path, Format format,
                                       const std::array<int, 4> &rates) {
  if (path == "-") return {};
  std::vector<std::string> files;
  RecordingInfo info;
  info.rates = rates;
  const std::vector<RateGroup> groups = rate_groups(info);
  if (format_info(format).one_file || groups.size() == 1)
    files.push_back(path);
  else
    for (const RateGroup &g : groups) files.push_back(path_for_rate(path, g.rate));
  files.push_back(Sidecar::path_for(path));
  files.push_back(Sidecar::journal_for(path));
  return files;
}

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

std::string write_all(std::FILE *f, const void *data, size_t n, const std::string &path) {
  if (n && std::fwrite(data, 1, n, f) != n) return io_error("write to", path);
  return {};
}

// ---- OutputFile ----

OutputFile::~OutputFile() {
  close();
}

std::string OutputFile::create(const std::string &path, bool replace) {
  name_ = path;
  return create_output(path, replace, fd_);
}

void OutputFile::use_standard_output() {
  fd_ = STDOUT_FILENO;
  standard_output_ = true;
  name_ = "standard output";
}

std::string OutputFile::write(const void *data, size_t n) {
  const auto *p = static_cast<const char *>(data);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd_, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EPIPE) closed_by_reader_ = true;
    const std::string e = w == 0 ? "cannot write to '" + name_ + "'" : io_error("write to", name_);
    // A piece written in part is no piece: the file ends where the last whole one did.
    if (!standard_output_) (void)::ftruncate(fd_, static_cast<off_t>(whole_));
    return e;
  }
  whole_ += n;
  return {};
}

std::string OutputFile::sync() {
  if (fd_ < 0 || standard_output_) return {};
  if (std::string e = still_named(fd_, name_); !e.empty()) return e;
  return ::fdatasync(fd_) == 0 ? std::string() : io_error("write to", name_);
}

std::string OutputFile::close() {
  if (fd_ < 0) return {};
  const int fd = fd_;
  fd_ = -1;
  if (standard_output_) return {};
  return ::close(fd) == 0 ? std::string() : io_error("finish", name_);
}

// ---- GroupedWriter ----

std::string GroupedWriter::open(const std::string &path, const RecordingInfo &info) {
  path_ = path;
  info_ = info;
  groups_ = rate_groups(info);
  for (size_t g = 0; g < groups_.size(); ++g)
    for (int c : groups_[g].channels) group_of_[size_t(c)] = g;
  queues_.resize(4);
  frames_done_.assign(groups_.size(), 0);
  if (std::string e = open_groups(); !e.empty()) return e;
  if (path_ == "-") return {};
  return sidecar_.create(path_, info_, format_info(format()).name, info_.replace_files,
                         sidecar_extra());
}

std::string GroupedWriter::begin(std::chrono::system_clock::time_point start) {
  sidecar_.start(start);
  if (std::string e = write_head(start); !e.empty()) return e;
  return sidecar_.write(sidecar_files(), false);
}

std::string GroupedWriter::samples(int channel, const int32_t *codes, size_t n) {
  queues_[size_t(channel)].push(codes, n);
  return flush(group_of_[size_t(channel)]);
}

std::string GroupedWriter::gap(const Gap &g) {
  sidecar_.gap(g);
  queues_[size_t(g.channel)].push_fill(g.count);
  if (auto e = on_gap(g); !e.empty()) return e;
  return flush(group_of_[size_t(g.channel)]);
}

std::string GroupedWriter::event(const Event &e) {
  sidecar_.event(e);
  return e.refused.empty() ? on_event(e) : std::string();
}

std::string GroupedWriter::sync() {
  if (std::string e = sync_files(); !e.empty()) return e;
  return sidecar_.write(sidecar_files(), false);
}

std::string GroupedWriter::finish() {
  std::string err = failed_ ? std::string() : flush_rest();
  const std::string close_err = close_files(failed_);
  if (err.empty()) err = close_err;
  // The sidecar says what the files hold, and whether that is the whole recording.
  const std::string side = sidecar_.write(sidecar_files(), !failed_ && err.empty(), true);
  return err.empty() ? side : err;
}

std::vector<std::string> GroupedWriter::paths() const {
  std::vector<std::string> p;
  for (size_t g = 0; g < groups_.size(); ++g)
    p.push_back(path_ == "-" ? "standard output" : file_for(g));
  if (sidecar_.created()) p.push_back(sidecar_.path());
  return p;
}

std::array<uint64_t, 4> GroupedWriter::samples_in_files() const {
  std::array<uint64_t, 4> n{};
  for (size_t g = 0; g < groups_.size(); ++g)
    for (int c : groups_[g].channels) n[size_t(c)] = frames_done_[g];
  return n;
}

std::vector<SidecarFile> GroupedWriter::sidecar_files() const {
  std::vector<SidecarFile> files;
  for (size_t g = 0; g < groups_.size(); ++g)
    files.push_back({file_for(g), groups_[g].rate, groups_[g].channels, frames_readable(g)});
  return files;
}

std::string GroupedWriter::file_for(size_t g) const {
  return groups_.size() == 1 || format_info(format()).one_file
             ? path_
             : path_for_rate(path_, groups_[g].rate);
}

std::string GroupedWriter::flush(size_t g) {
  if (failed_) return {};
  const auto &chs = groups_[g].channels;
  uint64_t ready = queues_[size_t(chs[0])].size();
  for (int c : chs) ready = std::min(ready, queues_[size_t(c)].size());
  if (!finishing_) ready -= std::min(ready, held_back(g));
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
    if (auto e = write_frames(g, frame_.data(), lost_.data(), frames); !e.empty()) {
      failed_ = true;
      return e;
    }
    frames_done_[g] += frames;
    ready -= frames;
  }
  return {};
}

std::string GroupedWriter::flush_rest() {
  finishing_ = true;
  for (size_t g = 0; g < groups_.size(); ++g) {
    uint64_t most = 0;
    for (int c : groups_[g].channels) most = std::max(most, queues_[size_t(c)].size());
    for (int c : groups_[g].channels)
      queues_[size_t(c)].push_fill(most - queues_[size_t(c)].size());
    if (auto e = flush(g); !e.empty()) return e;
  }
  return {};
}

// ---- OutputFilesWriter ----

bool OutputFilesWriter::output_closed() const {
  for (const auto &f : files_)
    if (f->closed_by_reader()) return true;
  return false;
}

std::string OutputFilesWriter::open_groups() {
  for (size_t g = 0; g < groups_.size(); ++g) {
    files_.push_back(std::make_unique<OutputFile>());
    if (path_ == "-") {
      files_.back()->use_standard_output();
    } else if (std::string e = files_.back()->create(file_for(g), info_.replace_files);
               !e.empty()) {
      return e;
    }
  }
  return {};
}

std::string OutputFilesWriter::write_to(size_t g, const void *data, size_t n) {
  if (std::string e = files_[g]->write(data, n); !e.empty()) return e;
  bytes_ += n;
  return {};
}

std::string OutputFilesWriter::sync_files() {
  for (const auto &f : files_)
    if (std::string e = f->sync(); !e.empty()) return e;
  return {};
}

std::string OutputFilesWriter::close_files(bool) {
  std::string err;
  for (const auto &f : files_)
    if (std::string e = f->close(); !e.empty() && err.empty()) err = e;
  return err;
}

std::unique_ptr<Writer> make_writer(Format format) {
  return format_info(format).make();
}

}  // namespace qx470rec
