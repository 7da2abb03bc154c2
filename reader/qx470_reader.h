/* qx470_reader: what every host of the QX-470-USB needs besides the library's twenty exports,
 * as plain C calls for hosts in any language (Python through ctypes among them), so that every
 * host decides alike:
 *   - the continuous reader: a 64-bit sample index per channel, the library's boundary steps
 *     taken for it, and every lost stretch and restart returned as a gap with its extent;
 *   - the amplifier: which are attached, choosing one, getting it ready as the console does,
 *     what its status codes mean, and when a stream that stopped means it is gone;
 *   - the rates the amplifier runs at, the rate list as people type it ("1=100,2=off") and the
 *     samples a recording of a given length takes.
 *
 * The reader owns the library's sample boundary, which is one value for the whole process: at
 * most one reader is open at a time. A reader is used by one thread at a time; a call that meets
 * another call on the same reader is refused with QX470_ERR_BUSY. Channels are the library's, 0
 * to 3. No call lets a C++ exception out; running out of memory is QX470_ERR_NO_MEMORY. */
#ifndef QX470_READER_H
#define QX470_READER_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QX470_READER_BUILDING)
#define QX470_READER_API __declspec(dllexport)
#else
#define QX470_READER_API __declspec(dllimport)
#endif
#else
#define QX470_READER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the calls that return a result code. */
enum {
  QX470_OK = 0,
  QX470_READ_GAP = -1,         /* qx470_reader_read: a gap comes first */
  QX470_ERR_BAD_ARGUMENT = -2, /* a null pointer, a channel out of range, a rate not run */
  QX470_ERR_NO_MEMORY = -3,    /* nothing was changed */
  QX470_ERR_BUSY = -4,         /* another reader is open, or another thread is in this one */
  QX470_ERR_REFUSED = -6,      /* the library refused to start or restart */
  QX470_ERR_NOT_STARTED = -7,  /* the reader is not running */
  QX470_ERR_BRIDGE = -9        /* the bridge could not list its devices */
};
/* The name the earlier interface gave it. */
#define QX470_READ_BAD_ARGUMENT QX470_ERR_BAD_ARGUMENT

/* Text for a result code: "bad argument", "out of memory", ... */
QX470_READER_API const char *qx470_result_words(int32_t result);

/* The version of this library, "MAJOR.MINOR.PATCH"; the QX470USB library has the same. */
QX470_READER_API const char *qx470_reader_version(void);

/* ---- Rates ---- */

/* The rates the amplifier runs at, in kS/s, fastest first, into `rates_ks` (at most
 * `capacity`). Returns how many there are (7). */
QX470_READER_API int32_t qx470_rates(int32_t *rates_ks, int32_t capacity);

/* Parses "1=100,2=10,3=off" (channels 1 to 4; channels not named are off) into kS/s by library
 * channel. QX470_OK, or QX470_ERR_BAD_ARGUMENT with the reason in `message` (at most `capacity`
 * bytes with the terminating zero; `message` may be NULL). */
QX470_READER_API int32_t qx470_parse_rates(const char *text, int32_t rates_ks[4], char *message,
                                           int32_t capacity);

/* Samples each channel takes: `seconds` of every channel, or `samples` of the fastest and the
 * others in proportion (rounded down); UINT64_MAX each when both are 0 (no end); 0 for channels
 * that are off. QX470_OK, or QX470_ERR_BAD_ARGUMENT with the reason in `message`. */
QX470_READER_API int32_t qx470_sample_targets(const int32_t rates_ks[4], double seconds,
                                              uint64_t samples, uint64_t targets[4], char *message,
                                              int32_t capacity);

/* ---- The amplifier ---- */

typedef struct qx470_amplifier {
  char serial[64];
  char description[64];
  uint32_t location; /* bus << 12 | address << 4 | 1 on Linux */
} qx470_amplifier;

/* The attached amplifiers (only the chosen one once a choice is made), by location, into `out`
 * (at most `capacity`; `out` may be NULL to count). Returns how many there are, or
 * QX470_ERR_BRIDGE. */
QX470_READER_API int32_t qx470_amplifiers(qx470_amplifier *out, int32_t capacity);

/* Makes this process use the amplifier with this serial number; NULL or "" for the only one
 * attached. Call it before the library opens the device. It sets QX470_USB_SERIAL, which the
 * bridge reads, so programs this process starts use the same one. */
QX470_READER_API int32_t qx470_choose_amplifier(const char *serial);
/* The serial number chosen (here or in the environment), "" for none. Returns its length. */
QX470_READER_API int32_t qx470_chosen_amplifier(char *serial, int32_t capacity);

