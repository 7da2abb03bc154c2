#include <edflib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "format_writer.h"
#include "sidecar.h"

namespace qx470rec {

using qx470reader::Gap;

namespace {

// Fields of the EDF header, ASCII numbers at fixed places: the header's size, the data records,
// the signals; and, in the signals' part after the first 256 bytes, each signal's samples per
// record, which follow the 216 bytes of every signal's earlier fields.
struct HeaderField {
  off_t at;
  size_t width;
};
constexpr HeaderField kHeaderBytes{184, 8};
constexpr HeaderField kRecordCount{236, 8};
constexpr HeaderField kSignalCount{252, 4};
constexpr off_t kSignalFieldsAt = 256;
constexpr off_t kFieldsBeforeSamplesPerRecord = 216;

HeaderField samples_per_record_field(long long signals, long long s) {
  return {static_cast<off_t>(kSignalFieldsAt + signals * kFieldsBeforeSamplesPerRecord + s * 8), 8};
}

long long header_number(int fd, HeaderField f) {
  char text[32] = {};
  if (::pread(fd, text, f.width, f.at) != static_cast<ssize_t>(f.width)) return -1;
  return std::atoll(text);
}

// A loss as one annotation: the time it covers (in libedf's units of 100 us, rounded outwards so
// that it covers every lost sample) and each channel's count.
struct Loss {
  qx470reader::GapKind kind;
  long long start = 0, end = 0;
  std::vector<std::pair<int, uint64_t>> counts;  // channel, samples
};

// EDF+ through libedf: one file, a data record (a second of every channel) as the unit. The
// header's record count is kept current as records are written, so a file cut short by a crash
// reads to its last whole record; libedf writes the annotations when the file is closed, so after
// a crash the losses are in the journal only.
class EdfWriter : public FormatWriter {
 public:
  ~EdfWriter() override {
    if (handle_ >= 0) edfclose_file(handle_);
  }
  std::vector<UnitLayout> layout(const RecordingInfo &info) const override {
    UnitLayout record;
    for (int c = 0; c < 4; ++c)
      if (const int r = info.rates[static_cast<size_t>(c)]; r > 0) {
        record.channels.push_back(c);
        record.per_unit.push_back(static_cast<size_t>(r) * 1000);
      }
    return {record};
  }
  std::string open(OutputFiles &files, const RecordingInfo &info) override {
    files_ = &files;
    info_ = info;
    record_ = layout(info).front();
    const std::string &path = files.name(0);
    // Made (locked) through the files, then opened again by libedf.
    if (std::string e = files.create(info.replace_files); !e.empty()) return e;
    const int signals_on = static_cast<int>(record_.channels.size());
    handle_ = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_EDFPLUS, signals_on);
    if (handle_ < 0) {
      const int code = handle_;
      handle_ = -1;
      return code == EDFLIB_NO_SUCH_FILE_OR_DIRECTORY
                 ? "cannot create '" + path + "': no such directory or no permission"
                 : "cannot create EDF+ file '" + path + "' (libedf error " + std::to_string(code) +
                       ")";
    }
    const double vpc = info.volts_per_count();
    bool ok = true;
    for (int sig = 0; sig < signals_on; ++sig) {
      const int c = record_.channels[size_t(sig)];
      ok = ok && edf_set_samplefrequency(handle_, sig, info.rates[size_t(c)] * 1000) == 0;
      ok = ok && edf_set_digital_maximum(handle_, sig, 32767) == 0;
      ok = ok && edf_set_digital_minimum(handle_, sig, -32768) == 0;
      ok = ok && edf_set_physical_maximum(handle_, sig, 32767 * vpc) == 0;
      ok = ok && edf_set_physical_minimum(handle_, sig, -32768 * vpc) == 0;
      ok = ok && edf_set_physical_dimension(handle_, sig, "V") == 0;
      ok = ok && edf_set_label(handle_, sig, info.label(c).c_str()) == 0;
    }
    ok = ok && edf_set_equipment(handle_, info.equipment().c_str()) == 0;
    // libedf leaves the recording field about 19 characters after the start date and the
    // equipment: the serial number and the calibration in their short forms. The sidecar has
    // both in full.
    std::string more = std::to_string(info.calibration) + " nV per count";
    if (!info.serial.empty())
      more = "SN " + info.serial + " " + std::to_string(info.calibration) + "nV";
    ok = ok && edf_set_recording_additional(handle_, more.c_str()) == 0;
    if (!info.subject.empty()) ok = ok && edf_set_patientname(handle_, info.subject.c_str()) == 0;
    if (!info.meta.empty())
      ok = ok && edf_set_patient_additional(handle_, info.meta_text().c_str()) == 0;
    ok = ok && edf_set_number_of_annotation_signals(handle_, signals()) == 0;
    if (!ok) return "cannot set up the EDF+ header of '" + path + "'";
    return {};
  }
  std::string begin(std::chrono::system_clock::time_point start) override {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch());
    const std::time_t secs = static_cast<std::time_t>(us.count() / 1000000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    if (edf_set_startdatetime(handle_, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                              tm.tm_min, tm.tm_sec) != 0)
      return "cannot set the start time of '" + files_->name(0) + "'";
    // 100 us resolution, as EDF+ readers are advised to expect.
    edf_set_subsecond_starttime(handle_, static_cast<int>(us.count() % 1000000 / 100 * 1000));
    return {};
  }
  // Whole records: each signal's second in turn, as EDF lays a record out.
  std::string write(size_t, const int16_t *values, const uint8_t *, size_t records) override {
    for (size_t r = 0; r < records; ++r) {
      for (size_t sig = 0; sig < record_.channels.size(); ++sig) {
        // libedf takes a non-const buffer but only reads it.
        if (edfwrite_digital_short_samples(handle_, const_cast<int16_t *>(values)) != 0)
          return io_error("write to", files_->name(0));
        values += record_.per_unit[sig];
        bytes_ += 2 * record_.per_unit[sig];
      }
      ++records_;
      count_records();
    }
    return {};
  }
  std::string gap(const Gap &g) override {
    note_loss(g);
    return {};
  }
  // An annotation at its sample of the first channel (libedf keeps 40 bytes of the text). libedf
  // holds every annotation until the file closes and writes only what the records have room
  // for: past that room (as far as the recording has gone) an event is in the journal alone,
  // so a flood of events cannot grow the memory.
  std::string event(const Event &e) override {
    const int c = record_.channels.front();
    const long long onset =
        static_cast<long long>(e.index[size_t(c)]) * 10000 / (info_.rates[size_t(c)] * 1000LL);
    if (++annotations_ > (records_ + 2) * uint64_t(signals())) return {};
    // A text cut to the annotation's room says so; the whole of it is in the journal.
    std::string text = event_text(e.text, kAnnotationText);
    if (text.size() < event_text(e.text, SIZE_MAX).size())
      text = event_text(e.text, kAnnotationText - 3) + "...";
    if (edfwrite_annotation_utf8(handle_, onset, -1, text.c_str()) != 0)
      return "cannot write an annotation to '" + files_->name(0) + "'";
    return {};
  }
  // EDF holds whole 1-second records: the last one is padded with mid-scale, and an annotation
  // says where the recording really ends.
  std::string ending(const std::array<uint64_t, 4> &samples, bool partial) override {
    if (!partial) return {};
    int fastest = 0;
    for (int c : record_.channels) fastest = std::max(fastest, info_.rates[size_t(c)]);
    uint64_t most = 0;  // the longest channel, in samples of the fastest rate
    for (int c : record_.channels)
      most =
          std::max(most, samples[size_t(c)] * uint64_t(fastest) / uint64_t(info_.rates[size_t(c)]));
    const long long onset = static_cast<long long>(most) * 10000 / (fastest * 1000LL);
    edfwrite_annotation_utf8(handle_, onset, -1, "recording ends");
    // The padding of the last record is no data: readers that leave out "BAD" stretches (MNE's
    // reject_by_annotation) leave it out too.
    uint64_t records = 0;
    for (size_t k = 0; k < record_.channels.size(); ++k)
      records = std::max(records, (samples[size_t(record_.channels[k])] + record_.per_unit[k] - 1) /
                                      record_.per_unit[k]);
    if (const long long end = static_cast<long long>(records) * 10000; end > onset)
      edfwrite_annotation_utf8(handle_, onset, end - onset, "BAD_PADDING");
    annotations_ += 2;
    return {};
  }
  std::string finish(bool) override {
    if (handle_ < 0) return {};
    std::string err = write_losses();
    if (edfclose_file(handle_) != 0 && err.empty()) err = io_error("finish", files_->name(0));
    handle_ = -1;
    if (std::string e = seal(); !e.empty() && err.empty()) err = e;
    return err;
  }
  uint64_t units_in_file(size_t, uint64_t) const override { return records_; }
  std::string warning() const override { return warning_; }

