#include "output_claim.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "formats.h"
#include "recording_info.h"
#include "sidecar.h"

namespace qx470rec {

namespace {

bool locked(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

std::string folder_of(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Gives the locked temporary file its name, refusing to replace one that exists.
bool place_new(const std::string &from, const std::string &to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // A file system without the no-replace rename: link() refuses an existing name too.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace

std::string held_by_a_recording(const std::string &path) {
  if (locked(path)) return path;
  // A sidecar is held through its journal and its data files, as it is renamed anew every second.
  if (split_extension(path).extension != ".json") return {};
  if (const std::string journal = Sidecar::journal_for(path); locked(journal)) return journal;
  std::ifstream in(path);
  if (!in) return {};
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (!j.is_object() || !j.contains("files") || !j["files"].is_array()) return {};
  for (const auto &f : j["files"])
    if (f.is_object() && f.contains("file") && f["file"].is_string()) {
      const std::string data = folder_of(path) + f["file"].get<std::string>();
      if (locked(data)) return data;
    }
  return {};
}

std::string still_named(int fd, const std::string &path) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_nlink > 0) return {};
  return "'" + path + "' was removed during the recording (with its folder?): what it held is lost";
}

std::string being_recorded_words(const std::string &path, const std::string &holder) {
  std::string s = "'" + path + "' is being recorded right now";
  if (holder != path) s += " (with '" + holder + "')";
  return s + " by another recorder: choose another name, or stop that recording first";
}

std::string create_output(const std::string &given, bool replace, int &fd) {
  fd = -1;
  if (!replace && ::access(given.c_str(), F_OK) == 0)
    return "'" + given + "' exists: give -f (--force) to replace it";
  std::string path = given;
  if (replace) {
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      // A device or a pipe named as the output (/dev/null, a FIFO) has nothing to replace: it is
      // written as it is.
      fd = ::open(given.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
      return fd >= 0 ? std::string() : io_error("open", given);
    }
    // A link to a file: the file it names is replaced, in its own folder.
    if (::lstat(given.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      if (char *real = ::realpath(given.c_str(), nullptr)) {
        path = real;
        std::free(real);
      }
  }
  const std::string temp = path + ".part-" + std::to_string(::getpid());
  const int made = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (made < 0) return io_error("create", given);
  // Locked before it has its name: no other recorder can find it unlocked.
  if (::flock(made, LOCK_EX | LOCK_NB) != 0) {
    const std::string e = io_error("lock", path);
    ::close(made);
    ::unlink(temp.c_str());
    return e;
  }
  std::string err;
  if (replace) {
    if (const std::string holder = held_by_a_recording(path); !holder.empty())
      err = being_recorded_words(given, holder);
    else if (::rename(temp.c_str(), path.c_str()) != 0)
      err = io_error("create", given);
  } else if (!place_new(temp, path)) {
    err = errno == EEXIST ? "'" + given + "' exists: give -f (--force) to replace it"
                          : io_error("create", given);
  }
  if (!err.empty()) {
    ::close(made);
    ::unlink(temp.c_str());
    return err;
  }
  fd = made;
  return {};
}

std::string outputs_taken(const std::vector<std::string> &files, bool force) {
  for (const std::string &f : files) {
    if (const std::string holder = held_by_a_recording(f); !holder.empty())
      return being_recorded_words(f, holder);
    struct stat st {};
    if (!force && ::lstat(f.c_str(), &st) == 0)
      return "'" + f + "' exists: give -f (--force) to replace it";
  }
  return {};
}

}  // namespace qx470rec
