#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "devices.h"
#include "output_claim.h"
#include "session.h"

namespace qx470rec {

namespace {

// The library's thread is still finishing a block and the reader with it: the file is
// complete, so the program ends here rather than tear the reader down under that thread.
[[noreturn]] void end_now(SessionIo &io, int code) {
  io.err.flush();
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace

int run_record(const Options &opts, SessionIo &io) {
  const bool to_files = !opts.output.empty();
  // Before the device is touched: no recording replaces a file by accident, nor, even with -f,
  // a file that another recording is writing.
  if (to_files)
    if (const std::string e =
            outputs_taken(planned_files(opts.output, opts.format, opts.rates), opts.force);
        !e.empty()) {
      io.err << "qx470-record: " << e << "\n";
      return kExitBadArguments;
    }
  // Event sources open before the device is touched, so a port in use is said at once.
  EventSources events;
  for (const std::string &source : opts.events) {
    bool bad_argument = false;
    if (std::string e = events.add(source, bad_argument); !e.empty()) {
      io.err << "qx470-record: " << e << "\n";
      return bad_argument ? kExitBadArguments : kExitDeviceOrFile;
    }
  }
  // The live bench's port too.
  std::optional<LiveBench> live;
  if (opts.serve_port >= 0) {
    if (std::string e = live.emplace(opts).listen(opts); !e.empty()) {
      io.err << "qx470-record: " << e << "\n";
      return kExitDeviceOrFile;
    }
  }
  // The outlet's ports too, from the lab's LSL settings.
  std::optional<LslOutlet> outlet;
  if (!opts.lsl_name.empty()) {
    std::string config_error;
    const LslConfig config = load_lsl_config(config_error);
    if (!config_error.empty()) io.err << "qx470-record: warning: " << config_error << "\n";
    if (std::string e = outlet.emplace().listen(config, opts.rates); !e.empty()) {
      io.err << "qx470-record: " << e << "\n";
      return kExitDeviceOrFile;
    }
  }
  RecordingInfo info;
  if (!opts.lsl_name.empty()) info.stream_name = opts.lsl_name;
  info.rates = opts.rates;
  info.replace_files = opts.force;
  // The page's marks are events too.
  info.events = !opts.events.empty() || live;
  info.volts = opts.volts;
  for (const std::string &source : opts.events)
    if (source.rfind("lsl:", 0) == 0) info.events_hold_seconds = 2.0;
  info.names = opts.labels;
  info.subject = opts.subject;
  info.meta = opts.meta;
  if (!prepare_device(io, info, !opts.quiet)) return kExitDeviceOrFile;

  std::unique_ptr<Recording> writer;
  if (to_files) {
    writer = std::make_unique<Recording>(opts.format);
    if (std::string e = writer->open(opts.output, info); !e.empty()) {
      io.err << "qx470-record: " << e << "\n";
      writer->finish();
      return kExitDeviceOrFile;
    }
  }
  if (live) live->begin(info, writer ? writer->paths() : std::vector<std::string>(), io.err);
  Session session(opts, io, writer.get(), events.empty() ? nullptr : &events,
                  live ? &*live : nullptr);
  if (outlet) {
    outlet->begin(opts.lsl_name, info);
    std::string names;
    for (const LslStreamInfo &s : outlet->streams()) names += (names.empty() ? "" : ", ") + s.name;
    if (!opts.quiet) io.err << "qx470-record: publishing on LSL: " << names << "\n";
    session.publish_on(&*outlet);
  }
  if (!session.start()) {
    io.err << "qx470-record: the acquisition did not start\n";
    if (writer) writer->finish();
    return kExitDeviceOrFile;
  }
  session.run();
  session.finish();
  const int code = session.report();
  session.stop_amplifier();
  if (io.left_running) end_now(io, code);
  return code;
}

}  // namespace qx470rec