 private:
  // Each annotation signal holds one annotation a record (a second): 8 for the gaps, 64 (libedf's
  // most) when events come.
  int signals() const { return info_.events ? 64 : 8; }
  static constexpr size_t kAnnotationText = 40;  // what libedf keeps of an annotation's text
  int fd() const { return files_->file(0).fd(); }

  // A loss on one channel joins the loss of the same kind whose time it overlaps: one event of
  // the stream is one annotation, whatever channels it took samples from.
  void note_loss(const Gap &g) {
    const long long per_second = info_.rates[size_t(g.channel)] * 1000LL;
    const auto idx = static_cast<long long>(g.index), cnt = static_cast<long long>(g.count);
    const long long start = idx * 10000 / per_second;
    const long long end = ((idx + cnt) * 10000 + per_second - 1) / per_second;
    for (Loss &l : losses_)
      if (l.kind == g.kind && start <= l.end && l.start <= end) {
        l.start = std::min(l.start, start);
        l.end = std::max(l.end, end);
        l.counts.push_back({g.channel, g.count});
        return;
      }
    losses_.push_back({g.kind, start, end, {{g.channel, g.count}}});
  }

  // Each loss as one annotation. Lost samples are "BAD_ACQ_SKIP", the name MNE gives acquisition
  // skips and leaves out of the data by default; a restart that lost nothing is only noted.
  std::string write_losses() {
    std::string err;
    for (const Loss &l : losses_) {
      uint64_t total = 0;
      for (const auto &[c, n] : l.counts) total += n;
      std::string chans, counts;
      for (const auto &[c, n] : l.counts) {
        chans += (chans.empty() ? "Ch" : ",") + std::to_string(c + 1);
        counts += " Ch" + std::to_string(c + 1) + " " + std::to_string(n);
      }
      std::string text;
      if (total == 0) {
        text = chans + " " + qx470reader::gap_kind_word(l.kind);
      } else {
        text = "BAD_ACQ_SKIP" + counts;
        // The counts where they fit; the sidecar has every one.
        if (text.size() > kAnnotationText) text = "BAD_ACQ_SKIP " + chans;
      }
      ++annotations_;
      if (edfwrite_annotation_utf8(handle_, l.start, total ? l.end - l.start : -1, text.c_str()) !=
              0 &&
          err.empty())
        err = "cannot write an annotation to '" + files_->name(0) + "'";
    }
    const uint64_t room = (records_ ? records_ : 1) * uint64_t(signals());
    if (annotations_ > room)
      warning_ = "'" + files_->name(0) + "' has room for " + std::to_string(room) +
                 " annotations, " + std::to_string(annotations_) + " came: the journal '" +
                 Sidecar::journal_for(files_->path()) + "' lists every gap and event";
    return err;
  }

