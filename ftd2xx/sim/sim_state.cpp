#include "sim_state.h"

#include "stream_commands.h"

namespace qxsim::d2xx {

Sim &sim() {
  // Never destroyed: a host that exits while acquiring has the library's thread waiting in
  // FT_Read on this state while the exit handlers run.
  static Sim *instance = new Sim;
  return *instance;
}

int Sim::command_of(const uint8_t *bytes, size_t n) {
  StreamCommandParser parser;
  for (size_t i = 0; i < n; ++i) {
    switch (parser.feed(bytes[i]).kind) {
      case StreamCommand::kStop:
        return QXSIM_CMD_STOP;
      case StreamCommand::kStart:
        return QXSIM_CMD_START;
      case StreamCommand::kRateHigh:
        return QXSIM_CMD_RATE_HIGH;
      case StreamCommand::kRateLow:
        return QXSIM_CMD_RATE_LOW;
      case StreamCommand::kNone:
        break;
    }
  }
  return 0;
}

}  // namespace qxsim::d2xx
