#include "sidecar.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "writer.h"

namespace qx470rec {

namespace {

std::string base_name(const std::string &p) {
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Writes all of `text` to a new file `path` and makes it durable. Empty string or the message.
std::string write_new(const std::string &path, const std::string &text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return io_error("create", path);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string e = io_error("write to", path);
      ::close(fd);
      return e;
    }
    done += static_cast<size_t>(n);
  }
  if (::fdatasync(fd) != 0 || ::close(fd) != 0) return io_error("finish", path);
  return {};
}

}  // namespace

std::string Sidecar::path_for(const std::string &data_path) {
  return split_extension(data_path).stem + ".json";
}

std::string Sidecar::create(const std::string &data_path, const RecordingInfo &info,
                            const char *format, bool replace, nlohmann::ordered_json extra) {
  const std::string path = path_for(data_path);
  int fd = -1;
  if (std::string e = create_output(path, replace, fd); !e.empty()) return e;
  ::close(fd);
  path_ = path;
  head_ = nlohmann::ordered_json::object();
  head_["device"] = info.equipment();
  head_["bridge"] = {{"kind", qx470reader::bridge_kind_words(info.bridge.kind)},
                     {"file", info.bridge.file}};
  head_["format"] = format;
  for (auto &[key, value] : extra.items()) head_[key] = value;
  head_["calibration_nv_per_count"] = info.calibration;
  head_["volts_per_count"] = info.volts_per_count();
  return write({}, false);
}

void Sidecar::start(std::chrono::system_clock::time_point t) {
  start_ = iso8601(t);
}

std::string Sidecar::write(const std::vector<SidecarFile> &files, bool complete) {
  if (path_.empty()) return {};
  nlohmann::ordered_json doc = head_;
  if (!start_.empty()) doc["start"] = start_;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const SidecarFile &f : files) {
    nlohmann::ordered_json channels = nlohmann::ordered_json::array();
    for (int c : f.channels) channels.push_back("Ch" + std::to_string(c + 1));
    // Paths relative to this file's folder, where the data files are.
    list.push_back({{"file", base_name(f.file)},
                    {"rate", f.rate_ks * 1000},
                    {"channels", channels},
                    {"frames", f.frames}});
  }
  doc["files"] = list;
  nlohmann::ordered_json gaps = nlohmann::ordered_json::array();
  for (const qx470reader::Gap &g : gaps_)
    gaps.push_back({{"channel", "Ch" + std::to_string(g.channel + 1)},
                    {"kind", qx470reader::gap_kind_word(g.kind)},
                    {"index", g.index},
                    {"count", g.count}});
  doc["gaps"] = gaps;
  doc["complete"] = complete;
  // Any byte a path or a name holds must not break the file: invalid UTF-8 is replaced.
  const std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  const std::string next = path_ + ".new";
  if (std::string e = write_new(next, text); !e.empty()) {
    ::unlink(next.c_str());
    return e;
  }
  if (std::rename(next.c_str(), path_.c_str()) != 0) return io_error("replace", path_);
  return {};
}

}  // namespace qx470rec
