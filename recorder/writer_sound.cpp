#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include "format_writer.h"

namespace qx470rec {

namespace {

// FLAC's STREAMINFO block follows "fLaC" and its 4-byte block header; within it, 10 bytes of
// block and frame sizes, then 64 bits: rate (20), channels - 1 (3), bits - 1 (5) and the total
// samples per channel (36).
constexpr off_t kStreamInfo = 8;
constexpr off_t kMaxBlockSize = kStreamInfo + 2;
constexpr off_t kTotalSamples = kStreamInfo + 10;

// The samples per channel in whole blocks of what went to the encoder: it writes a block out
// only once it has the next sample too. Read from STREAMINFO's block size; 0 before it exists.
uint64_t whole_blocks(int fd, uint64_t frames) {
  unsigned char b[2];
  if (::pread(fd, b, 2, kMaxBlockSize) != 2) return 0;
  const uint64_t block = uint64_t(b[0]) << 8 | b[1];
  return block && frames > 0 ? (frames - 1) / block * block : 0;
}

// libsndfile writes FLAC's length only when it closes the file: until then readers that trust
// the header (soundfile.read) take the stream as endless. The count is kept current instead,
// as the WAV header is, so a file cut by a crash reads to there.
void set_flac_length(int fd, uint64_t frames) {
  unsigned char b[8];
  if (::pread(fd, b, 8, kTotalSamples) != 8) return;
  uint64_t v = 0;
  for (unsigned char x : b) v = v << 8 | x;
  v = (v & ~((uint64_t(1) << 36) - 1)) | (frames & ((uint64_t(1) << 36) - 1));
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<unsigned char>(v & 0xFF);
  (void)::pwrite(fd, b, 8, kTotalSamples);
}

// FLAC and WAV (RF64 past 4 GiB) through libsndfile: one rate, all channels in one file. The
// header's length is brought up to date at every sync, so a file cut short by a crash reads to
// there in every reader.
class SoundWriter : public FormatWriter {
 public:
  explicit SoundWriter(Format format) : format_(format) {}
  ~SoundWriter() override {
    if (file_) sf_close(file_);
  }
  std::string open(OutputFiles &files, const RecordingInfo &info) override {
    files_ = &files;
    info_ = info;
    group_ = rate_groups(info.rates).front();
    if (std::string e = files.create(info.replace_files); !e.empty()) return e;
    SF_INFO sfi{};
    sfi.samplerate = group_.rate * 1000;
    sfi.channels = static_cast<int>(group_.channels.size());
    sfi.format = format_ == Format::kFlac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_16)
                                          : (SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    // The descriptor stays the file's: it holds the recording's lock until the end.
    file_ = sf_open_fd(fd(), SFM_WRITE, &sfi, SF_FALSE);
    if (!file_) return "cannot create '" + files.name(0) + "': " + sf_strerror(nullptr);
    // Plain WAV while it fits, RF64 once it passes 4 GiB.
    if (format_ == Format::kWav) sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    return {};
  }
  // The strings go in before the first sample, as every container libsndfile writes allows.
  std::string begin(std::chrono::system_clock::time_point start) override {
    std::string labels;
    for (int c : group_.channels) {
      if (!labels.empty()) labels += ' ';
      labels += info_.label(c);
    }
    const std::string comment =
        info_.equipment() + " " + labels + ", start " + iso8601(start) +
        "; samples are counts (code - 32768), " + info_.volts_per_count_text() +
        " V per count (calibration " + std::to_string(info_.calibration) +
        " nV per count); lost samples are 0; bridge: " + qx470reader::describe(info_.bridge) +
        (info_.serial.empty() ? "" : "; serial " + info_.serial) +
        (info_.meta.empty() ? "" : "; " + info_.meta_text());
    sf_set_string(file_, SF_STR_COMMENT, comment.c_str());
    if (!info_.subject.empty()) sf_set_string(file_, SF_STR_TITLE, info_.subject.c_str());
    sf_set_string(file_, SF_STR_SOFTWARE, "qx470-record");
    return {};
  }
  std::string write(size_t, const int16_t *values, const uint8_t *, size_t frames) override {
    const sf_count_t n = static_cast<sf_count_t>(frames);
    if (sf_writef_short(file_, values, n) != n)
      return "cannot write to '" + files_->name(0) + "': " + sf_strerror(file_);
    frames_ += frames;
    bytes_ += frames * group_.channels.size() * 2;
    return {};
  }
  std::string sync() override {
    if (format_ == Format::kWav) sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    if (format_ == Format::kFlac) set_flac_length(fd(), length_ = whole_blocks(fd(), frames_));
    return {};
  }
  std::string finish(bool failed) override {
    if (!file_) return {};
    // After a failed write the file ends with the last frame written whole, and the header
    // that libsndfile writes on closing says so.
    if (failed && format_ == Format::kWav) {
      sf_count_t frames = static_cast<sf_count_t>(frames_);
      sf_command(file_, SFC_FILE_TRUNCATE, &frames, sizeof frames);
    }
    sf_write_sync(file_);
    const bool closed = sf_close(file_) == 0;
    file_ = nullptr;
    // The FLAC encoder holds frames until it has a block: what reached the file is what a
    // decoder gets from it, so the header, the sidecar and the summary count that.
    if (failed && format_ == Format::kFlac) {
      frames_ = decodable_frames();
      set_flac_length(fd(), frames_);
    }
    return closed ? std::string() : "cannot finish '" + files_->name(0) + "'";
  }
  // FLAC's header names what is in the file until it is closed.
  uint64_t units_in_file(size_t, uint64_t) const override {
    return format_ == Format::kFlac && file_ ? length_ : frames_;
  }

 private:
  int fd() const { return files_->file(0).fd(); }
  uint64_t decodable_frames() const {
    SF_INFO info{};
    SNDFILE *f = sf_open(files_->name(0).c_str(), SFM_READ, &info);
    if (!f) return 0;
    std::vector<short> buf(4096 * static_cast<size_t>(info.channels));
    uint64_t n = 0;
    for (sf_count_t got; (got = sf_readf_short(f, buf.data(), 4096)) > 0;) n += uint64_t(got);
    sf_close(f);
    return n;
  }

  Format format_;
  OutputFiles *files_ = nullptr;
  RecordingInfo info_;
  RateGroup group_;
  SNDFILE *file_ = nullptr;
  uint64_t frames_ = 0;  // given to libsndfile whole
  uint64_t length_ = 0;  // as the FLAC header says while recording
};

}  // namespace

std::unique_ptr<FormatWriter> make_flac_writer() {
  return std::make_unique<SoundWriter>(Format::kFlac);
}

std::unique_ptr<FormatWriter> make_wav_writer() {
  return std::make_unique<SoundWriter>(Format::kWav);
}

}  // namespace qx470rec
