#include "format_writer.h"

namespace qx470rec {

namespace {

// Raw int16 files, one per rate, with the sidecar that numpy's users read the layout from.
// Frames go out whole, so a file cut short by a crash ends with a whole frame.
class DatWriter : public FormatWriter {
 public:
  std::string open(OutputFiles &files, const RecordingInfo &info) override {
    files_ = &files;
    groups_ = rate_groups(info.rates);
    return files.create(info.replace_files);
  }
  nlohmann::ordered_json sidecar_extra() const override {
    return {{"dtype", "<i2"},
            {"values", "code - 32768, interleaved by channel in each file"},
            {"lost_samples_are", 0}};
  }
  std::string write(size_t g, const int16_t *values, const uint8_t *, size_t frames) override {
    const size_t n = frames * groups_[g].channels.size();
    bytes_le_.resize(2 * n);
    for (size_t i = 0; i < n; ++i) {  // little-endian whatever the host
      const auto v = static_cast<uint16_t>(values[i]);
      bytes_le_[2 * i] = static_cast<unsigned char>(v & 0xFF);
      bytes_le_[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    if (std::string e = files_->file(g).write(bytes_le_.data(), bytes_le_.size()); !e.empty())
      return e;
    bytes_ += bytes_le_.size();
    return {};
  }
  std::string finish(bool) override { return {}; }

 private:
  OutputFiles *files_ = nullptr;
  std::vector<RateGroup> groups_;
  std::vector<unsigned char> bytes_le_;
};

}  // namespace

std::unique_ptr<FormatWriter> make_dat_writer() {
  return std::make_unique<DatWriter>();
}

}  // namespace qx470rec
