#include "writer.h"

namespace qx470rec {

namespace {

// Raw int16 files, one per rate, with the sidecar that numpy's users read the layout from.
// Frames go out whole, so a file cut short by a crash ends with a whole frame.
class DatWriter : public OutputFilesWriter {
 protected:
  Format format() const override { return Format::kDat; }
  nlohmann::ordered_json sidecar_extra() const override {
    return {{"dtype", "<i2"},
            {"values", "code - 32768, interleaved by channel in each file"},
            {"lost_samples_are", 0}};
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
    return write_to(g, bytes_le_.data(), bytes_le_.size());
  }

 private:
  std::vector<unsigned char> bytes_le_;
};

}  // namespace

std::unique_ptr<Writer> make_dat_writer() {
  return std::make_unique<DatWriter>();
}

}  // namespace qx470rec
