// The tests' side of the Lab Streaming Layer: a loopback-only configuration for every process a
// test starts, an inlet of float streams over the project's own wire code, and the simulator's
// test pattern in volts.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lsl_inlet.h"
#include "lsl_wire.h"
#include "qxsim.h"

namespace qxtest {

// Every LSL exchange of a test stays on the loopback: no discovery reaches a multicast group or
// the broadcast address.
inline const char *kLoopbackLslConfig =
    "; the tests' LSL settings: this machine's loopback only\n"
    "[ports]\nIPv6 = disable\n"
    "[multicast]\nResolveScope = machine\nMachineAddresses = {127.0.0.1}\n"
    "Interfaces = {127.0.0.1}\n"
    "[lab]\nKnownPeers = {127.0.0.1}\n";

// Writes the configuration into `dir` and names it in LSLAPICFG for this process and the
// programs it starts; returns it parsed.
inline qx470rec::LslConfig use_loopback_lsl(const std::filesystem::path &dir) {
  const std::filesystem::path cfg = dir / "lsl_api.cfg";
  std::ofstream(cfg) << kLoopbackLslConfig;
  setenv("LSLAPICFG", cfg.c_str(), 1);
  std::string error;
  return qx470rec::load_lsl_config(error);
}

// The stream `name`, resolved within `seconds`.
inline bool resolve_stream(const qx470rec::LslConfig &config, const std::string &name,
                           double seconds, qx470rec::LslStreamInfo &info, sockaddr_in &from) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const auto found = qx470rec::LslMarkerInlet::resolve(config, "name='" + name + "'", 300);
    if (!found.empty()) {
      info = found.front().first;
      from = found.front().second;
      from.sin_port = htons(uint16_t(info.v4data_port));
      return true;
    }
  }
  return false;
}

// The simulator's sample n of a channel, in volts as a float, at the default calibration.
inline float pattern_volts(int channel, uint64_t n) {
  const int code = int(qxsim_pattern_value(channel, unsigned(n)));
  return float(code - 32768) * float(312500 * 1e-9);
}

// What a TCP peer sends until it closes (or `seconds` pass).
inline std::string read_to_end(const qx470rec::lsl::Socket &s, double seconds) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd pf{s.fd(), POLLIN, 0};
    if (poll(&pf, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
    if (n <= 0) break;
    text.append(buf, size_t(n));
  }
  return text;
}

struct Pulled {
  std::vector<double> times;
  std::vector<float> values;  // `channels` a sample
  std::string error;
};

// An inlet of a float32 stream: the 1.10 handshake, the two test-pattern samples checked, then
// samples until the outlet closes or `seconds` pass.
inline Pulled pull_floats(const sockaddr_in &to, const std::string &uid, int channels,
                          double seconds) {
  Pulled p;
  qx470rec::lsl::Socket s = qx470rec::lsl::connect_tcp(to, 5000);
  if (!s) {
    p.error = "cannot connect";
    return p;
  }
  const std::string request = "LSL:streamfeed/110 " + uid +
                              "\r\nNative-Byte-Order: 1234\r\nValue-Size: 4\r\n"
                              "Data-Protocol-Version: 110\r\nMax-Buffer-Length: 360000\r\n\r\n";
  ::send(s.fd(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string in;
  bool head = true;
  int patterns = 2;
  const size_t bytes = 9 + 4 * size_t(channels);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd pf{s.fd(), POLLIN, 0};
    if (poll(&pf, 1, 200) <= 0) continue;
    char buf[1 << 16];
    const ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
    if (n <= 0) break;
    in.append(buf, size_t(n));
    if (head) {
      const size_t blank = in.find("\r\n\r\n");
      if (blank == std::string::npos) continue;
      if (in.rfind("LSL/110 200 OK\r\n", 0) != 0) {
        p.error = "answer: " + in.substr(0, blank);
        return p;
      }
      in.erase(0, blank + 4);
      head = false;
    }
    size_t pos = 0;
    for (; in.size() - pos >= bytes; pos += bytes) {
      if (in[pos] != char(qx470rec::lsl::kTransmittedTimestamp)) {
        p.error = "a sample without its time";
        return p;
      }
      double t;
      std::memcpy(&t, in.data() + pos + 1, 8);
      std::vector<float> v(static_cast<size_t>(channels));
      std::memcpy(v.data(), in.data() + pos + 9, 4 * size_t(channels));
      if (patterns > 0) {
        for (int k = 0; k < channels; ++k)
          if (t != qx470rec::lsl::kTestPatternTime ||
              v[size_t(k)] != float(k + (patterns == 2 ? 4 : 2)) * (k % 2 ? -1.0f : 1.0f))
            p.error = "test pattern wrong";
        --patterns;
        continue;
      }
      p.times.push_back(t);
      p.values.insert(p.values.end(), v.begin(), v.end());
    }
    in.erase(0, pos);
  }
  return p;
}

}  // namespace qxtest
