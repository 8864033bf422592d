// SPDX-License-Identifier: MIT
/* A C host of the installed library, linked through pkg-config: converts a tone through both
 * engines, once to the end and once stopped at its first progress report, and counts what
 * the observer sees. Run it in a scratch directory: the tones are made there. */
#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vornlib/version.h>
#include <vornlib/vornex.h>

typedef struct Run {
  sem_t done;
  int stop;
  int outcome; /* 1 a file, 3 stopped, -1 anything else */
} Run;

static atomic_int reports;

static void observe(void* context, const VornexReport* report) {
  (void)context;
  atomic_fetch_add(&reports, 1);
  if (report->error && report->output) remove(report->output); /* a stopped run's output */
}

static int progress(void* context, const VornexProgress* report) {
  (void)report; /* the first report, whatever it says, stops a run meant to stop */
  return ((Run*)context)->stop ? VORNEX_STOP : VORNEX_PROCEED;
}

static void finished(void* context, const char* location, const VornexError* error) {
  Run* run = context;
  if (location) remove(location);
  int stopped = error && error->code == 3 && strcmp(error->domain, "Vornlib.VornError") == 0;
  run->outcome = location ? 1 : stopped ? 3 : -1;
  if (error && !(stopped && run->stop))
    fprintf(stderr, "%s: %s\n", error->domain, error->description);
  sem_post(&run->done);
}

static int convert(const char* source, const char* format, VornexPreferedConverter engine,
                   int stop) {
  Run run = {.stop = stop, .outcome = 0};
  VornexConfig* config = vornex_config_create(format, NULL, 44100, 16, 2, 128);
  if (!config || vornex_config_set_prefered_converter(config, engine) != VORNEX_OK) return 0;
  sem_init(&run.done, 0, 0);
  int rc = vornex_convert_with_file_with_completion_handler_and_progress(source, config, finished,
                                                                         progress, &run);
  vornex_config_release(config);
  if (rc == VORNEX_OK) sem_wait(&run.done);
  sem_destroy(&run.done);
  return rc == VORNEX_OK && run.outcome == (stop ? 3 : 1);
}

/* A sine tone of `seconds` in the working directory, made by the ffmpeg program. */
static const char* tone(const char* name, int seconds) {
  char command[200];
  snprintf(command, sizeof command, "/usr/bin/ffmpeg -nostdin -v error -y -f lavfi -i sine=d=%d %s",
           seconds, name);
  if (system(command) != 0) exit(2);
  return name;
}

int main(void) {
  const char* shortTone = tone("tone-3.wav", 3);
  const char* longTone = tone("tone-600.wav", 600);
  vornex_set_observer(observe, NULL);
  int ok = convert(shortTone, "mp3", VORNEX_CONVERTER_FFMPEG, 0) &&
           convert(shortTone, "flac", VORNEX_CONVERTER_EXT, 0) &&
           convert(longTone, "mp3", VORNEX_CONVERTER_FFMPEG, 1) &&
           convert(longTone, "flac", VORNEX_CONVERTER_EXT, 1);
  vornex_set_observer(NULL, NULL);
  ok = ok && strcmp(vornex_version(), VORNLIB_VERSION_STRING) == 0;  /* headers and library agree */
  printf("C consumer: %s, version %s, observer saw %d conversions\n", ok ? "ok" : "FAILED",
         vornex_version(), atomic_load(&reports));
  return ok && atomic_load(&reports) == 4 ? 0 : 1;
}
