#include "lsl_info.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include <pugixml.hpp>

#include "events.h"

namespace qx470rec {

namespace {

std::string number(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string info_xml(const LslStreamInfo &s, bool full) {
  std::string x = "<?xml version=\"1.0\"?>\n<info>\n";
  auto field = [&x](const char *tag, const std::string &value) {
    x += std::string("\t<") + tag + (value.empty() ? " />\n" : ">" + value + "</" + tag + ">\n");
  };
  field("name", xml_escape(s.name));
  field("type", xml_escape(s.type));
  field("channel_count", std::to_string(s.channel_count));
  field("channel_format", s.channel_format);
  field("source_id", xml_escape(s.source_id));
  field("nominal_srate", number(s.nominal_srate));
  // liblsl reads the protocol from it: 1.1 is data protocol 1.10.
  field("version", "1.100000000000000");
  field("created_at", number(s.created_at));
  field("uid", xml_escape(s.uid));
  field("session_id", xml_escape(s.session_id));
  field("hostname", xml_escape(s.hostname));
  field("v4address", xml_escape(s.v4address));
  field("v4data_port", std::to_string(s.v4data_port));
  field("v4service_port", std::to_string(s.v4service_port));
  field("v6address", "");
  field("v6data_port", "0");
  field("v6service_port", "0");
  field("desc", full ? s.desc : "");
  return x + "</info>\n";
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string element(const char *tag, const std::string &value) {
  return std::string("<") + tag + ">" + xml_escape(value) + "</" + tag + ">";
}

// What every stream of the recording says of the amplifier, after its own channels.
std::string acquisition_xml(const RecordingInfo &info) {
  std::string x = "<acquisition>";
  x += element("model", kDeviceName);
  x += element("serial_number", info.serial);
  x += element("calibration_nv_per_count", std::to_string(info.calibration));
  x += element("volts_per_count", info.volts_per_count_text());
  x += element("bridge", qx470reader::describe(info.bridge));
  x += element("simulated",
               info.bridge.kind == qx470reader::BridgeKind::kSimulated ? "true" : "false");
  x += "</acquisition>";
  if (!info.subject.empty()) x += "<subject>" + element("id", info.subject) + "</subject>";
  if (!info.meta.empty()) {
    x += "<notes>";
    for (const auto &[key, value] : info.meta)
      x += "<note>" + element("key", key) + element("value", value) + "</note>";
    x += "</notes>";
  }
  return x;
}

}  // namespace

std::string xml_escape(const std::string &text) {
  std::string out;
  for (char c : text) switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  return out;
}

std::string shortinfo_xml(const LslStreamInfo &info) {
  return info_xml(info, false);
}
std::string fullinfo_xml(const LslStreamInfo &info) {
  return info_xml(info, true);
}

bool lsl_query_matches(const std::string &info_xml, const std::string &query) {
  if (query.empty()) return true;
  // What liblsl sends is a few comparisons on the child elements. Axes that search the whole
  // tree from every node, nested, cost the node count to the power of their depth: a query that
  // could keep the outlet busy is answered by no stream.
  if (query.size() > 1024 || query.find("//") != std::string::npos ||
      query.find("::") != std::string::npos || std::count(query.begin(), query.end(), '[') > 4)
    return false;
  pugi::xml_document doc;
  if (!doc.load_string(info_xml.c_str())) return false;
  // A boolean XPath expression with the stream's <info> as its context, as liblsl evaluates it.
  try {
    pugi::xpath_query q(query.c_str());
    return q.evaluate_boolean(doc.first_child());
  } catch (const pugi::xpath_exception &) {
    return false;
  }
}

std::optional<LslStreamInfo> parse_lsl_info(const std::string &xml) {
  pugi::xml_document doc;
  if (!doc.load_string(xml.c_str())) return std::nullopt;
  const pugi::xml_node i = doc.child("info");
  if (!i || !i.child("uid") || !i.child("name")) return std::nullopt;
  LslStreamInfo s;
  s.name = i.child_value("name");
  s.type = i.child_value("type");
  s.channel_count = i.child("channel_count").text().as_int(1);
  s.channel_format = i.child_value("channel_format");
  s.nominal_srate = i.child("nominal_srate").text().as_double();
  s.source_id = i.child_value("source_id");
  s.uid = i.child_value("uid");
  s.created_at = i.child("created_at").text().as_double();
  s.session_id = i.child_value("session_id");
  s.hostname = i.child_value("hostname");
  s.v4address = i.child_value("v4address");
  s.v4data_port = i.child("v4data_port").text().as_int();
  s.v4service_port = i.child("v4service_port").text().as_int();
  return s;
}

std::string random_uid() {
  std::random_device rd;
  std::uniform_int_distribution<int> hex(0, 15);
  std::string u;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) u += '-';
    u += "0123456789abcdef"[hex(rd)];
  }
  return u;
}

std::vector<LslStreamInfo> recording_streams(const std::string &name, const RecordingInfo &info) {
  const std::vector<RateGroup> groups = rate_groups(info.rates);
  std::vector<LslStreamInfo> streams;
  const std::string serial = info.serial.empty() ? "unknown" : info.serial;
  for (const RateGroup &g : groups) {
    LslStreamInfo s;
    s.name = groups.size() == 1 ? name : name + "-" + std::to_string(g.rate) + "k";
    s.type = "Voltage";
    s.channel_count = int(g.channels.size());
    s.nominal_srate = g.rate * 1000.0;
    // The same amplifier at the same rates is the same source after a restart.
    s.source_id = "qx470-" + serial + "-";
    for (int c = 0; c < 4; ++c)
      if (info.rates[size_t(c)] > 0)
        s.source_id += std::string(c ? "," : "") + "Ch" + std::to_string(c + 1) + "=" +
                       std::to_string(info.rates[size_t(c)]) + "k";
    if (groups.size() > 1) s.source_id += "-" + std::to_string(g.rate) + "k";
    s.channels = g.channels;
    s.desc = "<channels>";
    for (int c : g.channels)
      s.desc += "<channel>" + element("label", info.label(c)) + element("unit", "volts") +
                element("type", "Voltage") + "</channel>";
    s.desc += "</channels>" + acquisition_xml(info);
    streams.push_back(s);
  }
  for (LslStreamInfo &s : streams) {
    s.uid = random_uid();
    s.created_at = steady_now();
    s.hostname = host_name();
  }
  return streams;
}

LslStreamInfo markers_stream(const std::string &name, const RecordingInfo &info) {
  LslStreamInfo s;
  s.name = name + "-markers";
  s.type = "Markers";
  s.channel_format = "string";
  s.source_id =
      "qx470-" + (info.serial.empty() ? std::string("unknown") : info.serial) + "-markers";
  s.desc = "<channels><channel>" + element("label", "events") + element("type", "Marker") +
           "</channel></channels>" + acquisition_xml(info);
  s.uid = random_uid();
  s.created_at = steady_now();
  s.hostname = host_name();
  return s;
}

}  // namespace qx470rec
