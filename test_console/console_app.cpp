// QX470USB_Test: checks the device, reads the calibration value, lets the operator choose the
// rates, then shows every 10,000th sample of each channel as a voltage until the blank key.

#include <cstdint>
#include <cstdio>

#include "QX470USB.h"
#include "console_io.h"

namespace qxconsole {

void ConsoleIo::print(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  write(text);
}

namespace {
constexpr int32_t kMidScale = 32768;
}

void format_voltage(char (&out)[32], int32_t value, float volts_per_count) {
  const float volts = static_cast<float>(value - kMidScale) * volts_per_count;
  std::snprintf(out, sizeof out, "%7.3fV ", static_cast<double>(volts));
}

namespace {

constexpr int kChannels = 4;
constexpr int32_t kDeviceReady = 101;
constexpr uint32_t kDisplayStep = 10000;
constexpr uint32_t kCalMin = 300001;
constexpr uint32_t kCalMax = 319999;
constexpr uint32_t kCalDefault = 312500;
constexpr int kExtendedPrefix = 224;
constexpr int kExitInterrupted = 130;

struct Rate {
  const char *label;
  int32_t rate;
};
constexpr Rate kRates[] = {{"  1kS/s", 1},  {"  2kS/s", 2},  {"  5kS/s", 5},  {" 10kS/s", 10},
                           {" 20kS/s", 20}, {" 50kS/s", 50}, {"100kS/s", 100}};
constexpr int kTopRate = 6;

float volts_for(uint32_t cal_value) {
  return static_cast<float>(static_cast<double>(cal_value) / 1e9);
}

int exit_prompt(ConsoleIo &io, int code) {
  io.print("\n\nHit <RETURN> to exit.\n");
  io.read_exit_char();
  return code;
}

// Waits 25 ms; prints the failure and returns false when the timer fails.
bool wait_25ms(ConsoleIo &io) {
  int error = 0;
  if (!io.timer_arm_25ms(error)) {
    io.print("SetWaitableTimer failed (%d)\n", error);
    return false;
  }
  if (!io.timer_wait(error)) {
    io.print("WaitForSingleObject failed (%d)\n", error);
    return false;
  }
  return true;
}

struct Selection {
  int32_t rate_index[kChannels] = {5, 5, 5, 5};
  int32_t cursor_channel = 0;
};

void draw_rate_line(ConsoleIo &io, const Selection &sel) {
  for (int c = 0; c < kChannels; ++c) {
    const bool cursor = c == sel.cursor_channel;
    io.write(cursor ? " [" : "  ");
    io.write(kRates[sel.rate_index[c]].label);
    Set_Sample_Rate(c, kRates[sel.rate_index[c]].rate);
    io.write(cursor ? "]" : " ");
  }
}

// Returns false when the operator interrupted the program.
bool select_rates(ConsoleIo &io, Selection &sel) {
  io.print("Select sample rate using arrow keys; hit any other key when done... \n");
  io.print("\n     Ch1       Ch2       Ch3       Ch4\n");
  for (;;) {
    draw_rate_line(io, sel);
    while (!io.key_waiting() && !io.interrupted() && wait_25ms(io)) {
    }
    io.write("\r");
    const int key = io.read_key();
    if (io.interrupted()) return false;
    if (key != kExtendedPrefix) break;
    int32_t &rate = sel.rate_index[sel.cursor_channel];
    switch (io.read_key()) {
      case 72:
        if (rate < kTopRate) ++rate;
        break;
      case 80:
        if (rate > 0) --rate;
        break;
      case 77:
        if (sel.cursor_channel < kChannels - 1) ++sel.cursor_channel;
        break;
      case 75:
        if (sel.cursor_channel > 0) --sel.cursor_channel;
        break;
      default:
        break;
    }
  }
  while (!io.interrupted() && io.key_waiting()) io.read_key();
  return !io.interrupted();
}

void print_key_help(ConsoleIo &io) {
  io.write("\n\n");
  io.write("DigIO : Cal Shunt[c/C]\n");
  io.write("\nUse '0' key to do Auto Zero\n");
  io.write("Use '1' key to toggle Cal Shunt\n");
  io.write("Use 'p' key to pause data acquisition\n");
  io.write("Use 'r' key to restart data acquisition\n");
  io.write("Use '+/-' keys to adjust calibration up and down\n");
  io.write(" \nHit space bar to halt data acquisition.\n\n");
  io.write("\nDigIO   Ch1      Ch2      Ch3      Ch4\n");
}

struct Acquisition {
  uint32_t cal_value;
  float volts_per_count;
  bool shunt_on = false;
  uint32_t next_sample[kChannels] = {};
  int32_t last_value[kChannels] = {kMidScale, kMidScale, kMidScale, kMidScale};
  int32_t boundary_count = 0;
  uint32_t last_blocks = 0;
};

// The sample counters start again with a new stream: after this console's own restart, and when
// the library began one by itself (it realigns the stream after the device lost words), which
// shows as the block count falling.
void take_up_new_stream(Acquisition &a) {
  for (uint32_t &n : a.next_sample) n = 0;
  a.boundary_count = 0;
  a.last_blocks = 0;
}

void act_on_key(Acquisition &a, int key) {
  switch (key) {
    case 'p':
    case 'P':
      Pause_Acquisition();
      break;
    case 'r':
    case 'R':
      if (Restart_Acquisition() != 0) take_up_new_stream(a);
      break;
    case '0':
      Do_Autozero();
      break;
    case '1':
      if (a.shunt_on)
        Do_Cal_Off();
      else
        Do_Cal_On();
      a.shunt_on = !a.shunt_on;
      break;
    case '+':
      a.volts_per_count = volts_for(++a.cal_value);
      break;
    case '-':
      a.volts_per_count = volts_for(--a.cal_value);
      break;
    default:
      break;
  }
}

void acquisition_loop(ConsoleIo &io, Acquisition &a) {
  for (;;) {
    if (io.interrupted()) return;  // Ctrl-C, or the end of a scripted input: as the space key
    if (io.key_waiting()) {
      const int key = io.read_key();
      if (key == ' ') return;
      act_on_key(a, key);
    }
    io.write(a.shunt_on ? "C   " : "c   ");

    const uint32_t blocks = Get_Blocks_Transferred();
    if (blocks < a.last_blocks) take_up_new_stream(a);
    a.last_blocks = blocks;
    bool new_reading = false;
    for (int c = 0; c < kChannels; ++c) {
      const int32_t v = Get_DataPoint(c, a.next_sample[c] + kDisplayStep);
      if (v >= 0) {
        a.last_value[c] = v;
        a.next_sample[c] += kDisplayStep;
        new_reading = true;
      } else if (v != -3 && v != -1) {
        io.print("\nError %d\n", v);
        return;
      }
    }

    if (!new_reading) {
      io.write("\r");
      if (!wait_25ms(io)) return;
      continue;
    }
    int passed = 0;
    for (int c = 0; c < kChannels; ++c) {
      char volts[32];
      format_voltage(volts, a.last_value[c], a.volts_per_count);
      io.write(volts);
      if (a.next_sample[c] > static_cast<uint32_t>(Get_Sample_Modulus(c))) ++passed;
    }
    io.write("\r");
    if (passed == kChannels) {
      Set_Sample_Boundary(++a.boundary_count);
      for (int c = 0; c < kChannels; ++c)
        a.next_sample[c] -= static_cast<uint32_t>(Get_Sample_Modulus(c));
    }
  }
}

}  // namespace

int run_console(ConsoleIo &io, const DeviceNotes &notes) {
  auto note = [&io](std::string (*what)()) {
    if (const std::string line = what ? what() : std::string(); !line.empty())
      io.write((line + "\n").c_str());
  };
  if (!io.framework_init()) {
    io.print("Fatal Error: MFC initialization failed\n");
    return 1;
  }
  io.write("QX470USB_Test - bench check for the QX-470-USB\n");
  io.write("Four-channel 16-bit USB data-acquisition amplifier\n");
  io.write("Checks the device, shows live voltages, trims the calibration\n");
  io.write("----------------------------------------------------------------\n");
  note(notes.bridge);

  int32_t status = Get_QX470USB_Status();
  if (status != kDeviceReady) {
    status = Get_QX470USB_Status();
    if (status == -8) {
      io.print("Device is not powered\n");
      note(notes.holder);
    } else if (status == -5)
      io.print("No Device\n");
    else
      io.print("Unexpected Status %d\n", status);
    return exit_prompt(io, 0);
  }
  io.print("Device Ready.\n");
  Do_Cal_Off();

  Acquisition a{};
  a.cal_value = static_cast<uint32_t>(Get_Calibration_Data());
  if (a.cal_value >= kCalMin && a.cal_value <= kCalMax) {
    io.print("\n\rCal Data set to : %d\n\r", static_cast<int>(a.cal_value));
  } else {
    io.print("\n\rCalibration Data could not be read from EEPROM\n");
    a.cal_value = kCalDefault;
  }
  a.volts_per_count = volts_for(a.cal_value);

  int error = 0;
  if (!io.timer_create(error)) {
    io.print("CreateWaitableTimer failed (%d)\n", error);
    return 1;
  }

  Selection sel;
  if (!select_rates(io, sel)) {
    io.write("\n");
    return exit_prompt(io, kExitInterrupted);
  }
  print_key_help(io);
  LV_Start_Acquisition();

  acquisition_loop(io, a);

  io.write("\n");
  Stop_Acquisition();
  if (Set_Calibration_Data(static_cast<int32_t>(a.cal_value)) == 1)
    io.print("\n\rCal Data set to : %d\n\r", static_cast<int>(a.cal_value));
  else
    io.print("\n\rWarning ... Cal Data not saved.\n\r");
  return exit_prompt(io, 0);
}

}  // namespace qxconsole
