#include "writer.h"

#include <sndfile.h>

namespace qx470rec {

using qx470reader::Gap;

namespace {

// FLAC and WAV (RF64 past 4 GiB) through libsndfile: one rate, all channels in one file.
class SoundWriter : public GroupedWriter {
 public:
  explicit SoundWriter(Format format) : format_(format) {}
  ~SoundWriter() override {
    if (file_) sf_close(file_);
  }
  // The strings go in before the first sample, as every container libsndfile writes allows.
  std::string begin(std::chrono::system_clock::time_point start) override {
    std::string labels;
    for (int c : groups_[0].channels) labels += (labels.empty() ? "" : " ") + info_.label(c);
    const std::string comment =
        info_.equipment() + " " + labels + ", start " + iso8601(start) +
        "; samples are counts (code - 32768), " + info_.volts_per_count_text() +
        " V per count (calibration " + std::to_string(info_.calibration) +
        " nV per count); lost samples are 0; bridge: " + qx470reader::describe(info_.bridge);
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

std::unique_ptr<Writer> make_sound_writer(Format format) {
  return std::make_unique<SoundWriter>(format);
}

}  // namespace qx470rec
