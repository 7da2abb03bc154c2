#include <charconv>
#include <map>

#include "writer.h"

namespace qx470rec {

using qx470reader::Gap;

namespace {

// CSV with comment lines first, one file per rate, a row per sample; a lost sample is an empty
// field. Rows go out whole, so a file cut short by a crash ends with a whole line.
class CsvWriter : public OutputFilesWriter {
 protected:
  Format format() const override { return Format::kCsv; }
  std::string write_head(std::chrono::system_clock::time_point start) override {
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
      if (auto e = write_to(g, h.data(), h.size()); !e.empty()) return e;
    }
    return {};
  }
  std::string on_gap(const Gap &g) override {
    notes_[group_of_[size_t(g.channel)]].insert(
        {g.index,
         "# " + gap_text(info_, g) + " samples from index " + std::to_string(g.index) + "\n"});
    return {};
  }
  // An event is placed when it arrives, and its sample may have come in the block before: with
  // events, a quarter of a second of rows waits, so that each comment stands before its row.
  uint64_t held_back(size_t g) const override {
    return info_.events ? static_cast<uint64_t>(groups_[g].rate) * 250 : 0;
  }
  // At the row of its sample, in each rate's file.
  std::string on_event(const Event &e) override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      const uint64_t at = e.index[size_t(groups_[g].channels[0])];
      notes_[g].insert({at, "# event: " + e.text + "\n"});
    }
    return {};
  }
  // Events placed after the last row (within the grace a sender's clock gets) stand at the end.
  std::string close_files(bool failed) override {
    for (size_t g = 0; g < groups_.size() && !failed; ++g) {
      std::string rest;
      for (const auto &note : notes_[g]) rest += note.second;
      notes_[g].clear();
      if (auto e = write_to(g, rest.data(), rest.size()); !e.empty()) {
        OutputFilesWriter::close_files(true);
        return e;
      }
    }
    return OutputFilesWriter::close_files(failed);
  }
  std::string write_frames(size_t g, const int16_t *values, const uint8_t *lost,
                           size_t frames) override {
    const size_t width = groups_[g].channels.size();
    uint64_t index = frames_done_[g];
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
    return write_to(g, text_.data(), text_.size());
  }

 private:
  std::map<size_t, std::multimap<uint64_t, std::string>> notes_;
  std::string text_;
};

}  // namespace

std::unique_ptr<Writer> make_csv_writer() {
  return std::make_unique<CsvWriter>();
}

}  // namespace qx470rec
