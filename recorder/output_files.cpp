#include "output_files.h"

#include <unistd.h>

#include <cerrno>

#include "sidecar.h"

namespace qx470rec {

std::string path_for_rate(const std::string &path, int rate_ks) {
  const PathParts parts = split_extension(path);
  return parts.stem + "_" + std::to_string(rate_ks) + "kSps" + parts.extension;
}

std::vector<std::string> planned_files(const std::string &path, Format format,
                                       const std::array<int, 4> &rates) {
  if (path == "-") return {};
  std::vector<int> group_rates;
  for (const RateGroup &g : rate_groups(rates)) group_rates.push_back(g.rate);
  OutputFiles files;
  files.plan(path, format, group_rates);
  std::vector<std::string> names;
  for (size_t g = 0; g < files.count(); ++g) names.push_back(files.name(g));
  names.push_back(Sidecar::path_for(path));
  names.push_back(Sidecar::journal_for(path));
  return names;
}

OutputFile::~OutputFile() {
  close();
}

std::string OutputFile::create(const std::string &path, bool replace) {
  name_ = path;
  return create_output(path, replace, fd_);
}

void OutputFile::use_standard_output() {
  fd_ = STDOUT_FILENO;
  standard_output_ = true;
  name_ = "standard output";
}

std::string OutputFile::write(const void *data, size_t n) {
  const auto *p = static_cast<const char *>(data);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd_, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EPIPE) closed_by_reader_ = true;
    const std::string e = w == 0 ? "cannot write to '" + name_ + "'" : io_error("write to", name_);
    // A piece written in part is no piece: the file ends where the last whole one did.
    if (!standard_output_) (void)::ftruncate(fd_, static_cast<off_t>(whole_));
    return e;
  }
  whole_ += n;
  return {};
}

std::string OutputFile::sync() {
  if (fd_ < 0 || standard_output_) return {};
  if (std::string e = still_named(fd_, name_); !e.empty()) return e;
  return ::fdatasync(fd_) == 0 ? std::string() : io_error("write to", name_);
}

std::string OutputFile::close() {
  if (fd_ < 0) return {};
  const int fd = fd_;
  fd_ = -1;
  if (standard_output_) return {};
  return ::close(fd) == 0 ? std::string() : io_error("finish", name_);
}

void OutputFiles::plan(const std::string &path, Format format, const std::vector<int> &rates) {
  path_ = path;
  names_.clear();
  const bool one = format_info(format).one_file || rates.size() <= 1;
  for (size_t g = 0; g < (one ? std::min<size_t>(rates.size(), 1) : rates.size()); ++g)
    names_.push_back(path == "-" ? "standard output" : one ? path : path_for_rate(path, rates[g]));
}

std::string OutputFiles::create(bool replace) {
  for (const std::string &name : names_) {
    files_.push_back(std::make_unique<OutputFile>());
    if (to_standard_output())
      files_.back()->use_standard_output();
    else if (std::string e = files_.back()->create(name, replace); !e.empty())
      return e;
  }
  return {};
}

std::string OutputFiles::sync() {
  for (const auto &f : files_)
    if (std::string e = f->sync(); !e.empty()) return e;
  return {};
}

std::string OutputFiles::close() {
  std::string err;
  for (const auto &f : files_)
    if (std::string e = f->close(); !e.empty() && err.empty()) err = e;
  return err;
}

bool OutputFiles::closed_by_reader() const {
  for (const auto &f : files_)
    if (f->closed_by_reader()) return true;
  return false;
}

}  // namespace qx470rec
