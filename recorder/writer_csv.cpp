#include "writer.h"

#include <charconv>
#include <cstdio>
#include <map>

namespace qx470rec {

using qx470reader::Gap;

namespace {

// CSV with comment lines first, one file per rate, a row per sample; a lost sample is an empty
// field.
class CsvWriter : public GroupedWriter {
 public:
  ~CsvWriter() override { close_all(); }
  std::string begin(std::chrono::system_clock::time_point start) override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::string h;
      h += "# device: " + info_.equipment() + "\n";
      h += "# bridge: " + qx470reader::describe(info_.bridge) + "\n";
      h += "# start: " + iso8601(start) + "\n";
      h += "# rate: " + std::to_string(groups_[g].rate * 1000) + " samples/s per channel\n";
      h += "# volts_per_count: " + info_.volts_per_count_text() + " (calibration " +
           std::to_string(info_.calibration) + " nV per count)\n";
      h += "# values: counts, code - 32768; volts = counts * volts_per_count; "
           "an empty field is a lost sample\n";
      h += "index";
      for (int c : groups_[g].channels) (h += ',') += info_.label(c);
      h += "\n";
      if (auto e = write_all(files_[g], h.data(), h.size(), file_for(g)); !e.empty()) return e;
      bytes_ += h.size();
    }
    return {};
  }
  std::string finish() override {
    std::string err = flush_rest();
    for (size_t g = 0; g < files_.size() && err.empty(); ++g)
      if (std::fflush(files_[g]) != 0) err = io_error("write to", file_for(g));
    const std::string close_err = close_all();
    return err.empty() ? close_err : err;
  }
  std::vector<std::string> paths() const override {
    std::vector<std::string> p;
    for (size_t g = 0; g < groups_.size(); ++g)
      p.push_back(path_ == "-" ? "standard output" : file_for(g));
    return p;
  }

 protected:
  std::string open_groups() override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::FILE *f = path_ == "-" ? stdout : std::fopen(file_for(g).c_str(), "wb");
      if (!f) return io_error("create", file_for(g));
      files_.push_back(f);
    }
    return {};
  }
  std::string on_gap(const Gap &g) override {
    notes_[group_of_[size_t(g.channel)]].insert(
        {g.index,
         "# " + gap_text(info_, g) + " samples from index " + std::to_string(g.index) + "\n"});
    return {};
  }
  std::string write_frames(size_t g, const int16_t *values, const uint8_t *lost,
                           size_t frames) override {
    const size_t width = groups_[g].channels.size();
    uint64_t index = frames_done_.size() > g ? frames_done_[g] : 0;
    auto &notes = notes_[g];
    text_.clear();
    char num[24];
    for (size_t i = 0; i < frames; ++i, ++index) {
      while (!notes.empty() && notes.begin()->first <= index) {
        text_ += notes.begin()->second;
        notes.erase(notes.begin());
      }
      text_.append(num, std::to_chars(num, num + sizeof num, index).ptr);
      for (size_t k = 0; k < width; ++k) {
        text_ += ',';
        if (!lost[i * width + k])
          text_.append(num, std::to_chars(num, num + sizeof num, values[i * width + k]).ptr);
      }
      text_ += '\n';
    }
    bytes_ += text_.size();
    return write_all(files_[g], text_.data(), text_.size(), file_for(g));
  }

 private:
  std::string close_all() {
    std::string err;
    for (size_t g = 0; g < files_.size(); ++g) {
      if (files_[g] == stdout) {
        if (std::fflush(stdout) != 0 && err.empty()) err = io_error("write to", "standard output");
      } else if (std::fclose(files_[g]) != 0 && err.empty()) {
        err = io_error("finish", file_for(g));
      }
    }
    files_.clear();
    return err;
  }
  std::vector<std::FILE *> files_;
  std::map<size_t, std::multimap<uint64_t, std::string>> notes_;
  std::string text_;
};

}  // namespace

std::unique_ptr<Writer> make_csv_writer() {
  return std::make_unique<CsvWriter>();
}

}  // namespace qx470rec
