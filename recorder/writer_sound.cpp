#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include "writer.h"

namespace qx470rec {

namespace {

// FLAC and WAV (RF64 past 4 GiB) through libsndfile: one rate, all channels in one file. The WAV
// header's sizes are brought up to date at every sync, so a file cut short by a crash reads to
// there in tools that trust them.
class SoundWriter : public GroupedWriter {
 public:
  explicit SoundWriter(Format format) : format_(format) {}
  ~SoundWriter() override {
    if (file_) sf_close(file_);
  }

 protected:
  Format format() const override { return format_; }
  std::string open_groups() override {
    if (std::string e = create_output(path_, info_.replace_files, fd_); !e.empty()) return e;
    SF_INFO sfi{};
    sfi.samplerate = groups_[0].rate * 1000;
    sfi.channels = static_cast<int>(groups_[0].channels.size());
    sfi.format = format_ == Format::kFlac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_16)
                                          : (SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    file_ = sf_open_fd(fd_, SFM_WRITE, &sfi, SF_TRUE);
    if (!file_) {
      ::close(fd_);
      fd_ = -1;
      return "cannot create '" + path_ + "': " + sf_strerror(nullptr);
    }
    // Plain WAV while it fits, RF64 once it passes 4 GiB.
    if (format_ == Format::kWav) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    return {};
  }
  // The strings go in before the first sample, as every container libsndfile writes allows.
  std::string write_head(std::chrono::system_clock::time_point start) override {
    std::string labels;
    for (int c : groups_[0].channels) {
      if (!labels.empty()) labels += ' ';
      labels += info_.label(c);
    }
    const std::string comment =
        info_.equipment() + " " + labels + ", start " + iso8601(start) +
        "; samples are counts (code - 32768), " + info_.volts_per_count_text() +
        " V per count (calibration " + std::to_string(info_.calibration) +
        " nV per count); lost samples are 0; bridge: " + qx470reader::describe(info_.bridge);
    sf_set_string(file_, SF_STR_COMMENT, comment.c_str());
    sf_set_string(file_, SF_STR_SOFTWARE, "qx470-record");
    return {};
  }
  std::string write_frames(size_t, const int16_t *values, const uint8_t *, size_t frames) override {
    const sf_count_t n = static_cast<sf_count_t>(frames);
    if (sf_writef_short(file_, values, n) != n)
      return "cannot write to '" + path_ + "': " + sf_strerror(file_);
    bytes_ += frames * groups_[0].channels.size() * 2;
    return {};
  }
  std::string sync_files() override {
    if (std::string e = still_named(fd_, path_); !e.empty()) return e;
    if (format_ == Format::kWav) sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (format_ == Format::kFlac)
      set_flac_length(fd_, flac_length_ = whole_blocks(fd_, frames_done_[0]));
    return ::fdatasync(fd_) == 0 ? std::string() : io_error("write to", path_);
  }
  std::string close_files(bool failed) override {
    if (!file_) return {};
    // After a failed write the file ends with the last frame written whole, and the header
    // that libsndfile writes on closing says so.
    if (failed && format_ == Format::kWav) {
      sf_count_t frames = static_cast<sf_count_t>(frames_done_[0]);
      sf_command(file_, SFC_FILE_TRUNCATE, &frames, sizeof frames);
    }
    sf_write_sync(file_);
    const bool closed = sf_close(file_) == 0;
    file_ = nullptr;
    fd_ = -1;
    // The FLAC encoder holds frames until it has a block: what reached the file is what a
    // decoder gets from it, so the sidecar and the summary count that.
    if (failed && format_ == Format::kFlac) {
      frames_done_[0] = decodable_frames();
      if (const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC); fd >= 0) {
        set_flac_length(fd, frames_done_[0]);
        ::close(fd);
      }
    }
    return closed ? std::string() : "cannot finish '" + path_ + "'";
  }

 private:
  // FLAC's STREAMINFO block follows "fLaC" and its 4-byte block header; within it, 10 bytes of
  // block and frame sizes, then 64 bits: rate (20), channels - 1 (3), bits - 1 (5) and the total
  // samples per channel (36).
  static constexpr off_t kStreamInfo = 8;
  static constexpr off_t kMaxBlockSize = kStreamInfo + 2;
  static constexpr off_t kTotalSamples = kStreamInfo + 10;

  // The samples per channel in whole blocks of what went to the encoder: it writes a block out
  // only once it has the next sample too. Read from STREAMINFO's block size; 0 before it exists.
  static uint64_t whole_blocks(int fd, uint64_t frames) {
    unsigned char b[2];
    if (::pread(fd, b, 2, kMaxBlockSize) != 2) return 0;
    const uint64_t block = uint64_t(b[0]) << 8 | b[1];
    return block && frames > 0 ? (frames - 1) / block * block : 0;
  }

  // libsndfile writes FLAC's length only when it closes the file: until then readers that trust
  // the header (soundfile.read) take the stream as endless. The count is kept current instead,
  // as the WAV header is, so a file cut by a crash reads to there.
  static void set_flac_length(int fd, uint64_t frames) {
    unsigned char b[8];
    if (::pread(fd, b, 8, kTotalSamples) != 8) return;
    uint64_t v = 0;
    for (unsigned char x : b) v = v << 8 | x;
    v = (v & ~((uint64_t(1) << 36) - 1)) | (frames & ((uint64_t(1) << 36) - 1));
    for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<unsigned char>(v & 0xFF);
    (void)::pwrite(fd, b, 8, kTotalSamples);
  }

  uint64_t decodable_frames() const {
    SF_INFO info{};
    SNDFILE *f = sf_open(path_.c_str(), SFM_READ, &info);
    if (!f) return 0;
    std::vector<short> buf(4096 * static_cast<size_t>(info.channels));
    uint64_t n = 0;
    for (sf_count_t got; (got = sf_readf_short(f, buf.data(), 4096)) > 0;) n += uint64_t(got);
    sf_close(f);
    return n;
  }

  // FLAC's header names what is in the file until it is closed.
  uint64_t frames_readable(size_t g) const override {
    return format_ == Format::kFlac && file_ ? flac_length_ : frames_done_[g];
  }

  Format format_;
  uint64_t flac_length_ = 0;  // as the header says while recording
  SNDFILE *file_ = nullptr;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<Writer> make_sound_writer(Format format) {
  return std::make_unique<SoundWriter>(format);
}

}  // namespace qx470rec
