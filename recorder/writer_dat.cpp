#include "writer.h"

#include <cstdio>

namespace qx470rec {

using qx470reader::Gap;

namespace {

// A JSON string with its quotes; paths and names may hold any byte.
std::string json_quoted(const std::string &s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      (out += '\\') += ch;
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// Raw int16 files, one per rate, with a JSON sidecar that numpy's users read the layout from.
class DatWriter : public GroupedWriter {
 public:
  ~DatWriter() override {
    for (auto *f : files_) std::fclose(f);
  }
  std::string begin(std::chrono::system_clock::time_point start) override {
    start_ = iso8601(start);
    return write_sidecar(false);
  }
  std::string finish() override {
    std::string err = flush_rest();
    for (size_t g = 0; g < files_.size(); ++g)
      if (std::fclose(files_[g]) != 0 && err.empty()) err = io_error("finish", file_for(g));
    files_.clear();
    const std::string side = write_sidecar(true);
    return err.empty() ? side : err;
  }
  std::vector<std::string> paths() const override {
    std::vector<std::string> p;
    for (size_t g = 0; g < groups_.size(); ++g) p.push_back(file_for(g));
    p.push_back(sidecar_path());
    return p;
  }

 protected:
  std::string open_groups() override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::FILE *f = std::fopen(file_for(g).c_str(), "wb");
      if (!f) return io_error("create", file_for(g));
      files_.push_back(f);
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
    bytes_ += bytes_le_.size();
    return write_all(files_[g], bytes_le_.data(), bytes_le_.size(), file_for(g));
  }

 private:
  std::string sidecar_path() const { return split_extension(path_).stem + ".json"; }
  static std::string base_name(const std::string &p) {
    const size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
  }
  std::string write_sidecar(bool complete) {
    std::string j = "{\n";
    j += "  \"device\": " + json_quoted(info_.equipment()) + ",\n";
    j += "  \"bridge\": {\"kind\": " +
         json_quoted(qx470reader::bridge_kind_words(info_.bridge.kind)) +
         ", \"file\": " + json_quoted(info_.bridge.file) + "},\n";
    j += "  \"start\": \"" + start_ + "\",\n";
    j += "  \"dtype\": \"<i2\",\n";
    j += "  \"values\": \"code - 32768, interleaved by channel in each file\",\n";
    j += "  \"calibration_nv_per_count\": " + std::to_string(info_.calibration) + ",\n";
    j += "  \"volts_per_count\": " + info_.volts_per_count_text() + ",\n";
    j += "  \"files\": [\n";
    for (size_t g = 0; g < groups_.size(); ++g) {
      j += "    {\"file\": " + json_quoted(base_name(file_for(g))) +
           ", \"rate\": " + std::to_string(groups_[g].rate * 1000) + ", \"channels\": [";
      for (size_t k = 0; k < groups_[g].channels.size(); ++k)
        j += (k ? ", \"" : "\"") + info_.label(groups_[g].channels[k]) + "\"";
      j += "], \"frames\": " + std::to_string(frames_done_.size() > g ? frames_done_[g] : 0) + "}";
      j += g + 1 < groups_.size() ? ",\n" : "\n";
    }
    j += "  ],\n";
    j += "  \"gaps\": [";
    for (size_t i = 0; i < gaps_.size(); ++i) {
      const Gap &g = gaps_[i];
      j += i ? ",\n    " : "\n    ";
      j += "{\"channel\": \"" + info_.label(g.channel) + "\", \"kind\": \"" +
           qx470reader::gap_kind_word(g.kind) + "\", \"index\": " + std::to_string(g.index) +
           ", \"count\": " + std::to_string(g.count) + "}";
    }
    j += gaps_.empty() ? "],\n" : "\n  ],\n";
    j += "  \"lost_samples_are\": 0,\n";
    j += std::string("  \"complete\": ") + (complete ? "true" : "false") + "\n}\n";
    const std::string p = sidecar_path();
    std::FILE *f = std::fopen(p.c_str(), "wb");
    if (!f) return io_error("create", p);
    std::string err = write_all(f, j.data(), j.size(), p);
    if (std::fclose(f) != 0 && err.empty()) err = io_error("finish", p);
    return err;
  }
  std::vector<std::FILE *> files_;
  std::vector<unsigned char> bytes_le_;
  std::string start_;
};

}  // namespace

std::unique_ptr<Writer> make_dat_writer() {
  return std::make_unique<DatWriter>();
}

}  // namespace qx470rec
