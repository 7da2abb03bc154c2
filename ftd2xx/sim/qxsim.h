/* Control interface of the simulated QX-470-USB bridge and amplifier.
 *
 * The simulator backend of the bridge layer implements the D2XX calls of ftd2xx.h over a
 * simulated dual-interface bridge (index 0: control channel, index 1: stream channel) with the
 * amplifier behind it. These calls let tests and users' own test rigs set it up, inject faults
 * and observe what the library did. They are safe to call from any thread.
 *
 * Behaviour of the simulated device:
 * - Control channel: every command byte is answered with its echo. 0x10 auto-zero removes the
 *   offsets of the waveforms; 0x40 switches the calibration shunt on, which adds
 *   QXSIM_SHUNT_STEP_COUNTS to every channel's waveform, 0x50 switches it off. 0x9N is followed by
 *   N+1 payload bytes and answered with the echo and one result byte: the XOR of the payload
 *   bytes. An unpowered amplifier answers nothing: a read then returns 0 bytes with FT_OK once
 *   the read time-out has passed.
 * - EEPROM user area: QXSIM_EEPROM_UA_SIZE bytes in memory; at power-on it holds "cal:312500 "
 *   and a zero byte, then 0xFF bytes.
 * - Stream channel: the stop (4A C0 00), start (4A C1 00), rate-high (8B + 4 channel bytes + 5
 *   fillers + 00) and rate-low (80 + 4 channel bytes + 6 fillers + 00) commands; bytes that form no
 *   valid command are ignored. After a start command it streams little-endian 16-bit words: in
 *   base tick t = 1, 2, 3, ... every channel whose divisor divides t delivers one sample, in the
 *   order 1, 2, 3, 0. Rate sets whose frame would exceed QXSIM_MAX_FRAME_TICKS ticks, or with
 *   every channel off, stream nothing. A start command begins a new stream: whatever of an earlier
 *   stream the host had not read is dropped.
 * - Start-up settings: when the simulator is first used in a process, these environment variables
 *   set up the device, so that a test rig can prepare a program that it starts: QXSIM_ATTACHED and
 *   QXSIM_POWERED (0 or 1), QXSIM_SIGNAL (1: test pattern), QXSIM_SPEED (as qxsim_set_speed) and
 *   QXSIM_EEPROM (text stored, with its zero byte, at the start of the user area). qxsim_reset()
 *   ignores them. For tests of a self-check: QXSIM_INPUTS=shorted (no signal at the inputs, only
 *   their offsets and noise); faults of one channel, numbered 1 to 4 as Ch1..Ch4: QXSIM_STUCK
 *   (always the same code) and QXSIM_RAILED (always 65535); of every channel: QXSIM_GAIN (a
 *   factor), QXSIM_NOISE (extra noise, RMS in counts) and QXSIM_HUM (50 Hz, amplitude in volts);
 *   QXSIM_SHUNT_STUCK=1 (the shunt commands are answered but switch nothing); QXSIM_LOSE_AT=KS
 *   (a stream with a channel at KS kS/s loses 100 words once 4096 were made); QXSIM_BUSY=1 (the
 *   bridge is listed as open in another process, and opening it fails).
 * - Pacing: words become available as the 100 kS/s ticks pass on a monotonic clock, in packets of
 *   1 ms. The receive buffer holds QXSIM_RX_BUFFER_BYTES, as much as the USB bridge keeps in
 *   flight (1.3 s at the full rate), so that the simulator loses words no more often than the real
 *   path; words the host has not read in time are lost (the oldest first) and counted, and the
 *   overrun is latched in the line status. Speed 0 delivers as fast as the host reads.
 */
#ifndef QX470_QXSIM_H
#define QX470_QXSIM_H

#include "ftd2xx.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QXSIM_EEPROM_UA_SIZE 88
#define QXSIM_RX_BUFFER_BYTES (1024 * 1024)
#define QXSIM_MAX_FRAME_TICKS 10000
#define QXSIM_SHUNT_STEP_COUNTS 3200 /* 1.000 V at 312500 nV per count */

/* Power-on state: attached, powered, real-time pacing, waveforms, the power-on EEPROM, no faults,
 * no stream limit, no extra devices, default descriptions, empty logs. Every handle is closed. */
FTD2XX_API void qxsim_reset(void);
FTD2XX_API void qxsim_set_attached(int attached);
FTD2XX_API void qxsim_set_powered(int powered);
FTD2XX_API void qxsim_set_speed(double factor);
FTD2XX_API void qxsim_set_signal(int test_pattern);
FTD2XX_API unsigned qxsim_pattern_value(int channel, unsigned n);
FTD2XX_API void qxsim_set_stream_limit(unsigned long long words);
/* The device loses the next `words` words of the stream as they come, as when its receive
 * buffer overflows: the words are counted as lost and the overrun is latched in the line status
 * (FT_GetModemStatus). */
FTD2XX_API void qxsim_drop_words(unsigned long long words);
FTD2XX_API int qxsim_eeprom_read(unsigned char *buf, int len);
FTD2XX_API int qxsim_eeprom_write(const unsigned char *buf, int len);

/* ---- Fault knobs ---- */

/* Further devices that enumeration lists after the bridge's two interfaces (0 to 8). */
FTD2XX_API void qxsim_set_extra_devices(int count);
/* Description of node 0 (the bridge's interface A); NULL restores "QX-470-USB A". */
FTD2XX_API void qxsim_set_description(const char *description);
/* Scales every time-out that the simulator waits (1.0: as asked; 0.01 makes 1000 ms last 10 ms). */
FTD2XX_API void qxsim_set_timeout_scale(double factor);

/* The next `silent` writes to the control channel get no answer; the `wrong` writes after them
 * are answered with the command byte inverted. */
FTD2XX_API void qxsim_set_echo_fault(int silent, int wrong);

enum qxsim_call {
  QXSIM_CALL_OPEN = 1,
  QXSIM_CALL_SET_TIMEOUTS,
  QXSIM_CALL_PURGE,
  QXSIM_CALL_WRITE,
  QXSIM_CALL_READ,
  QXSIM_CALL_STOP_IN_TASK,
  QXSIM_CALL_RESTART_IN_TASK,
  QXSIM_CALL_EE_READ,
  QXSIM_CALL_EE_WRITE,
  QXSIM_CALL_CLOSE,
  QXSIM_CALL_CREATE_LIST,
  QXSIM_CALL_GET_LIST,
  QXSIM_CALL_GET_MODEM_STATUS /* may be made to fail; not logged */
};

/* The next `times` calls of kind `call` on interface `index` (-1: either) return `status`
 * without doing anything (-1 times: until cleared with status 0). A failing read delivers no
 * bytes. */
FTD2XX_API void qxsim_set_fault(int call, int index, unsigned status, int times);

enum qxsim_stream_command {
  QXSIM_CMD_STOP = 1,
  QXSIM_CMD_START,
  QXSIM_CMD_RATE_HIGH,
  QXSIM_CMD_RATE_LOW
};

/* Writes to the stream channel that begin with the given command fail with `status` if it is not
 * 0, or else report `written` bytes as written (the command still takes effect only when
 * written whole). `written` -1 and status 0 clear the fault. */
FTD2XX_API void qxsim_set_command_fault(int command, unsigned status, int written);

/* ---- Observations ---- */

typedef struct qxsim_event {
  int call;                /* enum qxsim_call */
  int index;               /* interface: 0 control, 1 stream, -1 none */
  unsigned status;         /* status the call returned */
  unsigned length;         /* bytes asked for (read, write), mask (purge) or read time-out */
  unsigned done;           /* bytes written or read */
  unsigned char bytes[32]; /* the first bytes written */
} qxsim_event;

/* The log keeps the first QXSIM_LOG_CAPACITY events since the last reset or clear. */
#define QXSIM_LOG_CAPACITY (1 << 20)
FTD2XX_API void qxsim_log_clear(void);
FTD2XX_API int qxsim_log_count(void);
FTD2XX_API int qxsim_log_get(int i, qxsim_event *event);

/* Calls of one kind on one interface (-1: either) since the last reset or log clear, counted
 * whether or not the log still had room; `failed_only` counts those that did not return FT_OK. */
FTD2XX_API int qxsim_call_count(int call, int index, int failed_only);

FTD2XX_API int qxsim_open_handles(void);
FTD2XX_API int qxsim_streaming(void);
FTD2XX_API int qxsim_shunt_on(void);
/* Stream words produced since the last start command, and words lost to a full buffer. */
FTD2XX_API unsigned long long qxsim_words_sent(void);
FTD2XX_API unsigned long long qxsim_lost_words(void);
/* Divisor of a channel as the amplifier last received it (0 off). */
FTD2XX_API int qxsim_divisor(int channel);

#ifdef __cplusplus
}
#endif

#endif
