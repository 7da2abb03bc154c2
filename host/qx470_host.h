/* qx470_host: the continuous reader of host/continuous_reader.h as plain C calls, for hosts in
 * other languages (Python through ctypes among them), so that every host reads the amplifier the
 * same way: a 64-bit sample index per channel, the library's boundary steps taken for it, and
 * every lost stretch and restart returned as a gap with its extent.
 *
 * The reader owns the library's sample boundary, which is one value for the whole process: at
 * most one reader is open at a time. All calls run on the caller's thread; one reader is used by
 * one thread at a time. Channels are the library's, 0 to 3. */
#ifndef QX470_HOST_H
#define QX470_HOST_H

#include <stdint.h>

#if defined(_WIN32)
#define QX470_HOST_API __declspec(dllexport)
#else
#define QX470_HOST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

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

/* Results of qx470_reader_read besides a count of samples. */
enum { QX470_READ_GAP = -1, QX470_READ_BAD_ARGUMENT = -2 };

/* A reader for rates in kS/s per channel (100, 50, 20, 10, 5, 2, 1; 0 off). NULL if `rates` is
 * null or a reader is already open. Nothing is started yet. */
QX470_HOST_API qx470_reader *qx470_reader_open(const int32_t rates_ks[4]);
/* Stops the acquisition if it runs, and frees the reader. NULL is ignored. */
QX470_HOST_API void qx470_reader_close(qx470_reader *reader);

/* Sets the rates and starts the acquisition: 1 started, 0 not (no channel on, a rate the
 * amplifier does not run at, or the library refused). */
QX470_HOST_API int32_t qx470_reader_start(qx470_reader *reader);
QX470_HOST_API void qx470_reader_stop(qx470_reader *reader);
/* Pauses and restarts the acquisition; every channel then reports a QX470_GAP_RESTART. */
QX470_HOST_API int32_t qx470_reader_restart(qx470_reader *reader);

/* Reads the channel's next samples (raw codes 0..65535) into `values`, at most `capacity`,
 * straight from the library's run reader. Returns the number stored (0: nothing more yet) with
 * the index of the first in *first; or QX470_READ_GAP with the gap that comes before the next
 * samples in *gap; or QX470_READ_BAD_ARGUMENT. */
QX470_HOST_API int32_t qx470_reader_read(qx470_reader *reader, int32_t channel, int32_t *values,
                                         int32_t capacity, uint64_t *first, qx470_gap *gap);

/* Index of the channel's next sample, samples lost so far, and how far (in seconds of the
 * channel's signal) the reader is behind the newest complete block. */
QX470_HOST_API uint64_t qx470_reader_next_index(const qx470_reader *reader, int32_t channel);
QX470_HOST_API uint64_t qx470_reader_lost(const qx470_reader *reader, int32_t channel);
QX470_HOST_API double qx470_reader_behind_seconds(const qx470_reader *reader, int32_t channel);

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
QX470_HOST_API int32_t qx470_bridge(char *file, int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif
