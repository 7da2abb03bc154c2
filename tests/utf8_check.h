// Whether a text is UTF-8 that a strict decoder takes (glibc's iconv), judged apart from the
// recorder's own code that makes texts valid.
#pragma once

#include <iconv.h>

#include <string>
#include <vector>

namespace qxtest {

inline bool strict_utf8(std::string text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  std::vector<char> out(text.size() * 4 + 8);
  char *ip = text.data(), *op = out.data();
  size_t il = text.size(), ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  return r != size_t(-1) && il == 0;
}

}  // namespace qxtest
