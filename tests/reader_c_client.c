/* The reader library's C interface from a C program, as a ctypes host would call it: the device
 * check, one reader at a time, every sample at its index against the simulator's test pattern, a
 * stalled reader's lost stretch as a gap with its extent, argument guards, and nothing left open
 * after the close. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "QX470USB.h"
#include "qx470_reader.h"
#include "qxsim.h"

static int failures = 0;
#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* Priming discards three frames of four words: three samples of every channel. */
#define PRIMED_WORDS 12u
#define PRIMED_SAMPLES 3u

static int wait_blocks(uint32_t blocks) {
  struct timespec start, now, tick = {0, 1000000};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (Get_Blocks_Transferred() == blocks) return 1;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec > 60) return 0;
    nanosleep(&tick, NULL);
  }
}

static void stream_to(uint32_t blocks) {
  qxsim_set_stream_limit(PRIMED_WORDS + (unsigned long long)blocks * 16384u);
  CHECK(wait_blocks(blocks));
}

/* Reads one channel until nothing more is there; counts wrong values and gaps. */
static uint64_t drain(qx470_reader *r, int32_t ch, qx470_gap *last_gap, int *gaps, int *wrong) {
  static int32_t buf[8192];
  uint64_t got = 0, first = 0;
  for (;;) {
    qx470_gap gap;
    const int32_t n = qx470_reader_read(r, ch, buf, 8192, &first, &gap);
    if (n == QX470_READ_GAP) {
      *last_gap = gap;
      ++*gaps;
      continue;
    }
    if (n <= 0) return got;
    for (int32_t i = 0; i < n; ++i)
      if ((unsigned)buf[i] !=
          qxsim_pattern_value(ch, (unsigned)(first + (uint64_t)i + PRIMED_SAMPLES)))
        ++*wrong;
    got += (uint64_t)n;
  }
}

int main(void) {
  const int32_t rates[4] = {100, 100, 100, 100};
  qxsim_reset();
  qxsim_set_speed(0);
  qxsim_set_signal(1);
  qxsim_set_timeout_scale(0.02);

  /* The device as every host gets it ready: one status call, the shunt off, the calibration. */
  qx470_device_check check;
  CHECK(qx470_check_device(1, &check) == QX470_OK);
  CHECK(check.status == 101 && check.shunt_off == 1 && check.calibration_valid == 1);
  CHECK(check.calibration == check.calibration_read && check.calibration_default == 312500);
  CHECK(qx470_check_device(1, NULL) == QX470_ERR_BAD_ARGUMENT);
  char words[512];
  CHECK(qx470_status_words(-8, words, (int32_t)sizeof words) > 0);
  CHECK(strcmp(words, "the amplifier does not answer (status -8): is it powered?") == 0);
  qx470_amplifier amps[4];
  CHECK(qx470_amplifiers(amps, 4) == 1 && strcmp(amps[0].serial, "") != 0);

  qx470_reader *r = NULL;
  const int32_t bad[4] = {100, 3, 0, 0}, none[4] = {0, 0, 0, 0};
  CHECK(qx470_reader_open(bad, &r) == QX470_ERR_BAD_ARGUMENT && r == NULL);
  CHECK(qx470_reader_open(none, &r) == QX470_ERR_BAD_ARGUMENT && r == NULL);
  CHECK(qx470_reader_open(rates, &r) == QX470_OK && r != NULL);
  qx470_reader *second = NULL;
  CHECK(qx470_reader_open(rates, &second) == QX470_ERR_BUSY && second == NULL); /* one at a time */
  CHECK(qx470_reader_open(NULL, &second) == QX470_ERR_BAD_ARGUMENT);
  CHECK(qx470_reader_restart(r) == QX470_ERR_NOT_STARTED);
  CHECK(qx470_reader_stalled(r, NULL, NULL) == QX470_ERR_NOT_STARTED);

  qxsim_set_stream_limit(PRIMED_WORDS);
  CHECK(qx470_reader_start(r) == QX470_OK);
  CHECK(qx470_reader_stalled(r, NULL, NULL) == QX470_STALL_NONE);
  stream_to(10);
  for (int32_t ch = 0; ch < 4; ++ch) {
    qx470_gap gap;
    int gaps = 0, wrong = 0;
    CHECK(drain(r, ch, &gap, &gaps, &wrong) == 10u * 4096);
    CHECK(gaps == 0 && wrong == 0);
    CHECK(qx470_reader_next_index(r, ch) == 10u * 4096);
  }

  /* Nothing read while 90 more blocks arrive: blocks 10 to 36 are gone. */
  stream_to(100);
  for (int32_t ch = 0; ch < 4; ++ch) {
    qx470_gap gap = {0, 0, 0, 0};
    int gaps = 0, wrong = 0;
    CHECK(drain(r, ch, &gap, &gaps, &wrong) == 63u * 4096);
    CHECK(gaps == 1 && wrong == 0);
    CHECK(gap.channel == ch && gap.kind == QX470_GAP_LOST);
    CHECK(strcmp(qx470_gap_words(gap.kind), "lost") == 0);
    CHECK(gap.index == 10u * 4096 && gap.count == 27u * 4096);
    CHECK(qx470_reader_lost(r, ch) == 27u * 4096);
  }

  int32_t buf[4];
  uint64_t first;
  qx470_gap gap;
  CHECK(qx470_reader_read(r, 4, buf, 4, &first, &gap) == QX470_READ_BAD_ARGUMENT);
  CHECK(qx470_reader_read(r, 0, NULL, 4, &first, &gap) == QX470_READ_BAD_ARGUMENT);
  CHECK(qx470_reader_read(NULL, 0, buf, 4, &first, &gap) == QX470_READ_BAD_ARGUMENT);
  CHECK(qx470_reader_read(r, 0, buf, -1, &first, &gap) == QX470_READ_BAD_ARGUMENT);
  CHECK(qx470_reader_behind_seconds(r, 0) == 0.0);

  qx470_reader_close(r);
  CHECK(qxsim_open_handles() == 0);

  /* The bridge below the library is named for what it is, its path cut to what fits. */
  char file[4096], small[8];
  CHECK(qx470_bridge(file, (int32_t)sizeof file) == QX470_BRIDGE_SIMULATED);
  CHECK(strstr(file, "/libqx470usb_bridge.so.1") != NULL || strstr(file, "ftd2xx.dll") != NULL);
  CHECK(qx470_bridge(small, (int32_t)sizeof small) == QX470_BRIDGE_SIMULATED);
  CHECK(strlen(small) == sizeof small - 1 && strncmp(small, file, sizeof small - 1) == 0);
  CHECK(qx470_bridge(NULL, 0) == QX470_BRIDGE_SIMULATED);

  CHECK(qx470_reader_open(rates, &r) == QX470_OK); /* the slot is free again */
  qx470_reader_close(r);
  qxsim_reset();
  printf("%s\n", failures ? "reader C interface: FAILED" : "reader C interface: ok");
  return failures ? 1 : 0;
}
