#include "live_bench.h"

#include <ostream>

#include "QX470USB.h"
#include "live_page.h"

namespace qx470rec {

std::string LiveBench::listen(const Options &opts) {
  return server_.listen(opts.serve_address, opts.serve_port, live_web_dir());
}

void LiveBench::begin(const RecordingInfo &info, const std::vector<std::string> &files,
                      std::ostream &err) {
  LiveStatus base;
  base.serial = info.serial;
  base.bridge = qx470reader::bridge_kind_words(info.bridge.kind);
  base.calibration = info.calibration;
  base.files = files;
  tap_.status(base);
  tap_.set_volts_per_count(info.volts_per_count());
  server_.start();
  err << "qx470-record: live bench at " << server_.url() << "\n";
}

void LiveBench::run_commands(std::vector<Event> &events) {
  for (LiveCommand &c : tap_.take_commands()) {
    std::string error, text = c.text;
    double when = c.steady;
    if (c.kind == LiveCommand::kAutoZero) {
      when = steady_now();
      text = "auto-zero";
      if (Do_Autozero() != 1) error = "the amplifier did not acknowledge auto-zero";
    } else if (c.kind == LiveCommand::kShunt) {
      when = steady_now();
      text = c.on ? "shunt on" : "shunt off";
      if ((c.on ? Do_Cal_On() : Do_Cal_Off()) != 1)
        error = "the amplifier did not acknowledge the " + text;
      else
        shunt_ = c.on;
    }
    if (error.empty()) {
      Event e;
      e.text = event_text(text, kEventTextBytes);
      e.steady = when;
      events.push_back(std::move(e));
    }
    if (c.done) c.done(error);
  }
}

void LiveBench::leave_shunt_off(std::vector<Event> &events) {
  if (!shunt_) return;
  LiveCommand off;
  off.kind = LiveCommand::kShunt;
  off.on = false;
  tap_.post(std::move(off));
  run_commands(events);
}

void LiveBench::refuse_commands() {
  for (LiveCommand &c : tap_.take_commands())
    if (c.done) c.done("the recording has ended");
}

}  // namespace qx470rec
