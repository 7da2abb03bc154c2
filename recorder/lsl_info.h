// A stream as the Lab Streaming Layer describes it: the XML an outlet answers queries with, that
// an inlet reads back, and that an XDF file keeps in its stream headers. The recording's streams
// (one per rate, and its markers) are described here once for the outlet and the XDF writer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "recording_info.h"

namespace qx470rec {

struct LslStreamInfo {
  std::string name;
  std::string type;
  int channel_count = 1;
  std::string channel_format = "float32";  // or "string"
  double nominal_srate = 0;                // samples per second; 0 for irregular streams
  std::string source_id;
  std::string uid;
  double created_at = 0;  // on the LSL clock
  std::string session_id = "default";
  std::string hostname;
  std::string v4address;  // empty: the inlet takes the address the answer came from
  int v4data_port = 0;
  int v4service_port = 0;
  std::string desc;  // the inner XML of <desc>, already escaped
  // The recording's channels in this stream (library channels), empty for the markers.
  std::vector<int> channels;
};

// The info without <desc> (what discovery answers) and with it (LSL:fullinfo, XDF headers).
std::string shortinfo_xml(const LslStreamInfo &info);
std::string fullinfo_xml(const LslStreamInfo &info);
// Whether the stream answers an inlet's query: an XPath predicate on /info, as liblsl takes it
// ("name='bench'", "type='Markers' and name='x'"); an empty query matches every stream. A query
// that does not parse, or whose cost has no small bound ("//", axes, deep nesting), matches
// nothing.
bool lsl_query_matches(const std::string &info_xml, const std::string &query);
// The info in an answer; nothing when it is not a stream's info.
std::optional<LslStreamInfo> parse_lsl_info(const std::string &xml);
// Text as XML character data.
std::string xml_escape(const std::string &text);
// A fresh stream uid: 128 random bits written as a UUID.
std::string random_uid();

// The recording's data streams, fastest first: `name` when every channel has one rate, else
// "name-<rate>k" for each rate; float32 values in volts. The markers stream is "name-markers".
std::vector<LslStreamInfo> recording_streams(const std::string &name, const RecordingInfo &info);
LslStreamInfo markers_stream(const std::string &name, const RecordingInfo &info);

}  // namespace qx470rec
