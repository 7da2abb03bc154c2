#include <edflib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "writer.h"

namespace qx470rec {

using qx470reader::Gap;

namespace {

// A header field of EDF: ASCII at a fixed place, as a number.
long long header_number(int fd, off_t at, size_t width) {
  char text[32] = {};
  if (::pread(fd, text, width, at) != static_cast<ssize_t>(width)) return -1;
  return std::atoll(text);
}

// A loss as one annotation: the time it covers (in libedf's units of 100 us, rounded outwards so
// that it covers every lost sample) and each channel's count.
struct Loss {
  qx470reader::GapKind kind;
  long long start = 0, end = 0;
  std::vector<std::pair<int, uint64_t>> counts;  // channel, samples
};

// EDF+ through libedf. The header's record count is kept current as records are written, so a
// file cut short by a crash reads to its last whole record; libedf writes the annotations when
// the file is closed, so after a crash the losses are in the sidecar only.
class EdfWriter : public Writer {
 public:
  ~EdfWriter() override {
    if (handle_ >= 0) edfclose_file(handle_);
    if (fd_ >= 0) ::close(fd_);
  }
  std::string open(const std::string &path, const RecordingInfo &info) override {
    path_ = path;
    info_ = info;
    for (int c = 0; c < 4; ++c)
      if (info.rates[static_cast<size_t>(c)] > 0) channels_.push_back(c);
    // Made here, exclusively, then opened again by libedf.
    if (std::string e = create_output(path, info.replace_files, fd_); !e.empty()) return e;
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
    // The recording field's room after the start date and the equipment: the short form fits.
    const std::string cal = std::to_string(info.calibration) + " nV per count";
    ok = ok && edf_set_recording_additional(handle_, cal.c_str()) == 0;
    ok = ok && edf_set_number_of_annotation_signals(handle_, signals()) == 0;
    if (!ok) return "cannot set up the EDF+ header of '" + path + "'";
    queues_.resize(channels_.size());
    return sidecar_.create(path, info, "EDF+", info.replace_files);
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
    sidecar_.start(start);
    return sidecar_.write(sidecar_files(), false);
  }
  std::string samples(int channel, const int32_t *codes, size_t n) override {
    queue(channel).push(codes, n);
    return flush();
  }
  std::string gap(const Gap &g) override {
    sidecar_.gap(g);
    note_loss(g);
    queue(g.channel).push_fill(g.count);
    return flush();
  }
  // An annotation at its sample of the first channel (libedf keeps 40 bytes of the text). libedf
  // holds every annotation until the file closes and writes only what the records have room
  // for: past that room (as far as the recording has gone) an event is in the journal alone,
  // so a flood of events cannot grow the memory.
  std::string event(const Event &e) override {
    sidecar_.event(e);
    if (!e.refused.empty()) return {};
    const int c = channels_.front();
    const long long onset =
        static_cast<long long>(e.index[size_t(c)]) * 10000 / (info_.rates[size_t(c)] * 1000LL);
    if (++annotations_ > (records_ + 2) * uint64_t(signals())) return {};
    if (edfwrite_annotation_utf8(handle_, onset, -1, event_text(e.text, kAnnotationText).c_str()) !=
        0)
      return "cannot write an annotation to '" + path_ + "'";
    return {};
  }
  void clock(const qx470reader::ClockMap &map) override { sidecar_.clock(map); }
  void dropped_events(uint64_t n) override { sidecar_.dropped_events(n); }
  std::string sync() override {
    if (std::string e = still_named(fd_, path_); !e.empty()) return e;
    if (fd_ >= 0 && ::fdatasync(fd_) != 0) return io_error("write to", path_);
    return sidecar_.write(sidecar_files(), false);
  }
  std::string finish() override {
    if (handle_ < 0) return {};
    std::string err = failed_ ? std::string() : pad_last_record();
    err = write_losses(err);
    if (edfclose_file(handle_) != 0 && err.empty()) err = io_error("finish", path_);
    handle_ = -1;
    if (std::string e = seal(); !e.empty() && err.empty()) err = e;
    const std::string side = sidecar_.write(sidecar_files(), !failed_ && err.empty(), true);
    return err.empty() ? side : err;
  }
  uint64_t bytes() const override { return bytes_; }
  std::string warning() const override { return warning_; }
  std::array<uint64_t, 4> samples_in_files() const override {
    std::array<uint64_t, 4> n{};
    for (int c : channels_)
      n[size_t(c)] = records_ * static_cast<uint64_t>(info_.rates[size_t(c)]) * 1000;
    return n;
  }
  std::vector<std::string> paths() const override {
    if (!sidecar_.created()) return {path_};
    return {path_, sidecar_.path()};
  }

 private:
  // Each annotation signal holds one annotation a record (a second): 8 for the gaps, 64 (libedf's
  // most) when events come.
  int signals() const { return info_.events ? 64 : 8; }
  static constexpr size_t kAnnotationText = 40;  // what libedf keeps of an annotation's text

  // EDF holds whole 1-second records: the last one is padded with mid-scale, and an annotation
  // says where the recording really ends.
  std::string pad_last_record() {
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
      return flush();
    }
    return {};
  }

