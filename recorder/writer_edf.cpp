#include "writer.h"

#include <edflib.h>

#include <algorithm>
#include <ctime>

namespace qx470rec {

using qx470reader::Gap;

namespace {

// EDF+ through libedf.
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

}  // namespace

std::unique_ptr<Writer> make_edf_writer() {
  return std::make_unique<EdfWriter>();
}

}  // namespace qx470rec
