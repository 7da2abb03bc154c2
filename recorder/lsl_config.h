// The Lab Streaming Layer's settings, from the same file liblsl reads, so that a lab's settings
// (its scope, its known peers, its ports) apply to the recorder as to every other LSL program.
#pragma once

#include <string>
#include <vector>

namespace qx470rec {

struct LslConfig {
  int multicast_port = 16571;
  int base_port = 16572;
  int port_range = 32;
  bool allow_random_ports = true;
  bool ipv6 = true;  // "disable" turns it off; the recorder speaks IPv4 only either way
  std::string resolve_scope = "site";
  // The addresses discovery goes to, by scope (each scope includes the ones before it).
  // (IPv6 groups are left out: the recorder speaks IPv4.)
  std::vector<std::string> machine_addresses{"127.0.0.1"};
  std::vector<std::string> link_addresses{"255.255.255.255", "224.0.0.1", "224.0.0.183"};
  std::vector<std::string> site_addresses{"239.255.172.215"};
  std::vector<std::string> organization_addresses{};
  std::vector<std::string> global_addresses{};
  std::vector<std::string> addresses_override{};
  std::vector<std::string> interfaces{};  // where multicast groups are joined; empty: any
  std::string listen_address;             // what the servers bind, when given
  std::vector<std::string> known_peers{};
  std::string session_id = "default";
  std::string file;  // the file read, empty for the defaults

  // The IPv4 addresses of the resolve scope (or the override), where queries go.
  std::vector<std::string> scope_addresses() const;
  // The address servers bind: ListenAddress, else the loopback when every interface named is
  // the loopback, else any.
  std::string bind_address() const;
};

// The first of $LSLAPICFG, ./lsl_api.cfg, ~/lsl_api/lsl_api.cfg, /etc/lsl_api/lsl_api.cfg that
// exists and parses; the defaults when none does. `error` names each file passed over and why.
LslConfig load_lsl_config(std::string &error);
// The settings in `text` over the defaults.
LslConfig parse_lsl_config(const std::string &text, std::string &error);

}  // namespace qx470rec
