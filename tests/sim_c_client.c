/* A plain C client of the simulated bridge that knows only ftd2xx.h and qxsim.h: enumerate, open
 * both channels, exchange a command, use the user area, program a rate pattern and read the
 * exact words back, unpaced and at real-time speed. Prints "N passed, N failed". */
#include <stdio.h>
#include <string.h>

#include "ftd2xx.h"
#include "qxsim.h"

static int passed, failed;
#define CHECK(cond)                                              \
  do {                                                           \
    if (cond) {                                                  \
      ++passed;                                                  \
    } else {                                                     \
      ++failed;                                                  \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
    }                                                            \
  } while (0)

static void write_bytes(FT_HANDLE h, const unsigned char *bytes, DWORD n) {
  DWORD written = 0;
  CHECK(FT_Write(h, (void *)bytes, n, &written) == FT_OK && written == n);
}

/* Channel 0 at 100 kS/s and channel 2 at 50 kS/s: each tick channel 0, every second tick
 * channel 2 first. The frame is 2, 0, 0. */
static void stream_and_check(double speed) {
  static const unsigned char high[] = {0x8B, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0,
                                       0xC0, 0xC0, 0xC0, 0xC0, 0x00};
  static const unsigned char low[] = {0x80, 0xC0, 0xC2, 0xC0, 0xC1, 0xC0,
                                      0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0x00};
  static const unsigned char start[] = {0x4A, 0xC1, 0x00};
  static const int owners[3] = {0, 2, 0};
  unsigned char buf[6000];
  unsigned counts[4] = {0, 0, 0, 0};
  FT_HANDLE s = NULL;
  DWORD got = 0;
  int i, ok = 1;
  qxsim_set_speed(speed);
  CHECK(FT_Open(1, &s) == FT_OK);
  FT_SetTimeouts(s, 2000, 1000);
  write_bytes(s, high, sizeof high);
  write_bytes(s, low, sizeof low);
  write_bytes(s, start, sizeof start);
  CHECK(FT_Read(s, buf, sizeof buf, &got) == FT_OK && got == sizeof buf);
  for (i = 0; i < (int)sizeof buf / 2; ++i) {
    const int c = owners[i % 3];
    const unsigned v = buf[2 * i] | (unsigned)buf[2 * i + 1] << 8;
    if (v != qxsim_pattern_value(c, counts[c]++)) ok = 0;
  }
  CHECK(ok);
  CHECK(FT_Close(s) == FT_OK);
}

int main(void) {
  FT_DEVICE_LIST_INFO_NODE nodes[2];
  DWORD n = 0, got = 0;
  FT_HANDLE c = NULL;
  unsigned char reply = 0, probe = 0x00, record[12];

  qxsim_reset();
  qxsim_set_signal(1);
  CHECK(FT_CreateDeviceInfoList(&n) == FT_OK && n == 2);
  CHECK(FT_GetDeviceInfoList(nodes, &n) == FT_OK && n == 2);
  CHECK(strncmp(nodes[0].Description, "QX-470", 6) == 0);

  CHECK(FT_Open(0, &c) == FT_OK);
  CHECK(FT_SetTimeouts(c, 1000, 1000) == FT_OK);
  CHECK(FT_Purge(c, FT_PURGE_RX | FT_PURGE_TX) == FT_OK);
  write_bytes(c, &probe, 1);
  CHECK(FT_Read(c, &reply, 1, &got) == FT_OK && got == 1 && reply == 0x00);
  memcpy(record, "cal:300123 ", 12);
  CHECK(FT_EE_UAWrite(c, record, 12) == FT_OK);
  memset(record, 0, sizeof record);
  CHECK(FT_EE_UARead(c, record, 12, &got) == FT_OK && got == 12);
  CHECK(memcmp(record, "cal:300123 ", 12) == 0);
  CHECK(FT_Close(c) == FT_OK);

  stream_and_check(0);
  stream_and_check(1);
  qxsim_reset();
  printf("%d passed, %d failed\n", passed, failed);
  return failed != 0;
}
