/* The C interface, used from C as a C host would. */
#define _POSIX_C_SOURCE 200809L
#include <vornlib/vornex.h>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int passed;
static int failed;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (cond) {                                                                \
      ++passed;                                                                \
    } else {                                                                   \
      ++failed;                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                          \
  } while (0)

/* What a block saw, copied out of the call (its strings live for the call only). */
typedef struct Outcome {
  pthread_mutex_t mutex;
  pthread_cond_t done;
  int calls;
  pthread_t thread;
  char location[4096];
  char domain[64];
  long code;
  char description[128];
} Outcome;

static void outcome_init(Outcome* o) {
  memset(o, 0, sizeof *o);
  pthread_mutex_init(&o->mutex, NULL);
  pthread_cond_init(&o->done, NULL);
  o->code = -1;
}

static void outcome_destroy(Outcome* o) {
  pthread_mutex_destroy(&o->mutex);
  pthread_cond_destroy(&o->done);
}

static void on_done(void* context, const char* location, const VornexError* error) {
  Outcome* o = context;
  pthread_mutex_lock(&o->mutex);
  o->calls++;
  o->thread = pthread_self();
  if (location) snprintf(o->location, sizeof o->location, "%s", location);
  if (error) {
    snprintf(o->domain, sizeof o->domain, "%s", error->domain);
    snprintf(o->description, sizeof o->description, "%s", error->description);
    o->code = error->code;
  }
  pthread_cond_signal(&o->done);
  pthread_mutex_unlock(&o->mutex);
}

/* Waits for the first call, for at most two minutes; returns 0 when none came. */
static int outcome_wait(Outcome* o) {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 120;
  pthread_mutex_lock(&o->mutex);
  while (o->calls == 0) {
    if (pthread_cond_timedwait(&o->done, &o->mutex, &until) == ETIMEDOUT) break;
  }
  const int calls = o->calls;
  pthread_mutex_unlock(&o->mutex);
  return calls;
}

static int make_tone(const char* path) {
  pid_t pid = fork();
  if (pid == 0) {
    execl(VORNLIB_TEST_FFMPEG, "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
          "sine=frequency=440:duration=0.5", path, (char*)NULL);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static void test_configurations(void) {
  VornexConfig* config = vornex_config_create("mp4", "mp3", 44100, 16, 2, 192);
  CHECK(config != NULL);
  char* text = vornex_config_copy_description(config);
  CHECK(text != NULL && strcmp(text, "mp4(mp3) - 192kbs - 2ch") == 0);
  vornex_string_free(text);
  vornex_config_release(config);

  /* An unsupported codec becomes the default; an unknown text makes nothing. */
  config = vornex_config_create("wav", "mp3", 44100, 16, 2, 128);
  text = vornex_config_copy_description(config);
  CHECK(text != NULL && strcmp(text, "wav(linearPCM) - 44100 - 16bit - 2ch") == 0);
  vornex_string_free(text);
  CHECK(vornex_config_set_prefered_converter(config, (VornexPreferedConverter)7) ==
        VORNEX_INVALID_ARGUMENT);
  vornex_config_release(config);

  CHECK(vornex_config_create("WAV", NULL, 44100, 16, 2, 128) == NULL);
  CHECK(vornex_config_create("wav", "pcm", 44100, 16, 2, 128) == NULL);
  CHECK(vornex_config_create(NULL, NULL, 44100, 16, 2, 128) == NULL);
  CHECK(vornex_config_copy_description(NULL) == NULL);
  vornex_config_release(NULL);
  vornex_string_free(NULL);
}

static void test_conversions(const char* source) {
  VornexConfig* config = vornex_config_create("mp3", NULL, 44100, 16, 2, 128);

  /* Completion style through the FFmpeg engine: returns at once, block on another thread. */
  Outcome direct;
  outcome_init(&direct);
  CHECK(vornex_convert_with_file_with_completition(source, config, on_done, &direct) == VORNEX_OK);
  CHECK(outcome_wait(&direct) == 1);
  CHECK(!pthread_equal(direct.thread, pthread_self()));
  struct stat info;
  CHECK(direct.location[0] != '\0' && stat(direct.location, &info) == 0 && info.st_size > 0);
  CHECK(strlen(direct.location) > 40 &&
        strcmp(direct.location + strlen(direct.location) - 4, ".mp3") == 0);
  CHECK(direct.domain[0] == '\0');
  unlink(direct.location);
  outcome_destroy(&direct);

  /* Asynchronous style, a failing FFmpeg run: domain and code of ffmpegUnknownError. */
  Outcome failing;
  outcome_init(&failing);
  CHECK(vornex_convert_with_file_with_completion_handler("/nonexistent/in.wav", config, on_done,
                                                         &failing) == VORNEX_OK);
  vornex_config_release(config); /* the conversion keeps what it needs */
  CHECK(outcome_wait(&failing) == 1);
  CHECK(failing.location[0] == '\0');
  CHECK(strcmp(failing.domain, "Vornlib.VornError") == 0 && failing.code == 1);
  CHECK(strcmp(failing.description, "ffmpegUnknownError") == 0);
  outcome_destroy(&failing);

  /* NULL arguments are refused, and the block is never called. */
  Outcome never;
  outcome_init(&never);
  CHECK(vornex_convert_with_file_with_completition(NULL, NULL, on_done, &never) ==
        VORNEX_INVALID_ARGUMENT);
  CHECK(vornex_convert_with_file_with_completion_handler(source, NULL, on_done, &never) ==
        VORNEX_INVALID_ARGUMENT);
  CHECK(never.calls == 0);
  outcome_destroy(&never);
}

int main(void) {
  char dir[] = "/tmp/vornex-c-test-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  char source[sizeof dir + 16];
  snprintf(source, sizeof source, "%s/tone.wav", dir);

  test_configurations();
  CHECK(make_tone(source));
  test_conversions(source);

  unlink(source);
  rmdir(dir);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
