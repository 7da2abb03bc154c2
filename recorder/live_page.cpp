#include "live_page.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace qx470rec {

namespace {

struct StaticFile {
  const char *name;
  const char *type;
};
// The page's files: only these are served, so no path reaches anything else on the machine.
constexpr StaticFile kFiles[] = {
    {"index.html", "text/html; charset=utf-8"},
    {"live.js", "text/javascript; charset=utf-8"},
    {"live.css", "text/css; charset=utf-8"},
    {"uPlot.iife.min.js", "text/javascript; charset=utf-8"},
    {"uPlot.min.css", "text/css; charset=utf-8"},
};

}  // namespace

std::string live_web_dir() {
  if (const char *dir = std::getenv("QX470_LIVE_DIR"); dir && *dir) return dir;
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return QX470_LIVE_FROM_BIN;
  const std::string exe(buf, size_t(n));
  return exe.substr(0, exe.rfind('/')) + "/" + QX470_LIVE_FROM_BIN;
}

std::string load_page(const std::string &dir, std::map<std::string, std::string> &files) {
  for (const StaticFile &f : kFiles) {
    std::ifstream in(dir + "/" + f.name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    if (!in || s.str().empty())
      return "the live bench's page is missing: no '" + dir + "/" + f.name +
             "' (set QX470_LIVE_DIR to its folder)";
    files[f.name] = s.str();
  }
  return {};
}

const char *page_file_type(const std::string &name) {
  for (const StaticFile &f : kFiles)
    if (name == f.name) return f.type;
  return nullptr;
}

std::string random_token() {
  std::random_device rd;
  std::string t;
  static const char hex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    const uint32_t v = rd();
    for (int k = 0; k < 4; ++k) {
      t += hex[(v >> (8 * k + 4)) & 15];
      t += hex[(v >> (8 * k)) & 15];
    }
  }
  return t;
}

bool same_secret(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  unsigned char d = 0;
  for (size_t i = 0; i < a.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
  return d == 0;
}

std::string query_value(const std::string &query, const std::string &key) {
  size_t at = 0;
  while (at <= query.size()) {
    const size_t end = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, end - at);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == key) return eq == std::string::npos ? "" : pair.substr(eq + 1);
    at = end + 1;
  }
  return {};
}

}  // namespace qx470rec