  // A loss on one channel joins the loss of the same kind whose time it overlaps: one event of
  // the stream is one annotation, whatever channels it took samples from.
  void note_loss(const Gap &g) {
    const long long per_second = info_.rates[size_t(g.channel)] * 1000LL;
    const auto idx = static_cast<long long>(g.index), cnt = static_cast<long long>(g.count);
    const long long start = idx * 10000 / per_second;
    const long long end = ((idx + cnt) * 10000 + per_second - 1) / per_second;
    for (Loss &l : losses_)
      if (l.kind == g.kind && start <= l.end && l.start <= end) {
        l.start = std::min(l.start, start);
        l.end = std::max(l.end, end);
        l.counts.push_back({g.channel, g.count});
        return;
      }
    losses_.push_back({g.kind, start, end, {{g.channel, g.count}}});
  }

  // Each loss as one annotation. Lost samples are "BAD_ACQ_SKIP", the name MNE gives acquisition
  // skips and leaves out of the data by default; a restart that lost nothing is only noted.
  std::string write_losses(std::string err) {
    for (const Loss &l : losses_) {
      uint64_t total = 0;
      for (const auto &[c, n] : l.counts) total += n;
      std::string chans, counts;
      for (const auto &[c, n] : l.counts) {
        chans += (chans.empty() ? "Ch" : ",") + std::to_string(c + 1);
        counts += " Ch" + std::to_string(c + 1) + " " + std::to_string(n);
      }
      std::string text;
      if (total == 0) {
        text = chans + " " + qx470reader::gap_kind_word(l.kind);
      } else {
        text = "BAD_ACQ_SKIP" + counts;
        // The counts where they fit; the sidecar has every one.
        if (text.size() > kAnnotationText) text = "BAD_ACQ_SKIP " + chans;
      }
      ++annotations_;
      if (edfwrite_annotation_utf8(handle_, l.start, total ? l.end - l.start : -1, text.c_str()) !=
              0 &&
          err.empty())
        err = "cannot write an annotation to '" + path_ + "'";
    }
    const uint64_t room = (records_ ? records_ : 1) * uint64_t(signals());
    if (annotations_ > room)
      warning_ = "'" + path_ + "' has room for " + std::to_string(room) + " annotations, " +
                 std::to_string(annotations_) + " came: the journal '" +
                 Sidecar::journal_for(path_) + "' lists every gap and event";
    return err;
  }

  // Keeps the header's record count at the whole records in the file: every reader then takes
  // the file as it is on disk. libedf's own buffer is flushed first, so that the count never
  // names a record whose bytes are not in the file.
  void count_records() {
    std::fflush(nullptr);
    write_count();
  }
  void write_count() {
    // Eight characters hold every count a recording reaches (99,999,999 s is three years).
    char text[24];
    std::snprintf(text, sizeof text, "%-8llu", static_cast<unsigned long long>(records_));
    (void)::pwrite(fd_, text, 8, 236);
  }

  // After the close (or a failed write): the file ends with its last whole record, and its
  // header counts those.
  std::string seal() {
    if (fd_ < 0) return {};
    const long long header = header_number(fd_, 184, 8);
    const long long signals = header_number(fd_, 252, 4);
    long long record = 0;
    for (long long s = 0; s < signals; ++s)
      record += 2 * header_number(fd_, static_cast<off_t>(256 + signals * 216 + s * 8), 8);
    std::string err;
    struct stat st {};
    if (header > 0 && record > 0 && ::fstat(fd_, &st) == 0 && st.st_size >= header) {
      const long long whole = (st.st_size - header) / record;
      if (st.st_size != header + whole * record &&
          ::ftruncate(fd_, static_cast<off_t>(header + whole * record)) != 0)
        err = io_error("cut back", path_);
      records_ = static_cast<uint64_t>(whole);
      write_count();
    }
    if (::close(fd_) != 0 && err.empty()) err = io_error("finish", path_);
    fd_ = -1;
    return err;
  }

  std::vector<SidecarFile> sidecar_files() const {
    std::vector<SidecarFile> files;
    for (const RateGroup &g : rate_groups(info_))
      files.push_back({path_, g.rate, g.channels, records_ * static_cast<uint64_t>(g.rate) * 1000});
    return files;
  }

  ChannelQueue &queue(int channel) {
    const auto it = std::find(channels_.begin(), channels_.end(), channel);
    return queues_[static_cast<size_t>(it - channels_.begin())];
  }
  // Writes every data record that all signals have samples for.
  std::string flush() {
    if (failed_) return {};
    for (;;) {
      for (size_t s = 0; s < channels_.size(); ++s)
        if (queues_[s].size() < static_cast<uint64_t>(info_.rates[size_t(channels_[s])]) * 1000)
          return {};
      for (size_t s = 0; s < channels_.size(); ++s) {
        const size_t n = static_cast<size_t>(info_.rates[size_t(channels_[s])]) * 1000;
        record_.resize(n);
        queues_[s].pop(record_.data(), n, 0);
        if (edfwrite_digital_short_samples(handle_, record_.data()) != 0) {
          failed_ = true;
          return io_error("write to", path_);
        }
        written_[s] += n;
        bytes_ += 2 * n;
      }
      ++records_;
      count_records();
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
  int fd_ = -1;  // the file, for the record count and syncs
  std::string warning_;
  bool failed_ = false;
  std::vector<Loss> losses_;
  Sidecar sidecar_;
};

}  // namespace

std::unique_ptr<Writer> make_edf_writer() {
  return std::make_unique<EdfWriter>();
}

}  // namespace qx470rec
