#include "lsl_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qx470rec {

namespace {

std::string trim(const std::string &s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// "{a, b}" or "a, b" as its items.
std::vector<std::string> list(std::string v) {
  v = trim(v);
  if (!v.empty() && v.front() == '{') v.erase(0, 1);
  if (!v.empty() && v.back() == '}') v.pop_back();
  std::vector<std::string> items;
  std::stringstream in(v);
  for (std::string item; std::getline(in, item, ',');)
    if (!trim(item).empty()) items.push_back(trim(item));
  return items;
}

bool ipv4(const std::string &a) {
  in_addr addr{};
  return inet_pton(AF_INET, a.c_str(), &addr) == 1;
}

bool flag(const std::string &v) {
  std::string l = v;
  std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return std::tolower(c); });
  return !(l == "0" || l == "false" || l == "no" || l == "off" || l == "disable" ||
           l == "disabled");
}

}  // namespace

std::vector<std::string> LslConfig::scope_addresses() const {
  std::vector<std::string> all;
  if (!addresses_override.empty()) {
    all = addresses_override;
  } else {
    const char *scopes[] = {"machine", "link", "site", "organization", "global"};
    const std::vector<std::string> *lists[] = {&machine_addresses, &link_addresses, &site_addresses,
                                               &organization_addresses, &global_addresses};
    for (int i = 0; i < 5; ++i) {
      all.insert(all.end(), lists[i]->begin(), lists[i]->end());
      if (resolve_scope == scopes[i]) break;
    }
  }
  std::vector<std::string> v4;
  for (const std::string &a : all)
    if (ipv4(a)) v4.push_back(a);
  return v4;
}

std::string LslConfig::bind_address() const {
  if (ipv4(listen_address)) return listen_address;
  // Interfaces that are all this machine's loopback keep the servers there (a configuration for
  // tests and single-machine use); otherwise they listen on every address, as liblsl's do, and
  // the interfaces say where multicast groups are joined.
  std::string loopback;
  for (const std::string &a : interfaces) {
    if (!ipv4(a)) continue;
    if (a.rfind("127.", 0) != 0) return "0.0.0.0";
    if (loopback.empty()) loopback = a;
  }
  return loopback.empty() ? "0.0.0.0" : loopback;
}

LslConfig parse_lsl_config(const std::string &text, std::string &error) {
  LslConfig c;
  std::stringstream in(text);
  std::string section;
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    line = trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      section = trim(line.substr(1, line.find(']') - 1));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      if (error.empty()) error = "line " + std::to_string(line_no) + " is not KEY = VALUE";
      continue;
    }
    const std::string key = section + "." + trim(line.substr(0, eq));
    const std::string v = trim(line.substr(eq + 1));
    auto port = [&](int &to) {
      const int p = std::atoi(v.c_str());
      if (p > 0 && p < 65536)
        to = p;
      else if (error.empty())
        error = key + " is not a port: " + v;
    };
    if (key == "ports.MulticastPort")
      port(c.multicast_port);
    else if (key == "ports.BasePort")
      port(c.base_port);
    else if (key == "ports.PortRange")
      c.port_range = std::clamp(std::atoi(v.c_str()), 1, 1000);
    else if (key == "ports.AllowRandomPorts")
      c.allow_random_ports = v == "1";  // as liblsl reads it
    else if (key == "multicast.ListenAddress")
      c.listen_address = v;
    else if (key == "ports.IPv6")
      c.ipv6 = flag(v);
    else if (key == "multicast.ResolveScope")
      c.resolve_scope = v;
    else if (key == "multicast.MachineAddresses")
      c.machine_addresses = list(v);
    else if (key == "multicast.LinkAddresses")
      c.link_addresses = list(v);
    else if (key == "multicast.SiteAddresses")
      c.site_addresses = list(v);
    else if (key == "multicast.OrganizationAddresses")
      c.organization_addresses = list(v);
    else if (key == "multicast.GlobalAddresses")
      c.global_addresses = list(v);
    else if (key == "multicast.AddressesOverride")
      c.addresses_override = list(v);
    else if (key == "multicast.Interfaces")
      c.interfaces = list(v);
    else if (key == "lab.KnownPeers")
      c.known_peers = list(v);
    else if (key == "lab.SessionID")
      c.session_id = v;
  }
  // No port of the range past the last there is.
  c.port_range = std::min(c.port_range, 65536 - c.base_port);
  const char *scopes[] = {"machine", "link", "site", "organization", "global"};
  if (std::find(std::begin(scopes), std::end(scopes), c.resolve_scope) == std::end(scopes)) {
    if (error.empty()) error = "ResolveScope must be machine, link, site, organization or global";
    c.resolve_scope = "site";
  }
  return c;
}

LslConfig load_lsl_config(std::string &error) {
  std::vector<std::string> candidates;
  if (const char *env = std::getenv("LSLAPICFG"); env && *env) candidates.push_back(env);
  candidates.push_back("lsl_api.cfg");
  if (const char *home = std::getenv("HOME"); home && *home)
    candidates.push_back(std::string(home) + "/lsl_api/lsl_api.cfg");
  candidates.push_back("/etc/lsl_api/lsl_api.cfg");
  for (const std::string &path : candidates) {
    std::ifstream f(path);
    if (!f) continue;
    std::stringstream text;
    text << f.rdbuf();
    std::string e;
    LslConfig c = parse_lsl_config(text.str(), e);
    c.file = path;
    // As liblsl does, a file that does not parse is passed over for the next.
    if (!e.empty()) {
      error += (error.empty() ? "" : "; ") + path + ": " + e + " (passed over)";
      continue;
    }
    return c;
  }
  return LslConfig();
}

}  // namespace qx470rec
