#include "writer.h"

namespace qx470rec {

namespace {

// Raw int16 files, one per rate, with the sidecar that numpy's users read the layout from.
// Frames go out whole, so a file cut short by a crash ends with a whole frame.
class DatWriter : public GroupedWriter {
 protected:
  Format format() const override { return Format::kDat; }
  nlohmann::ordered_json sidecar_extra() const override {
    return {{"dtype", "<i2"},
            {"values", "code - 32768, interleaved by channel in each file"},
            {"lost_samples_are", 0}};
  }
  std::string open_groups() override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      files_.push_back(std::make_unique<OutputFile>());
      if (std::string e = files_.back()->create(file_for(g), info_.replace_files); !e.empty())
        return e;
    }
    return {};
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
    if (auto e = files_[g]->write(bytes_le_.data(), bytes_le_.size()); !e.empty()) return e;
    bytes_ += bytes_le_.size();
    return {};
  }
  std::string sync_files() override {
    for (const auto &f : files_)
      if (std::string e = f->sync(); !e.empty()) return e;
    return {};
  }
  std::string close_files(bool) override {
    std::string err;
    for (const auto &f : files_)
      if (std::string e = f->close(); !e.empty() && err.empty()) err = e;
    return err;
  }

 private:
  std::vector<std::unique_ptr<OutputFile>> files_;
  std::vector<unsigned char> bytes_le_;
};

}  // namespace

std::unique_ptr<Writer> make_dat_writer() {
  return std::make_unique<DatWriter>();
}

}  // namespace qx470rec
