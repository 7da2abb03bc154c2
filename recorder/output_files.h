// The files a recording writes its data to: their names (one per rate unless the format holds
// every rate in one file), each made locked and exclusive through output_claim, written in whole
// pieces, synced, and closed; or standard output.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats.h"
#include "output_claim.h"
#include "recording_info.h"

namespace qx470rec {

// "name.csv" and rate 100 give "name_100kSps.csv": one file per rate when rates differ.
std::string path_for_rate(const std::string &path, int rate_ks);
// Every file a recording to `path` makes (data files, the sidecar and its journal), so that none
// that exists is replaced by accident; none for standard output.
std::vector<std::string> planned_files(const std::string &path, Format format,
                                       const std::array<int, 4> &rates);

// A data file written in whole pieces (lines, frames) straight to its descriptor, so that after a
// crash it ends at the last whole piece, and after a failed write it is cut back to it. Formats
// written by a library (EDF+, sound files) use its descriptor and write through the library.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile();
  std::string create(const std::string &path, bool replace);
  void use_standard_output();
  // All of it, or the message (and the file ends where it did before).
  std::string write(const void *data, size_t n);
  // To the disk (nothing for standard output); an error if the file lost its name.
  std::string sync();
  std::string close();
  int fd() const { return fd_; }
  // The reader of standard output closed it (a write met EPIPE).
  bool closed_by_reader() const { return closed_by_reader_; }
  const std::string &name() const { return name_; }

 private:
  int fd_ = -1;
  bool standard_output_ = false;
  bool closed_by_reader_ = false;
  uint64_t whole_ = 0;  // bytes of whole pieces written
  std::string name_;
};

class OutputFiles {
 public:
  // One file for each of `count` groups (of `rates`, fastest first), named from `path`.
  void plan(const std::string &path, Format format, const std::vector<int> &rates);
  size_t count() const { return names_.size(); }
  const std::string &path() const { return path_; }
  bool to_standard_output() const { return path_ == "-"; }
  // The file of group g: its name ("standard output" for "-").
  const std::string &name(size_t g) const { return names_[g]; }
  // Makes every file (or takes standard output); the message names the file that failed.
  std::string create(bool replace);
  // Group g's file; only once create() has made it (or returned its error).
  OutputFile &file(size_t g) { return *files_.at(g); }
  std::string sync();
  std::string close();
  bool closed_by_reader() const;

 private:
  std::string path_;
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<OutputFile>> files_;
};

}  // namespace qx470rec
