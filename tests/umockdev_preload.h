// Programs that use the emulated USB device must run under umockdev's preload library; this
// restarts the program under it when it was started without, so that it runs the same from
// ctest, from a shell or from a debugger.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qxtest {

inline void run_under_umockdev_preload(char **argv) {
  constexpr const char *kPreload = "libumockdev-preload.so.0";
  const char *preload = std::getenv("LD_PRELOAD");
  if (preload && std::strstr(preload, "libumockdev-preload")) return;
  const std::string with = preload && *preload ? std::string(preload) + ":" + kPreload : kPreload;
  setenv("LD_PRELOAD", with.c_str(), 1);
  // AddressSanitizer's runtime then no longer comes first in the list, which is fine here.
  const char *asan = std::getenv("ASAN_OPTIONS");
  const std::string options =
      asan && *asan ? std::string(asan) + ":verify_asan_link_order=0" : "verify_asan_link_order=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("cannot restart under libumockdev-preload");
  std::exit(1);
}

}  // namespace qxtest
