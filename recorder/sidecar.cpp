#include "sidecar.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "output_files.h"

namespace qx470rec {

namespace {

std::string base_name(const std::string &p) {
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Writes all of `text` to a new file `path` and makes it durable. Empty string or the message.
std::string write_new(const std::string &path, const std::string &text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return io_error("create", path);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string e = io_error("write to", path);
      ::close(fd);
      return e;
    }
    done += static_cast<size_t>(n);
  }
  if (::fdatasync(fd) != 0 || ::close(fd) != 0) return io_error("finish", path);
  return {};
}

}  // namespace

Sidecar::Sidecar() = default;
Sidecar::~Sidecar() = default;

std::string Sidecar::path_for(const std::string &data_path) {
  return split_extension(data_path).stem + ".json";
}

std::string Sidecar::journal_for(const std::string &data_path) {
  return split_extension(data_path).stem + ".events.jsonl";
}

std::string Sidecar::create(const std::string &data_path, const RecordingInfo &info,
                            const char *format, bool replace, nlohmann::ordered_json extra) {
  const std::string path = path_for(data_path);
  // Replaced by the first write's rename; whether another recording holds it was asked before
  // this recording made its own data files, which a check now would find locked.
  if (!replace) {
    int fd = -1;
    if (std::string e = create_output(path, false, fd); !e.empty()) return e;
    ::close(fd);
  }
  // The journal keeps its inode for the whole recording, and with it the lock that tells
  // another recorder that this sidecar is in use.
  journal_ = std::make_unique<OutputFile>();
  if (std::string e = journal_->create(journal_for(data_path), replace); !e.empty()) return e;
  path_ = path;
  head_ = nlohmann::ordered_json::object();
  head_["device"] = info.equipment();
  head_["bridge"] = {{"kind", qx470reader::bridge_kind_words(info.bridge.kind)},
                     {"file", info.bridge.file}};
  head_["serial"] = info.serial;
  if (!info.subject.empty()) head_["subject"] = info.subject;
  nlohmann::ordered_json names = nlohmann::ordered_json::object();
  for (int c = 0; c < 4; ++c)
    if (info.rates[size_t(c)] > 0) names["Ch" + std::to_string(c + 1)] = info.label(c);
  head_["names"] = names;
  if (!info.meta.empty()) {
    nlohmann::ordered_json meta = nlohmann::ordered_json::object();
    for (const auto &[key, value] : info.meta) meta[key] = value;
    head_["meta"] = meta;
  }
  head_["format"] = format;
  for (auto &[key, value] : extra.items()) head_[key] = value;
  rates_ = info.rates;
  head_["journal"] = base_name(journal_->name());
  head_["calibration_nv_per_count"] = info.calibration;
  head_["volts_per_count"] = info.volts_per_count();
  return write({}, false);
}

namespace {

std::string label(int channel) {
  return "Ch" + std::to_string(channel + 1);
}

// UTC ISO 8601 to the microsecond.
std::string utc_text(double seconds) {
  const auto us = static_cast<long long>(std::llround(seconds * 1e6));
  const std::time_t secs = static_cast<std::time_t>(us / 1000000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, us % 1000000);
  return buf;
}

}  // namespace

