// SPDX-License-Identifier: MIT
/* The C interface, used from C as a C host would. */
#define _POSIX_C_SOURCE 200809L
#include <vornlib/version.h>
#include <vornlib/vornex.h>

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int passed, failed;
#define CHECK(cond) \
  ((cond) ? (void)++passed : (void)(++failed, fprintf(stderr, "line %d: %s\n", __LINE__, #cond)))

/* What a block saw, copied out of the call: its strings live for the call only. */
typedef struct Outcome {
  sem_t done;
  int calls;
  pthread_t thread;
  char location[4096];
  char error[256]; /* "domain code description" */
} Outcome;

static void on_done(void* context, const char* location, const VornexError* error) {
  Outcome* o = context;
  o->calls++;
  o->thread = pthread_self();
  if (location) snprintf(o->location, sizeof o->location, "%s", location);
  if (error)
    snprintf(o->error, sizeof o->error, "%s %ld %s", error->domain, error->code,
             error->description);
  sem_post(&o->done);
}

typedef int (*Start)(const char*, const VornexConfig*, VornexBlock, void*);

/* Starts a conversion, waits up to two minutes for its block and checks that the block came
 * once: on the calling thread before the call returned when `here`, else on another thread.
 * Before, NULL arguments are refused and the block is not called. */
static void convert(Start start, const char* file, const VornexConfig* config, Outcome* o,
                    int here) {
  memset(o, 0, sizeof *o);
  sem_init(&o->done, 0, 0);
  CHECK(start(NULL, config, on_done, o) == VORNEX_INVALID_ARGUMENT &&
        start(file, NULL, on_done, o) == VORNEX_INVALID_ARGUMENT &&
        start(file, config, NULL, o) == VORNEX_INVALID_ARGUMENT);
  CHECK(start(file, config, on_done, o) == VORNEX_OK);
  CHECK(!here || o->calls == 1);
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 120;
  while (sem_timedwait(&o->done, &until) != 0 && errno == EINTR) continue;
  CHECK(o->calls == 1 && !pthread_equal(o->thread, pthread_self()) == !here);
}

/* Keeps the last line logged. */
static void on_line(void* context, const char* line) {
  snprintf(context, 256, "%s", line);
}

int main(void) {
  char dir[] = "/tmp/vornex-c-test-XXXXXX", source[64], command[256];
  if (!mkdtemp(dir)) return 1;
  snprintf(source, sizeof source, "%s/tone.wav", dir);
  snprintf(command, sizeof command, "'%s' -nostdin -v error -f lavfi -i sine=duration=0.5 '%s'",
           VORNLIB_TEST_FFMPEG, source);
  if (system(command) != 0) return 1;

  /* The library is the one these headers describe. */
  CHECK(strcmp(vornex_version(), VORNLIB_VERSION_STRING) == 0);

  /* Configurations: the texts name a format and a codec; unknown texts make nothing. */
  VornexConfig* config = vornex_config_create("mp4", "mp3", 44100, 16, 2, 192);
  char* text = vornex_config_copy_description(config);
  CHECK(text != NULL && strcmp(text, "mp4(mp3) - 192kbs - 2ch") == 0);
  vornex_string_free(text);
  CHECK(vornex_config_set_prefered_converter(config, (VornexPreferedConverter)7) ==
        VORNEX_INVALID_ARGUMENT);
  vornex_config_release(config);
  CHECK(vornex_config_create("WAV", NULL, 44100, 16, 2, 128) == NULL);
  CHECK(vornex_config_create("wav", "pcm", 44100, 16, 2, 128) == NULL);
  CHECK(vornex_config_create(NULL, NULL, 44100, 16, 2, 128) == NULL);

  /* Both entry points through both engines, a file then a failed run: the FFmpeg engine calls
   * back from a thread of its own, the in-process one (auto picks it for wav) on the caller's. */
  const char* const formats[] = {"mp3", "wav"};
  const char* const errors[] = {"Vornlib.VornError 1 ffmpegUnknownError",
                                "Vornlib.ExtError 0 osstatusError(-43)"};
  for (int native = 0; native < 2; ++native) {
    config = vornex_config_create(formats[native], NULL, 22050, 16, 1, 128);
    Outcome o;
    struct stat info;
    convert(vornex_convert_with_file_with_completition, source, config, &o, native);
    CHECK(stat(o.location, &info) == 0 && info.st_size > 0 && !*o.error &&
          strcmp(strrchr(o.location, '.') + 1, formats[native]) == 0);
    unlink(o.location);
    convert(vornex_convert_with_file_with_completion_handler, "/nonexistent/in.wav", config, &o, 0);
    CHECK(!*o.location && strcmp(o.error, errors[native]) == 0);
    vornex_config_release(config);
  }

  /* The log sink, from C: the in-process engine's line for a missing source. */
  char line[256] = "";
  CHECK(vornex_set_log_sink(on_line, line) == VORNEX_OK);
  CHECK(vornex_set_ffmpeg_messages_logged(1) == 0 && vornex_set_ffmpeg_messages_logged(0) == 1);
  config = vornex_config_create("wav", NULL, 22050, 16, 1, 128);
  Outcome o;
  convert(vornex_convert_with_file_with_completition, "/nonexistent/in.wav", config, &o, 1);
  CHECK(strcmp(line, "error = osstatusError(-43)") == 0);
  vornex_config_release(config);
  CHECK(vornex_set_log_sink(NULL, NULL) == VORNEX_OK);

  unlink(source);
  rmdir(dir);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
