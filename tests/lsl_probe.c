/* A peer built on liblsl itself, to check the recorder against the library labs use:
 *   lsl_probe pull NAME SECONDS FILE   resolves NAME, asks its time correction, pulls float
 *                                      samples until the stream ends (or SECONDS), and writes
 *                                      them to FILE: the correction, the channel count, then
 *                                      each sample's time and values
 *   lsl_probe markers NAME COUNT       publishes the string stream NAME, waits for an inlet,
 *                                      then pushes COUNT markers stamped with the LSL clock,
 *                                      printing "TIME TEXT" for each
 * Run it with LSLAPICFG naming a loopback-only configuration. */
#include <lsl_c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void pause_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static int pull(const char *name, double seconds, const char *path) {
  lsl_streaminfo info = NULL;
  if (lsl_resolve_byprop(&info, 1, "name", name, 1, 30.0) < 1) {
    fprintf(stderr, "lsl_probe: no stream '%s'\n", name);
    return 1;
  }
  const int channels = lsl_get_channel_count(info);
  lsl_inlet in = lsl_create_inlet(info, 360, 0, 1);
  int32_t ec = 0;
  lsl_open_stream(in, 10.0, &ec);
  if (ec) {
    fprintf(stderr, "lsl_probe: cannot open the stream (%d)\n", ec);
    return 1;
  }
  const double correction = lsl_time_correction(in, 10.0, &ec);
  if (ec) {
    fprintf(stderr, "lsl_probe: no time correction (%d)\n", ec);
    return 1;
  }
  FILE *f = fopen(path, "wb");
  if (!f) return 1;
  fwrite(&correction, sizeof correction, 1, f);
  fwrite(&channels, sizeof channels, 1, f);
  enum { kChunk = 4096 };
  float *data = malloc(sizeof(float) * kChunk * (size_t)channels);
  double times[kChunk];
  const double end = lsl_local_clock() + seconds;
  double last = lsl_local_clock();
  unsigned long total = 0;
  /* Until the outlet goes, or nothing has come for three seconds once samples came. */
  while (lsl_local_clock() < end) {
    const unsigned long n =
        lsl_pull_chunk_f(in, data, times, kChunk * (unsigned long)channels, kChunk, 0.2, &ec);
    if (ec == lsl_lost_error) break;
    const unsigned long samples = n / (unsigned long)channels;
    for (unsigned long i = 0; i < samples; ++i) {
      fwrite(&times[i], sizeof(double), 1, f);
      fwrite(data + i * (unsigned long)channels, sizeof(float), (size_t)channels, f);
    }
    total += samples;
    if (samples)
      last = lsl_local_clock();
    else if (total && lsl_local_clock() - last > 3.0)
      break;
  }
  fclose(f);
  free(data);
  printf("pulled %lu samples, correction %.9f\n", total, correction);
  lsl_destroy_inlet(in);
  return 0;
}

static int markers(const char *name, int count) {
  lsl_streaminfo info =
      lsl_create_streaminfo(name, "Markers", 1, LSL_IRREGULAR_RATE, cft_string, "qx470-test-probe");
  lsl_outlet out = lsl_create_outlet(info, 0, 360);
  if (!lsl_wait_for_consumers(out, 60.0)) {
    fprintf(stderr, "lsl_probe: no inlet came for '%s'\n", name);
    return 1;
  }
  pause_ms(1000); /* the recording is under way */
  for (int i = 0; i < count; ++i) {
    char text[32];
    snprintf(text, sizeof text, "probe %d", i);
    const char *values[1] = {text};
    const double t = lsl_local_clock();
    lsl_push_sample_strt(out, values, t);
    printf("%.9f %s\n", t, text);
    fflush(stdout);
    pause_ms(200);
  }
  pause_ms(1000);
  lsl_destroy_outlet(out);
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 5 && strcmp(argv[1], "pull") == 0) return pull(argv[2], atof(argv[3]), argv[4]);
  if (argc == 4 && strcmp(argv[1], "markers") == 0) return markers(argv[2], atoi(argv[3]));
  fprintf(stderr, "usage: lsl_probe pull NAME SECONDS FILE | lsl_probe markers NAME COUNT\n");
  return 2;
}