void Sidecar::gap(const qx470reader::Gap &g) {
  gaps_.push_back(g);
  if (!journal_) return;
  nlohmann::ordered_json line = {{"type", "gap"},
                                 {"channel", label(g.channel)},
                                 {"kind", qx470reader::gap_kind_word(g.kind)},
                                 {"index", g.index},
                                 {"count", g.count}};
  pending_ += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void Sidecar::event(const Event &e) {
  nlohmann::ordered_json line;
  if (!e.refused.empty()) {
    ++refused_;
    line = {{"type", "refused"}, {"text", e.text}, {"why", e.refused}};
  } else {
    ++events_;
    nlohmann::ordered_json index = nlohmann::ordered_json::object();
    for (int c = 0; c < 4; ++c)
      if (rates_[size_t(c)] > 0) index[label(c)] = e.index[size_t(c)];
    line = {{"type", "event"},
            {"text", e.text},
            {"utc", utc_text(e.utc_time)},
            {"steady", e.steady},
            {"index", index}};
  }
  if (journal_)
    pending_ += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void Sidecar::clock(const qx470reader::ClockMap &map) {
  const int ref = map.reference();
  nlohmann::ordered_json pairs = nlohmann::ordered_json::array();
  for (const qx470reader::ClockPair &p : map.pairs()) pairs.push_back({p.index, p.steady, p.utc});
  nlohmann::ordered_json segments = nlohmann::ordered_json::array();
  for (const qx470reader::ClockSegment &s : map.segments()) {
    nlohmann::ordered_json first = nlohmann::ordered_json::object();
    for (int c = 0; c < 4; ++c)
      if (rates_[size_t(c)] > 0) first[label(c)] = s.first[size_t(c)];
    const double measured = s.seconds_per_sample > 0 ? 1.0 / s.seconds_per_sample : 0;
    segments.push_back(
        {{"stream", s.stream},
         {"first", first},
         {"utc_of_first", utc_text(s.steady0 + s.utc_minus_steady)},
         {"steady_of_first", s.steady0},
         {"rate", measured},
         {"ppm", map.nominal_rate() > 0 ? (measured / map.nominal_rate() - 1.0) * 1e6 : 0.0},
         {"residual_s", s.residual},
         {"notes", s.notes}});
    if (s.clock_step != 0) segments.back()["clock_step_s"] = s.clock_step;
  }
  clock_ = {{"reference", label(ref)},
            {"nominal_rate", map.nominal_rate()},
            {"pairs_are", "[index of the reference channel, steady s, utc s]"},
            {"pairs", pairs},
            {"segments", segments}};
}

void Sidecar::start(std::chrono::system_clock::time_point t) {
  start_ = iso8601(t);
}

std::string Sidecar::flush_journal() {
  if (!journal_ || pending_.empty()) return {};
  const std::string e = journal_->write(pending_.data(), pending_.size());
  pending_.clear();
  return e;
}

std::string Sidecar::write(const std::vector<SidecarFile> &files, bool complete, bool last) {
  if (path_.empty()) return {};
  // The journal first, and to the disk: it holds what the sidecar no longer does.
  if (std::string e = flush_journal(); !e.empty()) return e;
  if (std::string e = journal_->sync(); !e.empty()) return e;
  if (last)
    if (std::string e = journal_->close(); !e.empty()) return e;
  const double now = steady_now();
  if (!last && now - last_write_ < std::max(1.0, double(last_size_) / 200e3) - 0.05) return {};
  last_write_ = now;
  nlohmann::ordered_json doc = head_;
  if (!start_.empty()) doc["start"] = start_;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const SidecarFile &f : files) {
    nlohmann::ordered_json channels = nlohmann::ordered_json::array();
    for (int c : f.channels) channels.push_back("Ch" + std::to_string(c + 1));
    // Paths relative to this file's folder, where the data files are.
    list.push_back({{"file", base_name(f.file)},
                    {"rate", f.rate_ks * 1000},
                    {"channels", channels},
                    {"frames", f.frames},
                    {"samples", f.samples}});
  }
  doc["files"] = list;
  nlohmann::ordered_json gaps = nlohmann::ordered_json::array();
  for (const qx470reader::Gap &g : gaps_)
    gaps.push_back({{"channel", "Ch" + std::to_string(g.channel + 1)},
                    {"kind", qx470reader::gap_kind_word(g.kind)},
                    {"index", g.index},
                    {"count", g.count}});
  doc["gaps"] = gaps;
  doc["events"] = events_;
  doc["events_refused"] = refused_;
  doc["events_dropped"] = dropped_;
  if (!clock_.is_null()) doc["clock"] = clock_;
  doc["complete"] = complete;
  // Any byte a path or a name holds must not break the file: invalid UTF-8 is replaced.
  const std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  last_size_ = text.size();
  const std::string next = path_ + ".new";
  if (write_new(next, text).empty() && std::rename(next.c_str(), path_.c_str()) == 0) return {};
  ::unlink(next.c_str());
  // A folder that turned read-only takes no new file, but the sidecar can still be written in
  // place: it must not fall behind the data, which still goes in.
  return write_new(path_, text);
}

}  // namespace qx470rec
