// The file formats qx470-record writes, as one table: what each is called, the extension that
// chooses it, whether all channels must share one rate, and how its writer is made.
#pragma once

#include <memory>
#include <string>

namespace qx470rec {

class FormatWriter;

enum class Format { kEdf, kCsv, kFlac, kWav, kDat, kXdf };

struct FormatInfo {
  Format format;
  const char *name;       // in messages: "EDF+", "raw .dat"
  const char *extension;  // lower case, without the dot
  bool one_rate;          // the container holds one sample rate for all its channels
  bool one_file;          // every rate in one file (else a file per rate when rates differ)
  std::unique_ptr<FormatWriter> (*make)();
};

const FormatInfo &format_info(Format format);
// The format whose extension `ext` is (any case), or nullptr.
const FormatInfo *format_by_extension(const std::string &ext);
// ".edf, .csv, .flac, .wav or .dat"
std::string extension_list();

// A path split before the extension's dot ("dir/name" and ".csv"); the extension is empty when
// the last path component has no dot.
struct PathParts {
  std::string stem;
  std::string extension;
};
PathParts split_extension(const std::string &path);

}  // namespace qx470rec
