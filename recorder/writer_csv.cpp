#include <charconv>
#include <map>

#include "format_writer.h"

namespace qx470rec {

using qx470reader::Gap;

namespace {

// CSV with comment lines first, one file per rate, a row per sample; a lost sample is an empty
// field. Rows go out whole, so a file cut short by a crash ends with a whole line. Gaps and
// events are comment lines before the row of their sample.
class CsvWriter : public FormatWriter {
 public:
  std::string open(OutputFiles &files, const RecordingInfo &info) override {
    files_ = &files;
    info_ = info;
    volts_ = info.volts_per_count();
    groups_ = rate_groups(info.rates);
    for (size_t g = 0; g < groups_.size(); ++g)
      for (int c : groups_[g].channels) group_of_[size_t(c)] = g;
    rows_.assign(groups_.size(), 0);
    return files.create(info.replace_files);
  }
  std::string begin(std::chrono::system_clock::time_point start) override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      std::string h;
      h += "# device: " + info_.equipment() + "\n";
      if (!info_.serial.empty()) h += "# serial: " + info_.serial + "\n";
      if (!info_.subject.empty()) h += "# subject: " + info_.subject + "\n";
      for (const auto &[key, value] : info_.meta) h += "# meta: " + key + "=" + value + "\n";
      h += "# bridge: " + qx470reader::describe(info_.bridge) + "\n";
      h += "# start: " + iso8601(start) + "\n";
      h += "# rate: " + std::to_string(groups_[g].rate * 1000) + " samples/s per channel\n";
      h += "# volts_per_count: " + info_.volts_per_count_text() + " (calibration " +
           std::to_string(info_.calibration) + " nV per count)\n";
      h += info_.volts ? "# values: volts, (code - 32768) * volts_per_count; "
                         "an empty field is a lost sample\n"
                       : "# values: counts, code - 32768; volts = counts * volts_per_count; "
                         "an empty field is a lost sample\n";
      h += "index";
      for (int c : groups_[g].channels) (h += ',') += info_.label(c);
      h += "\n";
      if (auto e = write_to(g, h); !e.empty()) return e;
    }
    return {};
  }
  std::string gap(const Gap &g) override {
    notes_[group_of_[size_t(g.channel)]].insert(
        {g.index,
         "# " + gap_text(info_, g) + " samples from index " + std::to_string(g.index) + "\n"});
    return {};
  }
  // An event is placed when it arrives, and its sample may have come in the block before: with
  // events, rows wait (a quarter of a second, two with LSL markers), so that each comment stands
  // before its row.
  uint64_t held_back(size_t g) const override {
    return info_.events ? static_cast<uint64_t>(groups_[g].rate * 1000 * info_.events_hold_seconds)
                        : 0;
  }
  // At the row of its sample, in each rate's file.
  std::string event(const Event &e) override {
    for (size_t g = 0; g < groups_.size(); ++g) {
      const uint64_t at = e.index[size_t(groups_[g].channels[0])];
      notes_[g].insert({at, "# event: " + e.text + "\n"});
    }
    return {};
  }
  nlohmann::ordered_json sidecar_extra() const override {
    return {{"values", info_.volts ? "volts" : "counts"}};
  }
  std::string write(size_t g, const int16_t *values, const uint8_t *lost, size_t rows) override {
    const size_t width = groups_[g].channels.size();
    auto &notes = notes_[g];
    text_.clear();
    char num[32];
    for (size_t i = 0; i < rows; ++i, ++rows_[g]) {
      while (!notes.empty() && notes.begin()->first <= rows_[g]) {
        text_ += notes.begin()->second;
        notes.erase(notes.begin());
      }
      text_.append(num, std::to_chars(num, num + sizeof num, rows_[g]).ptr);
      for (size_t k = 0; k < width; ++k) {
        text_ += ',';
        if (lost[i * width + k]) continue;
        const int16_t v = values[i * width + k];
        text_.append(num, (info_.volts ? std::to_chars(num, num + sizeof num, v * volts_)
                                       : std::to_chars(num, num + sizeof num, v))
                              .ptr);
      }
      text_ += '\n';
    }
    return write_to(g, text_);
  }
  // Events placed after the last row (within the grace a sender's clock gets) stand at the end.
  std::string finish(bool failed) override {
    for (size_t g = 0; g < groups_.size() && !failed; ++g) {
      std::string rest;
      for (const auto &note : notes_[g]) rest += note.second;
      notes_[g].clear();
      if (rest.empty()) continue;  // also for a file that was never made
      if (auto e = write_to(g, rest); !e.empty()) return e;
    }
    return {};
  }

 private:
  std::string write_to(size_t g, const std::string &text) {
    if (std::string e = files_->file(g).write(text.data(), text.size()); !e.empty()) return e;
    bytes_ += text.size();
    return {};
  }

  OutputFiles *files_ = nullptr;
  RecordingInfo info_;
  double volts_ = 0;
  std::vector<RateGroup> groups_;
  std::array<size_t, 4> group_of_{};
  std::vector<uint64_t> rows_;  // rows written to each file
  std::map<size_t, std::multimap<uint64_t, std::string>> notes_;
  std::string text_;
};

}  // namespace

std::unique_ptr<FormatWriter> make_csv_writer() {
  return std::make_unique<CsvWriter>();
}

}  // namespace qx470rec