/* Every device the bridge lists (each interface of an amplifier is one, other devices on the
 * bridge's ids too), as the bridge gives them, into `out` (at most `capacity`; `out` may be NULL
 * to count). Returns how many there are, or QX470_ERR_BRIDGE. The library uses an amplifier
 * only when its two interfaces are all the bridge lists. */
typedef struct qx470_bridge_node {
  char serial[16];
  char description[64];
  uint32_t location;
  uint32_t flags; /* 1: another process has it open */
} qx470_bridge_node;
QX470_READER_API int32_t qx470_bridge_nodes(qx470_bridge_node *out, int32_t capacity);

/* Whether another process has the amplifier with this serial number (NULL or "" for the only
 * one) open: 1 held, 0 not. *pid is the holder's process id and `name` its command name (at most
 * `capacity` bytes with the terminating zero) when they can be found, else 0 and "". Either may
 * be NULL. An amplifier that is held answers no command, as if it were not powered. */
QX470_READER_API int32_t qx470_amplifier_holder(const char *serial, int32_t *pid, char *name,
                                                int32_t capacity);

typedef struct qx470_device_check {
  int32_t status;            /* Get_QX470USB_Status: 101 ready, -5 no device, -8 not powered */
  int32_t calibration_read;  /* the EEPROM's value, when ready */
  int32_t calibration;       /* nV per count to use: the value read if valid, else the default */
  int32_t calibration_valid; /* 1 when the value read lies in the valid range */
  int32_t shunt_off;         /* 1 when the calibration shunt was switched off */
  int32_t calibration_min, calibration_max, calibration_default;
} qx470_device_check;

/* One status call; when ready, the calibration value, and, when `prepare` is 1, the calibration
 * shunt switched off first as before an acquisition. QX470_OK when ready, else the status (-5,
 * -8, ...) with `check` filled in; QX470_ERR_BAD_ARGUMENT for a null `check`. */
QX470_READER_API int32_t qx470_check_device(int32_t prepare, qx470_device_check *check);

/* What a status means to a person ("ready (status 101)", why no amplifier was found, ...), into
 * `text`; lines are joined with '\n'. Returns the length of the whole text (as snprintf does). */
QX470_READER_API int32_t qx470_status_words(int32_t status, char *text, int32_t capacity);

/* ---- The continuous reader ---- */

typedef struct qx470_reader qx470_reader;

enum { QX470_GAP_LOST = 1, QX470_GAP_RESTART = 2, QX470_GAP_REALIGN = 3, QX470_GAP_CLOCK = 4 };

/* Samples [index, index + count) of `channel` are missing; the next sample read is index +
 * count. QX470_GAP_LOST: they left the ring before they were read. QX470_GAP_RESTART: a new
 * stream begins there (the reader paused and restarted); its count is what the old stream had but
 * was never read. QX470_GAP_REALIGN: a new stream begins there that the reader did not ask for
 * (the library realigned the stream after the device lost words below it); its count is what the
 * old stream had but was never read plus the time until the new one began, at the channel's rate.
 * QX470_GAP_CLOCK: the stream brought fewer samples than the steady clock says it sent, and no
 * layer reported the loss; its count is the shortfall. */
typedef struct qx470_gap {
  int32_t channel;
  int32_t kind;
  uint64_t index;
  uint64_t count;
} qx470_gap;
/* The kind in one word: "lost", "restart", "realign", "clock"; NULL for another number. */
QX470_READER_API const char *qx470_gap_words(int32_t kind);

/* A reader for rates in kS/s per channel (100, 50, 20, 10, 5, 2, 1; 0 off), in *reader.
 * QX470_OK; QX470_ERR_BAD_ARGUMENT (a null pointer, a rate the amplifier does not run at, or no
 * channel on); QX470_ERR_BUSY (a reader is open already); QX470_ERR_NO_MEMORY. Nothing is started
 * yet. */
QX470_READER_API int32_t qx470_reader_open(const int32_t rates_ks[4], qx470_reader **reader);
/* Stops the acquisition if it runs, and frees the reader. NULL is ignored. */
QX470_READER_API void qx470_reader_close(qx470_reader *reader);

/* Sets the rates and starts the acquisition: QX470_OK or QX470_ERR_REFUSED. */
QX470_READER_API int32_t qx470_reader_start(qx470_reader *reader);
QX470_READER_API int32_t qx470_reader_stop(qx470_reader *reader);
/* Pauses and restarts the acquisition; every channel then reports a QX470_GAP_RESTART. */
QX470_READER_API int32_t qx470_reader_restart(qx470_reader *reader);

