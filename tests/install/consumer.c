/* A user's program, built outside the tree against an installed QX470USB: starts an acquisition
 * on the (simulated) amplifier and reads samples. Exit 0 when it read them. */
#include <QX470USB.h>
#include <stdio.h>
#include <time.h>

int main(void) {
  int32_t values[1000];
  int32_t got = 0;
  const int32_t status = Get_QX470USB_Status();
  if (status != 101) {
    fprintf(stderr, "device status %d\n", (int)status);
    return 1;
  }
  for (int32_t c = 0; c < 4; ++c) Set_Sample_Rate(c, 100);
  if (!Start_Acquisition(0)) {
    fprintf(stderr, "the acquisition did not start\n");
    return 1;
  }
  /* Wait, for at most 30 s, until a block has come in. */
  const time_t end = time(NULL) + 30;
  while (Get_Blocks_Transferred() == 0 && time(NULL) < end) {
    const struct timespec ms = {0, 1000000};
    nanosleep(&ms, NULL);
  }
  got = Get_Data_Samples(values, 0, 0, 1000);
  Stop_Acquisition();
  printf("read %d samples, the first %d\n", (int)got, got > 0 ? (int)values[0] : -1);
  return got == 1000 ? 0 : 1;
}