  // Keeps the header's record count at the whole records in the file: every reader then takes
  // the file as it is on disk. libedf's own buffer is flushed first, so that the count never
  // names a record whose bytes are not in the file.
  void count_records() {
    std::fflush(nullptr);
    write_count();
  }
  void write_count() {
    // Eight characters hold every count a recording reaches (99,999,999 s is three years).
    char text[24];
    std::snprintf(text, sizeof text, "%-8llu", static_cast<unsigned long long>(records_));
    (void)::pwrite(fd(), text, kRecordCount.width, kRecordCount.at);
  }

  // After the close (or a failed write): the file ends with its last whole record, and its
  // header counts those.
  std::string seal() {
    if (fd() < 0) return {};
    const long long header = header_number(fd(), kHeaderBytes);
    const long long signals = header_number(fd(), kSignalCount);
    long long record = 0;
    for (long long s = 0; s < signals; ++s)
      record += 2 * header_number(fd(), samples_per_record_field(signals, s));
    std::string err;
    struct stat st {};
    if (header > 0 && record > 0 && ::fstat(fd(), &st) == 0 && st.st_size >= header) {
      const long long whole = (st.st_size - header) / record;
      if (st.st_size != header + whole * record &&
          ::ftruncate(fd(), static_cast<off_t>(header + whole * record)) != 0)
        err = io_error("cut back", files_->name(0));
      records_ = static_cast<uint64_t>(whole);
      write_count();
    }
    return err;
  }

  OutputFiles *files_ = nullptr;
  RecordingInfo info_;
  UnitLayout record_;
  int handle_ = -1;
  uint64_t records_ = 0;
  uint64_t annotations_ = 0;
  std::string warning_;
  std::vector<Loss> losses_;
};

}  // namespace

std::unique_ptr<FormatWriter> make_edf_writer() {
  return std::make_unique<EdfWriter>();
}

}  // namespace qx470rec
