#include "formats.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "format_writer.h"
#include "rates.h"

namespace qx470rec {

namespace {

const FormatInfo kFormats[] = {
    {Format::kEdf, "EDF+", "edf", false, true, make_edf_writer},
    {Format::kCsv, "CSV", "csv", false, false, make_csv_writer},
    {Format::kFlac, "FLAC", "flac", true, true, make_flac_writer},
    {Format::kWav, "WAV", "wav", true, true, make_wav_writer},
    {Format::kDat, "raw .dat", "dat", false, false, make_dat_writer},
    {Format::kXdf, "XDF", "xdf", false, true, make_xdf_writer},
};

}  // namespace

const FormatInfo &format_info(Format format) {
  return *std::find_if(std::begin(kFormats), std::end(kFormats),
                       [format](const FormatInfo &f) { return f.format == format; });
}

const FormatInfo *format_by_extension(const std::string &ext) {
  const std::string lower = qx470reader::lower_case(ext);
  for (const FormatInfo &f : kFormats)
    if (lower == f.extension) return &f;
  return nullptr;
}

std::string extension_list() {
  std::string s;
  const size_t n = std::size(kFormats);
  for (size_t i = 0; i < n; ++i)
    s += (i == 0 ? "." : i + 1 == n ? " or ." : ", .") + std::string(kFormats[i].extension);
  return s;
}

PathParts split_extension(const std::string &path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {path, {}};
  return {path.substr(0, dot), path.substr(dot)};
}

}  // namespace qx470rec