/* Reads the channel's next samples (raw codes 0..65535) into `values`, at most `capacity`,
 * straight from the library's run reader. Returns the number stored (0: nothing more yet) with
 * the index of the first in *first; or QX470_READ_GAP with the gap that comes before the next
 * samples in *gap; or an error code. */
QX470_READER_API int32_t qx470_reader_read(qx470_reader *reader, int32_t channel, int32_t *values,
                                           int32_t capacity, uint64_t *first, qx470_gap *gap);

/* Index of the channel's next sample, samples lost so far, and how far (in seconds of the
 * channel's signal) the reader is behind the newest complete block. */
QX470_READER_API uint64_t qx470_reader_next_index(const qx470_reader *reader, int32_t channel);
QX470_READER_API uint64_t qx470_reader_lost(const qx470_reader *reader, int32_t channel);
QX470_READER_API double qx470_reader_behind_seconds(const qx470_reader *reader, int32_t channel);

/* Whether the stream has stopped coming, asked as the reader goes (it asks the device at most
 * once per stall). QX470_STALL_WAITING is returned once, when the stream has been quiet for a few
 * blocks' time but the amplifier answers; QX470_STALL_SILENT when it has been quiet much longer
 * though the amplifier answers; QX470_STALL_GONE when the amplifier did not answer (its status in
 * *status). *quiet_seconds: how long the stream has been quiet. Either pointer may be NULL. */
enum {
  QX470_STALL_NONE = 0,
  QX470_STALL_WAITING = 1,
  QX470_STALL_SILENT = 2,
  QX470_STALL_GONE = 3
};
QX470_READER_API int32_t qx470_reader_stalled(qx470_reader *reader, double *quiet_seconds,
                                              int32_t *status);

/* ---- The host's clocks ----
 * The reader notes, for each block it sees arrive, the steady clock and the system time; a line
 * fitted per segment (a new stream, or a loss that moved the indexes, starts one) maps sample
 * indexes to host times. steady = steady0 + (index - first[reference]) * seconds_per_sample for
 * the reference channel (the first that is on); another channel's offset from its own first
 * index counts rate[reference] / rate[channel] of those. utc = steady + utc_minus_steady. */
typedef struct qx470_clock_segment {
  int32_t stream;
  int32_t reference;
  uint64_t first[4];
  double steady0;
  double seconds_per_sample;
  double residual; /* root mean square of the notes about the line, seconds */
  double utc_minus_steady;
  uint64_t notes;
} qx470_clock_segment;
typedef struct qx470_clock_pair {
  uint64_t index; /* of the reference channel */
  double steady;
  double utc; /* seconds since 1970 */
} qx470_clock_pair;

/* Seconds of the steady clock the notes are taken on (CLOCK_MONOTONIC on Linux). */
QX470_READER_API double qx470_steady_now(void);
/* The segments (all, in order) and the notes kept at about one a second, into `out` (at most
 * `capacity`; `out` may be NULL to count). Return how many there are, or an error code. */
QX470_READER_API int32_t qx470_reader_clock_segments(qx470_reader *reader, qx470_clock_segment *out,
                                                     int32_t capacity);
QX470_READER_API int32_t qx470_reader_clock_pairs(qx470_reader *reader, qx470_clock_pair *out,
                                                  int32_t capacity);
/* The channel's sample at steady time `steady`, from the map so far: QX470_OK, or
 * QX470_ERR_NOT_STARTED before the first segment. */
QX470_READER_API int32_t qx470_reader_index_at(qx470_reader *reader, int32_t channel, double steady,
                                               uint64_t *index);

/* Which bridge the loaded QX470USB library drives: QX470_BRIDGE_SIMULATED (the simulated
 * amplifier), QX470_BRIDGE_USB, QX470_BRIDGE_EMULATED_USB (the USB bridge on an emulated bus) or
 * QX470_BRIDGE_UNKNOWN. The bridge library's path is copied into `file` (at most `capacity` bytes
 * with the terminating zero; an empty string if unknown); `file` may be NULL. */
enum {
  QX470_BRIDGE_UNKNOWN = 0,
  QX470_BRIDGE_SIMULATED = 1,
  QX470_BRIDGE_USB = 2,
  QX470_BRIDGE_EMULATED_USB = 3
};
QX470_READER_API int32_t qx470_bridge(char *file, int32_t capacity);
/* The kind in words: "simulated amplifier", "USB", "emulated USB" or "unknown". */
QX470_READER_API const char *qx470_bridge_words(int32_t kind);

#ifdef __cplusplus
}
#endif

#endif
